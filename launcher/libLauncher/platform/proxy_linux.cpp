// The system proxy on Linux: the desktop's manual HTTP proxy from GSettings (with the user and
// password it stores when authentication is on), else the http_proxy variable of the process.
#include <curl/curl.h>
#include <gio/gio.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/glib_handles.hpp"
#include "proxy.hpp"

namespace proxy {
namespace {

using zentravo::system::GObjectPtr;

struct GFree {
    void operator()(gpointer p) const noexcept { g_free(p); }
};
using GString = std::unique_ptr<gchar, GFree>;

constexpr const char* kProxySchema = "org.gnome.system.proxy";
constexpr const char* kHttpSchema = "org.gnome.system.proxy.http";

// GSettings aborts the process on an unknown schema, so look it up first.
bool schemaInstalled(const char* id) {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (source == nullptr) {
        return false;
    }
    GSettingsSchema* schema = g_settings_schema_source_lookup(source, id, TRUE);
    if (schema == nullptr) {
        return false;
    }
    g_settings_schema_unref(schema);
    return true;
}

std::string readString(GSettings* settings, const char* key) {
    const GString value{g_settings_get_string(settings, key)};
    return value ? std::string{value.get()} : std::string{};
}

struct DesktopProxy {
    HttpProxySettings settings;
    std::optional<StoredCredentials> credentials;
};

// The manual HTTP proxy of the desktop, when the desktop has one configured.
std::optional<DesktopProxy> desktopProxy() {
    if (!schemaInstalled(kProxySchema) || !schemaInstalled(kHttpSchema)) {
        return std::nullopt;
    }
    const GObjectPtr<GSettings> proxy{g_settings_new(kProxySchema)};
    if (readString(proxy.get(), "mode") != "manual") {
        return std::nullopt;
    }
    const GObjectPtr<GSettings> http{g_settings_new(kHttpSchema)};
    DesktopProxy result;
    result.settings.host = readString(http.get(), "host");
    if (result.settings.host.empty()) {
        return std::nullopt;  // manual mode for other schemes only
    }
    result.settings.enabled = true;
    if (const int port = g_settings_get_int(http.get(), "port"); port > 0) {
        result.settings.port = port;
    }
    if (g_settings_get_boolean(http.get(), "use-authentication")) {
        result.credentials = StoredCredentials{readString(http.get(), "authentication-user"),
                                               readString(http.get(), "authentication-password")};
    }
    return result;
}

struct CurlFree {
    void operator()(char* p) const noexcept { curl_free(p); }
};

std::string percentDecode(std::string_view s) {
    int length = 0;
    const std::unique_ptr<char, CurlFree> decoded{
        curl_easy_unescape(nullptr, s.data(), static_cast<int>(s.size()), &length)};
    return decoded ? std::string{decoded.get(), static_cast<std::size_t>(length)} : std::string{};
}

// http_proxy in the usual forms: "host:port", "http://host:port/", "http://user:pw@host:port".
std::optional<DesktopProxy> environmentProxy() {
    const char* raw = std::getenv("http_proxy");
    if (raw == nullptr || *raw == '\0') {
        raw = std::getenv("HTTP_PROXY");
    }
    if (raw == nullptr || *raw == '\0') {
        return std::nullopt;
    }
    std::string_view text{raw};
    if (const auto scheme = text.find("://"); scheme != std::string_view::npos) {
        text.remove_prefix(scheme + 3);
    }
    text = text.substr(0, text.find('/'));
    DesktopProxy result;
    if (const auto at = text.rfind('@'); at != std::string_view::npos) {
        const auto userinfo = text.substr(0, at);
        const auto colon = userinfo.find(':');
        result.credentials = StoredCredentials{percentDecode(userinfo.substr(0, colon)),
                                               colon == std::string_view::npos
                                                   ? std::string{}
                                                   : percentDecode(userinfo.substr(colon + 1))};
        text.remove_prefix(at + 1);
    }
    // The port follows the last colon, outside an IPv6 literal's brackets.
    const auto colon = text.rfind(':');
    if (colon != std::string_view::npos && text.find(']', colon) == std::string_view::npos) {
        const auto digits = text.substr(colon + 1);
        if (!digits.empty() && digits.size() <= 5 &&
            digits.find_first_not_of("0123456789") == std::string_view::npos) {
            result.settings.port = std::stoi(std::string{digits});
        }
        text = text.substr(0, colon);
    }
    result.settings.host = std::string{text};
    result.settings.enabled = !result.settings.host.empty();
    return result;
}

std::optional<DesktopProxy> currentProxy() {
    if (auto desktop = desktopProxy()) {
        return desktop;
    }
    return environmentProxy();
}

}  // namespace

Platform systemPlatform() {
    return Platform{[]() -> std::optional<HttpProxySettings> {
                        if (auto current = currentProxy()) {
                            return current->settings;
                        }
                        return std::nullopt;
                    },
                    [](std::string_view host) -> std::optional<StoredCredentials> {
                        auto current = currentProxy();
                        if (!current || current->settings.host != host || !current->credentials ||
                            current->credentials->account.empty()) {
                            return std::nullopt;
                        }
                        return current->credentials;
                    }};
}

}  // namespace proxy
