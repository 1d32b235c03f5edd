// The main application's update-and-launch sequence.
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <stdexcept>

#include "app_update_response.hpp"
#include "build_config.hpp"
#include "bundle_check.hpp"
#include "download_staging.hpp"
#include "exceptions.hpp"
#include "file_helpers.hpp"
#include "install_folder.hpp"
#include "log_text.hpp"
#include "metrics.hpp"
#include "page_calls.hpp"
#include "paths.hpp"
#include "platform/mount_options.hpp"
#include "private_folder.hpp"
#include "semver.hpp"
#include "sentry_wrapper.hpp"
#include "system.hpp"
#include "updater.hpp"
#include "utils.hpp"

namespace zentravo {
namespace {

namespace fs = std::filesystem;
using utils::sentry::sharedWrapper;

void sendEvent(const std::string& type, const std::string& installed,
               const std::string* toUpdate = nullptr) {
    auto event = metrics::amplitude::buildAmplitudeEvent(type);
    event.event_properties.app_version_installed = installed;
    if (toUpdate != nullptr) {
        event.event_properties.app_version_to_update = *toUpdate;
    }
    metrics::sendMetricsEvents({event});
}

}  // namespace

int Updater::startUpdateProcess(const std::string& deeplink,
                                const std::string& bootArgument) const {
    return runUpdateSequence(deeplink, bootArgument, false);
}

int Updater::runUpdateSequence(const std::string& deeplink, const std::string& bootArgument,
                               bool repairing) const {
    std::string installedText = "0.0.0";
    // What the page shows when a network step fails: 1 = retries, 0 = connection.
    const auto failNetworkStep = [&](std::string_view title, std::string_view reason, bool retries,
                                     const std::string& logText, const std::string& detail) {
        spdlog::error(logText);
        sharedWrapper.sendException(title, detail);
        // The analytics event (and its address lookup) is a request: none after a stop.
        if (!stopped()) {
            notifyUpdateFailed(std::string{reason}, installedText);
        }
        if (retries) {
            showRetriesError();
        } else {
            showConnectionError();
        }
        return 2;
    };
    const auto failInstall = [&](const std::string& text) {
        spdlog::error(text);
        sharedWrapper.sendException("installUpdate Failed", text);
        if (!stopped()) {
            notifyUpdateFailed("launcher.process.error.installing", installedText);
        }
        uiCallback(page::errorCall(localized("launcher.process.error.installing")));
        return 2;
    };
    // Runs one network step and turns its final failure into the page error;
    // empty on success.
    const auto networkStep = [&](std::string_view title,
                                 const std::function<void()>& step) -> std::optional<int> {
        try {
            runChecker(step);
        } catch (const except::UnrecoverableException& e) {
            return failNetworkStep(title, "launcher.process.error.connection", false,
                                   fmt::format("UnrecoverableException -> {}", e.describe()),
                                   e.describe());
        } catch (const except::RetryableException& e) {
            return failNetworkStep(title, "launcher.process.error.retries", true,
                                   fmt::format("RetryableException -> {}", e.describe()),
                                   e.describe());
        } catch (const std::exception& e) {
            return failNetworkStep(title, "launcher.process.error.retries", true, e.what(),
                                   e.what());
        }
        return std::nullopt;
    };

    try {
        milestone("Start update process");
        sendMessageToUI(localized("launcher.process.status.version"));
        milestone("Getting current version");

        const fs::path base = path::applicationSupport();
        if (base.empty()) {
            throw std::runtime_error{
                "No home folder: neither XDG_DATA_HOME nor HOME is set to an absolute path"};
        }
        const fs::path appFolder = installFolder();
        // Others could otherwise change what is started: the folders are this user's alone, and
        // another user's are not used at all.
        folders::makePrivate(base, appFolder.lexically_relative(base));
        const fs::path lastFolder = appFolder / "last";
        if (install::restoreInterrupted(lastFolder)) {
            milestone("Restored the installed version after an interrupted installation");
        }

        semver::version current{0, 0, 0};
        fs::path previousFolder;
        if (const semver::version installed = getCurrentVersion(lastFolder); installed > current) {
            // A version whose program cannot start counts as not installed, so that the answer's
            // version is installed afresh: the check an update passes before it takes "last".
            const install::BundleCheck checked =
                repairing ? install::BundleCheck{.problem = "the system cannot execute its program",
                                                 .version = {}}
                          : install::checkBundle(lastFolder);
            if (!checked.problem.empty()) {
                const std::string text = fmt::format(
                    "The installed version {} cannot start and counts as not installed: {}",
                    installed.to_string(), checked.problem);
                spdlog::warn(text);
                sharedWrapper.setBreadcrumb(text);
            } else {
                current = installed;
                previousFolder = appFolder / current.to_string();
            }
        }

        sendMessageToUI(localized("launcher.process.status.connection"));
        const std::string updateUrl = fmt::format(
            "{}/v1/tarvine/update/{}", config::kServiceUrl.reveal(), current.to_string());
        const std::string requesting =
            fmt::format("On Get Updater Handler - Requesting to: {}", updateUrl);
        spdlog::debug(requesting);
        sharedWrapper.setBreadcrumb(requesting);
        installedText = current.to_string();

        bool installedNow = false;
        request::AppUpdateResponse answer{};
        if (const auto failed = networkStep("getLatestVersion Failed",
                                            [&] { answer = getLatestVersion(updateUrl); })) {
            return *failed;
        }
        if (stopped()) {
            milestone("Stopping update process by getLatestVersion");
            return 1;
        }

        semver::version latest;
        try {
            latest = semver::version::from_string(answer.appVersion);
        } catch (const std::exception& e) {
            return failNetworkStep("getLatestVersion Failed", "launcher.process.error.retries",
                                   true, e.what(), e.what());
        }

        if (current < latest || answer.appVersion == "0.0.0") {
            // An answer without an archive address, or with one that is not https, cannot get
            // better by asking again.
            const std::string& downloadUrl = system::isARM64Processor()
                                                 ? answer.version.update.arm64.file
                                                 : answer.version.update.x86_64.file;
            const fs::path archive = getDownloadPath(downloadUrl);
            if (!toLower(downloadUrl).starts_with("https://")) {
                const std::string text = fmt::format("The archive address is not https: '{}'",
                                                     logtext::escape(downloadUrl));
                return failNetworkStep("getLatestVersion Failed", "launcher.process.error.retries",
                                       true, text, text);
            }
            // Empty when the address names no file that could be stored.
            if (archive.empty()) {
                const std::string text = fmt::format("No archive to download in the answer: '{}'",
                                                     logtext::escape(downloadUrl));
                return failNetworkStep("getLatestVersion Failed", "launcher.process.error.retries",
                                       true, text, text);
            }
            // No program could start from there, not even one just installed: every start would
            // download the archive only to refuse it.
            if (system::onNoexecMount(appFolder)) {
                return failInstall(fmt::format(
                    "The install folder '{}' is on a file system mounted noexec: no program can "
                    "run from it",
                    logtext::escape(pathToUtf8(appFolder))));
            }
            // Only the one running launcher gets here: what lies in its download folder is a
            // killed run's leftover. Prepared only now, so that an up-to-date start never
            // depends on it.
            staging::preparePrivateFolder(stagingFolder());
            milestone("About to download update");
            sendMessageToUI(localized("launcher.process.status.downloading"));
            if (!stopped()) {
                sendEvent("Launcher Update Found", installedText, &answer.appVersion);
            }

            const fs::path newFolder = getAppPath(base, answer.appVersion);
            if (const auto failed = networkStep("downloadUpdate Failed",
                                                [&] { downloadUpdate(downloadUrl, archive); })) {
                return *failed;
            }
            if (stopped()) {
                milestone("Stopping update process by downloadUpdate");
                return 1;
            }

            sendMessageToUI(localized("launcher.process.status.installing"));
            try {
                installUpdate(archive, newFolder, lastFolder, previousFolder);
            } catch (const std::exception& e) {
                return failInstall(e.what());
            }
            installedNow = true;
            if (!stopped()) {
                sendEvent("Launcher Update Success", answer.appVersion);
            }
        } else {
            milestone(fmt::format("Already have a valid version: {}", current.to_string()));
        }
        if (stopped()) {
            milestone("Stopping update process by installUpdate");
            return 1;
        }

        sendMessageToUI(localized("launcher.process.status.runapp"));
        // A program cut short, overwritten, or naming an interpreter that is gone passes the
        // bundle check but not the start. Once in a run its version then counts as not installed;
        // not one installed by this run, whose archive would only bring the same program again.
        Launch launched = Launch::done;
        try {
            launched = launchApp(lastFolder, deeplink, bootArgument, !repairing && !installedNow);
        } catch (const std::exception& e) {
            spdlog::error(e.what());
            sharedWrapper.setBreadcrumb(
                fmt::format("Error starting app from '{}' with deeplink '{}'",
                            pathToUtf8(lastFolder), deeplink));
            sharedWrapper.sendException("runApp Failed", e.what());
            if (!stopped()) {
                notifyUpdateFailed("launcher.process.error.runapp", installedText);
            }
            uiCallback(page::errorCall(localized("launcher.process.error.runapp")));
            return 2;
        }
        if (stopped()) {
            milestone("Stopping update process by runApp");
            return 1;
        }
        if (launched == Launch::unexecutable) {
            const std::string text =
                fmt::format("The installed version {} cannot be executed; it is installed afresh",
                            installedText);
            spdlog::warn(text);
            sharedWrapper.setBreadcrumb(text);
            return runUpdateSequence(deeplink, bootArgument, true);
        }
        milestone("Update process finished successfully");
        return 0;
    } catch (const std::exception& e) {
        // Outside the guarded steps: the folders, a page text, an analytics event.
        spdlog::error("Update process failed: {}", e.what());
        sharedWrapper.sendException("startUpdateProcess Failed", e.what());
        try {
            showRetriesError();
        } catch (const std::exception& shown) {
            spdlog::error("Cannot show the error on the page: {}", shown.what());
        }
        return 2;
    }
}

}  // namespace zentravo
