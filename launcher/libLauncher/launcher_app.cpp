#include "launcher_app.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "log_text.hpp"
#include "messageloop.hpp"
#include "metrics.hpp"
#include "resources.hpp"
#include "sentry_wrapper.hpp"
#include "updater.hpp"
#include "utils.hpp"
#include "web_view.hpp"
#include "window_cosmetics.hpp"

namespace zentravo {
namespace {

using utils::sentry::sharedWrapper;
using vela::value::Value;
using vela::value::ValueView;

constexpr int kPageResourceId = 103;
constexpr int kWindowWidth = 390;
constexpr int kWindowHeight = 120;
// The folders of the page's web data and cache, under the user's data and cache folders.
constexpr std::string_view kWebStorageName = "zentravo-launcher";
constexpr auto kSelfUpdatePoll = std::chrono::milliseconds{50};

void infoThenCrumb(const std::string& text) {
    spdlog::info(text);
    sharedWrapper.setBreadcrumb(text);
}

void crumbThenInfo(const std::string& text) {
    sharedWrapper.setBreadcrumb(text);
    spdlog::info(text);
}

const char* trueFalse(bool flag) {
    return flag ? "true" : "false";
}

std::optional<vela::ui::WebView::Options::Resource> serveResource(const std::string& path) {
    if (path != "/") {
        return std::nullopt;
    }
    return vela::ui::WebView::Options::Resource{system::getResource(kPageResourceId), "text/html"};
}

// The web's tag of a translation's language code.
std::string languageTag(const std::string& code) {
    return code == "zhTW" ? "zh-TW" : code;
}

void runOnPage(const LauncherApp::PageChannel& channel, const std::string& script) {
    if (!channel.open || channel.webView == nullptr) {
        return;
    }
    try {
        (void)channel.webView->evaluateJavascript(script);
    } catch (const std::exception& e) {
        spdlog::error("Cannot run a page call: {}", e.what());
    }
}

}  // namespace

LauncherApp::LauncherApp(std::string deeplinkText, std::string bootArgumentText)
    : window{vela::ui::Bounds{0, 0, 0, 0}},
      deeplink{std::move(deeplinkText)},
      bootArgument{std::move(bootArgumentText)} {
    // The Updater comes first: its language is the page's too, so that the page's own labels
    // speak the language of the texts the launcher sends.
    updater = std::make_unique<Updater>(
        [this](std::string script) { sendJavascriptToPage(std::move(script)); });

    vela::ui::WebView::Options options;
    options.enableDebugMode = false;
    options.acceptsFirstMouseClick = false;
    options.fetchResource = serveResource;
    options.preferredLanguages = {languageTag(updater->language())};
    // Not WebKit's default, the executable's generic name "launcher", which other programs use.
    options.storageName = std::string{kWebStorageName};
    webView = std::make_unique<vela::ui::WebView>(std::move(options));
    pageChannel->webView = webView.get();
    infoThenCrumb(fmt::format("Webview loaded?: {}", trueFalse(webView != nullptr)));
    infoThenCrumb(fmt::format("Updater loaded?: {}", trueFalse(updater != nullptr)));

    // One failed bind leaves only that function missing from the page.
    const auto bindReported = [this](const std::string& name, const std::string& label,
                                     vela::ui::WebView::CallbackFn fn) {
        try {
            (void)webView->bind(name, std::move(fn));
        } catch (const std::exception& e) {
            spdlog::error("Error binding {}: {}", label, e.what());
            sharedWrapper.sendException(fmt::format("Error binding {}", label), e.what());
        }
    };
    bindReported("getCurrentOS", "GetCurrentOS", onGetCurrentOS);
    bindReported("closeLauncher", "CloseLauncher",
                 [this](const ValueView& arguments) { return onCloseLauncher(arguments); });
    bindReported("checkForUpdates", "CheckForUpdates",
                 [this](const ValueView& arguments) { return onCheckForUpdates(arguments); });
    bindReported("restartApp", "RestartApp",
                 [this](const ValueView& arguments) { return onRestartApp(arguments); });
    bindReported(kOpenLink, "kOpenLink", onOpenLink);
    infoThenCrumb("Webview callbacks loaded");

    window.setContent(webView->getViewHandle());
    window.setResizable(false);
    window.windowClosed = [this] { onWindowClosed(); };
    ui::hideWindowTitleBar(window);
    ui::hideWebViewBackground(*webView);
    ui::centerWithSize(window, kWindowWidth, kWindowHeight);
    infoThenCrumb("Main window loaded");
}

LauncherApp::~LauncherApp() {
    // run() has joined the thread; a posted page text must never reach a destroyed web view.
    pageChannel->open = false;
    pageChannel->webView = nullptr;
}

int LauncherApp::run() {
    sharedWrapper.setBreadcrumb("Initializing");
    window.setVisible(true);
    ui::unifyAppIcons();
    window.toFront();
    sharedWrapper.setBreadcrumb("UI shown");
    spdlog::info("Starting thread");
    lockChecker = true;
    checkerThread = std::thread{checkerThreadMain,       updater.get(), std::cref(deeplink),
                                std::cref(bootArgument), &window,       std::ref(lockChecker),
                                std::cref(loopEnding)};
    crumbThenInfo("Checker thread started");
    try {
        const std::string webViewNull =
            fmt::format("Is webview null?: {}", trueFalse(webView == nullptr));
        sharedWrapper.setBreadcrumb(webViewNull);
        spdlog::info(webViewNull);
        crumbThenInfo("Message loop started");
        vela::messageloop::run();
    } catch (const std::invalid_argument& e) {
        spdlog::error("Error running launcher with invalid argument: {}", e.what());
        sharedWrapper.sendException("Startup Failed with invalid argument", e.what());
    } catch (const std::exception& e) {
        spdlog::error("Error running launcher: {}", e.what());
        sharedWrapper.sendException("Startup Failed", e.what());
    }
    // Nothing queued from now on may touch the page.
    pageChannel->open = false;
    loopEnding = true;
    checkerThread.join();
    crumbThenInfo("Message loop finished");
    metrics::sendPendingEvents();
    return restartRequested ? kRestartCode : 0;
}

void LauncherApp::checkerThreadMain(Updater* updater, const std::string& deeplink,
                                    const std::string& bootArgument,
                                    vela::ui::DesktopWindow* window, std::atomic<bool>& lockChecker,
                                    const std::atomic<bool>& loopEnding) {
    try {
        sharedWrapper.setBreadcrumb("Starting thread");
        if (lockChecker.load()) {
            sharedWrapper.setBreadcrumb("lockChecker wasn't changed");
        }
        if (updater->startSelfUpdateProcess() == 2) {
            return;
        }
        // After a stop no request is made: the event's address lookup alone would wait out
        // another time-out on a network that has just made the check time out.
        if (loopEnding.load()) {
            infoThenCrumb("Stopped after the launcher update check: the launcher ends");
            return;
        }
        metrics::sendMetricsEvents({metrics::amplitude::buildAmplitudeEvent("Launcher Opened")});
        while (!updater->isSelfUpdateChecked()) {
            if (loopEnding.load()) {
                infoThenCrumb("Stopped waiting for the launcher update check: the launcher ends");
                return;
            }
            std::this_thread::sleep_for(kSelfUpdatePoll);
        }
        // A stop that came while the check ran (the check may well have ended because of it)
        // leaves the update sequence unstarted: nothing logged, no folder touched, no status.
        if (loopEnding.load()) {
            infoThenCrumb("Stopped before the update sequence: the launcher ends");
            return;
        }
        if (updater->isValidSelfUpdateFound()) {
            vela::messageloop::postMessage([window] { hideWindowOnMainQueue(window); });
            return;
        }
        if (updater->startUpdateProcess(deeplink, bootArgument) == 0) {
            vela::messageloop::stop();
        }
    } catch (const std::exception& e) {
        spdlog::error("Checker thread failed: {}", e.what());
        sharedWrapper.sendException("Checker thread failed", e.what());
    }
}

void LauncherApp::hideWindowOnMainQueue(vela::ui::DesktopWindow* window) {
    window->setVisible(false);
}

Value LauncherApp::onGetCurrentOS(const ValueView&) {
    crumbThenInfo("Get Current OS");
    return vela::value::createString("other");
}

Value LauncherApp::onCloseLauncher(const ValueView&) {
    sharedWrapper.setBreadcrumb("Stopping Launcher");
    window.setVisible(false);
    updater->stopUpdateProcess();
    loopEnding = true;
    vela::messageloop::stop();
    return {};
}

Value LauncherApp::onCheckForUpdates(const ValueView&) {
    crumbThenInfo("Unlocking checker thread");
    lockChecker = false;
    if (!pageChannel->pageReady) {
        pageChannel->pageReady = true;
        for (const auto& script : std::exchange(pageChannel->held, {})) {
            runOnPage(*pageChannel, script);
        }
    }
    return {};
}

Value LauncherApp::onRestartApp(const ValueView&) {
    sharedWrapper.setBreadcrumb("Restart App");
    restartRequested = true;
    loopEnding = true;
    vela::messageloop::stop();
    return {};
}

Value LauncherApp::onOpenLink(const ValueView& arguments) {
    sharedWrapper.setBreadcrumb("Open link");
    if (!arguments.isArray() || arguments.size() == 0 || !arguments[0].isString()) {
        return {};
    }
    const std::string link{arguments[0].getString()};
    spdlog::info("Open link {}", logtext::escape(link));
    openUrl(link);
    return {};
}

void LauncherApp::onWindowClosed() {
    updater->stopUpdateProcess();
    loopEnding = true;
    vela::messageloop::stop();
}

void LauncherApp::sendJavascriptToPage(std::string script) const {
    vela::messageloop::postMessage([channel = pageChannel, script = std::move(script)]() mutable {
        if (!channel->open) {
            return;
        }
        if (!channel->pageReady) {
            try {
                channel->held.push_back(std::move(script));
            } catch (const std::exception&) {
                // Out of memory: the page misses this one text.
            }
            return;
        }
        runOnPage(*channel, script);
    });
}

}  // namespace zentravo
