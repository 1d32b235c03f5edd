#include "rest.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "build_config.hpp"
#include "exceptions.hpp"
#include "log_text.hpp"
#include "paths.hpp"
#include "proxy.hpp"
#include "sentry_wrapper.hpp"
#include "system.hpp"
#include "version.hpp"

namespace zentravo::rest {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kAppName = "corvanta-launcher";
constexpr std::string_view kCheckTag = "[checkCriticalNetworkErrors]";
constexpr auto kGetTimeout = 10000ms;
constexpr auto kDownloadTimeout = 600000ms;
// The service's answers are a few hundred bytes, a few levels deep; anything far beyond is
// refused before it can cost memory, or time when it is parsed and logged.
constexpr std::int64_t kMaxAnswerBytes = 1 << 20;
constexpr int kMaxAnswerDepth = 64;

// Revealed once, before main, and only read afterwards.
const std::string kPinnedKeysText = config::kPinnedKeys.reveal();

constexpr std::array<std::string_view, 18> kErrorNames{
    "OK",
    "CONNECTION_FAILURE",
    "EMPTY_RESPONSE",
    "HOST_RESOLUTION_FAILURE",
    "INTERNAL_ERROR",
    "INVALID_URL_FORMAT",
    "NETWORK_RECEIVE_ERROR",
    "NETWORK_SEND_FAILURE",
    "OPERATION_TIMEDOUT",
    "PROXY_RESOLUTION_FAILURE",
    "SSL_CONNECT_ERROR",
    "SSL_LOCAL_CERTIFICATE_ERROR",
    "SSL_REMOTE_CERTIFICATE_ERROR",
    "SSL_CACERT_ERROR",
    "GENERIC_SSL_ERROR",
    "UNSUPPORTED_PROTOCOL",
    "REQUEST_CANCELLED",
    "TOO_MANY_REDIRECTS",
};

struct CurlClass {
    CURLcode curl;
    ErrorCode code;
};
constexpr CurlClass kCurlClasses[] = {
    {CURLE_OK, ErrorCode::OK},
    {CURLE_UNSUPPORTED_PROTOCOL, ErrorCode::UNSUPPORTED_PROTOCOL},
    {CURLE_URL_MALFORMAT, ErrorCode::INVALID_URL_FORMAT},
    {CURLE_COULDNT_RESOLVE_PROXY, ErrorCode::PROXY_RESOLUTION_FAILURE},
    {CURLE_COULDNT_RESOLVE_HOST, ErrorCode::HOST_RESOLUTION_FAILURE},
    {CURLE_COULDNT_CONNECT, ErrorCode::CONNECTION_FAILURE},
    {CURLE_OPERATION_TIMEDOUT, ErrorCode::OPERATION_TIMEDOUT},
    {CURLE_GOT_NOTHING, ErrorCode::EMPTY_RESPONSE},
    {CURLE_SEND_ERROR, ErrorCode::NETWORK_SEND_FAILURE},
    {CURLE_RECV_ERROR, ErrorCode::NETWORK_RECEIVE_ERROR},
    {CURLE_PARTIAL_FILE, ErrorCode::NETWORK_RECEIVE_ERROR},
    {CURLE_ABORTED_BY_CALLBACK, ErrorCode::REQUEST_CANCELLED},
    {CURLE_WRITE_ERROR, ErrorCode::REQUEST_CANCELLED},
    {CURLE_TOO_MANY_REDIRECTS, ErrorCode::TOO_MANY_REDIRECTS},
    {CURLE_SSL_CONNECT_ERROR, ErrorCode::SSL_CONNECT_ERROR},
    {CURLE_SSL_CERTPROBLEM, ErrorCode::SSL_LOCAL_CERTIFICATE_ERROR},
    {CURLE_PEER_FAILED_VERIFICATION, ErrorCode::SSL_REMOTE_CERTIFICATE_ERROR},
    {CURLE_SSL_PINNEDPUBKEYNOTMATCH, ErrorCode::SSL_REMOTE_CERTIFICATE_ERROR},
    {CURLE_SSL_INVALIDCERTSTATUS, ErrorCode::SSL_REMOTE_CERTIFICATE_ERROR},
    {CURLE_SSL_CACERT_BADFILE, ErrorCode::SSL_CACERT_ERROR},
    {CURLE_SSL_CRL_BADFILE, ErrorCode::SSL_CACERT_ERROR},
    {CURLE_SSL_ISSUER_ERROR, ErrorCode::SSL_CACERT_ERROR},
    {CURLE_SSL_ENGINE_NOTFOUND, ErrorCode::GENERIC_SSL_ERROR},
    {CURLE_SSL_ENGINE_SETFAILED, ErrorCode::GENERIC_SSL_ERROR},
    {CURLE_SSL_ENGINE_INITFAILED, ErrorCode::GENERIC_SSL_ERROR},
    {CURLE_SSL_CIPHER, ErrorCode::GENERIC_SSL_ERROR},
    {CURLE_SSL_SHUTDOWN_FAILED, ErrorCode::GENERIC_SSL_ERROR},
    {CURLE_USE_SSL_FAILED, ErrorCode::GENERIC_SSL_ERROR},
};

std::string_view architecture() {
    return system::isARM64Processor() ? "arm64" : "x86_64";
}

std::string schemeOf(std::string_view url) {
    const auto end = url.find("://");
    std::string scheme{end == std::string_view::npos ? std::string_view{} : url.substr(0, end)};
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return scheme;
}

void report(std::string_view title, const std::string& text) {
    spdlog::error(text);
    utils::sentry::sharedWrapper.sendException(title, text);
}

nlohmann::json parseAnswer(const std::string& text) {
    return nlohmann::json::parse(
        text, [](int depth, nlohmann::json::parse_event_t event, const nlohmann::json&) {
            if (depth >= kMaxAnswerDepth && (event == nlohmann::json::parse_event_t::object_start ||
                                             event == nlohmann::json::parse_event_t::array_start)) {
                throw std::runtime_error{"answer nested too deeply"};
            }
            return true;
        });
}

}  // namespace

