#include "updater.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "app_update_response.hpp"
#include "download_progress.hpp"
#include "download_staging.hpp"
#include "exceptions.hpp"
#include "i18n_translator.hpp"
#include "log_text.hpp"
#include "metrics.hpp"
#include "page_calls.hpp"
#include "paths.hpp"
#include "rest.hpp"
#include "retry.hpp"
#include "sentry_wrapper.hpp"
#include "system.hpp"

namespace zentravo {
namespace {

namespace fs = std::filesystem;
using utils::sentry::sharedWrapper;

}  // namespace

struct Updater::RetryTexts {
    std::string retry;
    std::string downloading;
};

void Updater::milestone(const std::string& text) {
    spdlog::info(text);
    sharedWrapper.setBreadcrumb(text);
}

Updater::Updater(UiCallback callback) : Updater{std::move(callback), Pacing{}} {}

Updater::Updater(UiCallback callback, Pacing pacing)
    : uiCallback{std::move(callback)}, pacing_{pacing} {
    const std::string language = system::getDefaultLanguage();
    translator = std::make_unique<i18n::I18nTranslator>();
    if (translator->checkLanguageCanBeSet(language)) {
        translator->setCurrentLanguage(language);
    }
}

Updater::~Updater() = default;

void Updater::stopUpdateProcess() {
    stopRequested.store(true);
}

std::string Updater::language() const {
    return translator->getCurrentLanguage();
}

bool Updater::isSelfUpdateChecked() const {
    return autoUpdater == nullptr || autoUpdater->isUpdateChecked();
}

bool Updater::isValidSelfUpdateFound() const {
    return autoUpdater != nullptr && autoUpdater->isValidUpdateFound();
}

fs::path Updater::installFolder() {
    const fs::path base = path::applicationSupport();
    return base.empty() ? fs::path{} : base / "ZentravoV3" / "app";
}

fs::path Updater::getAppPath(const fs::path& base, std::string_view version) {
    return base / "ZentravoV3" / "app" / pathFromUtf8(version);
}

fs::path Updater::stagingFolder() {
    const fs::path base = path::applicationSupport();
    return base.empty() ? fs::path{} : base / "ZentravoV3" / "download";
}

fs::path Updater::getDownloadPath(std::string_view url) {
    const fs::path folder = stagingFolder();
    const std::string name = staging::safeFileName(url);
    return folder.empty() || name.empty() ? fs::path{} : folder / name;
}

Updater::RetryTexts& Updater::keptTexts() const {
    std::call_once(retryTextsOnce_, [this] {
        retryTexts_ = std::make_unique<RetryTexts>(
            RetryTexts{localized("launcher.process.text.1"),
                       localized("launcher.process.status.downloading")});
    });
    return *retryTexts_;
}

std::string Updater::localized(const std::string& key) const {
    return translator->getLocalizedString(key).str();
}

request::AppUpdateResponse Updater::getLatestVersion(std::string_view url) {
    milestone("Requesting last version available");
    const std::optional<nlohmann::json> body = rest::getRequest(url, true, true);
    if (!body) {
        throw std::runtime_error{"Launcher auto update was not successfully checked"};
    }
    milestone(fmt::format("Last version response: {}", logtext::dump(*body, 4)));
    request::AppUpdateResponse answer{};
    body->get_to(answer);
    return answer;
}

void Updater::downloadUpdate(std::string_view url, const fs::path& file) const {
    milestone(fmt::format("Downloading update from url: {} to path: {}", logtext::escape(url),
                          logtext::escape(pathToUtf8(file))));
    const std::string& downloadingText = keptTexts().downloading;
    std::int64_t downloaded = 0;
    std::int64_t total = 0;
    const auto onProgress = [&](std::int64_t downloadTotal, std::int64_t downloadNow) {
        try {
            const DownloadProgress::Decision decision = downloadProgress_.report(
                DownloadProgress::Clock::now(), downloadTotal, downloadNow);
            if (decision.updatePage) {
                uiCallback(page::progressCall(downloadingText, downloadNow, downloadTotal));
            }
            if (decision.milestone) {
                sharedWrapper.setBreadcrumb(
                    fmt::format("Downloading progress: {}%", *decision.milestone));
            }
        } catch (const std::exception& e) {
            spdlog::error("Error calculating and updating download progress");
            sharedWrapper.sendException("Error calculating and updating download progress",
                                        e.what());
            return false;
        }
        total = downloadTotal;
        downloaded = downloadNow;
        return true;
    };
    staging::createExclusive(file);
    // Half an archive is worth nothing and must not be taken for a whole one later.
    try {
        const bool ok = rest::downloadRequest(
            url, file,
            [&](std::int64_t downloadTotal, std::int64_t downloadNow, std::int64_t, std::int64_t) {
                return onProgress(downloadTotal, downloadNow);
            });
        if (!ok || downloaded < total) {
            throw std::runtime_error{"ERROR - Unable to downloadUpdate"};
        }
    } catch (...) {
        std::error_code ignored;
        fs::remove(file, ignored);
        throw;
    }
}

void Updater::runChecker(const std::function<void()>& step) const {
    RetryTexts& texts = keptTexts();
    const retry::Notices notices{
        .failed = [this] { uiCallback(std::string{page::kShowCloseButton}); },
        .counting =
            [this](int seconds) {
                // Looked up for each number: the wording follows it ("1 second", "2 seconds").
                utils::CompoundString text =
                    translator->getLocalizedPlural("launcher.process.text.2", seconds);
                sendMessageToUI(text.set("seconds", seconds).str());
            },
        .retrying = [this, &texts] { sendMessageToUI(texts.retry); },
    };
    retry::run(step, retryDelays, stopRequested, pacing_.countdownSecond, notices);
}

void Updater::sendMessageToUI(const std::string& text) const {
    uiCallback(page::statusCall(text));
}

void Updater::showRetriesError() const {
    uiCallback(page::errorWithRetryCall(localized("launcher.process.error.retries")));
}

void Updater::showConnectionError() const {
    uiCallback(page::errorWithRetryCall(localized("launcher.process.error.connection")));
}

void Updater::notifyUpdateFailed(const std::string& reason, const std::string& installedVersion) {
    auto event = metrics::amplitude::buildAmplitudeEvent("Launcher Update Failed");
    event.event_properties.reason = reason;
    event.event_properties.app_version_installed = installedVersion;
    metrics::sendMetricsEvents({event});
}

}  // namespace zentravo
