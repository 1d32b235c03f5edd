#include "download_staging.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "private_folder.hpp"
#include "tree_removal.hpp"

namespace zentravo::staging {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxNameLength = 128;

[[noreturn]] void fail(const std::string& what, const fs::path& path, int error) {
    throw fs::filesystem_error{what, path, std::error_code{error, std::generic_category()}};
}

bool safeByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

}  // namespace

std::string safeFileName(std::string_view url) {
    const auto slash = url.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? url : url.substr(slash + 1);
    if (last.empty() || last == "." || last == "..") {
        return {};
    }
    std::string name;
    for (const char c : last.substr(0, kMaxNameLength)) {
        name += safeByte(c) ? c : '_';
    }
    return name;
}

void preparePrivateFolder(const fs::path& folder) {
    folders::createMissing(folder.parent_path());
    struct stat status {};
    if (::lstat(folder.c_str(), &status) == 0 &&
        (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid())) {
        if (const std::error_code ec = removal::removeTree(folder)) {
            fail("Cannot remove what stands in the download folder's place", folder, ec.value());
        }
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        fail("Cannot make the download folder", folder, errno);
    }
    if (::lstat(folder.c_str(), &status) != 0) {
        fail("Cannot inspect the download folder", folder, errno);
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) {
        fail("The download folder is not this user's own", folder, EPERM);
    }
    if ((status.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
        fail("Cannot make the download folder private", folder, errno);
    }
    for (const auto& entry : fs::directory_iterator{folder}) {
        // Links are removed, not followed.
        if (const std::error_code ec = removal::removeTree(entry.path())) {
            fail("Cannot empty the download folder", entry.path(), ec.value());
        }
    }
}

void createExclusive(const fs::path& file) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    int fd = ::open(file.c_str(), kFlags, 0600);
    if (fd < 0 && errno == EEXIST) {
        if (::unlink(file.c_str()) != 0) {
            fail("Cannot replace the download file", file, errno);
        }
        fd = ::open(file.c_str(), kFlags, 0600);
    }
    if (fd < 0) {
        fail("Cannot create the download file", file, errno);
    }
    ::close(fd);
}

}  // namespace zentravo::staging
