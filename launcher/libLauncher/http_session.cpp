#include "http_session.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string_view>

#include "log_text.hpp"
#include "proxy.hpp"

namespace zentravo::http {

namespace {

// libcurl wants its global set-up done once before handles are made from several threads.
void ensureGlobalInit() {
    static const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (rc != CURLE_OK) {
        throw std::runtime_error(std::string{"curl_global_init failed: "} + curl_easy_strerror(rc));
    }
}

struct EasyDeleter {
    void operator()(CURL* h) const noexcept { curl_easy_cleanup(h); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};
struct CurlFree {
    void operator()(char* p) const noexcept { curl_free(p); }
};

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

// Credentials in a header line of the trace ("Name: Scheme secret", or "[name: Scheme secret]"
// as the HTTP/2 layer reports request headers) are replaced by "***"; the scheme word stays.
constexpr std::string_view kMask = "***";

bool isCredentialHeader(std::string_view name) {
    return equalsNoCase(name, "authorization") || equalsNoCase(name, "proxy-authorization");
}

// Where the credential header of a trace line begins, or npos: at the line's start, or just after
// a "[" for the HTTP/2 form. Found by its name, since a value may hold "[" and ":" itself.
std::size_t credentialHeaderStart(std::string_view line) {
    const auto namedAt = [&](std::size_t at) {
        const auto colon = line.find(':', at);
        return colon != std::string_view::npos &&
               isCredentialHeader(trim(line.substr(at, colon - at)));
    };
    if (namedAt(0)) {
        return 0;
    }
    for (auto open = line.find('['); open != std::string_view::npos;
         open = line.find('[', open + 1)) {
        if (namedAt(open + 1)) {
            return open + 1;
        }
    }
    return std::string_view::npos;
}

void maskCredentialLine(std::string_view line, std::string& out) {
    const std::size_t start = credentialHeaderStart(line);
    if (start == std::string_view::npos) {
        out += line;
        return;
    }
    const bool bracketed = start > 0;
    const std::size_t colon = line.find(':', start);
    // Keep the line's own ending (CR/LF, and the "]" of the HTTP/2 form) after the masked value.
    std::size_t end = line.size();
    while (end > colon + 1 && (line[end - 1] == '\r' || line[end - 1] == '\n')) {
        --end;
    }
    if (bracketed && end > colon + 1 && line[end - 1] == ']') {
        --end;
    }
    std::string_view value = line.substr(colon + 1, end - colon - 1);
    while (!value.empty() && value.front() == ' ') {
        value.remove_prefix(1);
    }
    const std::string_view scheme = value.substr(0, value.find(' '));
    out += line.substr(0, colon + 1);
    out += ' ';
    if (scheme.size() < value.size()) {
        out += scheme;
        out += ' ';
    }
    out += kMask;
    out += line.substr(end);
}

// libcurl's own verbose output, less the credentials: text and headers only, each block led by
// "* ", "< " or "> ". `user` is the session's proxy address, whose user part is masked too.
int traceWithoutCredentials(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    static constexpr std::string_view kLead[] = {"* ", "< ", "> "};
    if (type != CURLINFO_TEXT && type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT) {
        return 0;
    }
    try {
        std::string out{kLead[type]};
        const std::string_view block{data, size};
        for (std::size_t start = 0; start < block.size();) {
            const auto newline = block.find('\n', start);
            const std::size_t end = newline == std::string_view::npos ? block.size() : newline + 1;
            maskCredentialLine(block.substr(start, end - start), out);
            start = end;
        }
        if (const auto* proxy = static_cast<const std::string*>(user); proxy != nullptr) {
            out = proxy::withoutCredentials(out, *proxy);
        }
        std::fwrite(out.data(), 1, out.size(), stderr);
    } catch (...) {
        // A trace line that cannot be formed is left out; the transfer goes on.
    }
    return 0;
}

}  // namespace

std::string Response::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsNoCase(key, name)) {
            return value;
        }
    }
    return {};
}

std::string urlEncode(std::string_view text) {
    ensureGlobalInit();
    std::unique_ptr<char, CurlFree> out{
        curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()))};
    if (!out) {
        throw std::bad_alloc();
    }
    return out.get();
}

struct Session::State {
    std::unique_ptr<CURL, EasyDeleter> handle;
    std::unique_ptr<curl_slist, SlistDeleter> headerList;
    std::string url;
    Parameters parameters;
    std::string pins;
    std::string caFile;
    std::string caPem;
    std::string proxy;
    std::string noProxy;
    std::string proxyUser;
    std::string proxyPassword;
    ProgressCallback progress;
    std::int64_t maxBody = -1;  // -1: no limit
    std::array<char, CURL_ERROR_SIZE> errorBuffer{};

