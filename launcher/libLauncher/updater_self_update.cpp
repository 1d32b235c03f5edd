// The Updater's half of the launcher's own update: ask the service for the newest launcher and
// hand a newer one to the self-updater.
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "build_config.hpp"
#include "exceptions.hpp"
#include "file_helpers.hpp"
#include "log_text.hpp"
#include "metrics.hpp"
#include "page_calls.hpp"
#include "paths.hpp"
#include "rest.hpp"
#include "sentry_wrapper.hpp"
#include "sparkle_auto_updater.hpp"
#include "updater.hpp"
#include "updater_response.hpp"

namespace zentravo {
namespace {

constexpr const char* kNoUpdate = "Sparkle AutoUpdater: No update available";

void breadcrumb(const std::string& text) {
    utils::sentry::sharedWrapper.setBreadcrumb(text);
}

}  // namespace

int Updater::startSelfUpdateProcess() {
    uiCallback(std::string{page::kRestoreFrontend});
    milestone("About to start self update process");

    const semver::version currentVersion = getCurrentVersion(getParentPath(getExecutablePath()));
    const std::string url = fmt::format("{}/v1/tarvine/update/launcher/{}",
                                        config::kServiceUrl.reveal(), currentVersion.to_string());
    const std::string requesting = fmt::format("On Get Updater Handler - Requesting to: {}", url);
    spdlog::debug(requesting);
    breadcrumb(requesting);
    const std::string currentText = currentVersion.to_string();

    request::UpdaterResponse answer{nlohmann::json{}};
    try {
        runChecker([&] { answer = getSelfLatestVersion(url); });
    } catch (const except::UnrecoverableException& e) {
        // The analytics event (and its address lookup) is a request: none after a stop.
        spdlog::error("UnrecoverableException -> {}", e.describe());
        utils::sentry::sharedWrapper.sendException("getSelfLatestVersion Failed", e.describe());
        if (!stopped()) {
            notifySelfUpdateFailed("launcher.process.error.connection", currentText);
        }
        showConnectionError();
        return 2;
    } catch (const except::RetryableException& e) {
        spdlog::error("RetryableException -> {}", e.describe());
        utils::sentry::sharedWrapper.sendException("getSelfLatestVersion Failed", e.describe());
        if (!stopped()) {
            notifySelfUpdateFailed("launcher.process.error.retries", currentText);
        }
        showRetriesError();
        return 2;
    } catch (const std::exception& e) {
        spdlog::error("{}", e.what());
        utils::sentry::sharedWrapper.sendException("getSelfLatestVersion Failed", e.what());
        if (!stopped()) {
            notifySelfUpdateFailed("launcher.process.error.retries", currentText);
        }
        showRetriesError();
        return 2;
    }

    try {
        const semver::version latest = semver::version::from_string(answer.launcherVersion);
        if (!(currentVersion < latest)) {
            breadcrumb(kNoUpdate);
            return 1;
        }
        milestone("Sparkle AutoUpdater about to start");
        autoUpdater.reset();
        autoUpdater = std::make_unique<SparkleAutoUpdater>(answer.arm64, &stopRequested);
        autoUpdater->checkForUpdates();
        return 0;
    } catch (const std::exception& e) {
        spdlog::error("{}", e.what());
        utils::sentry::sharedWrapper.sendException("Auto update crashed", e.what());
        breadcrumb(kNoUpdate);
        return 1;
    }
}

request::UpdaterResponse Updater::getSelfLatestVersion(const std::string& url) {
    milestone("Requesting Sparkle last version");
    const auto body = rest::getRequest(url, true, true);
    if (!body) {
        throw std::runtime_error{"ERROR - Unable to getSelfLatestVersion"};
    }
    milestone(fmt::format("Returning Sparkle last version response: {}", logtext::dump(*body, 4)));
    return request::UpdaterResponse{*body};
}

void Updater::notifySelfUpdateFailed(const std::string& reason,
                                     const std::string& launcherVersion) {
    auto event = metrics::amplitude::buildAmplitudeEvent("Launcher Self Update Failed");
    event.event_properties.reason = reason;
    event.event_properties.launcher_version_installed = launcherVersion;
    metrics::sendMetricsEvents({event});
}

}  // namespace zentravo
