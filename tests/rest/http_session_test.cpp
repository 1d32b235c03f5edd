#include "http_session.hpp"

#include <gtest/gtest.h>

#include <httplib.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "build_config.hpp"
#include "plain_http_server.hpp"
#include "stderr_capture.hpp"
#include "update_service.hpp"

namespace {

using namespace std::chrono_literals;
using zentravo::http::Session;

std::string certFile(const char* name) {
    return std::string{LAUNCHER_CERT_DIR} + "/" + name;
}

// A small in-process HTTPS server with the demo certificates; the full update-service fixture
// is a separate program, tested on its own.
class TlsServer {
  public:
    explicit TlsServer(const char* cert = "server.pem", const char* key = "server.key")
        : server_{certFile(cert).c_str(), certFile(key).c_str()} {
        server_.Get("/echo", [](const httplib::Request& req, httplib::Response& res) {
            nlohmann::json j;
            j["method"] = req.method;
            j["target"] = req.target;
            for (const auto& [k, v] : req.headers) {
                j["headers"][k] = v;
            }
            for (const auto& [k, v] : req.params) {
                j["params"][k] = v;
            }
            res.set_header("X-Served-By", "echo");
            res.set_content(j.dump(), "application/json");
        });
        server_.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.body, "application/octet-stream");
        });
        server_.Get(R"(/bytes/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            const std::size_t size = std::stoull(req.matches[1]);
            res.set_content_provider(
                size, "application/octet-stream",
                [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                    std::string chunk(std::min<std::size_t>(length, 65536), '\0');
                    for (std::size_t i = 0; i < chunk.size(); ++i) {
                        chunk[i] = static_cast<char>((offset + i) % 251);
                    }
                    return sink.write(chunk.data(), chunk.size());
                });
        });
        server_.Get("/truncated", [](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(
                1000, "application/octet-stream",
                [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    if (offset >= 500) {
                        return false;  // drops the connection with the body half sent
                    }
                    const std::string half(500, 'x');
                    return sink.write(half.data(), half.size());
                });
        });
        server_.Get(
            R"(/chunked/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
                const std::size_t size = std::stoull(req.matches[1]);
                res.set_chunked_content_provider(
                    "application/json", [this, size](std::size_t offset, httplib::DataSink& sink) {
                        if (offset >= size) {
                            sink.done();
                            return true;
                        }
                        const std::string chunk(std::min<std::size_t>(size - offset, 65536), ' ');
                        sent_ += chunk.size();
                        return sink.write(chunk.data(), chunk.size());
                    });
            });
        server_.Get("/redirect", [](const httplib::Request& req, httplib::Response& res) {
            res.set_redirect(req.get_param_value("to"));
        });
        server_.Get("/slow", [](const httplib::Request&, httplib::Response& res) {
            std::this_thread::sleep_for(1500ms);
            res.set_content("late", "text/plain");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread{[this] { server_.listen_after_bind(); }};
        while (!server_.is_running()) {
            std::this_thread::sleep_for(1ms);
        }
    }
    ~TlsServer() {
        server_.stop();
        thread_.join();
    }

    [[nodiscard]] std::string url(std::string_view path) const {
        return "https://127.0.0.1:" + std::to_string(port_) + std::string{path};
    }

    // Body bytes handed to the chunked route so far.
    [[nodiscard]] std::size_t sent() const { return sent_; }

  private:
    httplib::SSLServer server_;
    int port_ = 0;
    std::atomic<std::size_t> sent_{0};
    std::thread thread_;
};

Session trustingSession(std::string_view url) {
    Session s;
    s.setUrl(url);
    s.setExtraCaFile(certFile("ca.pem"));
    s.setTimeout(10s);
    return s;
}

