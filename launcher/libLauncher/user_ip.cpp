#include "user_ip.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>

#include "build_config.hpp"
#include "http_session.hpp"
#include "sentry_wrapper.hpp"

namespace zentravo {
namespace {

std::optional<nlohmann::json> requestIp(const std::string& url) {
    http::Session session;
    session.setUrl(url);
    session.setPinnedPublicKey(config::kPinnedKeys.reveal());
    session.setExtraCaFile(config::kCaFile);
    session.setTimeout(std::chrono::milliseconds{10000});
    const http::Response response = session.get();
    if (response.status_code != 200) {
        const std::string message =
            fmt::format("Request to {} failed: status {} {}", url, response.status_code,
                        response.error.code != CURLE_OK ? response.error.message : response.text);
        spdlog::error(message);
        utils::sentry::sharedWrapper.sendException("getUserIp Failed", message);
        return std::nullopt;
    }
    try {
        return nlohmann::json::parse(response.text);
    } catch (const nlohmann::json::parse_error& e) {
        const std::string message = fmt::format("Request to {} failed: {}", url, e.what());
        spdlog::error(message);
        utils::sentry::sharedWrapper.sendException("getUserIp Failed", message);
        return std::nullopt;
    }
}

}  // namespace

std::string getUserIp() {
    static std::string cached;
    if (!cached.empty()) {
        return cached;
    }
    const std::string url = fmt::format("{}/ip", config::kServiceUrl.reveal());
    if (const std::optional<nlohmann::json> answer = requestIp(url)) {
        cached = answer->at("ip").get<std::string>();
    }
    return cached;
}

}  // namespace zentravo
