#pragma once

#include <string_view>

namespace zentravo {

// The launcher's own version: crash-report release, request headers and analytics events.
inline constexpr std::string_view kLauncherVersion = "1.6.24";

}  // namespace zentravo
