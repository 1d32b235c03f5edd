#include "proxy.hpp"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <mutex>
#include <set>

#include "log_text.hpp"

namespace proxy {
namespace {

constexpr std::string_view kMask = "***";

// An IPv6 literal ("::1", "fe80::1%eth0") as the host of a proxy address: libcurl reads the text
// after its last colon as the port unless the literal is in brackets.
bool isIpv6Literal(std::string_view host) {
    const std::string address{host.substr(0, host.find('%'))};
    in6_addr parsed{};
    return address.find(':') != std::string::npos &&
           ::inet_pton(AF_INET6, address.c_str(), &parsed) == 1;
}

// The host text with an IPv6 literal put in brackets; a user part before it ("user@") stays.
std::string bracketed(std::string_view host) {
    const auto at = host.rfind('@');
    const std::string_view user = at == std::string_view::npos ? "" : host.substr(0, at + 1);
    const std::string_view name = host.substr(user.size());
    if (!isIpv6Literal(name)) {
        return std::string{host};
    }
    std::string out{user};
    out += '[';
    for (const char c : name) {
        out += c == '%' ? std::string_view{"%25"} : std::string_view{&c, 1};
    }
    out += ']';
    return out;
}

// One exemption as libcurl's no-proxy list reads it; empty when it cannot be written there.
// libcurl matches a name with all its subdomains (as "*.name" and ".name" do for the desktop),
// takes address ranges and bare IPv6 addresses, and has no port: an entry for one port of a host
// exempts the whole host.
std::string noProxyEntry(std::string_view entry) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!entry.empty() && blank(entry.front())) {
        entry.remove_prefix(1);
    }
    while (!entry.empty() && blank(entry.back())) {
        entry.remove_suffix(1);
    }
    if (entry.starts_with("*.")) {
        entry.remove_prefix(1);
    }
    if (entry.starts_with('[')) {
        const auto close = entry.find(']');
        if (close == std::string_view::npos) {
            return {};
        }
        std::string out{entry.substr(1, close - 1)};
        const std::string_view rest = entry.substr(close + 1);
        if (rest.starts_with('/')) {
            out += rest;  // "[fe80::]/10"
        }
        return out;
    }
    // "host:port" (one colon); an IPv6 address has more.
    if (const auto colon = entry.find(':');
        colon != std::string_view::npos && entry.find(':', colon + 1) == std::string_view::npos) {
        entry = entry.substr(0, colon);
    }
    if (entry.empty() || std::any_of(entry.begin(), entry.end(), [&](char c) {
            return c == ',' || blank(c) || static_cast<unsigned char>(c) < 0x20;
        })) {
        return {};
    }
    return std::string{entry};
}

void append(std::string& list, std::string_view entry) {
    if (!list.empty()) {
        list += ',';
    }
    list += entry;
}

std::string noProxyList(const std::vector<std::string>& entries) {
    std::string out;
    for (const auto& entry : entries) {
        const std::string converted = noProxyEntry(entry);
        if (!converted.empty()) {
            append(out, converted);
        }
    }
    return out;
}

// The lookup runs for every request: each entry that cannot be used is named once per process.
void warnUnusable(std::string_view entry, std::string_view reason) {
    static std::mutex mutex;
    static std::set<std::string, std::less<>> named;
    const std::lock_guard lock{mutex};
    if (named.size() < 256 && named.emplace(entry).second) {
        spdlog::warn("Proxy exemption '{}' not used: {}", zentravo::logtext::escape(entry), reason);
    }
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// A host name, address or range as libcurl's list takes it: ASCII letters, digits and the
// punctuation of names, IPv6 addresses and prefix lengths.
bool isListHost(std::string_view host) {
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == '_' || c == ':' || c == '/' || c == '%';
    });
}

