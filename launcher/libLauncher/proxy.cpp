#include "proxy.hpp"

#include <arpa/inet.h>

#include <algorithm>

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

std::string noProxyList(const std::vector<std::string>& entries) {
    std::string out;
    for (const auto& entry : entries) {
        const std::string converted = noProxyEntry(entry);
        if (converted.empty()) {
            continue;
        }
        if (!out.empty()) {
            out += ',';
        }
        out += converted;
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
    result.noProxy = noProxyList(settings->ignoreHosts);
    if (auto credentials = platform.lookupCredentials(settings->host)) {
        result.user = std::move(credentials->account);
        result.password = std::move(credentials->password);
    }
    return result;
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
