// Analytics events against the real local service at the compiled-in address: what goes on the
// wire, and what happens to events the service does not take.
#include "metrics.hpp"

#include <gtest/gtest.h>

#include <regex>

#include "../files/files_test_support.hpp"
#include "../files/report_capture.hpp"
#include "build_config.hpp"
#include "system.hpp"
#include "update_service.hpp"
#include "user_ip.hpp"
#include "utils.hpp"

namespace amp = zentravo::metrics::amplitude;
using amp::model::AmplitudeMetricsEvent;
using launcher_test::UpdateService;
using nlohmann::json;
using ordered = nlohmann::ordered_json;

namespace {

std::vector<std::string> keysInOrder(const ordered& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object.items()) {
        keys.push_back(key);
    }
    return keys;
}

// The compiled-in address has a fixed port. Within one checkout the ctest lock keeps its users
// apart; a service another checkout on this machine started there would answer in place of ours
// (the fixture shares the port), so the test stands aside instead of judging the wrong service.
bool fixedPortHeldElsewhere() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(LAUNCHER_FIXTURE_PORT);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const bool held = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0;
    ::close(fd);
    return held;
}

class AtCompiledInAddress : public ::testing::Test {
  protected:
    void SetUp() override {
        if (fixedPortHeldElsewhere()) {
            GTEST_SKIP() << "port " << LAUNCHER_FIXTURE_PORT << " is held by another process";
        }
    }
};
using Metrics = AtCompiledInAddress;
using UserIp = AtCompiledInAddress;

UpdateService::Options atCompiledInAddress(json config = json::object()) {
    UpdateService::Options options;
    options.port = LAUNCHER_FIXTURE_PORT;
    options.config = std::move(config);
    return options;
}

json httpapiFault(int status, int times = -1) {
    json fault{{"status", status}, {"body", "rejected by test"}};
    if (times > 0) {
        fault["times"] = times;
    }
    return json{{"paths", {{"/2/httpapi", fault}}}};
}

std::vector<ordered> analyticsBodies(const UpdateService& service) {
    std::vector<ordered> bodies;
    for (const auto& record : service.recordsFor("/2/httpapi")) {
        bodies.push_back(ordered::parse(record.at("body").get<std::string>()));
    }
    return bodies;
}

TEST_F(Metrics, OneEventGoesOutWithEveryKeyInByteOrder) {
    UpdateService service{atCompiledInAddress()};
    const std::int64_t before = zentravo::utils::getCurrentTime();
    const AmplitudeMetricsEvent event = amp::buildAmplitudeEvent("Launcher Opened");
    const std::int64_t after = zentravo::utils::getCurrentTime();
    LogCapture logs;
    zentravo::metrics::sendMetricsEvents({event});

    const auto records = service.recordsFor("/2/httpapi");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].at("method"), "POST");
    EXPECT_EQ(records[0].at("headers").at("content-type"), "application/json");
    const std::string raw = records[0].at("body").get<std::string>();
    const ordered body = ordered::parse(raw);
    EXPECT_EQ(raw, body.dump()) << "the body is written compactly";

    EXPECT_EQ(keysInOrder(body), (std::vector<std::string>{"api_key", "events"}));
    EXPECT_EQ(body.at("api_key"), zentravo::config::kAnalyticsApiKey.reveal());
    EXPECT_EQ(body.at("api_key").get<std::string>().size(), 32u);
    // The log shows the body as sent, except for the key.
    ordered logged = body;
    logged["api_key"] = "***";
    EXPECT_TRUE(
        logs.contains("debug [Metrics::sendEventsToAmplitude] Request body -> " + logged.dump()))
        << ::testing::PrintToString(logs.lines());
    for (const auto& line : logs.lines()) {
        EXPECT_EQ(line.find(zentravo::config::kAnalyticsApiKey.reveal()), std::string::npos)
            << line;
    }
    ASSERT_EQ(body.at("events").size(), 1u);
    const ordered& sent = body.at("events")[0];
    EXPECT_EQ(
        keysInOrder(sent),
        (std::vector<std::string>{"app_version", "device_id", "event_properties", "event_type",
                                  "insert_id", "ip", "language", "os_name", "os_version",
                                  "platform", "session_id", "time", "user_id", "user_properties"}));
    EXPECT_EQ(sent.at("app_version"), "1.6.24");
    EXPECT_EQ(sent.at("device_id"), std::string{zentravo::system::getMachineUUID()});
    EXPECT_EQ(sent.at("event_type"), "Launcher Opened");
    EXPECT_TRUE(
        std::regex_match(sent.at("insert_id").get<std::string>(),
                         std::regex{"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-"
                                    "[0-9a-f]{12}"}))
        << sent.at("insert_id");
    EXPECT_EQ(sent.at("ip"), "127.0.0.1");
    EXPECT_EQ(sent.at("language"), zentravo::system::getDefaultLanguage());
    EXPECT_EQ(sent.at("os_name"), std::string{zentravo::system::getOSName()});
    EXPECT_EQ(sent.at("platform"), std::string{zentravo::system::getOSName()});
    EXPECT_EQ(sent.at("os_version"), std::string{zentravo::system::getOSVersion()});
    EXPECT_EQ(sent.at("session_id"), amp::sessionStartTime);
    EXPECT_LE(amp::sessionStartTime, before);
    EXPECT_GE(sent.at("time").get<std::int64_t>(), before);
    EXPECT_LE(sent.at("time").get<std::int64_t>(), after);
    EXPECT_EQ(sent.at("user_id"), "");
    EXPECT_TRUE(sent.at("user_properties").is_null());

    const ordered& properties = sent.at("event_properties");
    EXPECT_EQ(keysInOrder(properties),
              (std::vector<std::string>{"app_version", "cpu_cores", "cpu_name", "download_id",
                                        "gpu_name", "launcher_version", "operating_system",
                                        "operating_system_version", "vc_redist_version",
                                        "zentravo_system"}));
    EXPECT_EQ(properties.at("zentravo_system"),
              "zentravo-v3-" + zentravo::toLower(zentravo::system::getOSName()));
    EXPECT_EQ(properties.at("launcher_version"), "1.6.24");
    EXPECT_EQ(properties.at("cpu_cores"), zentravo::system::getCPUCores());
    EXPECT_EQ(properties.at("vc_redist_version"), "NA");
    EXPECT_TRUE(amp::getMissedAmplitudeEvents().empty());
}