    // Per transfer.
    Response* response = nullptr;
    std::ostream* sink = nullptr;
    std::exception_ptr failure;
    // Why the sink refused the data (EFBIG, ENOSPC, EIO ...); 0 when unknown or none.
    int sinkError = 0;

    static size_t onWrite(char* data, size_t size, size_t count, void* user) noexcept {
        auto* self = static_cast<State*>(user);
        const size_t bytes = size * count;
        if (self->maxBody >= 0 &&
            self->response->downloaded_bytes + static_cast<std::int64_t>(bytes) > self->maxBody) {
            self->response->body_over_limit = true;
            return 0;
        }
        try {
            if (self->sink != nullptr) {
                errno = 0;
                self->sink->write(data, static_cast<std::streamsize>(bytes));
                if (!*self->sink) {
                    self->sinkError = errno;
                    return 0;
                }
            } else {
                self->response->text.append(data, bytes);
            }
        } catch (...) {
            self->failure = std::current_exception();
            return 0;
        }
        self->response->downloaded_bytes += static_cast<std::int64_t>(bytes);
        return bytes;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* user) noexcept {
        auto* self = static_cast<State*>(user);
        const size_t bytes = size * count;
        try {
            const std::string_view line{data, bytes};
            if (line.starts_with("HTTP/")) {
                // A new answer begins (redirect or interim 1xx): keep only the last one's.
                self->response->headers.clear();
                self->response->downloaded_bytes = 0;
            } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
                self->response->headers.emplace_back(std::string{trim(line.substr(0, colon))},
                                                     std::string{trim(line.substr(colon + 1))});
            }
        } catch (...) {
            self->failure = std::current_exception();
            return 0;
        }
        return bytes;
    }

    static int onProgress(void* user, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal,
                          curl_off_t ulNow) noexcept {
        auto* self = static_cast<State*>(user);
        try {
            return self->progress(dlTotal, dlNow, ulTotal, ulNow) ? 0 : 1;
        } catch (...) {
            self->failure = std::current_exception();
            return 1;
        }
    }

    std::string fullUrl() const {
        if (parameters.empty()) {
            return url;
        }
        std::string out = url;
        out += url.find('?') == std::string::npos ? '?' : '&';
        bool first = true;
        for (const auto& [key, value] : parameters) {
            if (!first) {
                out += '&';
            }
            first = false;
            out += urlEncode(key);
            out += '=';
            out += urlEncode(value);
        }
        return out;
    }

    Response perform(std::ostream* out) {
        CURL* h = handle.get();
        Response result;
        result.url = fullUrl();
        response = &result;
        sink = out;
        failure = nullptr;
        sinkError = 0;
        errorBuffer.fill('\0');

        curl_easy_setopt(h, CURLOPT_URL, result.url.c_str());
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList.get());
        curl_easy_setopt(h, CURLOPT_PINNEDPUBLICKEY, pins.empty() ? nullptr : pins.c_str());
        if (!caPem.empty()) {
            // Like a CA file, the blob takes the place of the CA bundle file only.
            curl_blob blob{caPem.data(), caPem.size(), CURL_BLOB_COPY};
            curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &blob);
        } else if (!caFile.empty()) {
            curl_easy_setopt(h, CURLOPT_CAINFO, caFile.c_str());
        }
        // Set explicitly so that http_proxy/no_proxy in the environment never apply.
        curl_easy_setopt(h, CURLOPT_PROXY, proxy.c_str());
        curl_easy_setopt(h, CURLOPT_NOPROXY, noProxy.c_str());
        curl_easy_setopt(h, CURLOPT_DEBUGDATA, &proxy);
        if (!proxy.empty() && !proxyUser.empty()) {
            curl_easy_setopt(h, CURLOPT_PROXYAUTH, CURLAUTH_BASIC);
            curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, proxyUser.c_str());
            curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, proxyPassword.c_str());
        }
        curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                         static_cast<curl_off_t>(maxBody >= 0 ? maxBody : 0));
        if (progress) {
            curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
            curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &State::onProgress);
            curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
        } else {
            curl_easy_setopt(h, CURLOPT_NOPROGRESS, 1L);
        }

        const CURLcode rc = curl_easy_perform(h);
        response = nullptr;
        sink = nullptr;
        if (failure) {
            std::rethrow_exception(std::exchange(failure, nullptr));
        }

        result.error.code = rc;
        if (rc == CURLE_FILESIZE_EXCEEDED) {
            result.body_over_limit = true;
        }
        if (result.body_over_limit) {
            result.text.clear();
            result.error.message = "answer larger than " + std::to_string(maxBody) + " bytes";
        } else if (rc != CURLE_OK) {
            // libcurl's text repeats what it was given: a proxy address it cannot use (user part
            // and all, masked here) or an address. Escaped here, it is safe in every log record,
            // report and page text that carries it.
            std::string text = proxy::withoutCredentials(
                errorBuffer[0] != '\0' ? std::string_view{errorBuffer.data()}
                                       : std::string_view{curl_easy_strerror(rc)},
                proxy);
            // libcurl only knows that the data was refused; the file's error says why.
            if (rc == CURLE_WRITE_ERROR && sinkError != 0) {
                text += ": ";
                text += std::strerror(sinkError);
            }
            result.error.message = logtext::escape(text);
        }
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.status_code);
        // Only https is allowed for the address itself, so an answer followed by a protocol
        // refusal is a redirect the session would not follow: say so instead of libcurl's
        // "not supported or disabled", which reads like the server's fault.
        if (rc == CURLE_UNSUPPORTED_PROTOCOL && result.status_code / 100 == 3) {
            result.redirect_refused = true;
            result.error.message = kRedirectRefused;
        }
        curl_off_t announced = -1;
        if (curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK) {
            result.announced_bytes = announced;
        }
        return result;
    }
};

