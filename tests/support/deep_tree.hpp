#pragma once
// Folder trees deeper than path-based calls and one-descriptor-per-level walks can go.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace fixture {

// Makes `depth` nested folders "d" below `top` (created too), with a file "f" at the bottom and
// one beside each folder on the way. Never holds more than two descriptors; false on a failure.
[[nodiscard]] inline bool makeDeepTree(const std::filesystem::path& top, int depth) {
    std::filesystem::create_directories(top);
    int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; fd >= 0 && level < depth; ++level) {
        const int file = ::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (file < 0 || ::close(file) != 0 || ::mkdirat(fd, "d", 0755) != 0) {
            ::close(fd);
            return false;
        }
        const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    if (fd < 0) {
        return false;
    }
    const int file = ::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ::close(fd);
    return file >= 0 && ::close(file) == 0;
}

// The member name of the file at the bottom of such a tree, below `prefix`.
[[nodiscard]] inline std::string deepName(const std::string& prefix, int depth) {
    std::string name = prefix;
    for (int level = 0; level < depth; ++level) {
        name += "d/";
    }
    return name + "f";
}

}  // namespace fixture