TEST(MetricsRecords, OptionalPropertiesOnlyWhenSetAndNotEmpty) {
    AmplitudeMetricsEvent event;
    auto& p = event.event_properties;
    p.reason = "";
    p.partner_tracking_id = "tracking-only";
    EXPECT_EQ(json(p).size(), 10u);

    p.partner_name = "";
    EXPECT_EQ(json(p).size(), 10u) << "no tracking id without a partner name";

    p.reason = "launcher.process.error.retries";
    p.app_version_installed = "0.0.0";
    p.partner_name = "Partner";
    p.partner_tracking_id = "";
    EXPECT_EQ(keysInOrder(ordered(json(p))),
              (std::vector<std::string>{
                  "app_version", "app_version_installed", "cpu_cores", "cpu_name", "download_id",
                  "gpu_name", "launcher_version", "operating_system", "operating_system_version",
                  "partner_name", "reason", "vc_redist_version", "zentravo_system"}));

    p.partner_tracking_id = "t-1";
    p.app_version_to_update = "2.0.0";
    p.launcher_version_installed = "1.6.24";
    p.launcher_version_to_update = "1.7.0";
    const json full = p;
    EXPECT_EQ(full.size(), 17u);
    EXPECT_EQ(full.at("reason"), "launcher.process.error.retries");
    EXPECT_EQ(full.at("partner_tracking_id"), "t-1");

    // Nothing fills partner data on this platform, so user_properties stay null.
    amp::addPartnerInfo(event);
    EXPECT_TRUE(event.user_properties.is_null());
}

TEST_F(Metrics, EventsOfOneRunShareTheSessionAndDifferInInsertId) {
    UpdateService service{atCompiledInAddress()};
    const AmplitudeMetricsEvent first = amp::buildAmplitudeEvent("Launcher Opened");
    const AmplitudeMetricsEvent second = amp::buildAmplitudeEvent("Launcher Update Found");
    EXPECT_EQ(first.session_id, amp::sessionStartTime);
    EXPECT_EQ(second.session_id, first.session_id);
    EXPECT_NE(first.insert_id, second.insert_id);
    // The address was asked once and then kept.
    EXPECT_EQ(service.recordsFor("/ip").size(), 1u);
}

TEST_F(Metrics, RejectedSingleEventIsResentOnceAtTheEnd) {
    UpdateService service{atCompiledInAddress(httpapiFault(400, 1))};
    const AmplitudeMetricsEvent event = amp::buildAmplitudeEvent("Launcher Opened");
    files_test::ReportCapture reports;
    LogCapture logs;
    zentravo::metrics::sendMetricsEvents({event});

    // Only this unit's report: the machine facts may report their own failures here.
    std::vector<files_test::Report> metricReports;
    for (const auto& report : reports.collect().reports) {
        if (report.title == "Metric Failed") {
            metricReports.push_back(report);
        }
    }
    EXPECT_EQ(metricReports,
              (std::vector<files_test::Report>{
                  {"Metric Failed",
                   "Failed to send [Launcher Opened] events to Amplitude: rejected by test"}}));
    EXPECT_TRUE(logs.contains(
        "error Failed to send [Launcher Opened] events to Amplitude: rejected by test"));
    const auto missed = amp::getMissedAmplitudeEvents();
    ASSERT_EQ(missed.size(), 1u);
    EXPECT_EQ(missed[0].insert_id, event.insert_id);

    zentravo::metrics::sendPendingEvents();
    const auto bodies = analyticsBodies(service);
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[1].at("events").size(), 1u);
    EXPECT_EQ(bodies[1].at("events")[0].at("insert_id"), event.insert_id);
    EXPECT_EQ(bodies[1], bodies[0]);
    EXPECT_TRUE(amp::getMissedAmplitudeEvents().empty());
    const auto crumbs = [&reports] {
        const auto all = reports.collect().breadcrumbs;
        return std::count(all.begin(), all.end(), "Missed Amplitude Metrics events sent");
    };
    EXPECT_EQ(crumbs(), 1);

    // Nothing remembered any more: no further request, no breadcrumb.
    zentravo::metrics::sendPendingEvents();
    EXPECT_EQ(service.recordsFor("/2/httpapi").size(), 2u);
    EXPECT_EQ(crumbs(), 1);
}

