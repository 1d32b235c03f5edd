#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "appcast.hpp"
#include "semver.hpp"
#include "update_signature.hpp"

// The launcher's own updater: reads the update feed, offers the newest launcher to the user,
// downloads and verifies it, puts it in place of the running one and starts it. Every call into
// it and every report out of it happens on the main thread; its network work runs on a worker
// thread so the window stays responsive.
namespace zentravo::selfupdate {

// The user's answer to the offer, numbered as the delegate receives it.
enum class Choice : int { skip = 0, install = 1, dismiss = 2 };

// What the user sees. Every member is called on the main thread.
struct UserDriver {
    // Asks whether to install `item`, skip its version, or be reminded later, and hands the
    // answer to `reply` (once, on the main thread) without holding up the main loop meanwhile.
    std::function<void(const appcast::Item& item, const semver::version& current,
                       std::function<void(Choice)> reply)>
        prompt;
    // The download of `item` began; calling `cancel` (main thread) stops it.
    std::function<void(const appcast::Item& item, std::function<void()> cancel)> downloadStarted;
    // Bytes received so far and the archive's size.
    std::function<void(std::int64_t received, std::int64_t total)> downloadProgress;
    // The download is over, whatever the outcome.
    std::function<void()> downloadEnded;
    // The update the user asked for could not be installed; the launcher ends after this.
    std::function<void(const std::string& message)> installFailed;
};

// The dialogs on the desktop (GTK). Without a display the offer counts as "remind me later".
[[nodiscard]] UserDriver gtkUserDriver();

// The driver every updater made from now on uses; the launcher keeps the GTK one. Set it before
// an updater starts (tests answer the offer through it).
void setUserDriver(UserDriver driver);
[[nodiscard]] UserDriver userDriver();

// The reports of an update check, on the main thread.
class UpdaterDelegate {
  public:
    virtual ~UpdaterDelegate() = default;
    virtual void didAbortWithError(const std::string& error) = 0;
    virtual void userDidMakeChoice(Choice choice, const appcast::Item& item) = 0;
    virtual void didFindValidUpdate(const appcast::Item& item) = 0;
    virtual void updaterDidNotFindUpdate() = 0;
    virtual void updaterDidNotFindUpdate(const std::string& error) = 0;
    virtual void userDidCancelDownload() = 0;
    virtual void userDidSkipThisVersion(const appcast::Item& item) = 0;
    virtual void didDismissUpdateAlertPermanently(bool permanently, const appcast::Item& item) = 0;
};

// Ends the launcher with status 0 from the main thread, as an update that takes over, is
// declined or fails does. Output is flushed; no static destructor runs, as other threads do.
[[noreturn]] void endProcess();

struct Settings {
    UserDriver driver;
    signature::PublicKey publicKey{};
    // The running launcher, inside the bundle that an update replaces.
    std::filesystem::path executable;
    semver::version currentVersion;
    // Remembers the version the user chose to skip.
    std::filesystem::path skipFile;
    std::string arch;
    // Given to the new launcher when it is started.
    std::vector<std::string> relaunchArguments;
};

// The running launcher's settings: the user driver set above, the compiled-in key, this
// process's executable, the version of the bundle that holds it, the skip file in the data
// folder and this process's arguments.
[[nodiscard]] Settings defaultSettings();

// The version the user skipped, read from `skipFile`; empty when none (or unreadable).
[[nodiscard]] std::optional<semver::version> readSkippedVersion(
    const std::filesystem::path& skipFile);
// Throws std::runtime_error when it cannot be written.
void writeSkippedVersion(const std::filesystem::path& skipFile, const semver::version& version);

class Controller {
  public:
    // `delegate` is kept alive by the controller for as long as reports may reach it.
    Controller(std::shared_ptr<UpdaterDelegate> delegate, Settings settings);
    // Cancels network work in flight and waits for the worker thread.
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Main thread only, like everything below.
    void setFeedUrl(std::string url);
    void startUpdater();
    // Reads the feed and reports; ignored before startUpdater and while a check runs.
    void checkForUpdates();
    // Stops the download in flight; the delegate then hears userDidCancelDownload.
    void cancelDownload();

    struct Core;

  private:
    std::shared_ptr<Core> core_;
};

}  // namespace zentravo::selfupdate
