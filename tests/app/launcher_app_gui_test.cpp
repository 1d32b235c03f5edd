// The application object in this process on the test display: the real window, web view, page
// and Updater against the local update service and main-application stand-in. The page is read
// back with scripts run in the web view while the message loop runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "launcher_app.hpp"
#include "launcher_world.hpp"
#include "log_capture.hpp"
#include "page_probe.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

const std::string kRetriesError = "The update could not be completed. Please try again.";

// The launcher's page has loaded and run its script.
const std::string kPageReady =
    "return document.readyState === 'complete' && typeof window.restoreFrontend === 'function'";

// Records every page call the launcher makes, from the first one on.
const std::string kRecordCalls = R"(
  if (!window.__calls) {
    window.__calls = [];
    for (const name of ["updateProgressStatus", "notifyError", "notifyErrorWithRetry",
                        "showCloseButton", "restoreFrontend"]) {
      const original = window[name];
      window[name] = function (...args) { window.__calls.push([name, ...args]); return original(...args); };
    }
  }
  return true;)";

class LauncherAppGui : public ::testing::Test {
  protected:
    void SetUp() override {
        launcher_test::waitForQuietMachine();
        if (const char* tmp = std::getenv("TMPDIR")) {
            previousTmpdir = tmp;
        }
        for (const auto& entry : world.environment()) {
            const auto eq = entry.find('=');
            ::setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
        }
        // The page and translations are found from the executable's folder of the build tree.
        fs::current_path(fs::path{LAUNCHER_BINARY_DIR} / "launcher");
    }

    void TearDown() override {
        if (previousTmpdir) {
            ::setenv("TMPDIR", previousTmpdir->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
    }

    // Serves 3.1.0 with the answers of the given path keys held until the test lets them go;
    // runWith lets them go at the latest when the probe returns.
    void serveHolding(const std::vector<std::string>& keys) {
        json paths = json::object();
        for (const auto& key : keys) {
            paths[key] = {{"hold", true}};
        }
        world.serve("3.1.0", {{"paths", paths}});
        held = keys;
    }
    void releaseHeld() {
        for (const auto& key : std::exchange(held, {})) {
            world.service().release(key);
        }
    }

    // Runs `calls` on the page, calls that end the message loop, and returns once it has ended:
    // what they stop is stopped by then. No answer of the page comes back after such calls; the
    // loop's end shows as its main context left by the main thread.
    static void endLoopWith(app_test::PageProbe& page, const std::string& calls) {
        (void)page.run(calls + " return true;", 1s);
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!g_main_context_acquire(g_main_context_default())) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ADD_FAILURE() << "the message loop did not end";
                return;
            }
            std::this_thread::sleep_for(10ms);
        }
        g_main_context_release(g_main_context_default());
    }

    // Runs the application object on this (main) thread while `probe` runs on another one.
    int runWith(const std::function<void(app_test::PageProbe&)>& probe,
                const std::string& deeplink = {}) {
        zentravo::LauncherApp app{deeplink, ""};
        std::promise<void> ended;
        auto probing = std::async(std::launch::async, [&] {
            app_test::PageProbe page;
            probe(page);
            // The checker thread the loop's end waits for may wait for a held answer.
            releaseHeld();
            // A probe that gave up must not leave the loop running for ever.
            if (ended.get_future().wait_for(60s) != std::future_status::ready) {
                vela::messageloop::stop();
            }
        });
        const int result = app.run();
        ended.set_value();
        probing.get();
        windowVisibleAfterRun = PageProbeWindowVisible();
        return result;
    }

    static bool PageProbeWindowVisible() {
        GtkWidget* window = app_test::PageProbe::findWindow();
        return window != nullptr && gtk_widget_get_visible(window);
    }

    static json parse(const std::optional<std::string>& text) {
        return text ? json::parse(*text, nullptr, false) : json{};
    }

    launcher_test::LauncherWorld world;
    LogCapture log{4096};
    bool windowVisibleAfterRun = true;
    std::optional<std::string> previousTmpdir;
    std::vector<std::string> held;
};

