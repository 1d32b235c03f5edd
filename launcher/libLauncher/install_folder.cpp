#include "install_folder.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <spdlog/spdlog.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
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
