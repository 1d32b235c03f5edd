#pragma once
// The folder the main application's archive is downloaded into: the launcher's own, reachable by
// this user only, never the shared temporary folder.

#include <filesystem>
#include <string>
#include <string_view>

namespace zentravo::staging {

// The file name an address's last element may be stored under: the text after the last "/",
// every byte outside [A-Za-z0-9._-] replaced by "_", at most 128 bytes. Empty for an address
// that names no file (nothing after the last "/", or only "." or "..").
[[nodiscard]] std::string safeFileName(std::string_view url);

// Makes `folder` (its parents as usual) a directory of this user's own with mode 0700 and empties
// it: what a killed run left there goes. Something else in its place (a file, a link) is removed
// first. Throws std::filesystem::filesystem_error when that cannot be done.
void preparePrivateFolder(const std::filesystem::path& folder);

// Creates `file` anew, empty and 0600, never through a link and never reusing what lies there:
// an earlier entry of that name is removed first (a directory is not, and fails). Throws
// std::filesystem::filesystem_error.
void createExclusive(const std::filesystem::path& file);

}  // namespace zentravo::staging
