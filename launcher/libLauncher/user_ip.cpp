#include "user_ip.hpp"

#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <optional>

#include "build_config.hpp"
#include "rest.hpp"

namespace zentravo {

std::string getUserIp() {
    // Only the checker thread asks, so the cache needs no lock.
    static std::string cached;
    if (!cached.empty()) {
        return cached;
    }
    const std::string url = fmt::format("{}/ip", config::kServiceUrl.reveal());
    if (const std::optional<nlohmann::json> answer = rest::getRequest(url, false, false)) {
        cached = answer->at("ip").get<std::string>();
    }
    return cached;
}

}  // namespace zentravo
