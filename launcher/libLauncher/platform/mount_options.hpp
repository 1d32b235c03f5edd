#pragma once

#include <filesystem>

namespace zentravo::system {

// Whether the file system `folder` is on is mounted noexec, so that no program there can run
// whatever its modes. A folder that does not exist yet is judged by the nearest folder above it
// that does: where it would be made. False when nothing can be looked at.
[[nodiscard]] bool onNoexecMount(const std::filesystem::path& folder);

}  // namespace zentravo::system
