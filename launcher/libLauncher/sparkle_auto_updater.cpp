#include "sparkle_auto_updater.hpp"

#include <glib.h>

#include "messageloop.hpp"

namespace zentravo {
namespace {

// The delegate's trace, on standard error like the platform's own log.
void trace(const char* text) {
    g_message("SparkleUpdaterDelegate: %s", text);
}

void markChecked(std::atomic<bool>& flag) {
    flag.store(true, std::memory_order_release);
}

}  // namespace

void SparkleUpdaterDelegate::didAbortWithError(const std::string& error) {
    trace("didAbortWithError");
    g_message("SparkleUpdaterDelegate: %s", error.c_str());
    markChecked(updateChecked_);
    selfupdate::endProcess();
}

void SparkleUpdaterDelegate::userDidMakeChoice(selfupdate::Choice choice, const appcast::Item&) {
    trace("updater:userDidMakeChoice:forUpdate:state:");
    if (choice == selfupdate::Choice::skip || choice == selfupdate::Choice::dismiss) {
        markChecked(updateChecked_);
        selfupdate::endProcess();
    }
}

void SparkleUpdaterDelegate::didFindValidUpdate(const appcast::Item&) {
    trace("didFindValidUpdate");
    // Found first, so that a reader who sees the check finished also sees what it found.
    validUpdateFound_.store(true, std::memory_order_release);
    markChecked(updateChecked_);
}

void SparkleUpdaterDelegate::updaterDidNotFindUpdate() {
    trace("updaterDidNotFindUpdate");
    markChecked(updateChecked_);
}

void SparkleUpdaterDelegate::updaterDidNotFindUpdate(const std::string&) {
    trace("updaterDidNotFindUpdate");
    markChecked(updateChecked_);
}

void SparkleUpdaterDelegate::userDidCancelDownload() {
    trace("userDidCancelDownload");
    markChecked(updateChecked_);
    selfupdate::endProcess();
}

void SparkleUpdaterDelegate::userDidSkipThisVersion(const appcast::Item&) {
    trace("updater:userDidSkipThisVersion:");
    markChecked(updateChecked_);
    selfupdate::endProcess();
}

void SparkleUpdaterDelegate::didDismissUpdateAlertPermanently(bool permanently,
                                                              const appcast::Item&) {
    trace("updater:didDismissUpdateAlertPermanently:");
    if (permanently) {
        markChecked(updateChecked_);
        selfupdate::endProcess();
    }
}

bool SparkleUpdaterDelegate::getUpdateChecked() const {
    return updateChecked_.load(std::memory_order_acquire);
}

bool SparkleUpdaterDelegate::getValidUpdateFound() const {
    return validUpdateFound_.load(std::memory_order_acquire);
}

struct SparkleAutoUpdater::Private {
    std::shared_ptr<SparkleUpdaterDelegate> delegate;
    std::unique_ptr<selfupdate::Controller> controller;
};

SparkleAutoUpdater::SparkleAutoUpdater(const std::string& feedUrl)
    : SparkleAutoUpdater(feedUrl, selfupdate::defaultSettings()) {}

SparkleAutoUpdater::SparkleAutoUpdater(const std::string& feedUrl,
                                       const std::atomic<bool>* stopRequested)
    : SparkleAutoUpdater(feedUrl, selfupdate::defaultSettings(), stopRequested) {}

SparkleAutoUpdater::SparkleAutoUpdater(const std::string& feedUrl, selfupdate::Settings settings,
                                       const std::atomic<bool>* stopRequested)
    : d{std::make_shared<Private>()}, stopRequested_{stopRequested} {
    d->delegate = std::make_shared<SparkleUpdaterDelegate>();
    d->controller = std::make_unique<selfupdate::Controller>(d->delegate, std::move(settings));
    vela::messageloop::postMessage([d = d, feedUrl] {
        d->controller->setFeedUrl(feedUrl);
        d->controller->startUpdater();
    });
}

SparkleAutoUpdater::~SparkleAutoUpdater() = default;

void SparkleAutoUpdater::checkForUpdates() {
    vela::messageloop::postMessage([d = d] { d->controller->checkForUpdates(); });
}

bool SparkleAutoUpdater::isUpdateChecked() {
    return d->delegate->getUpdateChecked() || (stopRequested_ != nullptr && stopRequested_->load());
}

bool SparkleAutoUpdater::isValidUpdateFound() {
    return d->delegate->getValidUpdateFound();
}

}  // namespace zentravo
