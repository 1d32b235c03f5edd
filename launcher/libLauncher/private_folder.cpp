#include "private_folder.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>

#include "file_descriptor.hpp"
#include "log_text.hpp"
#include "paths.hpp"

namespace zentravo::folders {
namespace {

namespace fs = std::filesystem;

constexpr mode_t kPrivateFolder = S_IRWXU;

[[noreturn]] void fail(const char* what, const fs::path& path, int error) {
    throw fs::filesystem_error{what, path, std::error_code{error, std::generic_category()}};
}

[[noreturn]] void refuse(const fs::path& path, std::string_view why) {
    throw std::runtime_error{
        fmt::format("The folder '{}' {}: it is not used", logtext::escape(pathToUtf8(path)), why)};
}

FileDescriptor openFolder(int at, const char* name) {
    FileDescriptor fd;
    do {
        fd = FileDescriptor{
            ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY)};
    } while (!fd && errno == EINTR);
    return fd;
}

// Opens the folder `name` in `parent`, `path` in full, as this user's private folder.
FileDescriptor privateChild(int parent, const fs::path& name, const fs::path& path) {
    if (::mkdirat(parent, name.c_str(), kPrivateFolder) != 0 && errno != EEXIST) {
        fail("Cannot make the folder", path, errno);
    }
    struct stat status {};
    if (::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        fail("Cannot inspect the folder", path, errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        refuse(path, S_ISLNK(status.st_mode) ? "is a link" : "is not a folder");
    }
    if (status.st_uid != ::geteuid()) {
        refuse(path, "is another user's");
    }
    FileDescriptor fd = openFolder(parent, name.c_str());
    if (!fd && errno == EACCES) {
        // A folder that shuts its owner out is opened once its owner has it back; what is opened
        // then is checked again below.
        if (::fchmodat(parent, name.c_str(), kPrivateFolder, 0) != 0) {
            fail("Cannot make the folder private", path, errno);
        }
        fd = openFolder(parent, name.c_str());
    }
    if (!fd) {
        fail("Cannot open the folder", path, errno);
    }
    // Checked again on what was opened: the name may have changed hands in between.
    if (::fstat(fd.get(), &status) != 0) {
        fail("Cannot inspect the folder", path, errno);
    }
    if (status.st_uid != ::geteuid()) {
        refuse(path, "is another user's");
    }
    if ((status.st_mode & 07777) != kPrivateFolder && ::fchmod(fd.get(), kPrivateFolder) != 0) {
        fail("Cannot make the folder private", path, errno);
    }
    return fd;
}

}  // namespace

void createMissing(const fs::path& path) {
    fs::path walked;
    for (const fs::path& part : path) {
        walked /= part;
        if (part == walked.root_path() || part.empty() || part == ".") {
            continue;
        }
        if (::mkdir(walked.c_str(), kPrivateFolder) == 0 || errno == EEXIST) {
            continue;
        }
        // A folder one may not write in can still hold the next level already.
        if (const int error = errno; error != EACCES && error != EPERM && error != EROFS) {
            fail("Cannot make the folder", walked, error);
        }
        struct stat status {};
        if (::stat(walked.c_str(), &status) != 0) {
            fail("Cannot make the folder", walked, errno);
        }
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        fail("Cannot make the folder", path, errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        fail("Cannot make the folder", path, ENOTDIR);
    }
}

void makePrivate(const fs::path& base, const fs::path& own) {
    createMissing(base);
    // The base is the user's choice and may be a link (a data folder on another disk).
    FileDescriptor folder{::open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
    if (!folder) {
        fail("Cannot open the folder", base, errno);
    }
    fs::path path = base;
    for (const fs::path& part : own) {
        if (part.empty() || part == ".") {
            continue;
        }
        path /= part;
        folder = privateChild(folder.get(), part, path);
    }
}

bool ownedAlone(const struct stat& status) {
    return status.st_uid == ::geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace zentravo::folders
