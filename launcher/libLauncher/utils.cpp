#include "utils.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>

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
