#include "install_folder.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <new>
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

// Removes what a done swap left behind. The swap stands whatever becomes of this, so a folder
// that can neither be removed nor set aside is an error to return, not to throw.
std::error_code removeLeftover(const fs::path& folder) noexcept {
    try {
        return removal::removeOrDiscard(folder);
    } catch (const fs::filesystem_error& e) {
        return e.code();
    } catch (const std::bad_alloc&) {
        return std::make_error_code(std::errc::not_enough_memory);
    }
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
        return removeLeftover(replacement);
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
    if (const std::error_code ec = removeLeftover(aside)) {
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
        (void)removeLeftover(aside);
        return false;
    }
    fs::rename(aside, target, ec);
    return !ec;
}

}  // namespace zentravo::install
