#include "install_folder.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <spdlog/spdlog.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "log_text.hpp"
#include "paths.hpp"
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

void clearLeftovers(const fs::path& installFolder) {
    // A link in the folder's place is not followed; a missing folder holds nothing.
    struct stat status {};
    if (::lstat(installFolder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != ::geteuid()) {
        return;
    }
    const fs::path last = installFolder / "last";
    const fs::path parked = asideFolder(last);
    std::vector<fs::path> leftovers;
    std::error_code ec;
    for (fs::directory_iterator it{installFolder, ec}, end; !ec && it != end; it.increment(ec)) {
        if (it->path() != last && it->path() != parked) {
            leftovers.push_back(it->path());
        }
    }
    if (ec) {
        spdlog::warn("Cannot look for leftovers of an interrupted installation in '{}': {}",
                     logtext::escape(pathToUtf8(installFolder)), ec.message());
    }
    for (const fs::path& leftover : leftovers) {
        const std::string shown = logtext::escape(pathToUtf8(leftover));
        if (const std::error_code removed = removal::removeTree(leftover)) {
            spdlog::warn("Cannot remove what an interrupted installation left: '{}': {}", shown,
                         removed.message());
        } else {
            spdlog::info("Removed what an interrupted installation left: '{}'", shown);
        }
    }
}

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
