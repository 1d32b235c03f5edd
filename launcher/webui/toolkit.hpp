#pragma once

namespace vela::ui {

// Opens the display connection once per process (main thread only). False when there is no
// display to open: windows and web views then stay inert instead of aborting the process.
[[nodiscard]] bool ensureToolkit();

}  // namespace vela::ui
