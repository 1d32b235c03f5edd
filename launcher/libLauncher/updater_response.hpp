#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace zentravo::request {

// The update service's answer about the launcher itself. Building it never throws on bad data:
// it keeps its defaults, logs the problem and reports it.
struct UpdaterResponse {
    std::string launcherVersion = "0.0.0";
    std::string arm64;

    explicit UpdaterResponse(const nlohmann::json& json);
};

}  // namespace zentravo::request
