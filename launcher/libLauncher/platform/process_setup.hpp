#pragma once

namespace zentravo::system {

// Makes the process safe to run whatever it was started with. Each of standard input, output
// and error that is closed is opened on /dev/null, so that no file opened later (the instance
// lock, the log) takes its number and receives what libraries write to standard error. SIGXFSZ
// is ignored, so that a write past the file-size limit fails with EFBIG and is handled as the
// write error it is instead of ending the process. Call first thing in main, before any file is
// opened or thread started. False when a closed descriptor cannot be put on /dev/null.
[[nodiscard]] bool prepareProcess();

}  // namespace zentravo::system
