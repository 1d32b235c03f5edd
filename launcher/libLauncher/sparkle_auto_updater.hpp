#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "auto_updater.hpp"
#include "self_update_controller.hpp"

namespace zentravo {

// Hears the outcome of the launcher's own update check on the main thread. The checker thread
// reads the two flags, so they are atomic: written with release, read with acquire. Declining,
// cancelling or a failure ends the process with status 0 right inside the callback.
class SparkleUpdaterDelegate final : public selfupdate::UpdaterDelegate {
  public:
    void didAbortWithError(const std::string& error) override;
    void userDidMakeChoice(selfupdate::Choice choice, const appcast::Item& item) override;
    void didFindValidUpdate(const appcast::Item& item) override;
    void updaterDidNotFindUpdate() override;
    void updaterDidNotFindUpdate(const std::string& error) override;
    void userDidCancelDownload() override;
    void userDidSkipThisVersion(const appcast::Item& item) override;
    void didDismissUpdateAlertPermanently(bool permanently, const appcast::Item& item) override;

    [[nodiscard]] bool getUpdateChecked() const;
    [[nodiscard]] bool getValidUpdateFound() const;

  private:
    std::atomic<bool> updateChecked_{false};
    std::atomic<bool> validUpdateFound_{false};
};

// The launcher's self-updater behind AutoUpdater. Made on the checker thread; everything it
// does with the updater runs on the main thread, in the order it was asked for.
class SparkleAutoUpdater final : public AutoUpdater {
  public:
    explicit SparkleAutoUpdater(const std::string& feedUrl);
    // `stopRequested` (which must outlive this object), once set, also counts as a finished
    // check: a launcher asked to stop must not wait for an answer that the main thread, whose
    // loop may have ended, would never deliver.
    SparkleAutoUpdater(const std::string& feedUrl, const std::atomic<bool>* stopRequested);
    // With explicit settings instead of the running launcher's.
    SparkleAutoUpdater(const std::string& feedUrl, selfupdate::Settings settings,
                       const std::atomic<bool>* stopRequested = nullptr);
    ~SparkleAutoUpdater() override;
    SparkleAutoUpdater(const SparkleAutoUpdater&) = delete;
    SparkleAutoUpdater& operator=(const SparkleAutoUpdater&) = delete;

    void checkForUpdates() override;
    [[nodiscard]] bool isUpdateChecked() override;
    [[nodiscard]] bool isValidUpdateFound() override;

    struct Private;

  private:
    // Shared with the work posted to the main thread, which may run after this object is gone.
    std::shared_ptr<Private> d;
    const std::atomic<bool>* stopRequested_ = nullptr;
};

}  // namespace zentravo