Session::Session() : state_{std::make_unique<State>()} {
    ensureGlobalInit();
    state_->handle.reset(curl_easy_init());
    if (!state_->handle) {
        throw std::runtime_error("curl_easy_init failed");
    }
    CURL* h = state_->handle.get();
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, state_->errorBuffer.data());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &State::onWrite);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, state_.get());
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &State::onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, state_.get());
    // Plain http, file:// and the rest would bypass TLS and the pinned keys.
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 50L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
}

Session::~Session() = default;
Session::Session(Session&&) noexcept = default;
Session& Session::operator=(Session&&) noexcept = default;

void Session::setUrl(std::string_view url) {
    state_->url = url;
}

void Session::setParameters(Parameters parameters) {
    state_->parameters = std::move(parameters);
}

void Session::setHeaders(const Headers& headers) {
    std::unique_ptr<curl_slist, SlistDeleter> list;
    for (const auto& [name, value] : headers) {
        // "Name;" is libcurl's way of sending a header with an empty value.
        const std::string line = value.empty() ? name + ";" : name + ": " + value;
        curl_slist* next = curl_slist_append(list.get(), line.c_str());
        if (next == nullptr) {
            throw std::bad_alloc();
        }
        (void)list.release();
        list.reset(next);
    }
    state_->headerList = std::move(list);
}

void Session::setTimeout(std::chrono::milliseconds timeout) {
    curl_easy_setopt(state_->handle.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
}

void Session::setConnectTimeout(std::chrono::milliseconds timeout) {
    curl_easy_setopt(state_->handle.get(), CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(timeout.count()));
}

void Session::setVerifySsl(bool verify) {
    curl_easy_setopt(state_->handle.get(), CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(state_->handle.get(), CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
}

void Session::setPinnedPublicKey(std::string_view pins) {
    state_->pins = pins;
}

void Session::setExtraCaFile(const std::filesystem::path& file) {
    // Replaces only libcurl's CA bundle file: the system's hashed CA folder (CAPATH, set by
    // default) stays in force, so public services keep verifying.
    state_->caFile = file.string();
}

void Session::setExtraCaPem(std::string_view pem) {
    state_->caPem = pem;
}

void Session::setProxy(std::string_view proxy) {
    state_->proxy = proxy;
}

void Session::setNoProxy(std::string_view hosts) {
    state_->noProxy = hosts;
}

void Session::setProxyAuthentication(std::string_view user, std::string_view password) {
    state_->proxyUser = user;
    state_->proxyPassword = password;
}

void Session::setVerbose(bool verbose) {
    CURL* h = state_->handle.get();
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, verbose ? &traceWithoutCredentials : nullptr);
    curl_easy_setopt(h, CURLOPT_VERBOSE, verbose ? 1L : 0L);
}

void Session::setProgressCallback(ProgressCallback callback) {
    state_->progress = std::move(callback);
}

void Session::setMaxBodySize(std::int64_t bytes) {
    state_->maxBody = bytes;
}

Response Session::get() {
    curl_easy_setopt(state_->handle.get(), CURLOPT_HTTPGET, 1L);
    return state_->perform(nullptr);
}

Response Session::post(std::string_view body) {
    CURL* h = state_->handle.get();
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(h, CURLOPT_COPYPOSTFIELDS, body.empty() ? "" : body.data());
    return state_->perform(nullptr);
}

Response Session::download(std::ostream& out) {
    curl_easy_setopt(state_->handle.get(), CURLOPT_HTTPGET, 1L);
    return state_->perform(&out);
}

}  // namespace zentravo::http
