#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The project's one HTTP client: a single libcurl easy handle per request, owned by a Session.
// Every request of the launcher (update service, downloads, analytics, error reports) goes
// through it, so TLS, proxy and time-out handling live in one place. Only https is spoken, for
// the address and for every redirect.
namespace zentravo::http {

// Name/value pairs in the order they are sent.
using Headers = std::vector<std::pair<std::string, std::string>>;
using Parameters = std::vector<std::pair<std::string, std::string>>;

// Called during the transfer with (download total, downloaded, upload total, uploaded); the
// totals are 0 while unknown. Returning false aborts the transfer (CURLE_ABORTED_BY_CALLBACK).
using ProgressCallback =
    std::function<bool(std::int64_t, std::int64_t, std::int64_t, std::int64_t)>;

struct Error {
    CURLcode code = CURLE_OK;
    // libcurl's detailed text, escaped as log text (logtext::escape); empty when code is
    // CURLE_OK
    std::string message;
};

// The error message of a redirect the session refused to follow.
inline constexpr std::string_view kRedirectRefused =
    "the launcher refused a redirect to an address that is not https";

struct Response {
    long status_code = 0;  // 0 when no HTTP status line arrived
    std::string text;      // body; empty for downloads into a stream
    Headers headers;       // of the final answer (after redirects and 1xx)
    Error error;
    std::string url;  // the address actually requested, query included
    // Body bytes received, and the size the server announced (-1 when it announced none).
    std::int64_t downloaded_bytes = 0;
    std::int64_t announced_bytes = -1;
    // The body went past the session's limit: the transfer was stopped there and `text` is empty.
    bool body_over_limit = false;
    // The server redirected to an address that is not https, and the session did not follow:
    // error is CURLE_UNSUPPORTED_PROTOCOL with kRedirectRefused as its message, and the status
    // is the redirect's.
    bool redirect_refused = false;

    // Value of the first header with this name (compared without regard to case), else "".
    [[nodiscard]] std::string header(std::string_view name) const;
};

class Session {
  public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    Session(Session&&) noexcept;
    Session& operator=(Session&&) noexcept;

    void setUrl(std::string_view url);
    // URL-encoded and appended to the URL as its query; an empty list adds nothing.
    void setParameters(Parameters parameters);
    void setHeaders(const Headers& headers);
    // Total time allowed for the whole transfer; zero means no limit.
    void setTimeout(std::chrono::milliseconds timeout);
    void setConnectTimeout(std::chrono::milliseconds timeout);
    void setVerifySsl(bool verify);
    // libcurl's pinned-public-key syntax ("sha256//...;sha256//..."); empty for no pinning.
    void setPinnedPublicKey(std::string_view pins);
    // A PEM file of CA certificates trusted in addition to the system store; empty for none.
    void setExtraCaFile(const std::filesystem::path& file);
    // The same from PEM text held in memory; when set it is used instead of a file.
    void setExtraCaPem(std::string_view pem);
    // Proxy address for this request ("host:port" or a URL); empty means a direct connection.
    // The *_proxy environment variables are never consulted. A user part in the address
    // ("user:password@host") is masked in Response::error and in the trace.
    void setProxy(std::string_view proxy);
    // Hosts reached directly although a proxy is set, in libcurl's no-proxy list form
    // ("example.com,127.0.0.0/8,::1"); matched on every connection, redirects included.
    void setNoProxy(std::string_view hosts);
    // Basic credentials for the proxy; an empty user sends none.
    void setProxyAuthentication(std::string_view user, std::string_view password);
    // libcurl's trace of the transfer on standard error, with the values of the Authorization
    // and Proxy-Authorization headers masked.
    void setVerbose(bool verbose);
    void setProgressCallback(ProgressCallback callback);
    // The most body bytes taken; a larger body stops the transfer (error CURLE_WRITE_ERROR or
    // CURLE_FILESIZE_EXCEEDED, Response::body_over_limit set). Unlimited by default.
    void setMaxBodySize(std::int64_t bytes);

    // Each performs the request once and returns what happened; transfer failures are reported
    // in Response::error, never thrown. An exception thrown by the progress callback or the
    // output stream aborts the transfer and is rethrown.
    [[nodiscard]] Response get();
    [[nodiscard]] Response post(std::string_view body);
    // GET whose body goes into `out` instead of Response::text. A failed write aborts the
    // transfer with CURLE_WRITE_ERROR.
    [[nodiscard]] Response download(std::ostream& out);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Percent-encoding of one URL component, as used for query values.
[[nodiscard]] std::string urlEncode(std::string_view text);

}  // namespace zentravo::http
