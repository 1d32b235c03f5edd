// A launcher stand-in for the self-update tests, run as a real process (installed by the tests as
// holder/Zentravo.app/Contents/MacOS/Zentravo, so it reads its version from that bundle).
//
//   selfupdate_probe delegate <callback> [argument]
//       calls one delegate callback on the main thread, records the flags, exits with 3 unless
//       the callback ended the process; with SELFUPDATE_PROBE_DSN (and SELFUPDATE_PROBE_DB) set,
//       sends the error report "probe event" first
//   selfupdate_probe updater [stop]
//       runs the Updater's self-update step against the compiled-in service with error reports
//       going there too; records the result and page calls, then (with "stop") asks the Updater
//       to stop and records whether the wait for the self-updater ends. Sends a last report
//       "probe end" and exits with 3 once the file SELFUPDATE_PROBE_RELEASE exists
//   selfupdate_probe checker
//       runs the launcher's checker thread (LauncherApp::checkerThreadMain) with the Updater, a
//       shown window and error reports as in updater mode; once the thread has ended, records
//       whether the window is still shown, sends "probe end" and exits as updater mode does (the
//       thread never stops the loop on these paths). An offered launcher update is recorded and
//       left unanswered
//   selfupdate_probe update <feed url> install|skip|later|cancel
//       runs the self-updater against the feed and answers its offer; exits with 3 when the
//       check finds nothing, 4 after 60 s
//
// What happens is appended as JSON lines to the file named by SELFUPDATE_PROBE_RECORD.
#include <glib.h>
#include <gtk/gtk.h>

#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "build_config.hpp"
#include "desktop_window.hpp"
#include "file_helpers.hpp"
#include "launcher_app.hpp"
#include "messageloop.hpp"
#include "paths.hpp"
#include "platform/instance_lock.hpp"
#include "sentry_wrapper.hpp"
#include "sparkle_auto_updater.hpp"
#include "updater.hpp"

