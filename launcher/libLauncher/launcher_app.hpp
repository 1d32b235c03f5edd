#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "desktop_window.hpp"
#include "value.hpp"

namespace vela::ui {
class WebView;
}

namespace zentravo {

class Updater;

// The launcher's application object: owns the window with the page, the update engine and the
// checker thread that drives it. Built, run once and destroyed on the main thread.
class LauncherApp {
  public:
    // What run() returns when the page asked for a restart.
    static constexpr int kRestartCode = 1000;
    static constexpr const char* kOpenLink = "openLink";

    LauncherApp(std::string deeplink, std::string bootArgument);
    ~LauncherApp();
    LauncherApp(const LauncherApp&) = delete;
    LauncherApp& operator=(const LauncherApp&) = delete;
    LauncherApp(LauncherApp&&) = delete;
    LauncherApp& operator=(LauncherApp&&) = delete;

    // Shows the window, starts the checker thread and serves the message loop until something
    // stops it; then joins the thread and resends failed analytics events. kRestartCode when the
    // page asked for a restart, else 0.
    [[nodiscard]] int run();

    // The checker thread's body. `loopEnding` turns true once the loop was asked to end or has
    // ended: the self-updater reports back only through the loop, so its wait must not outlast it.
    static void checkerThreadMain(Updater* updater, const std::string& deeplink,
                                  const std::string& bootArgument, vela::ui::DesktopWindow* window,
                                  std::atomic<bool>& lockChecker,
                                  const std::atomic<bool>& loopEnding);

    // Page texts go to the main thread through this; shared with every posted call so that a
    // text still queued when the loop has ended (or the web view is gone) is dropped. Texts that
    // arrive before the page has loaded (it announces itself with "checkForUpdates") are held
    // and run, in order, once it has: the page would otherwise miss the first statuses or an
    // early error. Main thread only.
    struct PageChannel {
        vela::ui::WebView* webView = nullptr;
        bool open = true;
        bool pageReady = false;
        std::vector<std::string> held;
    };

  private:
    static vela::value::Value onGetCurrentOS(const vela::value::ValueView& arguments);
    vela::value::Value onCloseLauncher(const vela::value::ValueView& arguments);
    vela::value::Value onCheckForUpdates(const vela::value::ValueView& arguments);
    vela::value::Value onRestartApp(const vela::value::ValueView& arguments);
    static vela::value::Value onOpenLink(const vela::value::ValueView& arguments);
    void onWindowClosed();
    void sendJavascriptToPage(std::string script) const;
    static void hideWindowOnMainQueue(vela::ui::DesktopWindow* window);

    std::thread checkerThread;
    vela::ui::DesktopWindow window;
    std::unique_ptr<Updater> updater;
    std::unique_ptr<vela::ui::WebView> webView;
    std::string deeplink;
    std::string bootArgument;
    std::atomic<bool> lockChecker{false};
    std::atomic<bool> restartRequested{false};
    std::atomic<bool> loopEnding{false};
    std::shared_ptr<PageChannel> pageChannel = std::make_shared<PageChannel>();
};

}  // namespace zentravo
