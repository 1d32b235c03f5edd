#include "app_update_response.hpp"

#include <nlohmann/json.hpp>

namespace zentravo::request {
namespace {

// Absent: the default. Present: must be a string (type_error 302 otherwise, null included).
// Read from a non-object: type_error 306.
std::string optionalText(const nlohmann::json& j, const char* key) {
    return j.value(key, std::string{});
}

}  // namespace

void from_json(const nlohmann::json& j, AppUpdateUrls& r) {
    AppUpdateUrls out{};
    out.arm64 = optionalText(j, "arm64");
    out.x86_64 = optionalText(j, "x86_64");
    out.Windows = optionalText(j, "Windows");
    r = std::move(out);
}

void from_json(const nlohmann::json& j, PlatformUpdateFiles& r) {
    PlatformUpdateFiles out{};
    j.at("file").get_to(out.file);
    j.at("appCast").get_to(out.appCast);
    r = std::move(out);
}

void from_json(const nlohmann::json& j, WindowsUpdateFiles& r) {
    WindowsUpdateFiles out{};
    out.file = optionalText(j, "file");
    out.appCast = optionalText(j, "appCast");
    out.AVXFileReduced = optionalText(j, "AVXFileReduced");
    out.noAVXFileReduced = optionalText(j, "noAVXFileReduced");
    out.ARM64ECFileReduced = optionalText(j, "ARM64ECFileReduced");
    r = std::move(out);
}

void from_json(const nlohmann::json& j, AppUpdateFiles& r) {
    AppUpdateFiles out{};
    j.at("arm64").get_to(out.arm64);
    j.at("x86_64").get_to(out.x86_64);
    j.at("windows").get_to(out.windows);
    r = std::move(out);
}

void from_json(const nlohmann::json& j, AppVersionInfo& r) {
    AppVersionInfo out{};
    j.at("appVersion").get_to(out.appVersion);
    j.at("majorBaseVersion").get_to(out.majorBaseVersion);
    j.at("update").get_to(out.update);
    r = std::move(out);
}

void from_json(const nlohmann::json& j, AppUpdateResponse& r) {
    // Filled aside and moved in at the end: a failure leaves no half-read record behind.
    AppUpdateResponse out{};
    out.url = optionalText(j, "url");
    out.arm64 = optionalText(j, "arm64");
    out.x86_64 = optionalText(j, "x86_64");
    out.Windows = optionalText(j, "Windows");
    out.changelog = optionalText(j, "changelog");
    out.appVersion = optionalText(j, "appVersion");
    out.update = j.value("update", AppUpdateUrls{});
    out.version = j.value("version", AppVersionInfo{});
    r = std::move(out);
}

}  // namespace zentravo::request
