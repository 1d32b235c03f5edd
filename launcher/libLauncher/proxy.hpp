#pragma once

#include <functional>
#include <map>
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
    // What libcurl's list cannot say, added to it per request by noProxyForUrl: port -> hosts, in
    // the same form, that the desktop exempts only in URLs naming that port ("example.com:8443";
    // "*" for "*:8443"), and the desktop's IPv6 ranges ("fe80::/10"; libcurl 7.88 matches no IPv6
    // range).
    std::map<int, std::string> noProxyOnPort{};
    std::vector<std::string> ipv6Ranges{};
};

// Whose rules an exemption list follows.
enum class ExemptionRules {
    // The desktop's ignore-hosts, read as GLib's proxy resolver reads it: "example.com",
    // ".example.com" and "*.example.com" all match example.com and its subdomains; "host:port"
    // only URLs naming that port. A "*" entry matches every host (GLib's resolver takes it for
    // none; whoever lists it means all); no other "*" is a wildcard.
    desktop,
    // no_proxy, already in libcurl's own form ("*" alone exempts every host).
    noProxyVariable,
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
    ExemptionRules ignoreHostsRules = ExemptionRules::desktop;
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

// A desktop entry that cannot be used (a "*" in a name other than a leading "*.", a text that is
// no host, address or range) is left out, with a warning the first time a lookup meets it.
[[nodiscard]] ProxyConfiguration getProxyConfiguration();
[[nodiscard]] ProxyConfiguration getProxyConfiguration(const Platform& platform);

// libcurl's no-proxy list for a request to `url`: `exemptions.noProxy`, with the hosts exempted
// on the port that the URL names, and with the URL's IPv6 address when one of the ranges holds
// it. libcurl applies the list to each redirect as well; the additions are those of `url`.
[[nodiscard]] std::string noProxyForUrl(const ProxyConfiguration& exemptions, std::string_view url);

// `text` (a message that may repeat the proxy address `proxy`) with the user part of `proxy`
// ("user:password" in "user:password@host") shown as "***", so that it may be logged or reported.
[[nodiscard]] std::string withoutCredentials(std::string_view text, std::string_view proxy);

}  // namespace proxy
