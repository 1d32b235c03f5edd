// Start of the installed main application and the wait for its answer.
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <system_error>
#include <thread>

#include "app_start.hpp"
#include "file_helpers.hpp"
#include "i18n_translator.hpp"
#include "log_text.hpp"
#include "metrics.hpp"
#include "paths.hpp"
#include "semver.hpp"
#include "sentry_wrapper.hpp"
#include "socket_comm.hpp"
#include "system.hpp"
#include "updater.hpp"

namespace zentravo {
namespace {

namespace fs = std::filesystem;
using utils::sentry::sharedWrapper;

constexpr std::uint8_t kLaunchPolls = 30;

// `child` is -1 when the program could not be started (logged and reported; the wait and the
// final check still decide the outcome, as another instance may answer).
struct Started {
    pid_t child = -1;
    bool unexecutable = false;  // the failure says the system cannot execute the program
};

Started startApplication(const fs::path& bundle, const std::string& deeplink,
                         const std::string& bootArgument) {
    std::vector<std::string> arguments;
    if (!deeplink.empty()) {
        arguments.push_back(deeplink);
    }
    if (!bootArgument.empty()) {
        arguments.push_back(bootArgument);
    }
    arguments.emplace_back("--launcher");
    const auto failed = [&](const std::exception& e) {
        const std::string text = fmt::format("Cannot start '{}': {}", pathToUtf8(bundle), e.what());
        spdlog::error(text);
        sharedWrapper.setBreadcrumb(text);
    };
    try {
        return {.child = system::startDetached(system::bundleExecutable(bundle), arguments)};
    } catch (const std::system_error& e) {
        failed(e);
        return {.unexecutable = system::isUnexecutable(e.code())};
    } catch (const std::exception& e) {
        failed(e);
        return {};
    }
}

}  // namespace

void Updater::runApp(const fs::path& dir, const std::string& deeplink,
                     const std::string& bootArgument) const {
    (void)launchApp(dir, deeplink, bootArgument, false);
}

Updater::Launch Updater::launchApp(const fs::path& dir, const std::string& deeplink,
                                   const std::string& bootArgument, bool repairable) const {
    milestone("About to run app");
    const fs::path bundle = dir / "Zentravo.app";
    sharedWrapper.setBreadcrumb(fmt::format("App path {}", pathToUtf8(bundle)));
    const auto [child, unexecutable] = startApplication(bundle, deeplink, bootArgument);
    if (unexecutable && repairable) {
        return Launch::unexecutable;
    }

    // The link went to the application on its command line; a link that cannot be written
    // into a socket event (not UTF-8) is not offered there, and the wait goes on without it.
    bool offerDeeplink = !deeplink.empty();
    std::uint8_t failedPolls = 0;
    while (failedPolls < kLaunchPolls) {
        if (stopped()) {
            break;
        }
        if (offerDeeplink) {
            try {
                if (SocketComm::sendDeeplink(deeplink)) {
                    spdlog::info("V3 App running detected. Deeplink '{}' sent successfully",
                                 logtext::escape(deeplink));
                    return Launch::done;
                }
            } catch (const nlohmann::json::exception& e) {
                spdlog::error("Deeplink '{}' cannot be sent by socket: {}",
                              logtext::escape(deeplink), e.what());
                offerDeeplink = false;
            }
        }
        if (SocketComm::isClientAppRunning()) {
            spdlog::info("V3 App running detected");
            sharedWrapper.setBreadcrumb(
                fmt::format("V3 App running detected after: {} retries", unsigned{failedPolls}));
            return Launch::done;
        }
        ++failedPolls;
        spdlog::debug("V3 App running not detected yet. Retrying {}...", unsigned{failedPolls});
        std::this_thread::sleep_for(pacing_.launchPoll);
        if (child > 0) {
            if (const auto status = system::reapIfEnded(child)) {
                spdlog::debug("The started application ended with status {}", *status);
            }
        }
    }

    if (system::isV3AlreadyRunning()) {
        milestone("V3 App running detected by process");
        sharedWrapper.sendException("Socket not connected",
                                    "Launcher was unable to connect V3 by socket, "
                                    "but app process is running");
        return Launch::done;
    }
    spdlog::error("V3 App running not detected.");
    sharedWrapper.setBreadcrumb("V3 App running not detected.");
    if (!stopped()) {
        const std::string installed = getCurrentVersion(installFolder() / "last").to_string();
        auto event = metrics::amplitude::buildAmplitudeEvent("Launcher App Start Failed");
        event.event_properties.app_version_installed = installed;
        metrics::sendMetricsEvents({event});
    }
    sharedWrapper.sendException(
        "Launcher was unable to start V3",
        fmt::format("V3 was not detected running after {} retries", kLaunchPolls));
    system::showMessageBox("Zentravo", localized("launcher.process.error.crash"));
    return Launch::done;
}

}  // namespace zentravo
