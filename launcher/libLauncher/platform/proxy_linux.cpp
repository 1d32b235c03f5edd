// The system proxy on Linux: the desktop's manual HTTP proxy from GSettings (with the user and
// password it stores when authentication is on, and its ignore-hosts), else the http_proxy
// variable of the process with its no_proxy. Each source's exemptions go with its own proxy, as
// the desktop's own resolvers pair them.
#include <curl/curl.h>
#include <gio/gio.h>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/glib_handles.hpp"
#include "proxy.hpp"
#include "utils.hpp"

namespace proxy {
namespace {

using zentravo::system::GObjectPtr;

struct GFree {
    void operator()(gpointer p) const noexcept { g_free(p); }
};
using GString = std::unique_ptr<gchar, GFree>;
struct GStrvFree {
    void operator()(gchar** p) const noexcept { g_strfreev(p); }
};
using StringArray = std::unique_ptr<gchar*, GStrvFree>;

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
    if (const StringArray hosts{g_settings_get_strv(proxy.get(), "ignore-hosts")}) {
        for (gchar** host = hosts.get(); *host != nullptr; ++host) {
            result.settings.ignoreHosts.emplace_back(*host);
        }
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

// The proxy schemes libcurl speaks besides plain HTTP, kept so that the proxy is spoken to in
// its own protocol.
constexpr std::array<std::string_view, 5> kOtherProxySchemes{"https", "socks4", "socks4a", "socks5",
                                                             "socks5h"};

// no_proxy (else NO_PROXY): the hosts that the proxy variable does not apply to, comma-separated.
std::vector<std::string> environmentNoProxy() {
    const char* raw = std::getenv("no_proxy");
    if (raw == nullptr || *raw == '\0') {
        raw = std::getenv("NO_PROXY");
    }
    std::vector<std::string> entries;
    if (raw == nullptr) {
        return entries;
    }
    const std::string_view text{raw};
    for (std::size_t start = 0; start <= text.size();) {
        const auto comma = std::min(text.find(',', start), text.size());
        if (comma > start) {
            entries.emplace_back(text.substr(start, comma - start));
        }
        start = comma + 1;
    }
    return entries;
}

// http_proxy in the usual forms: "host:port", "http://host:port/", "http://user:pw@host:port",
// also with one of kOtherProxySchemes. A variable that cannot be used as written is ignored,
// with a warning: a guess would send the traffic somewhere the user did not name.
std::optional<DesktopProxy> environmentProxy() {
    const char* variable = "http_proxy";
    const char* raw = std::getenv(variable);
    if (raw == nullptr || *raw == '\0') {
        variable = "HTTP_PROXY";
        raw = std::getenv(variable);
    }
    if (raw == nullptr || *raw == '\0') {
        return std::nullopt;
    }
    std::string_view text{raw};
    DesktopProxy result;
    if (const auto end = text.find("://"); end != std::string_view::npos) {
        const std::string scheme = zentravo::toLower(text.substr(0, end));
        if (std::find(kOtherProxySchemes.begin(), kOtherProxySchemes.end(), scheme) !=
            kOtherProxySchemes.end()) {
            result.settings.scheme = scheme;
        } else if (scheme != "http") {
            spdlog::warn("Proxy variable {} ignored: unsupported proxy scheme", variable);
            return std::nullopt;
        }
        text.remove_prefix(end + 3);
    }
    text = text.substr(0, text.find('/'));
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
        if (!digits.empty()) {
            int port = 0;
            const auto [end, error] =
                std::from_chars(digits.data(), digits.data() + digits.size(), port);
            if (error != std::errc{} || end != digits.data() + digits.size() || port < 1 ||
                port > 65535) {
                spdlog::warn("Proxy variable {} ignored: invalid port", variable);
                return std::nullopt;
            }
            result.settings.port = port;
        }
        text = text.substr(0, colon);
    }
    result.settings.host = std::string{text};
    result.settings.enabled = !result.settings.host.empty();
    result.settings.ignoreHosts = environmentNoProxy();
    result.settings.ignoreHostsRules = ExemptionRules::noProxyVariable;
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
