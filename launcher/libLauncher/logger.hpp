#pragma once

// Makes the launcher's one file logger, <data>/ZentravoV3/logs/launcher.log (emptied at each
// start, level debug, every record flushed), spdlog's default logger. When the file cannot be
// opened, or there is no home folder, records go on to spdlog's console logger. Call once, on
// the main thread, before other threads log.
void configureLogger();
