// The Updater's self-update step in a launcher stand-in installed as a bundle, against the local
// update service on the compiled-in address: results, page calls, analytics events and the error
// reports with their breadcrumbs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "feed.hpp"
#include "mainapp_fixture.hpp"
#include "scratch_folder.hpp"
#include "thread_stacks.hpp"
#include "update_service.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kConnectionText =
    "Could not connect to the update service. Check your internet connection.";
constexpr const char* kRetriesText = "The update could not be completed. Please try again.";
constexpr const char* kAnswerPath = "/v1/tarvine/update/launcher/*";
constexpr const char* kNoUpdate = "Sparkle AutoUpdater: No update available";

struct Outcome {
    std::optional<int> exitCode;
    std::vector<json> record;
    std::vector<json> events;    // analytics events sent
    std::vector<json> reports;   // error-report events, each with its breadcrumbs
    std::vector<json> requests;  // everything the service saw

    [[nodiscard]] std::vector<json> entries(const std::string& type) const {
        std::vector<json> out;
        for (const json& entry : record) {
            if (entry.value("type", "") == type) {
                out.push_back(entry);
            }
        }
        return out;
    }
    [[nodiscard]] std::vector<std::string> pageCalls() const {
        std::vector<std::string> out;
        for (const json& entry : entries("page")) {
            out.push_back(entry["call"]);
        }
        return out;
    }
    [[nodiscard]] json report(const std::string& title) const {
        for (const json& event : reports) {
            if (event["exception"]["values"][0]["type"] == title) {
                return event;
            }
        }
        return json{};
    }
    [[nodiscard]] std::vector<std::string> breadcrumbs() const {
        std::vector<std::string> out;
        for (const json& crumb : report("probe").value("breadcrumbs", json::array())) {
            out.push_back(crumb.value("message", ""));
        }
        return out;
    }
};

std::vector<json> envelopeEvents(const std::string& body) {
    std::vector<json> out;
    std::istringstream lines{body};
    for (std::string line; std::getline(lines, line);) {
        const json item = json::parse(line, nullptr, false);
        if (item.is_object() && item.contains("exception")) {
            out.push_back(item);
        }
    }
    return out;
}

class UpdaterSelfUpdate : public ::testing::Test {
  protected:
    // The stand-in as holder/Zentravo.app at `version`, with the shipped page and translations.
    void install(const std::string& version) {
        const fs::path archive = dir_ / "installed.tar.gz";
        fixture::ChildProcess tool{{fixture::mainAppBundleTool().string(), "--output",
                                    archive.string(), "--version", version, "--program",
                                    SELFUPDATE_PROBE}};
        ASSERT_EQ(tool.waitExit(30s), 0);
        fs::remove_all(dir_ / "apps");
        fixture::extractArchive(archive, dir_ / "apps");
        fs::copy(fs::path{LAUNCHER_SOURCE_DIR} / "resources",
                 dir_ / "apps/Zentravo.app/Contents/resources", fs::copy_options::recursive);
    }

    // Runs the stand-in with `probeArguments` ("updater [stop]" or "checker").
    Outcome run(const json& config, const std::vector<std::string>& probeArguments = {"updater"}) {
        fs::create_directories(dir_ / "served");
        if (!fs::exists(dir_ / "served/appcast.xml")) {
            std::ofstream{dir_ / "served/appcast.xml"}
                << "<rss version=\"2.0\"><channel></channel></rss>";
        }
        const auto service_ = startOnFixedPort(config);
        launcher_test::UpdateService& service = *service_;
        const fs::path record = dir_ / "record.jsonl";
        const fs::path release = dir_ / "release";
        fs::remove(record);
        fs::remove(release);
        std::vector<std::string> argv{
            (dir_ / "apps/Zentravo.app/Contents/MacOS/Zentravo").string()};
        argv.insert(argv.end(), probeArguments.begin(), probeArguments.end());
        fixture::ChildProcess child{
            argv,
            {"SELFUPDATE_PROBE_RECORD=" + record.string(),
             "SELFUPDATE_PROBE_RELEASE=" + release.string(),
             "SELFUPDATE_PROBE_DB=" + (dir_ / "reports").string(), "LANGUAGE=en",
             "HOME=" + (dir_ / "home").string(), "XDG_DATA_HOME=" + (dir_ / "data").string()}};
        Outcome outcome;
        // The last report marks the end of the run; it carries the run's breadcrumbs.
        const auto deadline = std::chrono::steady_clock::now() + 90s;
        while (std::chrono::steady_clock::now() < deadline &&
               !outcome.report("probe").is_object()) {
            outcome.reports.clear();
            for (const json& request : service.recordsFor("/api/7/envelope/")) {
                for (json& event : envelopeEvents(request["body"])) {
                    outcome.reports.push_back(std::move(event));
                }
            }
            std::this_thread::sleep_for(50ms);
        }
        std::ofstream{release} << "done";
        outcome.exitCode = child.waitExit(30s);
        if (!outcome.exitCode) {
            fixture::printThreadStacks(child.pid(), "The run did not end in time:");
        }
        outcome.record = fixture::readRecord(record);
        for (const json& request : service.recordsFor("/2/httpapi")) {
            const json body = json::parse(request["body"].get<std::string>());
            for (const json& event : body["events"]) {
                outcome.events.push_back(event);
            }
        }
        outcome.requests = service.records();
        return outcome;
    }

