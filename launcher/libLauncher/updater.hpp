#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "app_update_response.hpp"
#include "auto_updater.hpp"
#include "download_progress.hpp"
#include "updater_response.hpp"

namespace zentravo::i18n {
class I18nTranslator;
}
namespace zentravo::utils {
class CompoundString;
}

namespace zentravo {

// The update engine: asks the update service for the newest main application, downloads and
// installs it, starts it, and keeps the page told of every step through `uiCallback`.
// Every operation except stopUpdateProcess runs on the checker thread.
class Updater {
  public:
    using UiCallback = std::function<void(std::string)>;

    // Waiting times. The launcher always uses the defaults; tests shorten them.
    struct Pacing {
        std::chrono::milliseconds countdownSecond{1000};
        std::chrono::milliseconds launchPoll{500};
    };

    // Seconds counted down after each failed attempt of a network step; one attempt per entry.
    static constexpr std::array<int, 8> retryDelays{1, 2, 3, 4, 5, 15, 30, 30};

    // Loads the translations (throws when the default language is missing) and takes the
    // system's language when there is a translation for it.
    explicit Updater(UiCallback uiCallback);
    Updater(UiCallback uiCallback, Pacing pacing);
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Asks the running flows to end at their next checkpoint. Any thread; never undone.
    void stopUpdateProcess();

    // The language of the page texts: a translation's code ("de", "zhTW").
    [[nodiscard]] std::string language() const;

    [[nodiscard]] bool isSelfUpdateChecked() const;
    [[nodiscard]] bool isValidSelfUpdateFound() const;

    // The main application's update-and-launch sequence: 0 started, 1 stopped, 2 failed (the
    // error is on the page).
    [[nodiscard]] int startUpdateProcess(const std::string& deeplink,
                                         const std::string& bootArgument) const;

    // The launcher's own update check: 0 the self-updater was started, 1 nothing to do,
    // 2 failed (the error is on the page).
    [[nodiscard]] int startSelfUpdateProcess();
    [[nodiscard]] static request::UpdaterResponse getSelfLatestVersion(const std::string& url);
    static void notifySelfUpdateFailed(const std::string& reason,
                                       const std::string& launcherVersion);

    // The install folder of `version` under `base`, the user's data folder
    // (path::applicationSupport()).
    [[nodiscard]] static std::filesystem::path getAppPath(const std::filesystem::path& base,
                                                          std::string_view version);
    // The download folder / the address's last element reduced to a safe file name; empty when
    // the address names no file or there is no data folder.
    [[nodiscard]] static std::filesystem::path getDownloadPath(std::string_view url);

    [[nodiscard]] static request::AppUpdateResponse getLatestVersion(std::string_view url);
    void downloadUpdate(std::string_view url, const std::filesystem::path& file) const;

    // Runs a network step with retries and countdowns (retryDelays); see retry::run.
    void runChecker(const std::function<void()>& step) const;

    void sendMessageToUI(const std::string& text) const;
    void showRetriesError() const;
    void showConnectionError() const;
    static void notifyUpdateFailed(const std::string& reason, const std::string& installedVersion);

    // Unpacks `archive` into `newDir` and puts it in the place of `lastDir`; removes `oldDir`
    // when given. Throws on failure, leaving `lastDir` as it was.
    void installUpdate(const std::filesystem::path& archive, const std::filesystem::path& newDir,
                       const std::filesystem::path& lastDir,
                       const std::filesystem::path& oldDir) const;
    // Starts dir/Zentravo.app and waits for it to answer; reports a failed start itself.
    void runApp(const std::filesystem::path& dir, const std::string& deeplink,
                const std::string& bootArgument) const;

    // The install folder under the user's data folder; empty when there is no data folder.
    [[nodiscard]] static std::filesystem::path installFolder();
    // The launcher's private download folder beside it; empty when there is no data folder.
    [[nodiscard]] static std::filesystem::path stagingFolder();

  private:
    // startUpdateProcess; `repairing`: the installed version's program could not be executed,
    // and that version counts as not installed.
    [[nodiscard]] int runUpdateSequence(const std::string& deeplink,
                                        const std::string& bootArgument, bool repairing) const;
    enum class Launch {
        done,          // started, or its failure reported as by runApp
        unexecutable,  // the program cannot be executed at all; nothing waited for or reported
    };
    // runApp, except that a program the system cannot execute (isUnexecutable) makes it return
    // Launch::unexecutable at once when `repairable`.
    [[nodiscard]] Launch launchApp(const std::filesystem::path& dir, const std::string& deeplink,
                                   const std::string& bootArgument, bool repairable) const;

    // Logs `text` at info level and records it as a breadcrumb.
    static void milestone(const std::string& text);

    struct RetryTexts;
    [[nodiscard]] RetryTexts& keptTexts() const;
    [[nodiscard]] std::string localized(const std::string& key) const;
    [[nodiscard]] bool stopped() const { return stopRequested.load(); }

    UiCallback uiCallback;
    std::atomic<bool> stopRequested{false};
    std::unique_ptr<AutoUpdater> autoUpdater;
    std::unique_ptr<i18n::I18nTranslator> translator;
    Pacing pacing_;

    // Pace and quarter marks of the download progress. Kept for the launcher's run, not for one
    // transfer: a retried download goes on from where the failed one left them.
    mutable DownloadProgress downloadProgress_;

    // Texts looked up at first use and kept: the retry text and the progress text.
    mutable std::once_flag retryTextsOnce_;
    mutable std::unique_ptr<RetryTexts> retryTexts_;
};

}  // namespace zentravo