TEST(HttpSession, GetSendsHeadersAndEncodedParameters) {
    TlsServer server;
    Session s = trustingSession(server.url("/echo"));
    s.setHeaders({{"accept", "application/json"}, {"User-Agent", "tester 1"}, {"app-name", "x"}});
    s.setParameters({{"attributes", R"({"a":"b c&d=é"})"}});
    const auto r = s.get();
    ASSERT_EQ(r.error.code, CURLE_OK) << r.error.message;
    EXPECT_EQ(r.status_code, 200);
    EXPECT_EQ(r.header("x-served-by"), "echo");
    EXPECT_EQ(r.header("CONTENT-TYPE"), "application/json");
    const auto j = nlohmann::json::parse(r.text);
    EXPECT_EQ(j["headers"]["accept"], "application/json");
    EXPECT_EQ(j["headers"]["User-Agent"], "tester 1");
    EXPECT_EQ(j["headers"]["app-name"], "x");
    ASSERT_EQ(j["params"].size(), 1u);
    EXPECT_EQ(j["params"]["attributes"], R"({"a":"b c&d=é"})");
    EXPECT_EQ(r.url.find('{'), std::string::npos) << "query must be percent-encoded: " << r.url;
}

TEST(HttpSession, VerboseTraceMasksCredentialHeaders) {
    TlsServer server;
    struct Case {
        std::string header;
        std::string value;
        std::string traced;  // the line as the trace shows it
    };
    const std::vector<Case> cases{
        {"Authorization", "Bearer eyJhbGciOi.secret", "Authorization: Bearer ***"},
        {"authorization", "Basic YWxpY2U6czNjcmV0", "authorization: Basic ***"},
        {"Proxy-Authorization", "Negotiate c2VjcmV0", "Proxy-Authorization: Negotiate ***"},
        {"AUTHORIZATION", "opaque-token-7", "AUTHORIZATION: ***"},
        // A value holding "[" (and ":") is masked whole: the header is found by its name.
        {"Authorization", "Bearer ab[cd]:ef", "Authorization: Bearer ***"},
        {"Proxy-Authorization", "Basic [x:y", "Proxy-Authorization: Basic ***"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header + ": " + c.value);
        Session s = trustingSession(server.url("/echo"));
        s.setHeaders({{"accept", "application/json"}, {c.header, c.value}, {"app-name", "x"}});
        s.setVerbose(true);
        launcher_test::StderrCapture trace;
        const auto r = s.get();
        const std::string traced = trace.text();
        ASSERT_EQ(r.status_code, 200) << r.error.message;
        // The header still went out whole; only the trace hides it.
        EXPECT_EQ(nlohmann::json::parse(r.text)["headers"][c.header], c.value);
        EXPECT_NE(traced.find("\r\n" + c.traced + "\r\n"), std::string::npos) << traced;
        EXPECT_EQ(traced.find(c.value.substr(c.value.find(' ') + 1)), std::string::npos) << traced;
        // The rest of the trace is libcurl's own.
        EXPECT_NE(traced.find("> GET /echo HTTP/"), std::string::npos) << traced;
        EXPECT_NE(traced.find("\r\napp-name: x\r\n"), std::string::npos) << traced;
        EXPECT_NE(traced.find("< HTTP/1.1 200 OK"), std::string::npos) << traced;
        EXPECT_NE(traced.find("* Connected to 127.0.0.1"), std::string::npos) << traced;
    }
}

TEST(HttpSession, PostCarriesBinaryBodyIntact) {
    TlsServer server;
    Session s = trustingSession(server.url("/echo"));
    const std::string body{"a\0b\xff{}", 6};
    s.setHeaders({{"content-type", "application/octet-stream"}});
    const auto r = s.post(body);
    ASSERT_EQ(r.error.code, CURLE_OK) << r.error.message;
    EXPECT_EQ(r.status_code, 200);
    EXPECT_EQ(r.text, body);
}

TEST(HttpSession, TlsVerificationAndPinning) {
    TlsServer server;
    const std::string pins = zentravo::config::kPinnedKeys.reveal();
    {
        Session s = trustingSession(server.url("/echo"));
        s.setPinnedPublicKey(pins);
        const auto r = s.get();
        EXPECT_EQ(r.error.code, CURLE_OK) << r.error.message;
        EXPECT_EQ(r.status_code, 200);
    }
    {  // Unknown CA: verification fails before any status.
        Session s;
        s.setUrl(server.url("/echo"));
        const auto r = s.get();
        EXPECT_EQ(r.error.code, CURLE_PEER_FAILED_VERIFICATION) << r.error.message;
        EXPECT_EQ(r.status_code, 0);
    }
    {  // Verification off accepts the unknown CA.
        Session s;
        s.setUrl(server.url("/echo"));
        s.setVerifySsl(false);
        EXPECT_EQ(s.get().status_code, 200);
    }
    TlsServer other{"other.pem", "other.key"};
    {  // Valid chain, wrong key.
        Session s = trustingSession(other.url("/echo"));
        s.setPinnedPublicKey(pins);
        const auto r = s.get();
        EXPECT_EQ(r.error.code, CURLE_SSL_PINNEDPUBKEYNOTMATCH);
        EXPECT_NE(r.error.message.find("SSL"), std::string::npos) << r.error.message;
        EXPECT_EQ(r.status_code, 0);
    }
}

