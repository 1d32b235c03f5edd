#include "mount_options.hpp"

#include <sys/statvfs.h>

#include <cerrno>

namespace zentravo::system {

bool onNoexecMount(const std::filesystem::path& folder) {
    std::filesystem::path at = folder;
    for (;;) {
        struct statvfs info {};
        if (::statvfs(at.c_str(), &info) == 0) {
            return (info.f_flag & ST_NOEXEC) != 0;
        }
        if ((errno != ENOENT && errno != ENOTDIR) || !at.has_relative_path()) {
            return false;
        }
        at = at.parent_path();
    }
}

}  // namespace zentravo::system
