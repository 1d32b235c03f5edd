#pragma once

#include <sched.h>
#include <sys/mount.h>

#include <filesystem>
#include <string>

namespace fixture {

// Moves the calling process into a mount namespace of its own: mounts made there are seen by it
// (all its threads) and its children only, and go with them. Call it before starting threads.
// False, with errno set, where that is not allowed (it needs CAP_SYS_ADMIN).
[[nodiscard]] inline bool enterPrivateMounts() {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// enterPrivateMounts, then a tmpfs with `options` ("size=96m", ...) mounted at `at`, with the
// mount `flags` (MS_RDONLY, ...). False, with errno set, where that is not allowed.
[[nodiscard]] inline bool mountPrivateTmpfs(const std::filesystem::path& at,
                                            const std::string& options, unsigned long flags = 0) {
    return enterPrivateMounts() &&
           ::mount("tmpfs", at.c_str(), "tmpfs", flags, options.c_str()) == 0;
}

}  // namespace fixture
