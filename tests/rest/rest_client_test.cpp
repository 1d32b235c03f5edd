// The REST client against the real update-service fixture (real certificates, real pins), and
// through a real authenticating proxy (tinyproxy) on loopback.
#include "rest.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <functional>
#include <vector>

#include "../files/report_capture.hpp"
#include "build_config.hpp"
#include "child_process.hpp"
#include "exceptions.hpp"
#include "log_capture.hpp"
#include "plain_http_server.hpp"
#include "scratch_folder.hpp"
#include "stderr_capture.hpp"
#include "system.hpp"
#include "tinyproxy.hpp"
#include "update_service.hpp"

namespace {

using launcher_test::UpdateService;
using nlohmann::json;
using zentravo::except::RetryableException;
using zentravo::except::UnrecoverableException;
namespace rest = zentravo::rest;

constexpr const char* kArch =
#if defined(__aarch64__)
    "arm64";
#else
    "x86_64";
#endif

// Runs `f`, expecting exception type E with the given title; returns its message.
template <typename E, typename F>
std::string expectThrow(F&& f, std::string_view title) {
    try {
        f();
    } catch (const E& e) {
        EXPECT_EQ(e.title(), title) << e.what();
        return e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "unexpected exception " << e.what();
        return {};
    }
    ADD_FAILURE() << "no exception";
    return {};
}

// Keeps proxy variables and desktop settings from leaking into a test.
class RestClient : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("GSETTINGS_BACKEND", "memory", 1);
        for (const char* v :
             {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"}) {
            ::unsetenv(v);
        }
    }
    void TearDown() override {
        ::unsetenv("http_proxy");
        ::unsetenv("no_proxy");
    }
};

TEST_F(RestClient, PinnedKeysAndIdentity) {
    const auto ssl = rest::getSslOptions();
    EXPECT_EQ(ssl.pinnedPublicKey, zentravo::config::kPinnedKeys.reveal());
    ASSERT_EQ(ssl.pinnedPublicKey.size(), 105u);
    EXPECT_EQ(ssl.pinnedPublicKey.substr(0, 8), "sha256//");
    EXPECT_EQ(ssl.pinnedPublicKey[52], ';');
    EXPECT_EQ(ssl.pinnedPublicKey.substr(53, 8), "sha256//");
    // The services' extra CA is compiled in: an installed launcher reads nothing of the build.
    EXPECT_EQ(ssl.extraCaPem, zentravo::config::kExtraCaPem);
    EXPECT_NE(ssl.extraCaPem.find("-----BEGIN CERTIFICATE-----"), std::string::npos);
    EXPECT_EQ(rest::userAgent(), std::string{"corvanta-launcher Linux 1.6.24 "} + kArch);
}

TEST_F(RestClient, GetCarriesHeadersAndOneAttributesParameter) {
    UpdateService service;
    LogCapture log;
    const auto url = service.url("/v1/tarvine/update/3.0.0");
    const auto answer = rest::getRequest(url, true, true);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, json::parse(R"({"appVersion":"3.0.0"})"));

    const auto records = service.records();
    ASSERT_EQ(records.size(), 1u);
    const auto& r = records[0];
    EXPECT_EQ(r["headers"]["accept"], "application/json");
    EXPECT_EQ(r["headers"]["user-agent"], rest::userAgent());
    EXPECT_EQ(r["headers"]["app-name"], "corvanta-launcher");
    EXPECT_EQ(r["headers"]["app-version"], "1.6.24");
    EXPECT_EQ(r["headers"]["app-os"], "Linux");
    ASSERT_EQ(r["params"].size(), 1u);
    EXPECT_EQ(r["params"][0][0], "attributes");
    const std::string attributes = r["params"][0][1];
    const std::string expected = R"({"launcher_version":"1.6.24","os":"Linux","os_arch":")" +
                                 std::string{kArch} + R"(","os_version":")" +
                                 std::string{zentravo::system::getOSVersion()} +
                                 R"(","partner_name":""})";
    EXPECT_EQ(attributes, expected);

    EXPECT_TRUE(log.contains("debug 200"));
    EXPECT_TRUE(log.contains("debug application/json"));
    EXPECT_TRUE(log.contains(R"(debug {"appVersion":"3.0.0"})"));
    EXPECT_TRUE(log.contains("debug [checkCriticalNetworkErrors] No critical error found"));

    service.clearRecords();
    ASSERT_TRUE(rest::getRequest(service.url("/ip"), false, false).has_value());
    EXPECT_EQ(service.records().at(0)["target"], "/ip") << "no query without parameters";
}

