// Opening a URL with the desktop's default handler.
#include <gio/gio.h>
#include <spdlog/spdlog.h>

#include <string>

#include "log_text.hpp"
#include "platform/glib_handles.hpp"
#include "system.hpp"

namespace zentravo::system {

void openExternalUrl(std::string_view url) {
    // Only the view's own characters count; nothing past its end is read.
    const std::string text{url};
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr) ||
        !g_uri_is_valid(text.c_str(), G_URI_FLAGS_NONE, nullptr)) {
        spdlog::debug("Not a URL to open: '{}'", zentravo::logtext::escape(text));
        return;
    }
    GErrorPtr error;
    if (!g_app_info_launch_default_for_uri(text.c_str(), nullptr, out(error))) {
        spdlog::warn("Couldn't open '{}': {}", zentravo::logtext::escape(text),
                     zentravo::logtext::escape(error ? error->message : "unknown error"));
    }
}

}  // namespace zentravo::system
