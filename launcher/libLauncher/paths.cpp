#include "paths.hpp"

#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

namespace zentravo {

std::filesystem::path getHomePath(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? pathFromUtf8(value) : std::filesystem::path{};
}

std::filesystem::path pathFromUtf8(std::string_view text) {
    return std::filesystem::path{std::string{text}};
}

std::string pathToUtf8(const std::filesystem::path& path) {
    return path.native();
}

std::filesystem::path getExecutablePath() {
    std::array<char, 4096> buffer{};
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length < 1) {
        spdlog::error("PID: {} path: {}", ::getpid(), std::strerror(errno));
        return {};
    }
    return pathFromUtf8(std::string_view{buffer.data(), static_cast<std::size_t>(length)});
}

std::filesystem::path getParentPath(const std::filesystem::path& path) {
    // parent_path() of "/" is "/" again; a path too short to hold a bundle has no such folder.
    if (std::distance(path.begin(), path.end()) < 4) {
        return {};
    }
    return path.parent_path().parent_path().parent_path().parent_path();
}

namespace path {

std::filesystem::path executableDirectory() {
    static const std::filesystem::path directory = executable().parent_path();
    return directory;
}

std::filesystem::path applicationSupport() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') {
        return pathFromUtf8(xdg);
    }
    // A relative home would be resolved against the launcher's own folder.
    const std::filesystem::path home = getHomePath("HOME");
    if (home.empty() || home.is_relative()) {
        return {};
    }
    return home / ".local" / "share";
}

void ignoreRelativeLocations() {
    for (const char* name :
         {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME",
          "XDG_RUNTIME_DIR", "TMPDIR", "TMP", "TEMP", "TEMPDIR"}) {
        if (const char* value = std::getenv(name); value != nullptr && *value != '/') {
            ::unsetenv(name);
        }
    }
    for (const char* name : {"XDG_DATA_DIRS", "XDG_CONFIG_DIRS"}) {
        const char* value = std::getenv(name);
        if (value == nullptr) {
            continue;
        }
        const std::string_view all{value};
        std::string kept;
        bool dropped = false;
        for (std::size_t start = 0; start <= all.size();) {
            const std::size_t end = std::min(all.find(':', start), all.size());
            const std::string_view entry = all.substr(start, end - start);
            if (entry.starts_with('/')) {
                kept += kept.empty() ? "" : ":";
                kept += entry;
            } else {
                dropped = true;
            }
            start = end + 1;
        }
        if (!dropped) {
            continue;
        }
        if (kept.empty()) {
            ::unsetenv(name);
        } else {
            ::setenv(name, kept.c_str(), 1);
        }
    }
}

}  // namespace path
}  // namespace zentravo