TEST_F(RestClient, WrongPinIsUnrecoverable) {
    UpdateService::Options options;
    options.cert = std::string{LAUNCHER_CERT_DIR} + "/other.pem";
    options.key = std::string{LAUNCHER_CERT_DIR} + "/other.key";
    UpdateService service{options};
    LogCapture log;
    const auto what = expectThrow<UnrecoverableException>(
        [&] { (void)rest::getRequest(service.url("/ip"), true, false); },
        "SSL_REMOTE_CERTIFICATE_ERROR");
    EXPECT_NE(what.find("SSL: public key does not match pinned public key"), std::string::npos)
        << what;
    EXPECT_TRUE(
        log.containsPrefix("error [checkCriticalNetworkErrors] SSL_REMOTE_CERTIFICATE_ERROR: "));
    EXPECT_TRUE(service.records().empty()) << "nothing is sent to an unpinned server";
}

TEST_F(RestClient, RefusedPortIsRetryable) {
    const auto url =
        "https://127.0.0.1:" + std::to_string(launcher_test::freeLoopbackPort()) + "/ip";
    expectThrow<RetryableException>([&] { (void)rest::getRequest(url, true, true); },
                                    "CONNECTION_FAILURE");
    // Without the check, the failure is an empty answer with status 0.
    LogCapture log;
    EXPECT_FALSE(rest::getRequest(url, false, false).has_value());
    EXPECT_TRUE(
        log.containsPrefix("error Failed getRequest to '" + url + "' with code 0 and message '"));
    expectThrow<RetryableException>([&] { (void)rest::downloadRequest(url, "/dev/null", nullptr); },
                                    "CONNECTION_FAILURE");
}

TEST_F(RestClient, TimeOutIsRetryable) {
    UpdateService::Options options;
    options.config = {{"paths", {{"/ip", {{"hold", true}}}}}};
    UpdateService service{options};
    const auto start = std::chrono::steady_clock::now();
    expectThrow<RetryableException>(
        [&] { (void)rest::getRequest(service.url("/ip"), true, false); }, "OPERATION_TIMEDOUT");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds{9900});
    EXPECT_LT(took, std::chrono::milliseconds{11900});
}

TEST_F(RestClient, NonSuccessAndNonJsonGiveEmptyAnswers) {
    UpdateService::Options options;
    options.config = {{"paths",
                       {{"/v1/tarvine/update/404", {{"status", 404}}},
                        {"/v1/tarvine/update/bad", {{"invalidJson", true}}},
                        {"/v1/tarvine/update/empty", {{"body", ""}}}}}};
    UpdateService service{options};
    {
        LogCapture log;
        const auto url = service.url("/v1/tarvine/update/404");
        EXPECT_FALSE(rest::getRequest(url, true, true).has_value());
        EXPECT_TRUE(log.contains("debug [checkCriticalNetworkErrors] No critical error found"));
        EXPECT_TRUE(
            log.contains("error Failed getRequest to '" + url + "' with code 404 and message ''"));
        int errors = 0;
        for (const auto& line : log.lines()) {
            errors += line.starts_with("error ");
        }
        EXPECT_EQ(errors, 1);
    }
    for (const char* path : {"/v1/tarvine/update/bad", "/v1/tarvine/update/empty"}) {
        LogCapture log;
        const auto url = service.url(path);
        EXPECT_FALSE(rest::getRequest(url, true, true).has_value()) << path;
        EXPECT_TRUE(log.contains("error Failed to parse response from '" + url + "'")) << path;
    }
}

