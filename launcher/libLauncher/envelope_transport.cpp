#include "envelope_transport.hpp"

#include <curl/curl.h>

#include <cstddef>

namespace zentravo::tracker {
namespace {

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using List = std::unique_ptr<curl_slist, ListDeleter>;

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

constexpr long kConnectTimeoutSeconds = 10;
constexpr long kTransferTimeoutSeconds = 30;

}  // namespace

struct EnvelopeTransport::Handles {
    std::unique_ptr<CURLM, MultiDeleter> multi{curl_multi_init()};
};

EnvelopeTransport::EnvelopeTransport() : handles_(std::make_unique<Handles>()) {}
EnvelopeTransport::~EnvelopeTransport() = default;

void EnvelopeTransport::interrupt() noexcept {
    interrupted_.store(true);
    if (handles_->multi) {
        curl_multi_wakeup(handles_->multi.get());
    }
}

PostResult EnvelopeTransport::post(const std::string& url, const std::string& authHeader,
                                   const std::string& body, const std::filesystem::path& caFile) {
    PostResult result;
    CURLM* multi = handles_->multi.get();
    const Easy easy{curl_easy_init()};
    if (multi == nullptr || !easy) {
        result.error = "cannot create a transfer";
        return result;
    }
    List headers{curl_slist_append(nullptr, "Content-Type: application/x-sentry-envelope")};
    if (headers) {
        curl_slist* grown = curl_slist_append(headers.get(), authHeader.c_str());
        if (grown == nullptr) {
            headers.reset();
        }
    }
    if (!headers) {
        result.error = "out of memory";
        return result;
    }
    CURL* e = easy.get();
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(e, CURLOPT_TIMEOUT, kTransferTimeoutSeconds);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    if (!caFile.empty()) {
        // Replaces only the bundle file; the system's CA folder (CURLOPT_CAPATH, compiled in as
        // /etc/ssl/certs) stays trusted.
        curl_easy_setopt(e, CURLOPT_CAINFO, caFile.c_str());
    }

    if (curl_multi_add_handle(multi, e) != CURLM_OK) {
        result.error = "cannot start the transfer";
        return result;
    }
    int running = 1;
    bool interrupted = false;
    while (running > 0) {
        if (interrupted_.load()) {
            interrupted = true;
            break;
        }
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            break;
        }
        if (running > 0) {
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
    }
    CURLcode code = CURLE_OK;
    bool finished = false;
    int pending = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &pending)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == e) {
            code = message->data.result;
            finished = true;
        }
    }
    curl_multi_remove_handle(multi, e);
    if (interrupted) {
        result.error = "interrupted";
    } else if (!finished) {
        result.error = "transfer did not finish";
    } else if (code != CURLE_OK) {
        result.error = curl_easy_strerror(code);
    } else {
        curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &result.status);
    }
    return result;
}

}  // namespace zentravo::tracker
