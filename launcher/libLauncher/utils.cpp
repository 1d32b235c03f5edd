#include "utils.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>

#include <spdlog/spdlog.h>

#include "log_text.hpp"
#include "system.hpp"

namespace zentravo {

std::string toLower(std::string_view text) {
    std::string result{text};
    std::transform(result.begin(), result.end(), result.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    return result;
}

void openUrl(std::string_view url) {
    // The desktop would hand other schemes (file:, custom ones) to whatever program claims them.
    const auto schemeEnd = url.find("://");
    const std::string scheme =
        toLower(url.substr(0, schemeEnd == std::string_view::npos ? 0 : schemeEnd));
    if (scheme != "http" && scheme != "https") {
        spdlog::warn("Not opened: only http and https links are opened: '{}'",
                     logtext::escape(url));
        return;
    }
    system::openExternalUrl(url);
}

namespace utils {

std::int64_t getCurrentTime() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace utils
}  // namespace zentravo
