#include "install_folder.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "tree_removal.hpp"

namespace zentravo::install {
namespace {

namespace fs = std::filesystem;

int exchange(const fs::path& a, const fs::path& b) {
#ifdef SYS_renameat2
    return static_cast<int>(
        ::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE));
#else
    errno = ENOSYS;
    return -1;
#endif
}

[[noreturn]] void fail(const char* what, const fs::path& a, const fs::path& b, int error) {
    throw fs::filesystem_error{what, a, b, std::error_code{error, std::generic_category()}};
}

}  // namespace

fs::path asideFolder(const fs::path& target) {
    fs::path aside = target;
    aside += ".previous";
    return aside;
}

std::error_code replaceFolder(const fs::path& replacement, const fs::path& target) {
    std::error_code removed;
    if (!fs::exists(fs::symlink_status(target))) {
        fs::rename(replacement, target);
        return removed;
    }
    if (exchange(replacement, target) == 0) {
        // `replacement` now names the previous contents.
        return removal::removeOrDiscard(replacement);
    }
    const int error = errno;
    if (error != EINVAL && error != ENOSYS && error != ENOTSUP) {
        fail("cannot exchange folders", replacement, target, error);
    }
    const fs::path aside = asideFolder(target);
    removed = removal::removeOrDiscard(aside);
    fs::rename(target, aside);
    std::error_code ec;
    fs::rename(replacement, target, ec);
    if (ec) {
        std::error_code ignored;
        fs::rename(aside, target, ignored);
        throw fs::filesystem_error{"cannot rename folder", replacement, target, ec};
    }
    if (const std::error_code ec = removal::removeOrDiscard(aside)) {
        removed = ec;
    }
    return removed;
}

bool restoreInterrupted(const fs::path& target) {
    const fs::path aside = asideFolder(target);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(aside, ec))) {
        return false;
    }
    if (fs::exists(fs::symlink_status(target, ec))) {
        (void)removal::removeOrDiscard(aside);
        return false;
    }
    fs::rename(aside, target, ec);
    return !ec;
}

}  // namespace zentravo::install