namespace {

using nlohmann::json;
using zentravo::selfupdate::Choice;

void record(json entry) {
    static std::mutex mutex;
    const char* file = std::getenv("SELFUPDATE_PROBE_RECORD");
    if (file == nullptr) {
        return;
    }
    entry["pid"] = ::getpid();
    const std::lock_guard lock{mutex};
    std::ofstream{file, std::ios::app} << entry.dump() << '\n';
}

std::atomic<int> gExitCode{0};

void quit(int code) {
    gExitCode = code;
    vela::messageloop::stop();
}

int runLoop() {
    g_timeout_add_seconds(
        60,
        [](gpointer) -> gboolean {
            quit(4);
            return G_SOURCE_REMOVE;
        },
        nullptr);
    vela::messageloop::run();
    return gExitCode;
}

int delegateMode(const std::string& callback, const std::string& argument) {
    // With SELFUPDATE_PROBE_DSN set, error reports are on and one is sent just before the call.
    if (const char* dsn = std::getenv("SELFUPDATE_PROBE_DSN")) {
        auto& reports = zentravo::utils::sentry::sharedWrapper;
        reports.setDsnOption(dsn);
        if (const char* db = std::getenv("SELFUPDATE_PROBE_DB")) {
            reports.setPathToDatabaseOption(db);
        }
        reports.initOptions();
        reports.sendException("probe event", "sent just before the delegate call");
    }
    auto delegate = std::make_shared<zentravo::SparkleUpdaterDelegate>();
    zentravo::appcast::Item item;
    item.shortVersionString = "9.9.9";
    const std::map<std::string, std::function<void()>> calls{
        {"didAbortWithError", [&] { delegate->didAbortWithError("feed broken"); }},
        {"userDidMakeChoice",
         [&] { delegate->userDidMakeChoice(static_cast<Choice>(std::stoi(argument)), item); }},
        {"didFindValidUpdate", [&] { delegate->didFindValidUpdate(item); }},
        {"updaterDidNotFindUpdate", [&] { delegate->updaterDidNotFindUpdate(); }},
        {"updaterDidNotFindUpdate:error", [&] { delegate->updaterDidNotFindUpdate("no feed"); }},
        {"userDidCancelDownload", [&] { delegate->userDidCancelDownload(); }},
        {"userDidSkipThisVersion", [&] { delegate->userDidSkipThisVersion(item); }},
        {"didDismissUpdateAlertPermanently",
         [&] { delegate->didDismissUpdateAlertPermanently(argument == "true", item); }},
    };
    const auto call = calls.find(callback);
    if (call == calls.end()) {
        return 2;
    }
    vela::messageloop::postMessage([&] {
        call->second();
        record({{"type", "flags"},
                {"checked", delegate->getUpdateChecked()},
                {"found", delegate->getValidUpdateFound()}});
        quit(3);
    });
    return runLoop();
}

// The updater under test, owned by updateMode's frame: an update that ends the process with
// exit() leaves it in place for the thread still polling it.
zentravo::SparkleAutoUpdater* gUpdater = nullptr;

int updateMode(const std::string& feed, const std::string& answer) {
    zentravo::selfupdate::UserDriver driver;
    driver.prompt = [answer](const zentravo::appcast::Item& item, const semver::version& current,
                             const std::function<void(Choice)>& reply) {
        record({{"type", "prompt"},
                {"offered", item.displayVersion()},
                {"current", current.to_string()},
                {"checked", gUpdater->isUpdateChecked()},
                {"found", gUpdater->isValidUpdateFound()}});
        reply(answer == "skip"    ? Choice::skip
              : answer == "later" ? Choice::dismiss
                                  : Choice::install);
    };
    driver.downloadStarted = [answer](const zentravo::appcast::Item&,
                                      std::function<void()> cancel) {
        record({{"type", "downloadStarted"}});
        if (answer == "cancel") {
            cancel();
        }
    };
    driver.downloadProgress = [](std::int64_t received, std::int64_t total) {
        record({{"type", "progress"}, {"received", received}, {"total", total}});
    };
    driver.downloadEnded = [] { record({{"type", "downloadEnded"}}); };
    driver.installFailed = [](const std::string& message) {
        record({{"type", "installFailed"}, {"message", message}});
    };
    zentravo::selfupdate::setUserDriver(driver);

    auto updater = std::make_unique<zentravo::SparkleAutoUpdater>(feed);
    gUpdater = updater.get();
    gUpdater->checkForUpdates();
    std::thread checker{[] {
        while (!gUpdater->isUpdateChecked()) {
            if (gExitCode != 0) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds{20});
        }
        const bool found = gUpdater->isValidUpdateFound();
        record({{"type", "checked"}, {"found", found}});
        if (!found) {
            quit(3);
        }
    }};
    const int code = runLoop();
    checker.join();
    gUpdater = nullptr;
    updater.reset();
    return code;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{10});
    }
    return true;
}

int updaterMode(bool stop) {
    auto& reports = zentravo::utils::sentry::sharedWrapper;
    reports.setDsnOption(zentravo::config::kSentryDsn.reveal());
    if (const char* db = std::getenv("SELFUPDATE_PROBE_DB")) {
        reports.setPathToDatabaseOption(db);
    }
    reports.initOptions();

    zentravo::Updater updater{
        [](std::string call) {
            record({{"type", "page"}, {"call", call}});
        },
        zentravo::Updater::Pacing{std::chrono::milliseconds{1}, std::chrono::milliseconds{10}}};
    std::thread checker{[&] {
        const int result = updater.startSelfUpdateProcess();
        record({{"type", "result"},
                {"value", result},
                {"checked", updater.isSelfUpdateChecked()},
                {"found", updater.isValidSelfUpdateFound()}});
        if (stop) {
            const auto before = std::chrono::steady_clock::now();
            updater.stopUpdateProcess();
            const bool ended =
                waitFor([&] { return updater.isSelfUpdateChecked(); }, std::chrono::seconds{5});
            record({{"type", "stopped"},
                    {"waitEnded", ended},
                    {"ms", std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - before)
                               .count()},
                    {"found", updater.isValidSelfUpdateFound()}});
        } else if (result == 0) {
            waitFor([&] { return updater.isSelfUpdateChecked(); }, std::chrono::seconds{30});
            record({{"type", "checked"},
                    {"checked", updater.isSelfUpdateChecked()},
                    {"found", updater.isValidSelfUpdateFound()}});
        }
        reports.sendException("probe", "end");
        const char* release = std::getenv("SELFUPDATE_PROBE_RELEASE");
        waitFor([&] { return release == nullptr || std::filesystem::exists(release); },
                std::chrono::seconds{30});
        quit(3);
    }};
    const int code = runLoop();
    checker.join();
    return code;
}