    // The fixed port may be held for a while by another checkout's tests on this machine.
    std::unique_ptr<launcher_test::UpdateService> startOnFixedPort(const json& config) {
        const auto deadline = std::chrono::steady_clock::now() + 180s;
        for (;;) {
            try {
                return std::make_unique<launcher_test::UpdateService>(
                    launcher_test::UpdateService::Options{
                        .port = LAUNCHER_FIXTURE_PORT, .root = dir_ / "served", .config = config});
            } catch (const std::runtime_error& e) {
                if (std::string_view{e.what()}.find("cannot listen") == std::string_view::npos ||
                    std::chrono::steady_clock::now() > deadline) {
                    throw;
                }
                std::this_thread::sleep_for(500ms);
            }
        }
    }

    static json answer(const json& launcherUpdate) {
        return {{"paths", {{kAnswerPath, {{"json", {{"launcherUpdate", launcherUpdate}}}}}}}};
    }

    fixture::ScratchFolder dir_;
};

int resultOf(const Outcome& outcome) {
    const auto results = outcome.entries("result");
    return results.size() == 1 ? results[0]["value"].get<int>() : -1;
}

TEST_F(UpdaterSelfUpdate, NoNewerLauncherIsResultOneWithoutAnUpdater) {
    install("1.6.24");
    struct Case {
        const char* name;
        json launcherUpdate;
    };
    for (const Case& c :
         {Case{"equal", {{"launcherVersion", "1.6.24"}, {"arm64", "{base}/appcast.xml"}}},
          Case{"older", {{"launcherVersion", "1.6.0"}, {"arm64", "{base}/appcast.xml"}}},
          Case{"no version", {{"arm64", "{base}/appcast.xml"}}}}) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = run(answer(c.launcherUpdate));
        EXPECT_EQ(outcome.exitCode, 3);
        ASSERT_EQ(resultOf(outcome), 1);
        EXPECT_EQ(outcome.entries("result")[0]["checked"], true);
        EXPECT_EQ(outcome.entries("result")[0]["found"], false);
        EXPECT_EQ(outcome.pageCalls(), std::vector<std::string>{"restoreFrontend()"});
        EXPECT_TRUE(outcome.events.empty());
        const auto crumbs = outcome.breadcrumbs();
        ASSERT_GE(crumbs.size(), 5u);
        EXPECT_EQ(crumbs[0], "About to start self update process");
        EXPECT_EQ(crumbs[1], "On Get Updater Handler - Requesting to: https://127.0.0.1:" +
                                 std::to_string(LAUNCHER_FIXTURE_PORT) +
                                 "/v1/tarvine/update/launcher/1.6.24");
        EXPECT_EQ(crumbs[2], "Requesting Sparkle last version");
        EXPECT_EQ(crumbs[3].rfind("Returning Sparkle last version response: {\n    ", 0), 0u)
            << crumbs[3];
        EXPECT_EQ(crumbs.back(), kNoUpdate);
        EXPECT_FALSE(outcome.report("Auto update crashed").is_object());
        for (const json& request : outcome.requests) {
            EXPECT_NE(request["path"], "/appcast.xml") << "no updater may start";
        }
    }
}