TEST(HttpSession, DownloadReportsProgressAndHonoursAbort) {
    TlsServer server;
    constexpr std::int64_t kSize = 8 << 20;
    {
        Session s = trustingSession(server.url("/bytes/" + std::to_string(kSize)));
        std::int64_t last = 0;
        bool monotonic = true;
        s.setProgressCallback([&](std::int64_t, std::int64_t now, std::int64_t, std::int64_t) {
            monotonic = monotonic && now >= last;
            last = now;
            return true;
        });
        std::ostringstream out;
        const auto r = s.download(out);
        ASSERT_EQ(r.error.code, CURLE_OK) << r.error.message;
        EXPECT_TRUE(r.text.empty());
        EXPECT_EQ(r.downloaded_bytes, kSize);
        EXPECT_EQ(r.announced_bytes, kSize);
        EXPECT_TRUE(monotonic);
        EXPECT_EQ(last, kSize);
        const std::string data = out.str();
        ASSERT_EQ(static_cast<std::int64_t>(data.size()), kSize);
        EXPECT_EQ(static_cast<unsigned char>(data[kSize - 1]), (kSize - 1) % 251);
    }
    {
        Session s = trustingSession(server.url("/bytes/" + std::to_string(kSize)));
        s.setProgressCallback(
            [](std::int64_t, std::int64_t now, std::int64_t, std::int64_t) { return now == 0; });
        std::ostringstream out;
        const auto r = s.download(out);
        EXPECT_EQ(r.error.code, CURLE_ABORTED_BY_CALLBACK);
        EXPECT_LT(r.downloaded_bytes, kSize);
    }
    {  // A throwing callback ends the transfer and its exception reaches the caller.
        Session s = trustingSession(server.url("/bytes/" + std::to_string(kSize)));
        s.setProgressCallback([](std::int64_t, std::int64_t now, std::int64_t, std::int64_t) {
            if (now > 0) {
                throw std::logic_error("stop here");
            }
            return true;
        });
        std::ostringstream out;
        EXPECT_THROW((void)s.download(out), std::logic_error);
    }
}

TEST(HttpSession, FailedStreamWriteEndsTheTransfer) {
    TlsServer server;
    Session s = trustingSession(server.url("/bytes/100000"));
    std::ostringstream out;
    out.setstate(std::ios::badbit);
    const auto r = s.download(out);
    EXPECT_EQ(r.error.code, CURLE_WRITE_ERROR);
    EXPECT_EQ(r.status_code, 200);
}

TEST(HttpSession, TruncatedBodyIsReportedWithItsStatus) {
    TlsServer server;
    Session s = trustingSession(server.url("/truncated"));
    std::ostringstream out;
    const auto r = s.download(out);
    EXPECT_EQ(r.status_code, 200);
    EXPECT_NE(r.error.code, CURLE_OK);
    EXPECT_EQ(r.announced_bytes, 1000);
    EXPECT_EQ(r.downloaded_bytes, 500);
}