TEST_F(LauncherAppGui, PageShowsStatusAndProgressThenTheMainApplicationStarts) {
    // The version answer waits until the probe is in place, so it sees the first status; the
    // main application starts slowly so the last status can be read while the launcher waits
    // for it.
    world.serve("3.1.0", {{"paths", {{"/v1/tarvine/update/0.0.0", {{"hold", true}}}}}},
                std::size_t{256} << 20);
    held = {"/v1/tarvine/update/0.0.0"};
    ::setenv("ZENTRAVO_MAINAPP_START_DELAY_MS", "2500", 1);
    json calls;
    std::vector<json> samples;  // each change of what the page shows
    const int result = runWith(
        [&](app_test::PageProbe& page) {
            ASSERT_TRUE(
                page.waitFor("return typeof window.updateProgressStatus === 'function';", 20s));
            ASSERT_EQ(page.run(kRecordCalls), "true");
            // Samples the page until it shows `status`; whether it did in time.
            const auto sampleUntil = [&](const std::string& status, std::chrono::seconds patience) {
                const auto deadline = std::chrono::steady_clock::now() + patience;
                while (std::chrono::steady_clock::now() < deadline) {
                    const json shown = parse(page.run(R"(return {
                        status: document.getElementById('status').textContent,
                        card: document.getElementById('card').className,
                        percent: document.getElementById('percent').textContent};)"));
                    if (!shown.is_object()) {
                        continue;
                    }
                    if (samples.empty() || samples.back() != shown) {
                        samples.push_back(shown);
                    }
                    if (shown.value("status", "") == status) {
                        return true;
                    }
                }
                return false;
            };
            // The version answer is held: the first status is read before it is let go.
            EXPECT_TRUE(sampleUntil("Checking for updates", 20s));
            releaseHeld();
            (void)sampleUntil("Starting Zentravo", 40s);
            calls = parse(page.run("return window.__calls;"));
        },
        "zentravo://open?x=1");
    EXPECT_EQ(result, 0);
    const json all = samples;

    // What the page showed, in order: each status, and the download's percentage.
    std::vector<std::string> statuses;
    bool sawPercent = false;
    for (const auto& shown : samples) {
        EXPECT_EQ(shown.value("card", "").find("error"), std::string::npos) << all.dump();
        if (statuses.empty() || statuses.back() != shown.value("status", "")) {
            statuses.push_back(shown.value("status", ""));
        }
        sawPercent =
            sawPercent || (shown.value("status", "") == "Downloading update" &&
                           shown.value("card", "").find("determinate") != std::string::npos &&
                           shown.value("percent", "").ends_with("%"));
    }
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), "Starting Zentravo");
    auto at = statuses.begin();
    for (const std::string wanted :
         {"Checking for updates", "Downloading update", "Starting Zentravo"}) {
        at = std::find(at, statuses.end(), wanted);
        EXPECT_NE(at, statuses.end()) << wanted << " in " << all.dump();
    }
    EXPECT_TRUE(sawPercent) << all.dump();

    // The page calls after the page was read first: the download's progress with its numbers.
    double lastDone = 0;
    int progressCalls = 0;
    for (const auto& call : calls) {
        ASSERT_EQ(call.at(0), "updateProgressStatus") << calls.dump();
        if (call.size() == 4) {
            ++progressCalls;
            EXPECT_GT(call.at(2).get<double>(), lastDone) << calls.dump();
            EXPECT_LE(call.at(2).get<double>(), call.at(3).get<double>()) << calls.dump();
            EXPECT_GT(call.at(3).get<double>(), double{256 << 20}) << calls.dump();
            lastDone = call.at(2).get<double>();
        }
    }
    EXPECT_GE(progressCalls, 2) << calls.dump();

    const auto starts = world.mainAppEntries("start");
    ASSERT_EQ(starts.size(), 1u);
    const auto argv = starts[0].at("argv");
    EXPECT_EQ(argv.back(), "--launcher");
    EXPECT_EQ(argv.at(1), "zentravo://open?x=1");

    std::vector<std::string> lines;
    for (const auto& line : log.lines()) {
        lines.push_back(line);
    }
    std::vector<std::string> wanted{"info Webview loaded?: true",    "info Updater loaded?: true",
                                    "info Webview callbacks loaded", "info Main window loaded",
                                    "info Starting thread",          "info Checker thread started",
                                    "info Is webview null?: false",  "info Message loop started",
                                    "info Message loop finished"};
    auto line = lines.begin();
    for (const auto& text : wanted) {
        line = std::find(line, lines.end(), text);
        ASSERT_NE(line, lines.end()) << "missing or out of order: " << text;
    }
}

