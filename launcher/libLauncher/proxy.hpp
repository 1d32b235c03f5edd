#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The system's HTTP proxy and the credentials stored for it. No state, no cache: every call
// reads the settings afresh, so a change applies from the next request.
namespace proxy {

struct ProxyConfiguration {
    // "host" or "host:port", led by "scheme://" for a proxy that is not plain HTTP; empty when
    // no proxy is in force.
    std::string proxy;
    std::string user;
    std::string password;
};

// The system's HTTP proxy entries, as the settings hold them.
struct HttpProxySettings {
    bool enabled = false;
    std::string host;
    std::optional<int> port;
    // The proxy's protocol when it is not plain HTTP ("https", "socks5h", ...); empty for HTTP.
    std::string scheme;
};

struct StoredCredentials {
    std::string account;
    std::string password;
};

// The two platform operations behind the lookup; tests replace them.
struct Platform {
    // nullopt when the system has no proxy settings at all.
    std::function<std::optional<HttpProxySettings>()> readHttpProxySettings;
    // The credentials stored for a proxy host; nullopt when none are found.
    std::function<std::optional<StoredCredentials>(std::string_view host)> lookupCredentials;
};

// The desktop's manual HTTP proxy (GSettings org.gnome.system.proxy), else the http_proxy /
// HTTP_PROXY variable.
[[nodiscard]] Platform systemPlatform();

[[nodiscard]] ProxyConfiguration getProxyConfiguration();
[[nodiscard]] ProxyConfiguration getProxyConfiguration(const Platform& platform);

}  // namespace proxy