TEST_F(UpdaterSelfUpdate, NewerLauncherStartsTheUpdaterWithTheAnswersFeed) {
    for (const std::string current : {"1.6.24", "1.7.0-rc.1"}) {
        SCOPED_TRACE(current);
        install(current);
        const Outcome outcome = run(
            answer({{"launcherVersion", "1.7.0"}, {"arm64", "{base}/appcast.xml?from=answer"}}));
        EXPECT_EQ(outcome.exitCode, 3);
        ASSERT_EQ(resultOf(outcome), 0);
        // The feed is still being read when the result comes back.
        EXPECT_EQ(outcome.entries("result")[0]["found"], false);
        const auto checked = outcome.entries("checked");
        ASSERT_EQ(checked.size(), 1u);
        EXPECT_EQ(checked[0]["checked"], true);
        EXPECT_EQ(checked[0]["found"], false);  // the feed offers nothing
        EXPECT_EQ(outcome.pageCalls(), std::vector<std::string>{"restoreFrontend()"});
        EXPECT_TRUE(outcome.events.empty());
        const auto crumbs = outcome.breadcrumbs();
        ASSERT_FALSE(crumbs.empty());
        EXPECT_EQ(crumbs.back(), "Sparkle AutoUpdater about to start");
        int feedRequests = 0;
        for (const json& request : outcome.requests) {
            if (request["target"] == "/appcast.xml?from=answer") {
                ++feedRequests;
            }
        }
        EXPECT_EQ(feedRequests, 1);
    }
}

TEST_F(UpdaterSelfUpdate, AWordAsVersionIsReportedAsAutoUpdateCrashed) {
    install("1.6.24");
    const Outcome outcome =
        run(answer({{"launcherVersion", "latest"}, {"arm64", "{base}/appcast.xml"}}));
    ASSERT_EQ(resultOf(outcome), 1);
    EXPECT_EQ(outcome.pageCalls(), std::vector<std::string>{"restoreFrontend()"});
    EXPECT_EQ(outcome.report("Auto update crashed")["exception"]["values"][0]["value"],
              "semver::version::from_string invalid version.");
    EXPECT_EQ(outcome.breadcrumbs().back(), kNoUpdate);
    EXPECT_TRUE(outcome.events.empty());
}

TEST_F(UpdaterSelfUpdate, RequestFailuresShowTheirErrorAndSendTheEvent) {
    install("1.6.24");
    struct Case {
        const char* name;
        json config;
        std::string errorCall;
        std::string reason;
        int attempts;
        std::string reportValue;  // empty: only its presence is checked
    };
    const std::vector<Case> cases{
        {"TLS failure",
         {{"wrongCertificate", true}},
         std::string{"notifyErrorWithRetry('"} + kConnectionText + "','restartApp')",
         "launcher.process.error.connection",
         1,
         ""},
        {"no answer on any attempt",
         {{"paths", {{kAnswerPath, {{"status", 500}}}}}},
         std::string{"notifyErrorWithRetry('"} + kRetriesText + "','restartApp')",
         "launcher.process.error.retries",
         8,
         "ERROR - Unable to getSelfLatestVersion"},
        {"connection reset on every attempt",
         {{"paths", {{kAnswerPath, {{"reset", true}}}}}},
         std::string{"notifyErrorWithRetry('"} + kRetriesText + "','restartApp')",
         "launcher.process.error.retries",
         8,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = run(c.config);
        EXPECT_EQ(outcome.exitCode, 3);
        ASSERT_EQ(resultOf(outcome), 2);
        const auto calls = outcome.pageCalls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.front(), "restoreFrontend()");
        EXPECT_EQ(calls.back(), c.errorCall);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "showCloseButton()"), c.attempts);
        // Between attempts: a countdown of 1, 2, 3, 4, 5, 15 and 30 seconds, each ended by the
        // retry text.
        const auto statusCalls = std::count_if(
            calls.begin(), calls.end(),
            [](const std::string& call) { return call.rfind("updateProgressStatus('", 0) == 0; });
        EXPECT_EQ(statusCalls, c.attempts == 8 ? 60 + 7 : 0);
        ASSERT_EQ(outcome.events.size(), 1u);
        EXPECT_EQ(outcome.events[0]["event_type"], "Launcher Self Update Failed");
        EXPECT_EQ(outcome.events[0]["event_properties"]["reason"], c.reason);
        EXPECT_EQ(outcome.events[0]["event_properties"]["launcher_version_installed"], "1.6.24");
        const json report = outcome.report("getSelfLatestVersion Failed");
        ASSERT_TRUE(report.is_object());
        if (!c.reportValue.empty()) {
            EXPECT_EQ(report["exception"]["values"][0]["value"], c.reportValue);
        }
        EXPECT_EQ(outcome.entries("result")[0]["checked"], true);
    }
}

