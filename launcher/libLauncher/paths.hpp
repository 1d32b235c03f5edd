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
// XDG_DATA_HOME when set to an absolute path, else HOME/.local/share; empty when there is no
// home either. A relative XDG_DATA_HOME counts as unset, as the XDG base-directory rules say, and
// so does a relative HOME.
[[nodiscard]] std::filesystem::path applicationSupport();

// Removes from this process's environment HOME, the XDG base-directory variables and the
// temporary folder variables (TMPDIR, TMP, TEMP, TEMPDIR) whose value is a relative path, and the
// relative entries of XDG_DATA_DIRS and XDG_CONFIG_DIRS, so that neither this process (which
// works in its own folder) nor the toolkit nor a started program resolves them against some
// working folder. A relative HOME is then as good as none, for the toolkit too.
// Call before any other thread runs.
void ignoreRelativeLocations();

}  // namespace path
}  // namespace zentravo