TEST(HttpSession, BodyLimitStopsTheReadItself) {
    TlsServer server;
    struct Case {
        std::string path;
        std::int64_t limit;
        bool over;
    };
    constexpr std::int64_t kLimit = 64 * 1024;
    const Case cases[] = {
        {"/bytes/65536", kLimit, false},
        {"/bytes/65537", kLimit, true},  // announced: refused before the body
        {"/bytes/268435456", kLimit, true},
        {"/chunked/65536", kLimit, false},
        {"/chunked/268435456", kLimit, true},  // unannounced: cut where it passes the limit
        {"/chunked/268435456", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " limit " + std::to_string(c.limit));
        Session s = trustingSession(server.url(c.path));
        s.setMaxBodySize(c.limit);
        const auto r = s.get();
        EXPECT_EQ(r.status_code, 200);
        EXPECT_EQ(r.body_over_limit, c.over);
        if (c.over) {
            EXPECT_NE(r.error.code, CURLE_OK);
            EXPECT_EQ(r.error.message, "answer larger than " + std::to_string(c.limit) + " bytes");
            EXPECT_TRUE(r.text.empty());
        } else {
            EXPECT_EQ(r.error.code, CURLE_OK) << r.error.message;
            EXPECT_EQ(r.text.size(), static_cast<std::size_t>(c.limit));
        }
    }
    // The 256 MB bodies were never sent whole: only what the socket buffers took.
    EXPECT_LT(server.sent(), std::size_t{64} << 20);
}

TEST(HttpSession, OnlyHttpsIsSpokenForAddressesAndRedirects) {
    TlsServer server;
    const fixture::PlainHttpServer plain;
    const std::string addresses[] = {
        plain.url("/answer"),
        "file:///etc/hostname",
        server.url("/redirect?to=" + plain.url("/answer")),
        server.url("/redirect?to=file:///etc/hostname"),
    };
    for (const auto& address : addresses) {
        SCOPED_TRACE(address);
        Session s = trustingSession(address);
        const auto r = s.get();
        EXPECT_EQ(r.error.code, CURLE_UNSUPPORTED_PROTOCOL) << r.error.message;
        EXPECT_TRUE(r.text.empty());
        // A redirect is the session's own refusal, told apart from an address it never sent.
        const bool redirect = address.find("/redirect?") != std::string::npos;
        EXPECT_EQ(r.redirect_refused, redirect);
        if (redirect) {
            EXPECT_EQ(r.error.message, zentravo::http::kRedirectRefused);
            EXPECT_EQ(r.status_code, 302);
        } else {
            EXPECT_NE(r.error.message, zentravo::http::kRedirectRefused);
            EXPECT_EQ(r.status_code, 0);
        }
    }
    EXPECT_EQ(plain.requests(), 0);
}

TEST(HttpSession, TimeoutAndRefusedConnection) {
    TlsServer server;
    {
        Session s = trustingSession(server.url("/slow"));
        s.setTimeout(300ms);
        const auto r = s.get();
        EXPECT_EQ(r.error.code, CURLE_OPERATION_TIMEDOUT);
        EXPECT_EQ(r.status_code, 0);
    }
    {
        // A port that was just free: bind, read its number, close.
        const int port = launcher_test::freeLoopbackPort();
        Session s = trustingSession("https://127.0.0.1:" + std::to_string(port) + "/");
        const auto r = s.get();
        EXPECT_EQ(r.error.code, CURLE_COULDNT_CONNECT) << r.error.message;
        EXPECT_EQ(r.status_code, 0);
    }
}

TEST(HttpSession, ProxyVariablesOfTheEnvironmentAreIgnored) {
    TlsServer server;
    ::setenv("https_proxy", "http://127.0.0.1:9", 1);
    ::setenv("HTTPS_PROXY", "http://127.0.0.1:9", 1);
    ::setenv("all_proxy", "http://127.0.0.1:9", 1);
    Session s = trustingSession(server.url("/echo"));
    const auto r = s.get();
    ::unsetenv("https_proxy");
    ::unsetenv("HTTPS_PROXY");
    ::unsetenv("all_proxy");
    EXPECT_EQ(r.error.code, CURLE_OK) << r.error.message;
    EXPECT_EQ(r.status_code, 200);
}

TEST(HttpSession, MovedSessionKeepsItsSettings) {
    TlsServer server;
    Session a = trustingSession(server.url("/echo"));
    a.setParameters({{"k", "v"}});
    Session b = std::move(a);
    const auto r = b.get();
    ASSERT_EQ(r.status_code, 200) << r.error.message;
    EXPECT_EQ(nlohmann::json::parse(r.text)["params"]["k"], "v");
}

}  // namespace
