// The update-service fixture's own behaviour: routes, recording and every fault switch.
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "build_config.hpp"
#include "child_process.hpp"
#include "http_session.hpp"
#include "update_service.hpp"

namespace {

using namespace std::chrono_literals;
using launcher_test::UpdateService;
using nlohmann::json;
using zentravo::http::Response;
using zentravo::http::Session;

Session sessionFor(const std::string& url) {
    Session s;
    s.setUrl(url);
    s.setExtraCaFile(std::string{LAUNCHER_CERT_DIR} + "/ca.pem");
    s.setTimeout(10s);
    return s;
}

Response get(const std::string& url) {
    return sessionFor(url).get();
}

struct Download {
    Response response;
    std::string bytes;
};

Download download(const std::string& url) {
    std::ostringstream out;
    auto r = sessionFor(url).download(out);
    return {std::move(r), out.str()};
}

TEST(UpdateServiceFixture, AnswersItsRoutes) {
    const auto root =
        std::filesystem::temp_directory_path() / ("us-root-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root / "feeds");
    std::ofstream{root / "update.json"} << R"({"appVersion":"3.1.0","url":"{base}/app.tar"})";
    std::ofstream{root / "feeds/appcast.xml"} << "<rss>{base}/launcher.tar</rss>";
    const auto outside = root.parent_path() / (root.filename().string() + ".secret");
    std::ofstream{outside} << "secret";
    std::ofstream{root / "app.tar", std::ios::binary} << std::string("tar\0bytes", 9);
    {
        UpdateService::Options options;
        options.root = root;
        UpdateService service{options};
        const auto base = service.baseUrl();

        auto r = get(service.url("/v1/tarvine/update/3.0.0"));
        EXPECT_EQ(r.status_code, 200);
        EXPECT_EQ(json::parse(r.text),
                  json::parse(R"({"appVersion":"3.1.0","url":")" + base + R"(/app.tar"})"));
        r = get(service.url("/v1/tarvine/update/launcher/1.6.24"));
        EXPECT_EQ(json::parse(r.text)["launcherUpdate"]["launcherVersion"], "1.6.24");
        EXPECT_EQ(json::parse(r.text)["launcherUpdate"]["arm64"], base + "/appcast.xml");
        r = get(service.url("/ip"));
        EXPECT_EQ(json::parse(r.text), json::parse(R"({"ip":"127.0.0.1"})"));
        r = get(service.url("/feeds/appcast.xml"));
        EXPECT_EQ(r.text, "<rss>" + base + "/launcher.tar</rss>");
        EXPECT_EQ(r.header("content-type"), "application/xml");
        const auto tar = download(service.url("/app.tar"));
        EXPECT_EQ(tar.response.status_code, 200);
        EXPECT_EQ(tar.bytes, std::string("tar\0bytes", 9));
        EXPECT_EQ(get(service.url("/missing.tar")).status_code, 404);
        // Nothing outside the root is served, however the path is spelled.
        EXPECT_EQ(get(service.url("/%2e%2e/" + outside.filename().string())).status_code, 404);

        const auto blob = download(service.url("/blob/300000"));
        ASSERT_EQ(blob.bytes.size(), 300000u);
        bool pattern = true;
        for (std::size_t i = 0; i < blob.bytes.size(); ++i) {
            pattern =
                pattern && static_cast<unsigned char>(blob.bytes[i]) == UpdateService::blobByte(i);
        }
        EXPECT_TRUE(pattern);

        Session post = sessionFor(service.url("/2/httpapi"));
        post.setHeaders({{"content-type", "application/json"}});
        EXPECT_EQ(post.post(R"({"api_key":"k","events":[]})").status_code, 200);
        Session bad = sessionFor(service.url("/2/httpapi"));
        EXPECT_EQ(bad.post("not json").status_code, 400);
        Session envelope = sessionFor(service.url("/api/7/envelope/"));
        r = envelope.post("{\"event_id\":\"abc123\"}\n{\"type\":\"event\"}\n{}");
        EXPECT_EQ(r.status_code, 200);
        EXPECT_EQ(json::parse(r.text)["id"], "abc123");
    }
    std::filesystem::remove_all(root);
    std::filesystem::remove(outside);
}

TEST(UpdateServiceFixture, RecordsEveryRequest) {
    UpdateService service;
    Session s = sessionFor(service.url("/v1/tarvine/update/3.0.0"));
    s.setHeaders({{"app-name", "corvanta-launcher"}, {"User-Agent", "ua 1"}});
    s.setParameters({{"attributes", R"({"os":"Linux"})"}, {"x", "a b"}});
    ASSERT_EQ(s.get().status_code, 200);
    Session p = sessionFor(service.url("/api/7/envelope/"));
    ASSERT_EQ(p.post(std::string("\x1f\x8b\x00\xff", 4)).status_code, 200);

    const auto records = service.records();
    ASSERT_EQ(records.size(), 2u);
    const auto& r = records[0];
    EXPECT_EQ(r["method"], "GET");
    EXPECT_EQ(r["path"], "/v1/tarvine/update/3.0.0");
    EXPECT_EQ(r["params"], json::parse(R"([["attributes","{\"os\":\"Linux\"}"],["x","a b"]])"));
    EXPECT_EQ(r["headers"]["app-name"], "corvanta-launcher");
    EXPECT_EQ(r["headers"]["user-agent"], "ua 1");
    EXPECT_EQ(records[1]["method"], "POST");
    EXPECT_EQ(records[1]["bodyBase64"], "H4sA/w==");  // bytes that are not UTF-8 survive
    service.clearRecords();
    EXPECT_TRUE(service.records().empty());
}

TEST(UpdateServiceFixture, StatusBodyAndInvalidJsonFaults) {
    UpdateService service;
    service.setConfig({{"paths",
                        {{"/v1/tarvine/update/*", {{"status", 503}, {"times", 1}}},
                         {"/ip", {{"json", {{"ip", "10.0.0.1"}}}}},
                         {"/v1/tarvine/update/launcher/1.0.0", {{"invalidJson", true}}}}}});
    const auto url = service.url("/v1/tarvine/update/3.0.0");
    EXPECT_EQ(get(url).status_code, 503);
    EXPECT_EQ(get(url).status_code, 200) << "times: 1 applies once";
    EXPECT_EQ(json::parse(get(service.url("/ip")).text)["ip"], "10.0.0.1");
    const auto bad = get(service.url("/v1/tarvine/update/launcher/1.0.0"));
    EXPECT_EQ(bad.status_code, 200);
    EXPECT_FALSE(json::accept(bad.text));
    // The exact path wins over a matching prefix.
    EXPECT_EQ(get(service.url("/v1/tarvine/update/launcher/2.0.0")).status_code, 200);
}

TEST(UpdateServiceFixture, DelayHoldsTheStatusLine) {
    UpdateService::Options options;
    options.config = {{"paths", {{"/ip", {{"delayMs", 700}}}}}};
    UpdateService service{options};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(get(service.url("/ip")).status_code, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 700ms);
    Session impatient = sessionFor(service.url("/ip"));
    impatient.setTimeout(200ms);
    const auto r = impatient.get();
    EXPECT_EQ(r.error.code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(r.status_code, 0);
}

// A held answer waits for its own key's release, however long that takes; the key then lets
// every later request through at once.
TEST(UpdateServiceFixture, HoldKeepsTheAnswerUntilItsKeyIsReleased) {
    UpdateService::Options options;
    options.config = {
        {"paths", {{"/ip", {{"hold", true}}}, {"/blob/*", {{"hold", true}, {"status", 503}}}}}};
    UpdateService service{options};
    const auto patient = [&](const std::string& path) {
        return std::async(std::launch::async, [&service, path] {
            Session session = sessionFor(service.url(path));
            session.setTimeout(120s);
            return session.get();
        });
    };
    const auto arrived = [&](const std::string& path) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (service.recordsFor(path).empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        return !service.recordsFor(path).empty();
    };
    auto ip = patient("/ip");
    ASSERT_TRUE(arrived("/ip"));
    auto blob = patient("/blob/10");
    ASSERT_TRUE(arrived("/blob/10"));

    // The later request's key goes first: only its answer comes.
    service.release("/blob/*");
    EXPECT_EQ(blob.get().status_code, 503);
    EXPECT_NE(ip.wait_for(0s), std::future_status::ready);
    service.release("/ip");
    const auto answered = ip.get();
    EXPECT_EQ(answered.status_code, 200);
    EXPECT_EQ(json::parse(answered.text)["ip"], "127.0.0.1");
    EXPECT_EQ(get(service.url("/ip")).status_code, 200);
    EXPECT_EQ(get(service.url("/blob/10")).status_code, 503);
}

TEST(UpdateServiceFixture, TruncationAndResetFaults) {
    UpdateService service;
    service.setConfig({{"paths",
                        {{"/blob/100000", {{"truncateAfter", 4000}}},
                         {"/blob/100001", {{"truncateAfter", 4000}, {"chunked", true}}},
                         {"/blob/100002", {{"chunked", true}}},
                         {"/blob/100003", {{"truncateAfter", 4000}, {"reset", true}}},
                         {"/ip", {{"reset", true}}}}}});
    struct Case {
        const char* path;
        bool ok;
        std::int64_t announced;
    };
    for (const Case c : {Case{"/blob/100000", false, 100000}, Case{"/blob/100001", false, -1},
                         Case{"/blob/100002", true, -1}, Case{"/blob/100003", false, 100003}}) {
        SCOPED_TRACE(c.path);
        const auto d = download(service.url(c.path));
        EXPECT_EQ(d.response.status_code, 200);
        EXPECT_EQ(d.response.error.code == CURLE_OK, c.ok) << d.response.error.message;
        EXPECT_EQ(d.response.announced_bytes, c.announced);
        if (c.ok) {
            EXPECT_EQ(d.bytes.size(), 100002u);
        } else {
            EXPECT_LE(d.bytes.size(), 4000u);
        }
    }
    const auto reset = get(service.url("/ip"));
    EXPECT_EQ(reset.status_code, 0);
    EXPECT_TRUE(reset.error.code == CURLE_RECV_ERROR || reset.error.code == CURLE_SSL_CONNECT_ERROR)
        << reset.error.code << " " << reset.error.message;
}

TEST(UpdateServiceFixture, WrongCertificateSwitch) {
    UpdateService service;
    auto pinned = [&] {
        Session s = sessionFor(service.url("/ip"));
        s.setPinnedPublicKey(zentravo::config::kPinnedKeys.reveal());
        return s.get();
    };
    EXPECT_EQ(pinned().status_code, 200);
    service.setConfig({{"wrongCertificate", true}});
    const auto wrong = pinned();
    EXPECT_EQ(wrong.error.code, CURLE_SSL_PINNEDPUBKEYNOTMATCH) << wrong.error.message;
    EXPECT_EQ(get(service.url("/ip")).status_code, 200) << "still a valid chain to the demo CA";
    service.setConfig(json::object());
    EXPECT_EQ(pinned().status_code, 200);
}

TEST(UpdateServiceFixture, ConfigFileChangesApplyWithoutSignal) {
    UpdateService service;
    EXPECT_EQ(get(service.url("/ip")).status_code, 200);
    const auto config = service.workDir() / "config.json";
    std::ofstream{service.workDir() / "c.tmp"} << R"({"paths":{"/ip":{"status":418}}})";
    std::filesystem::rename(service.workDir() / "c.tmp", config);
    EXPECT_EQ(get(service.url("/ip")).status_code, 418);
}

int runFixture(std::vector<std::string> args) {
    args.insert(args.begin(), UpdateService::executable().string());
    return launcher_test::waitChild(launcher_test::spawnChild(args));
}

TEST(UpdateServiceFixture, CommandLine) {
    EXPECT_EQ(runFixture({"--help"}), 0);
    EXPECT_EQ(runFixture({"--bogus", "1"}), 2);
    EXPECT_EQ(runFixture({"--port"}), 2);
    EXPECT_EQ(runFixture({"--port", "0", "--cert", "/nonexistent.pem"}), 1);
}

TEST(UpdateServiceFixture, RefusesAPortThatIsAlreadyTaken) {
    UpdateService first;
    EXPECT_EQ(runFixture({"--port", std::to_string(first.port())}), 1);
    EXPECT_EQ(get(first.url("/ip")).status_code, 200);
}

}  // namespace