void to_json(nlohmann::json& j, const UrlAttributes& a) {
    j = nlohmann::json::object();
    j["os"] = a.os;
    j["os_version"] = a.os_version;
    j["os_arch"] = a.os_arch;
    j["partner_name"] = a.partner_name;
    j["launcher_version"] = a.launcher_version;
}

std::string_view errorName(ErrorCode code) {
    const auto index = static_cast<int>(code);
    return index >= 0 && index < static_cast<int>(kErrorNames.size()) ? kErrorNames[index]
                                                                      : std::string_view{};
}

ErrorCode toErrorCode(CURLcode code) {
    for (const auto& c : kCurlClasses) {
        if (c.curl == code) {
            return c.code;
        }
    }
    return ErrorCode::INTERNAL_ERROR;
}

std::string userAgent() {
    return fmt::format("{} {} {} {}", kAppName, system::getOSName(), kLauncherVersion,
                       architecture());
}

UrlAttributes getUrlAttributes() {
    return UrlAttributes{std::string{system::getOSName()}, std::string{system::getOSVersion()},
                         std::string{architecture()}, std::string{system::getPartnerInfo().name},
                         std::string{kLauncherVersion}};
}

http::Parameters getUrlParameters() {
    const nlohmann::json attributes = getUrlAttributes();
    return {{"attributes", attributes.dump()}};
}

SslOptions getSslOptions() {
    return SslOptions{kPinnedKeysText, std::string{config::kExtraCaPem}};
}