// Each failure goes to the error tracker under its title, with the text the log shows.
TEST_F(RestClient, FailuresAreReportedUnderTheirTitles) {
    files_test::ReportCapture reports;
    UpdateService::Options options;
    options.config = {{"paths",
                       {{"/v1/tarvine/update/404", {{"status", 404}}},
                        {"/v1/tarvine/update/bad", {{"invalidJson", true}}},
                        {"/v1/tarvine/update/empty", {{"body", ""}}}}}};
    UpdateService service{options};
    fixture::ScratchFolder folder;
    const std::string refused =
        "https://127.0.0.1:" + std::to_string(launcher_test::freeLoopbackPort()) + "/ip";
    struct Case {
        std::string name;
        std::function<void()> call;
        std::string title;  // empty: nothing is reported
        std::string detail;
    };
    const std::vector<Case> cases{
        {"status 404",
         [&] { (void)rest::getRequest(service.url("/v1/tarvine/update/404"), true, true); },
         "getRequest failed",
         "Failed getRequest to '" + service.url("/v1/tarvine/update/404") +
             "' with code 404 and message ''"},
        {"no answer, unchecked", [&] { (void)rest::getRequest(refused, false, false); },
         "getRequest failed", "Failed getRequest to '" + refused + "' with code 0 and message '"},
        {"not JSON",
         [&] { (void)rest::getRequest(service.url("/v1/tarvine/update/bad"), true, true); },
         "getRequest response parsing failed",
         "Failed to parse response from '" + service.url("/v1/tarvine/update/bad") + "'"},
        {"empty body",
         [&] { (void)rest::getRequest(service.url("/v1/tarvine/update/empty"), true, false); },
         "getRequest response parsing failed",
         "Failed to parse response from '" + service.url("/v1/tarvine/update/empty") + "'"},
        {"download 404",
         [&] { (void)rest::downloadRequest(service.url("/missing"), folder / "f", nullptr); },
         "downloadRequest failed",
         "Failed downloadRequest to '" + service.url("/missing") +
             "' with code 404 and message ''"},
        {"answer", [&] { (void)rest::getRequest(service.url("/ip"), true, false); }, "", ""},
        {"download",
         [&] { (void)rest::downloadRequest(service.url("/blob/10"), folder / "f", nullptr); }, "",
         ""},
    };
    std::size_t before = reports.collect().reports.size();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        c.call();
        const auto seen = reports.collect().reports;
        ASSERT_GE(seen.size(), before);
        const std::vector<files_test::Report> added(seen.begin() + static_cast<long>(before),
                                                    seen.end());
        before = seen.size();
        if (c.title.empty()) {
            EXPECT_TRUE(added.empty()) << ::testing::PrintToString(added);
            continue;
        }
        ASSERT_EQ(added.size(), 1u) << ::testing::PrintToString(added);
        EXPECT_EQ(added[0].title, c.title);
        EXPECT_TRUE(added[0].detail.starts_with(c.detail)) << added[0].detail;
        EXPECT_TRUE(log.contains("error " + added[0].detail))
            << ::testing::PrintToString(log.lines());
    }
}

TEST_F(RestClient, CriticalErrorClassification) {
    struct Case {
        long status;
        int code;
        const char* message;
        bool thrown;
        bool unrecoverable;
        const char* title;
    };
    const Case cases[] = {
        {0, 8, "Operation timed out after 10000 milliseconds", true, false, "OPERATION_TIMEDOUT"},
        {0, 12, "certificate problem", true, true, "SSL_REMOTE_CERTIFICATE_ERROR"},
        {0, 10, "anything", true, true, "SSL_CONNECT_ERROR"},
        {0, 14, "anything", true, true, "GENERIC_SSL_ERROR"},
        {0, 9, "x", true, false, "PROXY_RESOLUTION_FAILURE"},
        {0, 15, "y", true, false, "UNSUPPORTED_PROTOCOL"},
        {0, 4, "SSL: public key does not match pinned public key", true, true, "INTERNAL_ERROR"},
        {0, 1, "ssl in lower case does not count", true, false, "CONNECTION_FAILURE"},
        {0, 0, "", true, false, "OK"},
        {0, 42, "unknown", true, false, ""},
        {0, 99, "OpenSSL SSL_read: error", true, true, ""},
        {200, 8, "Operation timed out", false, false, ""},
        {404, 12, "SSL", false, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + "/" + std::to_string(c.code) + " " + c.message);
        const auto code = static_cast<rest::ErrorCode>(c.code);
        auto check = [&] { rest::checkCriticalNetworkErrors(c.status, code, c.message); };
        if (!c.thrown) {
            EXPECT_NO_THROW(check());
        } else if (c.unrecoverable) {
            EXPECT_EQ(expectThrow<UnrecoverableException>(check, c.title), c.message);
        } else {
            EXPECT_EQ(expectThrow<RetryableException>(check, c.title), c.message);
        }
    }
}

