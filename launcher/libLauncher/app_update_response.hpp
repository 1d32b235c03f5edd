#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

// The update service's answer about the main application. Read with the JSON library's
// `get`/`from_json`; a malformed answer throws the library's own exceptions and yields no record.
namespace zentravo::request {

struct AppUpdateUrls {
    std::string arm64;
    std::string x86_64;
    std::string Windows;
};

struct PlatformUpdateFiles {
    std::string file;
    std::string appCast;
};

struct WindowsUpdateFiles {
    std::string file;
    std::string appCast;
    std::string AVXFileReduced;
    std::string noAVXFileReduced;
    std::string ARM64ECFileReduced;
};

struct AppUpdateFiles {
    PlatformUpdateFiles arm64;
    PlatformUpdateFiles x86_64;
    WindowsUpdateFiles windows;
};

struct AppVersionInfo {
    std::string appVersion;
    std::string majorBaseVersion;
    AppUpdateFiles update;
};

struct AppUpdateResponse {
    std::string url;
    std::string arm64;
    std::string x86_64;
    std::string Windows;
    std::string changelog;
    std::string appVersion;
    AppUpdateUrls update;
    AppVersionInfo version;
};

void from_json(const nlohmann::json& j, AppUpdateUrls& r);
void from_json(const nlohmann::json& j, PlatformUpdateFiles& r);
void from_json(const nlohmann::json& j, WindowsUpdateFiles& r);
void from_json(const nlohmann::json& j, AppUpdateFiles& r);
void from_json(const nlohmann::json& j, AppVersionInfo& r);
void from_json(const nlohmann::json& j, AppUpdateResponse& r);

}  // namespace zentravo::request
