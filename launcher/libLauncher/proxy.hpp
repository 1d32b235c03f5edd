#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The system's HTTP proxy and the credentials stored for it. No state, no cache: every call
// reads the settings afresh, so a change applies from the next request.
namespace proxy {

struct ProxyConfiguration {
    // "host" or "host:port", led by "scheme://" for a proxy that is not plain HTTP; empty when
    // no proxy is in force.
    std::string proxy;
    std::string user;
    std::string password;
    // The hosts reached without the proxy, in libcurl's no-proxy list form
    // ("example.com,.example.org,127.0.0.0/8,::1"); empty: every host through the proxy.
    std::string noProxy;
};

// The system's HTTP proxy entries, as the settings hold them.
struct HttpProxySettings {
    bool enabled = false;
    std::string host;
    std::optional<int> port;
    // The proxy's protocol when it is not plain HTTP ("https", "socks5h", ...); empty for HTTP.
    std::string scheme;
    // The hosts the settings exempt from the proxy, one entry each as written there: names
    // ("example.com", ".example.com", "*.example.com"), addresses and ranges ("::1",
    // "10.0.0.0/8"), optionally with a port.
    std::vector<std::string> ignoreHosts{};
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

// The desktop's manual HTTP proxy (GSettings org.gnome.system.proxy) with its ignore-hosts, else
// the http_proxy / HTTP_PROXY variable with no_proxy / NO_PROXY.
[[nodiscard]] Platform systemPlatform();

[[nodiscard]] ProxyConfiguration getProxyConfiguration();
[[nodiscard]] ProxyConfiguration getProxyConfiguration(const Platform& platform);

// `text` (a message that may repeat the proxy address `proxy`) with the user part of `proxy`
// ("user:password" in "user:password@host") shown as "***", so that it may be logged or reported.
[[nodiscard]] std::string withoutCredentials(std::string_view text, std::string_view proxy);

}  // namespace proxy
