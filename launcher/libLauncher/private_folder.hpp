#pragma once
// The launcher's own folders (its data folder, the install folder, the log folder, ...) are this
// user's alone whatever the umask it was started with: what lies in a folder that no other user
// may enter is out of their reach too.

#include <sys/stat.h>

#include <filesystem>

namespace zentravo::folders {

// Makes `path` and every missing folder on the way to it, each created with mode 0700 whatever the
// umask; folders that exist are left as they are. Throws std::filesystem::filesystem_error.
void createMissing(const std::filesystem::path& path);

// Makes `base` as createMissing does, then each folder of `own` (a relative path) below it: each
// is made mode 0700 when missing, and one that exists must be a folder of this user, not a link,
// and is closed to others (0700) when an earlier start left it open. Throws
// std::runtime_error naming the folder when one is another user's or no folder, and
// std::filesystem::filesystem_error when a step fails.
void makePrivate(const std::filesystem::path& base, const std::filesystem::path& own);

// Whether a file or folder with this status is this user's and no other user may change it.
[[nodiscard]] bool ownedAlone(const struct stat& status);

}  // namespace zentravo::folders