TEST_F(RestClient, LibcurlResultsMapOntoTheNames) {
    struct Case {
        CURLcode curl;
        const char* name;
    };
    for (const auto& c : {Case{CURLE_OK, "OK"},
                          Case{CURLE_COULDNT_CONNECT, "CONNECTION_FAILURE"},
                          Case{CURLE_GOT_NOTHING, "EMPTY_RESPONSE"},
                          Case{CURLE_COULDNT_RESOLVE_HOST, "HOST_RESOLUTION_FAILURE"},
                          Case{CURLE_URL_MALFORMAT, "INVALID_URL_FORMAT"},
                          Case{CURLE_RECV_ERROR, "NETWORK_RECEIVE_ERROR"},
                          Case{CURLE_PARTIAL_FILE, "NETWORK_RECEIVE_ERROR"},
                          Case{CURLE_SEND_ERROR, "NETWORK_SEND_FAILURE"},
                          Case{CURLE_OPERATION_TIMEDOUT, "OPERATION_TIMEDOUT"},
                          Case{CURLE_COULDNT_RESOLVE_PROXY, "PROXY_RESOLUTION_FAILURE"},
                          Case{CURLE_SSL_CONNECT_ERROR, "SSL_CONNECT_ERROR"},
                          Case{CURLE_SSL_CERTPROBLEM, "SSL_LOCAL_CERTIFICATE_ERROR"},
                          Case{CURLE_PEER_FAILED_VERIFICATION, "SSL_REMOTE_CERTIFICATE_ERROR"},
                          Case{CURLE_SSL_PINNEDPUBKEYNOTMATCH, "SSL_REMOTE_CERTIFICATE_ERROR"},
                          Case{CURLE_SSL_CACERT_BADFILE, "SSL_CACERT_ERROR"},
                          Case{CURLE_SSL_CIPHER, "GENERIC_SSL_ERROR"},
                          Case{CURLE_UNSUPPORTED_PROTOCOL, "UNSUPPORTED_PROTOCOL"},
                          Case{CURLE_ABORTED_BY_CALLBACK, "REQUEST_CANCELLED"},
                          Case{CURLE_TOO_MANY_REDIRECTS, "TOO_MANY_REDIRECTS"},
                          Case{CURLE_OUT_OF_MEMORY, "INTERNAL_ERROR"}}) {
        EXPECT_EQ(rest::errorName(rest::toErrorCode(c.curl)), c.name) << c.curl;
    }
    EXPECT_EQ(rest::errorName(static_cast<rest::ErrorCode>(18)), "");
    EXPECT_EQ(rest::errorName(static_cast<rest::ErrorCode>(-1)), "");
}

TEST_F(RestClient, ProxySettingsApplyToHttpsOnly) {
    auto [none, noAuth] = rest::getProxy();
    EXPECT_TRUE(none.empty());
    EXPECT_TRUE(noAuth.empty());

    ::setenv("http_proxy", "http://bob:pw@proxy.lan:3128", 1);
    auto [proxies, auth] = rest::getProxy();
    EXPECT_EQ(proxies, (rest::Proxies{{"https", "proxy.lan:3128"}}));
    ASSERT_EQ(auth.size(), 1u);
    EXPECT_EQ(auth.at("https").user, "bob");
    EXPECT_EQ(auth.at("https").password, "pw");

    ::setenv("http_proxy", "http://proxy.lan:3128", 1);
    auto [proxies2, auth2] = rest::getProxy();
    EXPECT_EQ(proxies2.size(), 1u);
    EXPECT_TRUE(auth2.empty()) << "no user name: no proxy credentials";
}