TEST_F(UpdaterSelfUpdate, AStopEndsTheWaitForTheSelfUpdater) {
    install("1.6.24");
    json config = answer({{"launcherVersion", "1.7.0"}, {"arm64", "{base}/appcast.xml"}});
    // The feed is held back for good: only the stop can end the wait.
    config["paths"]["/appcast.xml"] = {{"hold", true}};
    const Outcome outcome = run(config, {"updater", "stop"});
    ASSERT_EQ(resultOf(outcome), 0);
    const auto stopped = outcome.entries("stopped");
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(stopped[0]["waitEnded"], true);
    EXPECT_LT(stopped[0]["ms"].get<int>(), 1000);
    EXPECT_EQ(stopped[0]["found"], false);
}

// The checker thread itself, with the Updater, after the launcher's own update check.
class CheckerThread : public UpdaterSelfUpdate {
  protected:
    static std::vector<std::string> eventTypes(const Outcome& outcome) {
        std::vector<std::string> out;
        for (const json& event : outcome.events) {
            out.push_back(event.value("event_type", ""));
        }
        return out;
    }
    // The version request of the main application's update sequence.
    static bool sequenceRan(const Outcome& outcome) {
        return std::any_of(outcome.requests.begin(), outcome.requests.end(), [](const json& r) {
            const std::string path = r.value("path", "");
            return path.starts_with("/v1/tarvine/update/") &&
                   !path.starts_with("/v1/tarvine/update/launcher/");
        });
    }
    // Whether the window was still shown when the thread had ended; nullopt without a display.
    static std::optional<bool> windowShown(const Outcome& outcome) {
        const auto window = outcome.entries("window");
        if (window.size() != 1 || !window[0].value("exists", false)) {
            return std::nullopt;
        }
        return window[0].value("visible", true);
    }
    static void expectDisplayedWindow(const Outcome& outcome, bool shown) {
        const auto state = windowShown(outcome);
        if (std::getenv("DISPLAY") != nullptr) {
            ASSERT_TRUE(state.has_value()) << "the window was not made";
            EXPECT_EQ(*state, shown);
        }
    }
};

TEST_F(CheckerThread, SelfUpdateFailureEndsTheThreadWithoutEventOrSequence) {
    install("1.6.24");
    struct Case {
        const char* name;
        json config;
        std::string lastCall;
    };
    const std::vector<Case> cases{
        {"no usable answer",
         {{"paths", {{kAnswerPath, {{"status", 500}}}}}},
         std::string{"notifyErrorWithRetry('"} + kRetriesText + "','restartApp')"},
        {"connection reset",
         {{"paths", {{kAnswerPath, {{"reset", true}}}}}},
         std::string{"notifyErrorWithRetry('"} + kRetriesText + "','restartApp')"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = run(c.config, {"checker"});
        EXPECT_EQ(outcome.exitCode, 3);
        EXPECT_EQ(outcome.entries("checkerEnded").size(), 1u);
        EXPECT_EQ(eventTypes(outcome), std::vector<std::string>{"Launcher Self Update Failed"})
            << "no \"Launcher Opened\"";
        EXPECT_FALSE(sequenceRan(outcome));
        const auto calls = outcome.pageCalls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), c.lastCall);
        expectDisplayedWindow(outcome, true);
    }
}

TEST_F(CheckerThread, FoundLauncherUpdateHidesTheWindowAndSkipsTheSequence) {
    install("1.6.24");
    fs::create_directories(dir_ / "served");
    feed::writeFeed(dir_ / "served", {feed::publish(dir_ / "served", "1.7.0")});
    const Outcome outcome =
        run(answer({{"launcherVersion", "1.7.0"}, {"arm64", "{base}/appcast.xml"}}), {"checker"});
    EXPECT_EQ(outcome.exitCode, 3);
    const auto prompts = outcome.entries("prompt");
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0]["offered"], "1.7.0");
    EXPECT_EQ(outcome.entries("checkerEnded").size(), 1u);
    EXPECT_EQ(eventTypes(outcome), std::vector<std::string>{"Launcher Opened"});
    EXPECT_FALSE(sequenceRan(outcome));
    EXPECT_EQ(outcome.pageCalls(), std::vector<std::string>{"restoreFrontend()"});
    expectDisplayedWindow(outcome, false);
    const auto crumbs = outcome.breadcrumbs();
    ASSERT_GE(crumbs.size(), 3u);
    EXPECT_EQ(crumbs[0], "Starting thread");
    EXPECT_EQ(crumbs[1], "lockChecker wasn't changed");
    EXPECT_EQ(crumbs[2], "About to start self update process");
}

}  // namespace