std::pair<Proxies, ProxyAuthentication> getProxy() {
    const auto configuration = proxy::getProxyConfiguration();
    std::pair<Proxies, ProxyAuthentication> result;
    if (configuration.proxy.empty()) {
        return result;
    }
    result.first.emplace("https", configuration.proxy);
    if (!configuration.noProxy.empty()) {
        result.first.emplace(kNoProxyKey, configuration.noProxy);
    }
    for (const auto& [port, hosts] : configuration.noProxyOnPort) {
        result.first.emplace(std::string{kNoProxyKey} + ":" + std::to_string(port), hosts);
    }
    std::string ranges;
    for (const auto& range : configuration.ipv6Ranges) {
        ranges += (ranges.empty() ? "" : ",") + range;
    }
    if (!ranges.empty()) {
        result.first.emplace(std::string{kNoProxyKey} + ":ipv6", ranges);
    }
    if (!configuration.user.empty()) {
        result.second.emplace("https",
                              ProxyCredentials{configuration.user, configuration.password});
    }
    return result;
}

std::string noProxyFor(const Proxies& proxies, std::string_view url) {
    const std::string prefix = std::string{kNoProxyKey} + ":";
    proxy::ProxyConfiguration exemptions;
    for (const auto& [key, hosts] : proxies) {
        if (key == kNoProxyKey) {
            exemptions.noProxy = hosts;
        } else if (key == prefix + "ipv6") {
            for (std::size_t start = 0; start < hosts.size();) {
                const auto comma = std::min(hosts.find(',', start), hosts.size());
                exemptions.ipv6Ranges.push_back(hosts.substr(start, comma - start));
                start = comma + 1;
            }
        } else if (key.starts_with(prefix)) {
            exemptions.noProxyOnPort.emplace(std::atoi(key.c_str() + prefix.size()), hosts);
        }
    }
    return proxy::noProxyForUrl(exemptions, url);
}

void applyProxy(http::Session& session, const std::pair<Proxies, ProxyAuthentication>& proxy,
                std::string_view url) {
    const auto& [proxies, authentication] = proxy;
    const std::string scheme = schemeOf(url);
    const auto p = proxies.find(scheme);
    if (p == proxies.end()) {
        return;
    }
    session.setProxy(p->second);
    session.setNoProxy(noProxyFor(proxies, url));
    if (const auto a = authentication.find(scheme); a != authentication.end()) {
        session.setProxyAuthentication(a->second.user, a->second.password);
    }
}

void checkCriticalNetworkErrors(const http::Response& response) {
    checkCriticalNetworkErrors(response.status_code, toErrorCode(response.error.code),
                               response.error.message);
}

void checkCriticalNetworkErrors(long statusCode, ErrorCode code, std::string_view message) {
    if (statusCode != 0) {
        spdlog::debug("{} No critical error found", kCheckTag);
        return;
    }
    const auto name = errorName(code);
    spdlog::error("{} {}: {}", kCheckTag, name, logtext::escape(message));
    const auto index = static_cast<int>(code);
    if ((index >= static_cast<int>(ErrorCode::SSL_CONNECT_ERROR) &&
         index <= static_cast<int>(ErrorCode::GENERIC_SSL_ERROR)) ||
        message.find("SSL") != std::string_view::npos) {
        throw except::UnrecoverableException(name, message);
    }
    throw except::RetryableException(name, message);
}