TEST_F(RestClient, GoesThroughAnAuthenticatingProxy) {
    UpdateService service;
    launcher_test::Tinyproxy proxy;
    ASSERT_TRUE(proxy.running());
    const auto url = service.url("/ip");
    const auto at = "127.0.0.1:" + std::to_string(proxy.port());

    ::setenv("http_proxy", ("http://alice:s3cret@" + at).c_str(), 1);
    launcher_test::StderrCapture trace;
    const auto answer = rest::getRequest(url, true, false);
    // The verbose trace stays, without the proxy credentials (base64 of "alice:s3cret").
    const std::string traced = trace.text();
    EXPECT_NE(traced.find("> CONNECT 127.0.0.1:"), std::string::npos) << traced;
    EXPECT_NE(traced.find("\nProxy-Authorization: Basic ***\r\n"), std::string::npos) << traced;
    EXPECT_EQ(traced.find("YWxpY2U6czNjcmV0"), std::string::npos) << traced;
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ((*answer)["ip"], "127.0.0.1");
    EXPECT_NE(proxy.log().find("CONNECT"), std::string::npos) << proxy.log();
    EXPECT_EQ(service.records().size(), 1u);

    for (const auto& credentials : {std::string{}, std::string{"alice:wrong@"}}) {
        SCOPED_TRACE(credentials);
        ::setenv("http_proxy", ("http://" + credentials + at).c_str(), 1);
        const auto what = expectThrow<RetryableException>(
            [&] { (void)rest::getRequest(url, true, false); }, "NETWORK_RECEIVE_ERROR");
        EXPECT_NE(what.find("CONNECT tunnel failed, response 40"), std::string::npos) << what;
    }
    EXPECT_EQ(service.records().size(), 1u) << "refused requests never reach the service";

    // Downloads never use the proxy.
    fixture::ScratchFolder folder;
    EXPECT_TRUE(rest::downloadRequest(service.url("/blob/10"), folder / "f", nullptr));
}

TEST_F(RestClient, LargeDownloadReportsMonotonicProgress) {
    UpdateService service;
    fixture::ScratchFolder folder;
    constexpr std::int64_t kSize = 200LL * 1024 * 1024;
    std::int64_t last = 0, total = 0, calls = 0;
    bool monotonic = true;
    const bool ok = rest::downloadRequest(
        service.url("/blob/" + std::to_string(kSize)), folder / "big.bin",
        [&](std::int64_t dlTotal, std::int64_t dlNow, std::int64_t, std::int64_t) {
            monotonic = monotonic && dlNow >= last && dlNow <= kSize;
            last = dlNow;
            total = std::max(total, dlTotal);
            ++calls;
            return true;
        });
    EXPECT_TRUE(ok);
    EXPECT_TRUE(monotonic);
    EXPECT_EQ(last, kSize);
    EXPECT_EQ(total, kSize);
    EXPECT_GT(calls, 10);
    ASSERT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(folder / "big.bin")), kSize);
    std::ifstream in{folder / "big.bin", std::ios::binary};
    std::vector<char> buffer(1 << 20);
    std::uint64_t offset = 0;
    bool same = true;
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            same = same &&
                   static_cast<unsigned char>(buffer[i]) == UpdateService::blobByte(offset + i);
        }
        offset += static_cast<std::uint64_t>(in.gcount());
    }
    EXPECT_TRUE(same);
    EXPECT_EQ(offset, static_cast<std::uint64_t>(kSize));
}

TEST_F(RestClient, BrokenDownloadsFail) {
    UpdateService::Options options;
    options.config = {{"paths",
                       {{"/cut", {{"truncateAfter", 100000}}},
                        {"/cut-chunked", {{"truncateAfter", 100000}, {"chunked", true}}},
                        {"/reset", {{"truncateAfter", 100000}, {"reset", true}}},
                        {"/missing", {{"status", 404}}}}}};
    fixture::ScratchFolder root;
    {
        std::ofstream archive{root / "cut", std::ios::binary};
        archive << std::string(1 << 20, 'a');
    }
    std::filesystem::copy_file(root / "cut", root / "cut-chunked");
    std::filesystem::copy_file(root / "cut", root / "reset");
    std::filesystem::copy_file(root / "cut", root / "whole");
    options.root = root.path();
    UpdateService service{options};
    fixture::ScratchFolder folder;

    EXPECT_TRUE(rest::downloadRequest(service.url("/whole"), folder / "f", nullptr));
    EXPECT_EQ(std::filesystem::file_size(folder / "f"), 1u << 20);

    for (const char* path : {"/cut", "/cut-chunked", "/reset"}) {
        SCOPED_TRACE(path);
        LogCapture log;
        expectThrow<RetryableException>(
            [&] { (void)rest::downloadRequest(service.url(path), folder / "f", nullptr); },
            "NETWORK_RECEIVE_ERROR");
        EXPECT_TRUE(log.containsPrefix("error Failed downloadRequest to '" + service.url(path) +
                                       "' with code 200 and message '"));
    }
    {
        LogCapture log;
        EXPECT_FALSE(rest::downloadRequest(service.url("/missing"), folder / "f", nullptr));
        EXPECT_TRUE(log.contains("error Failed downloadRequest to '" + service.url("/missing") +
                                 "' with code 404 and message ''"));
    }
    // The callback's refusal ends the transfer, and the download fails.
    expectThrow<RetryableException>(
        [&] {
            (void)rest::downloadRequest(service.url("/whole"), folder / "f",
                                        [](std::int64_t, std::int64_t now, std::int64_t,
                                           std::int64_t) { return now == 0; });
        },
        "REQUEST_CANCELLED");
    // A full disk: the answer is complete but the file is not.
    expectThrow<RetryableException>(
        [&] { (void)rest::downloadRequest(service.url("/whole"), "/dev/full", nullptr); },
        "REQUEST_CANCELLED");
    // A target that cannot be opened: no transfer at all.
    service.clearRecords();
    LogCapture log;
    EXPECT_FALSE(rest::downloadRequest(service.url("/whole"), folder / "no/such/dir/f", nullptr));
    EXPECT_TRUE(log.containsPrefix("error Failed downloadRequest to '"));
    EXPECT_TRUE(service.records().empty());
}