TEST_F(LauncherAppGui, FailedUpdateShowsTheErrorAndRetryRestarts) {
    world.serve("3.1.0");
    auto answer = launcher_test::updateAnswer("3.1.0");
    answer["appVersion"] = "newest";
    world.answer(answer);
    json state;
    const int result = runWith([&](app_test::PageProbe& page) {
        ASSERT_TRUE(page.waitFor(
            "return document.getElementById('card').classList.contains('error');", 30s));
        state = parse(page.run(R"(
            const retry = document.getElementById('retry');
            const close = document.getElementById('close');
            const r = retry.getBoundingClientRect();
            return {text: document.getElementById('error-text').textContent,
                    retryShown: getComputedStyle(retry).display !== 'none',
                    closeShown: getComputedStyle(close).display !== 'none',
                    retry: [r.left, r.top, r.right, r.bottom]};)"));
        // The loop ends with the click, so no answer comes back.
        (void)page.run("document.getElementById('retry').click(); return true;", 1s);
    });
    EXPECT_EQ(result, zentravo::LauncherApp::kRestartCode);
    EXPECT_EQ(state.value("text", ""), kRetriesError) << state.dump();
    EXPECT_TRUE(state.value("retryShown", false));
    EXPECT_TRUE(state.value("closeShown", false));
    // Where the launcher test clicks (window coordinates).
    const auto rect = state.at("retry");
    const double x = 70;
    const bool hitsUpper = rect[0] < x && x < rect[2] && rect[1] < 85 && 85 < rect[3];
    const bool hitsLower = rect[0] < x && x < rect[2] && rect[1] < 100 && 100 < rect[3];
    EXPECT_TRUE(hitsUpper || hitsLower) << state.dump();
    EXPECT_TRUE(world.mainAppEntries("start").empty());
    // "restartApp" does not hide the window.
    EXPECT_TRUE(windowVisibleAfterRun);
}

TEST_F(LauncherAppGui, CloseLauncherHidesTheWindowAndStopsTheUpdate) {
    serveHolding({"/v1/tarvine/update/0.0.0"});
    const auto started = std::chrono::steady_clock::now();
    const int result = runWith([&](app_test::PageProbe& page) {
        ASSERT_TRUE(
            page.waitFor(kPageReady + " && typeof window.closeLauncher === 'function';", 20s));
        page.run("window.getCurrentOS().then(os => { window.__os = os; }); return true;");
        EXPECT_TRUE(page.waitFor("return window.__os === 'other';", 5s));
        EXPECT_EQ(page.run("return await window.openLink(42);"), "null");
        EXPECT_EQ(page.run("return await window.openLink();"), "null");
        // Only "/" is served.
        EXPECT_EQ(page.run("return (await fetch('vela://vela.vela/')).status;"), "200");
        EXPECT_EQ(page.run("return (await fetch('vela://vela.vela/index.html')).status;"), "404");
        endLoopWith(page, "window.closeLauncher();");
    });
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(windowVisibleAfterRun);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    EXPECT_TRUE(log.contains("info Stopping update process by getLatestVersion"));
    EXPECT_TRUE(log.contains("info Get Current OS"));
    EXPECT_TRUE(world.mainAppEntries("start").empty());
}

// The stop arrives while the launcher's own update check still waits for its answer; the answer
// (nothing newer) comes afterwards and must not start the main application's sequence.
TEST_F(LauncherAppGui, CloseDuringTheLauncherUpdateCheckRunsNoUpdateSequence) {
    serveHolding({"/v1/tarvine/update/launcher*"});
    const int result = runWith([&](app_test::PageProbe& page) {
        ASSERT_TRUE(
            page.waitFor(kPageReady + " && typeof window.closeLauncher === 'function';", 20s));
        endLoopWith(page, "window.closeLauncher();");
    });
    EXPECT_EQ(result, 0);
    const auto records = world.service().records();
    EXPECT_EQ(
        std::count_if(records.begin(), records.end(),
                      [](const json& r) {
                          return r.value("path", "").starts_with("/v1/tarvine/update/launcher/");
                      }),
        1);
    EXPECT_TRUE(world.service().recordsFor("/v1/tarvine/update/0.0.0").empty());
    EXPECT_FALSE(log.contains("info Start update process"));
    EXPECT_FALSE(log.contains("info Stopping update process by getLatestVersion"));
    EXPECT_FALSE(fs::exists(world.path() / "data" / "ZentravoV3" / "app"));
    EXPECT_TRUE(world.mainAppEntries("start").empty());
}

// One page, one language: the page's own Retry label follows the language of the texts the
// launcher sends, also when the locale says nothing (C) and only LANGUAGE names one.
TEST_F(LauncherAppGui, PageLabelsSpeakTheLanguageOfTheLaunchersTexts) {
    ::setenv("LANGUAGE", "de", 1);
    ::setenv("LANG", "C.UTF-8", 1);
    ::unsetenv("LC_ALL");
    ::unsetenv("LC_MESSAGES");
    serveHolding({"/v1/tarvine/update/0.0.0"});
    runWith([&](app_test::PageProbe& page) {
        ASSERT_TRUE(page.waitFor(kPageReady + ";", 20s));
        EXPECT_TRUE(
            page.waitFor("return document.getElementById('status').textContent === "
                         "'Suche nach Updates';",
                         10s));
        EXPECT_EQ(page.run("return document.getElementById('retry-label').textContent;"),
                  "\"Erneut versuchen\"");
        EXPECT_EQ(page.run("return navigator.language;"), "\"de\"");
        endLoopWith(page, "window.closeLauncher();");
    });
}

// openLink is the page's way to the browser: web links only, and its texts reach the log escaped.
TEST_F(LauncherAppGui, OpenLinkOpensOnlyWebLinksAndItsTextCannotForgeALogRecord) {
    const std::string forged = "[2026-01-01 00:00:00.000] [launcher] [error] INJECTED LINE";
    serveHolding({"/v1/tarvine/update/0.0.0"});
    runWith([&](app_test::PageProbe& page) {
        ASSERT_TRUE(page.waitFor(kPageReady + " && typeof window.openLink === 'function';", 20s));
        for (const std::string& link :
             std::vector<std::string>{"file:///etc/passwd", "zentravo://open",
                                      "nota url\n" + forged, "https://nota url\n" + forged}) {
            SCOPED_TRACE(link);
            EXPECT_EQ(page.run("return await window.openLink(" + json(link).dump() + ");"), "null");
        }
        endLoopWith(page, "window.closeLauncher();");
    });
    for (const std::string& refused : std::vector<std::string>{
             "file:///etc/passwd", "zentravo://open", "nota url\\n" + forged}) {
        EXPECT_TRUE(log.contains("warning Not opened: only http and https links are opened: '" +
                                 refused + "'"))
            << refused;
    }
    EXPECT_TRUE(log.contains("debug Not a URL to open: 'https://nota url\\n" + forged + "'"));
    for (const auto& line : log.lines()) {
        if (line.find("INJECTED") != std::string::npos) {
            EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        }
    }
}

TEST_F(LauncherAppGui, RestartThenCloseStillAsksForTheRestart) {
    serveHolding({"/v1/tarvine/update/0.0.0"});
    const int result = runWith([&](app_test::PageProbe& page) {
        ASSERT_TRUE(page.waitFor(kPageReady + " && typeof window.restartApp === 'function';", 20s));
        endLoopWith(page, "window.restartApp(); window.closeLauncher();");
    });
    EXPECT_EQ(result, zentravo::LauncherApp::kRestartCode);
}

}  // namespace
