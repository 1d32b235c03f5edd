#include "paths.hpp"

#include <cstdlib>

namespace zentravo {

std::filesystem::path getHomePath(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? pathFromUtf8(value) : std::filesystem::path{};
}

std::filesystem::path pathFromUtf8(std::string_view text) {
    return std::filesystem::path{std::string{text}};
}

std::string pathToUtf8(const std::filesystem::path& path) { return path.native(); }

namespace path {

std::filesystem::path executableDirectory() {
    static const std::filesystem::path directory = executable().parent_path();
    return directory;
}

std::filesystem::path applicationSupport() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg != '\0') {
        return pathFromUtf8(xdg);
    }
    const std::filesystem::path home = getHomePath("HOME");
    if (home.empty()) {
        return {};
    }
    return home / ".local" / "share";
}

}  // namespace path
}  // namespace zentravo