// The limit a download is given stops it where the body passes it, announced size or not.
TEST_F(RestClient, DownloadsTakeNoMoreThanTheirLimit) {
    UpdateService::Options options;
    options.config = {{"paths", {{"/chunked/*", {{"chunked", true}}}}}};
    fixture::ScratchFolder root;
    std::filesystem::create_directories(root / "chunked");
    {
        std::ofstream archive{root / "whole", std::ios::binary};
        archive << std::string(1 << 20, 'a');
    }
    std::filesystem::copy_file(root / "whole", root / "chunked/whole");
    options.root = root.path();
    UpdateService service{options};
    fixture::ScratchFolder folder;
    for (const char* path : {"/whole", "/chunked/whole"}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(rest::downloadRequest(service.url(path), folder / "f", nullptr, 1 << 20));
        EXPECT_EQ(std::filesystem::file_size(folder / "f"), 1u << 20);

        LogCapture log;
        const std::string message = "answer larger than 1048575 bytes";
        try {
            (void)rest::downloadRequest(service.url(path), folder / "f", nullptr, (1 << 20) - 1);
            ADD_FAILURE() << "no exception";
        } catch (const RetryableException& e) {
            EXPECT_EQ(e.what(), message);
        }
        EXPECT_LT(std::filesystem::file_size(folder / "f"), 1u << 20);
        EXPECT_TRUE(log.contains("error Failed downloadRequest to '" + service.url(path) +
                                 "' with code 200 and message '" + message + "'"));
    }
}

// A redirect to plain http or a file is the launcher's own refusal, and the log says so.
TEST_F(RestClient, ARedirectAwayFromHttpsIsRefusedByTheLauncher) {
    const fixture::PlainHttpServer plain;
    const std::string refusal{zentravo::http::kRedirectRefused};
    UpdateService::Options options;
    options.config = {{"paths",
                       {{"/to-http", {{"location", plain.url("/answer")}}},
                        {"/to-file", {{"location", "file:///etc/hostname"}}}}}};
    UpdateService service{options};
    fixture::ScratchFolder folder;
    for (const char* path : {"/to-http", "/to-file"}) {
        SCOPED_TRACE(path);
        const std::string url = service.url(path);
        LogCapture log;
        EXPECT_EQ(expectThrow<RetryableException>(
                      [&] { (void)rest::downloadRequest(url, folder / "f", nullptr); },
                      "UNSUPPORTED_PROTOCOL"),
                  refusal);
        EXPECT_TRUE(log.contains("error Failed downloadRequest to '" + url +
                                 "' with code 302 and message '" + refusal + "'"))
            << ::testing::PrintToString(log.lines());

        EXPECT_FALSE(rest::getRequest(url, true, false).has_value());
        EXPECT_TRUE(log.contains("error Failed getRequest to '" + url +
                                 "' with code 302 and message '" + refusal + "'"))
            << ::testing::PrintToString(log.lines());
    }
    EXPECT_EQ(plain.requests(), 0);
}

}  // namespace