TEST_F(Metrics, FailedResendIsDroppedAndFailedBatchesAreNotRemembered) {
    UpdateService service{atCompiledInAddress(httpapiFault(500))};
    const AmplitudeMetricsEvent opened = amp::buildAmplitudeEvent("Launcher Opened");
    const AmplitudeMetricsEvent found = amp::buildAmplitudeEvent("Launcher Update Found");
    LogCapture logs;

    zentravo::metrics::sendMetricsEvents({opened, found});
    EXPECT_TRUE(
        logs.contains("error Failed to send [Launcher Opened,Launcher Update Found] events "
                      "to Amplitude: rejected by test"));
    EXPECT_TRUE(amp::getMissedAmplitudeEvents().empty());

    zentravo::metrics::sendMetricsEvents({opened});
    ASSERT_EQ(amp::getMissedAmplitudeEvents().size(), 1u);
    zentravo::metrics::sendPendingEvents();
    EXPECT_TRUE(amp::getMissedAmplitudeEvents().empty());
    EXPECT_EQ(service.recordsFor("/2/httpapi").size(), 3u);
}

TEST_F(Metrics, OnlyStatus200CountsAsSent) {
    UpdateService service{atCompiledInAddress(httpapiFault(201))};
    LogCapture logs;
    zentravo::metrics::sendMetricsEvents({amp::buildAmplitudeEvent("Launcher Update Success")});
    EXPECT_TRUE(logs.containsPrefix("error Failed to send [Launcher Update Success] events"));
    EXPECT_EQ(amp::getMissedAmplitudeEvents().size(), 1u);
}

// Analytics check the service's certificate: a server whose certificate no trusted authority
// signed gets no event.
TEST_F(Metrics, UntrustedCertificateGetsNothing) {
    fixture::ScratchFolder dir;
    const std::string key = (dir.path() / "self.key").string();
    const std::string cert = (dir.path() / "self.pem").string();
    ASSERT_EQ(files_test::run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                               "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj",
                               "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                               key, "-out", cert}),
              0);
    UpdateService::Options options = atCompiledInAddress();
    options.cert = cert;
    options.key = key;
    UpdateService service{options};

    AmplitudeMetricsEvent event;
    event.event_type = "Launcher Opened";
    LogCapture logs;
    zentravo::metrics::sendMetricsEvents({event});
    EXPECT_TRUE(
        logs.containsPrefix("error Failed to send [Launcher Opened] events to Amplitude: "));
    EXPECT_TRUE(service.recordsFor("/2/httpapi").empty());
    EXPECT_EQ(amp::getMissedAmplitudeEvents().size(), 1u);
}

TEST_F(UserIp, FailedLookupIsAskedAgainAndSuccessIsKept) {
    UpdateService service{atCompiledInAddress(
        json{{"paths", {{"/ip", {{"status", 503}, {"body", "busy"}, {"times", 1}}}}}})};
    EXPECT_EQ(zentravo::getUserIp(), "");
    EXPECT_EQ(zentravo::getUserIp(), "127.0.0.1");
    EXPECT_EQ(zentravo::getUserIp(), "127.0.0.1");
    const auto records = service.recordsFor("/ip");
    ASSERT_EQ(records.size(), 2u);
    // The update service's usual request: identification headers, but no query.
    EXPECT_EQ(records[1].at("query"), "");
    EXPECT_EQ(records[1].at("headers").value("user-agent", "").rfind("corvanta-launcher ", 0), 0u)
        << records[1].at("headers");
}

TEST_F(UserIp, AnswerWithoutTextIpThrowsAndCachesNothing) {
    UpdateService service{
        atCompiledInAddress(json{{"paths", {{"/ip", {{"json", {{"ip", 7}}}, {"times", 1}}}}}})};
    EXPECT_THROW((void)zentravo::getUserIp(), nlohmann::json::exception);
    EXPECT_EQ(zentravo::getUserIp(), "127.0.0.1");
}

}  // namespace
