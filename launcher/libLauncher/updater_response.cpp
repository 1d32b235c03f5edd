#include "updater_response.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <nlohmann/json.hpp>

#include "log_text.hpp"
#include "sentry_wrapper.hpp"

namespace zentravo::request {
namespace {

// Member lookup that never modifies the answer: a non-object throws the library's operator[]
// type error; a missing member throws its out-of-range error instead of reading past the map.
const nlohmann::json& member(const nlohmann::json& j, const char* key) {
    if (j.is_object() && !j.contains(key)) {
        return j.at(key);
    }
    return j[key];
}

}  // namespace

UpdaterResponse::UpdaterResponse(const nlohmann::json& json) {
    if (json.empty()) {  // null, [] or {}: no answer, nothing to report
        return;
    }
    try {
        launcherVersion =
            member(member(json, "launcherUpdate"), "launcherVersion").get<std::string>();
        arm64 = member(member(json, "launcherUpdate"), "arm64").get<std::string>();
    } catch (const std::exception& e) {
        const std::string text =
            fmt::format("Failed to load object: {} - {}", e.what(), logtext::dump(json, 4));
        spdlog::error(text);
        utils::sentry::sharedWrapper.sendException("UpdaterResponse operator= failed", text);
    }
}

}  // namespace zentravo::request
