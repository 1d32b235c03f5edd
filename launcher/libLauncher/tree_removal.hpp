#pragma once
// Removal of what the launcher unpacked or staged: archives decide how deep a tree is, so removal
// must not depend on it, and a tree that cannot be removed must not hold its name.

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace zentravo::removal {

// Removes `path`: a folder with everything below it, or any other entry. Links are removed, never
// followed. Holds a bounded number of descriptors whatever the depth (no recursion, no descriptor
// per level). Folders of this user's own that deny their owner reading, writing or entering are
// opened up first; no mode is changed through a link, nor on another user's folder. A missing
// path is no error. The removal stays on the file system and the mount `path` is on: a folder
// (or file) where another one is mounted is kept with all it holds, and logged, and so are the
// folders above it; the removal then fails with EBUSY.
[[nodiscard]] std::error_code removeTree(const std::filesystem::path& path) noexcept;

// removeTree of the folder `name` in the folder open as `parent`, provided that it still is the
// folder `expected` describes (its device and inode, as told on a descriptor of it): a folder
// swapped in under that name is left alone (an error).
[[nodiscard]] std::error_code removeFolderAt(int parent, const std::string& name,
                                             const struct stat& expected) noexcept;

// removeTree, and where that fails, `path` renamed aside beside itself (to a hidden
// ".discarded-" name that removeDiscarded finds) so that the name is free for what comes next.
// Returns the removal's error for the caller to report; throws std::filesystem::filesystem_error
// only when the name cannot be freed.
[[nodiscard]] std::error_code removeOrDiscard(const std::filesystem::path& path);

// Removes what removeOrDiscard set aside in `folder` earlier; the first failure is returned, the
// rest are tried all the same.
[[nodiscard]] std::error_code removeDiscarded(const std::filesystem::path& folder) noexcept;

}  // namespace zentravo::removal
