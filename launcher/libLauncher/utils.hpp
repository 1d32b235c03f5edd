#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zentravo {

// Every byte mapped by the C library's tolower (ASCII only; UTF-8 sequences pass unchanged).
[[nodiscard]] std::string toLower(std::string_view text);

// Hands an http or https link to the desktop's default handler; any other text is logged and
// not opened.
void openUrl(std::string_view url);

namespace utils {

// Milliseconds since the Unix epoch by the system clock.
[[nodiscard]] std::int64_t getCurrentTime();

}  // namespace utils
}  // namespace zentravo
