#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace zentravo {

// The home path from the environment variable `name` (callers pass "HOME"); empty when unset.
[[nodiscard]] std::filesystem::path getHomePath(const std::string& name);
// Byte-for-byte conversions: the native encoding is UTF-8.
[[nodiscard]] std::filesystem::path pathFromUtf8(std::string_view text);
[[nodiscard]] std::string pathToUtf8(const std::filesystem::path& path);

// This process's executable; empty (and logged) on failure.
[[nodiscard]] std::filesystem::path getExecutablePath();
// Four levels up: for bundle/Contents/MacOS/file, the folder that holds the bundle. Empty for a
// path with fewer parts.
[[nodiscard]] std::filesystem::path getParentPath(const std::filesystem::path& path);

namespace path {

// The running executable; empty on failure (logged and reported).
[[nodiscard]] std::filesystem::path executable();
// The executable's folder, computed once.
[[nodiscard]] std::filesystem::path executableDirectory();
// The user's data folder, where the launcher keeps "ZentravoV3" (install folder, logs):
// XDG_DATA_HOME when set, else HOME/.local/share; empty when neither is set.
[[nodiscard]] std::filesystem::path applicationSupport();

}  // namespace path
}  // namespace zentravo