std::optional<int> portNumber(std::string_view digits) {
    int port = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size() ||
        port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

// An IPv6 range "address/bits" as its 16 bytes and prefix length.
std::optional<std::pair<in6_addr, int>> ipv6Range(std::string_view range) {
    const auto slash = range.find('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string address{range.substr(0, slash)};
    const std::string_view digits = range.substr(slash + 1);
    in6_addr parsed{};
    int bits = -1;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
    if (::inet_pton(AF_INET6, address.c_str(), &parsed) != 1 || digits.empty() ||
        error != std::errc{} || end != digits.data() + digits.size() || bits < 0 || bits > 128) {
        return std::nullopt;
    }
    return std::pair{parsed, bits};
}

bool inIpv6Range(const in6_addr& address, const std::pair<in6_addr, int>& range) {
    const auto& [network, bits] = range;
    for (int bit = 0; bit < bits; ++bit) {
        const int mask = 0x80 >> (bit % 8);
        if ((address.s6_addr[bit / 8] & mask) != (network.s6_addr[bit / 8] & mask)) {
            return false;
        }
    }
    return true;
}

struct CurlUrlFree {
    void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};

// One part of a parsed URL; empty when the URL has none (no port written, say).
std::string urlPart(CURLU* url, CURLUPart which) {
    char* text = nullptr;
    if (curl_url_get(url, which, &text, 0) != CURLUE_OK || text == nullptr) {
        return {};
    }
    std::string part{text};
    curl_free(text);
    return part;
}

// The desktop's ignore-hosts as GLib's resolver reads them, but for "*": GLib takes it for no
// host, whoever lists it means every host (as no_proxy's "*" does), and the launcher always read
// a list of "*" alone so. Its names match themselves and their subdomains, as libcurl's do; its
// addresses and IPv4 ranges are libcurl's too. What libcurl's list cannot say is put apart:
// entries for one port go to `onPort`, IPv6 ranges to `ipv6Ranges`. libcurl takes "*" only as the
// whole list, so a "*" entry makes the list (or that port's list) just "*".
std::string desktopNoProxyList(const std::vector<std::string>& entries,
                               std::map<int, std::string>& onPort,
                               std::vector<std::string>& ipv6Ranges) {
    std::string out;
    bool everyHost = false;
    std::set<int> everyHostOnPort;
    for (const auto& written : entries) {
        std::string_view entry = trimmed(written);
        if (entry.empty()) {
            continue;
        }
        std::string_view host = entry;
        std::optional<int> port;
        bool portValid = true;
        const bool bracketed = host.starts_with('[');
        if (bracketed) {
            // "[::1]" or "[::1]:8443"; GLib takes a range only without brackets.
            const auto close = host.find(']');
            const std::string_view rest =
                close == std::string_view::npos ? "x" : host.substr(close + 1);
            if (!rest.empty() && !rest.starts_with(':')) {
                warnUnusable(entry, "not a host name, address or range");
                continue;
            }
            if (!rest.empty()) {
                port = portNumber(rest.substr(1));
                portValid = port.has_value();
            }
            host = host.substr(1, close - 1);
        } else if (const auto colon = host.find(':');
                   colon != std::string_view::npos &&
                   host.find(':', colon + 1) == std::string_view::npos) {
            // "host:port"; an IPv6 address has more than one colon.
            port = portNumber(host.substr(colon + 1));
            portValid = port.has_value();
            host = host.substr(0, colon);
        }
        if (!portValid) {
            warnUnusable(entry, "not a valid port");
            continue;
        }
        if (host == "*" && !bracketed) {
            if (port) {
                everyHostOnPort.insert(*port);
            } else {
                everyHost = true;
            }
            continue;
        }
        if (host.starts_with("*.")) {
            host.remove_prefix(1);
        }
        if (host.find('*') != std::string_view::npos) {
            warnUnusable(entry, "only a leading '*.' is a wildcard");
            continue;
        }
        if (!isListHost(host) || host.find_first_not_of('.') == std::string_view::npos) {
            warnUnusable(entry, "not a host name, address or range");
            continue;
        }
        if (!port && host.find(':') != std::string_view::npos &&
            host.find('/') != std::string_view::npos) {
            if (ipv6Range(host)) {
                ipv6Ranges.emplace_back(host);
            } else {
                warnUnusable(entry, "not a host name, address or range");
            }
            continue;
        }
        append(port ? onPort[*port] : out, host);
    }
    if (everyHost) {
        onPort.clear();
        ipv6Ranges.clear();
        return "*";
    }
    for (const int port : everyHostOnPort) {
        onPort[port] = "*";
    }
    return out;
}

}  // namespace

ProxyConfiguration getProxyConfiguration() {
    return getProxyConfiguration(systemPlatform());
}

ProxyConfiguration getProxyConfiguration(const Platform& platform) {
    ProxyConfiguration result;
    const auto settings = platform.readHttpProxySettings();
    // An enabled proxy without a host cannot be used: treat it as no proxy.
    if (!settings || !settings->enabled || settings->host.empty()) {
        return result;
    }
    const std::string host = bracketed(settings->host);
    result.proxy = settings->scheme.empty() ? host : settings->scheme + "://" + host;
    if (settings->port) {
        result.proxy += ":" + std::to_string(*settings->port);
    }
    result.noProxy =
        settings->ignoreHostsRules == ExemptionRules::desktop
            ? desktopNoProxyList(settings->ignoreHosts, result.noProxyOnPort, result.ipv6Ranges)
            : noProxyList(settings->ignoreHosts);
    if (auto credentials = platform.lookupCredentials(settings->host)) {
        result.user = std::move(credentials->account);
        result.password = std::move(credentials->password);
    }
    return result;
}

std::string noProxyForUrl(const ProxyConfiguration& exemptions, std::string_view url) {
    std::string list = exemptions.noProxy;
    // Anything added to "*" would make libcurl read it as a host name.
    if (list == "*") {
        return list;
    }
    // Read by libcurl's own parser, so that the host and port are those the request goes to.
    const std::unique_ptr<CURLU, CurlUrlFree> parsed{curl_url()};
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, std::string{url}.c_str(),
                                CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return list;
    }
    std::string host = urlPart(parsed.get(), CURLUPART_HOST);
    const std::string port = urlPart(parsed.get(), CURLUPART_PORT);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (const auto number = portNumber(port)) {
        if (const auto hosts = exemptions.noProxyOnPort.find(*number);
            hosts != exemptions.noProxyOnPort.end()) {
            if (hosts->second == "*") {
                return hosts->second;
            }
            append(list, hosts->second);
        }
    }
    const std::string address = host.substr(0, host.find('%'));
    in6_addr ipv6{};
    if (::inet_pton(AF_INET6, address.c_str(), &ipv6) == 1 &&
        std::any_of(exemptions.ipv6Ranges.begin(), exemptions.ipv6Ranges.end(),
                    [&](const std::string& text) {
                        const auto range = ipv6Range(text);
                        return range && inIpv6Range(ipv6, *range);
                    })) {
        append(list, address);
    }
    return list;
}

std::string withoutCredentials(std::string_view text, std::string_view proxy) {
    if (const auto scheme = proxy.find("://"); scheme != std::string_view::npos) {
        proxy.remove_prefix(scheme + 3);
    }
    proxy = proxy.substr(0, proxy.find('/'));
    const auto at = proxy.rfind('@');
    if (at == std::string_view::npos || at == 0) {
        return std::string{text};
    }
    const std::string userPart = std::string{proxy.substr(0, at + 1)};
    std::string out;
    for (std::size_t start = 0;;) {
        const auto found = text.find(userPart, start);
        if (found == std::string_view::npos) {
            out += text.substr(start);
            return out;
        }
        out += text.substr(start, found - start);
        out += kMask;
        out += '@';
        start = found + userPart.size();
    }
}

}  // namespace proxy