int checkerMode() {
    auto& reports = zentravo::utils::sentry::sharedWrapper;
    reports.setDsnOption(zentravo::config::kSentryDsn.reveal());
    if (const char* db = std::getenv("SELFUPDATE_PROBE_DB")) {
        reports.setPathToDatabaseOption(db);
    }
    reports.initOptions();

    zentravo::selfupdate::UserDriver driver;
    driver.prompt = [](const zentravo::appcast::Item& item, const semver::version&,
                       const std::function<void(Choice)>&) {
        record({{"type", "prompt"}, {"offered", item.displayVersion()}});
    };
    zentravo::selfupdate::setUserDriver(driver);

    zentravo::Updater updater{
        [](std::string call) {
            record({{"type", "page"}, {"call", call}});
        },
        zentravo::Updater::Pacing{std::chrono::milliseconds{1}, std::chrono::milliseconds{10}}};
    vela::ui::DesktopWindow window{vela::ui::Bounds{0, 0, 390, 120}};
    window.setVisible(true);
    std::atomic<bool> lockChecker{true};
    std::atomic<bool> loopEnding{false};
    const std::string deeplink;
    const std::string bootArgument;
    std::thread checker{[&] {
        zentravo::LauncherApp::checkerThreadMain(&updater, deeplink, bootArgument, &window,
                                                 lockChecker, loopEnding);
        record({{"type", "checkerEnded"}});
        // Runs after everything the thread posted.
        std::atomic<bool> looked{false};
        vela::messageloop::postMessage([&window, &looked] {
            GtkWidget* handle = window.getWindowHandle();
            record({{"type", "window"},
                    {"exists", handle != nullptr},
                    {"visible", handle != nullptr && gtk_widget_get_visible(handle)}});
            looked = true;
        });
        waitFor([&] { return looked.load(); }, std::chrono::seconds{10});
        reports.sendException("probe", "end");
        const char* release = std::getenv("SELFUPDATE_PROBE_RELEASE");
        waitFor([&] { return release == nullptr || std::filesystem::exists(release); },
                std::chrono::seconds{30});
        quit(3);
    }};
    const int code = runLoop();
    loopEnding = true;
    checker.join();
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto executable = zentravo::getExecutablePath();
    record({{"type", "start"},
            {"args", args},
            {"relaunched", std::getenv(zentravo::system::kRelaunchVariable) != nullptr},
            {"version",
             zentravo::getCurrentVersion(zentravo::getParentPath(executable)).to_string()}});
    if (args.size() >= 2 && args[0] == "delegate") {
        return delegateMode(args[1], args.size() > 2 ? args[2] : "");
    }
    if (!args.empty() && args[0] == "updater") {
        // Like the launcher, which runs from its own folder and finds ../resources from there.
        std::filesystem::current_path(executable.parent_path());
        const int code = updaterMode(args.size() > 1 && args[1] == "stop");
        // Ends without the exit-time leak check: the error tracker's sending thread leaves
        // OpenSSL's per-thread error state behind (only OPENSSL_thread_stop on that thread frees
        // it), which is not what this stand-in checks.
        std::fflush(nullptr);
        std::_Exit(code);
    }
    if (!args.empty() && args[0] == "checker") {
        std::filesystem::current_path(executable.parent_path());
        const int code = checkerMode();
        // As in updater mode: the error tracker's sending thread is not what this checks.
        std::fflush(nullptr);
        std::_Exit(code);
    }
    if (args.size() == 3 && args[0] == "update") {
        return updateMode(args[1], args[2]);
    }
    return 2;
}
