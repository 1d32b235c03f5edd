#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "http_session.hpp"

// The launcher's client of the update service: JSON GETs identified by fixed headers and a
// system-describing query, pinned to the service's keys; and archive downloads into files.
namespace zentravo::rest {

// The record behind the "attributes" query parameter.
struct UrlAttributes {
    std::string os;
    std::string os_version;
    std::string os_arch;
    std::string partner_name;
    std::string launcher_version;
};
void to_json(nlohmann::json& j, const UrlAttributes& attributes);

// Transport error classes, named as the retry engine and the reports know them.
enum class ErrorCode : int {
    OK = 0,
    CONNECTION_FAILURE,
    EMPTY_RESPONSE,
    HOST_RESOLUTION_FAILURE,
    INTERNAL_ERROR,
    INVALID_URL_FORMAT,
    NETWORK_RECEIVE_ERROR,
    NETWORK_SEND_FAILURE,
    OPERATION_TIMEDOUT,
    PROXY_RESOLUTION_FAILURE,
    SSL_CONNECT_ERROR,
    SSL_LOCAL_CERTIFICATE_ERROR,
    SSL_REMOTE_CERTIFICATE_ERROR,
    SSL_CACERT_ERROR,
    GENERIC_SSL_ERROR,
    UNSUPPORTED_PROTOCOL,
    REQUEST_CANCELLED,
    TOO_MANY_REDIRECTS,
};
// The code's name; empty for a value outside the enumeration.
[[nodiscard]] std::string_view errorName(ErrorCode code);
// The class of a libcurl result; INTERNAL_ERROR for results with no better class.
[[nodiscard]] ErrorCode toErrorCode(CURLcode code);

struct SslOptions {
    std::string pinnedPublicKey;  // libcurl syntax, both pinned keys
    std::string extraCaPem;       // PEM text trusted besides the system store; may be empty
};

// URL scheme -> proxy address; the key kNoProxyKey holds the hosts reached without the proxy
// (libcurl's no-proxy list), when the system names any, kNoProxyKey + ":" + a port those reached
// without it only by URLs that name that port, and kNoProxyKey + ":ipv6" the IPv6 ranges reached
// without it (see proxy::ProxyConfiguration).
using Proxies = std::map<std::string, std::string>;
inline constexpr const char* kNoProxyKey = "no_proxy";
struct ProxyCredentials {
    std::string user;
    std::string password;
};
using ProxyAuthentication = std::map<std::string, ProxyCredentials>;  // URL scheme -> credentials

[[nodiscard]] std::string userAgent();
[[nodiscard]] UrlAttributes getUrlAttributes();
[[nodiscard]] http::Parameters getUrlParameters();
[[nodiscard]] SslOptions getSslOptions();
[[nodiscard]] std::pair<Proxies, ProxyAuthentication> getProxy();
// The hosts that a request to `url` reaches without the proxy, in libcurl's no-proxy list form.
[[nodiscard]] std::string noProxyFor(const Proxies& proxies, std::string_view url);
// Puts the proxy for the scheme of `url`, its credentials and the hosts exempted for it on
// `session`.
void applyProxy(http::Session& session, const std::pair<Proxies, ProxyAuthentication>& proxy,
                std::string_view url);

// Throws when no HTTP status arrived: UnrecoverableException for TLS failures (the SSL classes,
// or a message mentioning "SSL"), RetryableException otherwise; titled with the error's name.
void checkCriticalNetworkErrors(const http::Response& response);
void checkCriticalNetworkErrors(long statusCode, ErrorCode code, std::string_view message);

// GET with the identification headers, pinning and proxy; the parsed body of a 200 answer,
// else an empty optional (logged and reported).
[[nodiscard]] std::optional<nlohmann::json> getRequest(std::string_view url,
                                                       bool checkCriticalErrors,
                                                       bool withUrlParameters);

// Writes the body of a plain GET into `file`. True for a complete 200 answer; false for another
// status or a file that cannot be written. A transfer that breaks off, before or after the
// status, throws (see checkCriticalNetworkErrors), and so does a redirect to an address that is
// not https, which is never followed. With `maxBytes` (>= 0) no more body bytes than that are
// taken: a longer body stops the transfer where it passes the limit and throws.
[[nodiscard]] bool downloadRequest(std::string_view url, const std::filesystem::path& file,
                                   const http::ProgressCallback& progress,
                                   std::int64_t maxBytes = -1);

}  // namespace zentravo::rest