std::optional<nlohmann::json> getRequest(std::string_view url, bool checkCriticalErrors,
                                         bool withUrlParameters) {
    const SslOptions ssl = getSslOptions();
    const auto proxy = getProxy();
    const std::string agent = userAgent();

    http::Session session;
    session.setUrl(url);
    session.setParameters(withUrlParameters ? getUrlParameters() : http::Parameters{});
    session.setVerifySsl(true);
    session.setPinnedPublicKey(ssl.pinnedPublicKey);
    session.setExtraCaPem(ssl.extraCaPem);
    // Proxies apply per URL scheme; only "https" is ever configured.
    applyProxy(session, proxy, url);
    session.setTimeout(kGetTimeout);
    // Sent in the order of a case-insensitive map of their names.
    session.setHeaders({{"accept", "application/json"},
                        {"app-name", std::string{kAppName}},
                        {"app-os", std::string{system::getOSName()}},
                        {"app-version", std::string{kLauncherVersion}},
                        {"User-Agent", agent}});
    session.setVerbose(true);
    session.setMaxBodySize(kMaxAnswerBytes);

    const http::Response response = session.get();
    spdlog::debug("{}", response.status_code);
    spdlog::debug("{}", logtext::escape(response.header("content-type")));
    spdlog::debug("{}", logtext::excerpt(response.text));

    if (checkCriticalErrors) {
        checkCriticalNetworkErrors(response);
    }
    // An oversized answer is a failed request like any other status.
    if (response.status_code != 200 || response.body_over_limit) {
        report("getRequest failed",
               fmt::format("Failed getRequest to '{}' with code {} and message '{}'", url,
                           response.status_code, response.error.message));
        return std::nullopt;
    }
    try {
        return parseAnswer(response.text);
    } catch (...) {
        report("getRequest response parsing failed",
               fmt::format("Failed to parse response from '{}'", url));
        return std::nullopt;
    }
}

bool downloadRequest(std::string_view url, const std::filesystem::path& file,
                     const http::ProgressCallback& progress, std::int64_t maxBytes) {
    http::Session session;
    session.setUrl(url);
    session.setProgressCallback(progress);
    session.setTimeout(kDownloadTimeout);
    session.setExtraCaPem(config::kExtraCaPem);
    session.setMaxBodySize(maxBytes);

    std::ofstream out{file, std::ios::binary | std::ios::trunc};
    if (!out) {
        report("downloadRequest failed",
               fmt::format("Failed downloadRequest to '{}': cannot open '{}' for writing", url,
                           pathToUtf8(file)));
        return false;
    }
    http::Response response = session.download(out);
    errno = 0;
    out.close();
    if (!out && response.error.code == CURLE_OK) {
        const int error = errno;
        response.error = http::Error{
            CURLE_WRITE_ERROR,
            logtext::escape(fmt::format(
                "Failed writing to '{}'{}", pathToUtf8(file),
                error != 0 ? std::string{": "} + std::strerror(error) : std::string{}))};
    }
    spdlog::debug("{}", response.status_code);
    spdlog::debug("{}", logtext::escape(response.header("content-type")));

    checkCriticalNetworkErrors(response);
    // Not the server's answer but the launcher's own refusal: a failed transfer, not a status.
    if (response.redirect_refused) {
        report("downloadRequest failed",
               fmt::format("Failed downloadRequest to '{}' with code {} and message '{}'",
                           logtext::escape(url), response.status_code, response.error.message));
        throw except::RetryableException(errorName(ErrorCode::UNSUPPORTED_PROTOCOL),
                                         response.error.message);
    }
    if (response.status_code != 200) {
        report("downloadRequest failed",
               fmt::format("Failed downloadRequest to '{}' with code {} and message '{}'",
                           logtext::escape(url), response.status_code, response.error.message));
        return false;
    }
    // A 200 answer whose body broke off is no archive: fail it as a retryable transfer error,
    // whether or not the server announced a size.
    if (response.error.code != CURLE_OK ||
        (response.announced_bytes >= 0 && response.downloaded_bytes < response.announced_bytes)) {
        const ErrorCode code = response.error.code != CURLE_OK ? toErrorCode(response.error.code)
                                                               : ErrorCode::NETWORK_RECEIVE_ERROR;
        const std::string message =
            response.error.code != CURLE_OK
                ? response.error.message
                : fmt::format("received {} of {} bytes", response.downloaded_bytes,
                              response.announced_bytes);
        report("downloadRequest failed",
               fmt::format("Failed downloadRequest to '{}' with code {} and message '{}'", url,
                           response.status_code, message));
        throw except::RetryableException(errorName(code), message);
    }
    return true;
}

}  // namespace zentravo::rest
