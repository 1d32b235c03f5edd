// Process entry of the launcher: prepares logging, deep links and crash reporting, lets only one
// main application run, runs the application object and starts a fresh launcher on request.
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app_start.hpp"
#include "crash_reporting.hpp"
#include "install_folder.hpp"
#include "launcher_app.hpp"
#include "log_text.hpp"
#include "logger.hpp"
#include "paths.hpp"
#include "platform/instance_detection.hpp"
#include "platform/instance_lock.hpp"
#include "platform/process_setup.hpp"
#include "self_installer.hpp"
#include "sentry_wrapper.hpp"
#include "socket_comm.hpp"
#include "system.hpp"
#include "updater.hpp"
#include "window_cosmetics.hpp"

namespace {

constexpr std::string_view restartedFlag = "restarted";
// The argument a launcher restarting itself gives the new one.
constexpr std::string_view kRestartArgument = "--restarted";
constexpr std::string_view kSchemeWord = "zentravo";
// How long a launcher started by the running one (a restart, a self-update) waits for it to end.
constexpr std::chrono::seconds kHandOverPatience{20};

}  // namespace

bool isBoot(const std::string& argument) {
    return argument.find("boot") != std::string::npos;
}

bool isDeeplink(const std::string& argument) {
    return argument.starts_with(kSchemeWord);
}

// Only the launcher's own restart flag counts, never a deep link that holds the word: any web
// page can make one.
bool isRestarted(const std::string& argument) {
    spdlog::info("Checking if restarted -> '{}' vs '{}'", zentravo::logtext::escape(argument),
                 restartedFlag);
    return argument == kRestartArgument;
}

void handleDeeplink(const std::string& link) {
    bool sent = false;
    try {
        sent = zentravo::SocketComm::sendDeeplink(link);
    } catch (const nlohmann::json::exception& e) {
        // A link that is not valid UTF-8 cannot go into the event.
        spdlog::error("Deeplink cannot be sent: {}", e.what());
    }
    if (sent) {
        spdlog::info("Deeplink sent successfully to Zentravo V3.");
    } else {
        spdlog::error("Unable to send Deeplink to Zentravo V3.");
    }
}

void restartLauncher(std::string_view self) {
    spdlog::info("{} with '{}'", "About to restart launcher", zentravo::logtext::escape(self));
    zentravo::utils::sentry::sharedWrapper.setBreadcrumb("About to restart launcher");
    // A new instance of this very executable, started without a shell and left to run on.
    const std::filesystem::path executable = zentravo::path::executable();
    spdlog::debug("Launching '{} {}'", zentravo::pathToUtf8(executable), kRestartArgument);
    try {
        (void)zentravo::system::startDetached(executable, {std::string{kRestartArgument}});
    } catch (const std::exception& e) {
        spdlog::error("Unable to restart launcher: {}", e.what());
    }
}

// Ends the error tracker's sender before main returns. Exit handlers tear the TLS library down
// in the order it was first used, ahead of static objects made earlier, so a report still in
// flight when the process ends would otherwise be finished on freed TLS state.
class ErrorTrackerCloser {
  public:
    ErrorTrackerCloser() = default;
    ErrorTrackerCloser(const ErrorTrackerCloser&) = delete;
    ErrorTrackerCloser& operator=(const ErrorTrackerCloser&) = delete;
    ~ErrorTrackerCloser() { zentravo::utils::sentry::sharedWrapper.close(); }
};

// A self-update that was killed leaves its staging folder beside the bundle; the next launcher
// clears it. Only the one launcher of the user may: an update in progress owns its folder.
void removeSelfUpdateLeftovers() {
    try {
        const auto installation = zentravo::selfinstall::locate(zentravo::path::executable());
        (void)zentravo::selfinstall::removeStagingLeftovers(installation);
    } catch (const std::exception&) {
        // Not running from a bundle: no self-update ever staged anything.
    }
}

// An installation cut short leaves folders beside "last" (the previous version, while it was
// being removed); the next launcher clears them. Only the one launcher of the user may: its own
// installation starts only later.
void removeInstallLeftovers() {
    try {
        if (const auto folder = zentravo::Updater::installFolder(); !folder.empty()) {
            zentravo::install::clearLeftovers(folder);
        }
    } catch (const std::exception& e) {
        spdlog::warn("Cannot clear what an interrupted installation left: {}", e.what());
    }
}

// Whether the running launcher started this one to take its place after a self-update. The mark
// goes no further than this process: not to the main application, not to a later restart.
bool takeRelaunchMark() {
    const bool marked = std::getenv(zentravo::system::kRelaunchVariable) != nullptr;
    ::unsetenv(zentravo::system::kRelaunchVariable);
    return marked;
}

// The launcher that is to run: its instance lock, and whether the running launcher started it to
// take its place (it then runs beside that one's main application, as a restarted one does).
struct Claim {
    zentravo::system::InstanceLock lock;
    bool relaunched = false;
};

// Settles which launcher of this user runs. A later one hands over its deep link, brings the
// running one forward and ends, before it touches the log, the install or the download folder.
// Empty when this launcher is to end now.
std::optional<Claim> claimInstance(int argc, char** argv) {
    using zentravo::system::HandOver;
    using zentravo::system::InstanceLock;
    const std::string first = argc >= 2 ? argv[1] : "";
    const bool relaunched = takeRelaunchMark();
    auto lock = InstanceLock::tryAcquire(InstanceLock::defaultFiles());
    // Only launchers started to follow the running one wait for it: a deep link that merely
    // holds the restart word is handed over at once.
    const bool restarted = first == kRestartArgument;
    if (lock.state() == InstanceLock::State::busy && (restarted || relaunched)) {
        (void)lock.waitUntilHeld(kHandOverPatience);
    }
    if (lock.state() != InstanceLock::State::busy) {
        return Claim{std::move(lock), relaunched};
    }
    const auto holder = lock.holder();
    // Nothing of this launcher's own is set up yet: these lines go to the console only.
    spdlog::info("Another launcher is running{}. Closing...",
                 holder ? fmt::format(" (process {})", *holder) : std::string{});
    if (argc >= 2 && isDeeplink(first)) {
        switch (zentravo::system::handDeeplinkToRunningLauncher(first)) {
            case HandOver::taken:
                spdlog::info("Deeplink handed to the running launcher: '{}'",
                             zentravo::logtext::escape(first));
                break;
            case HandOver::unanswered:
                // It may be frozen: the link goes to the main application as well, as a link
                // delivered twice is better than one lost.
                spdlog::warn(
                    "The running launcher did not answer the deeplink hand-over in "
                    "time: sending it to Zentravo V3 directly");
                handleDeeplink(first);
                break;
            case HandOver::failed:
                handleDeeplink(first);
                break;
        }
    }
    if (holder) {
        (void)zentravo::system::bringWindowForward(*holder);
    }
    return std::nullopt;
}

int main(int argc, char** argv) {
    if (!zentravo::system::prepareProcess()) {
        return 0;  // no /dev/null: the next file opened would become standard output or error
    }
    zentravo::path::ignoreRelativeLocations();
    const auto instance = claimInstance(argc, argv);
    if (!instance) {
        return 0;
    }
    const ErrorTrackerCloser closeErrorTrackerFirst;
    std::error_code workingDirectoryError;
    std::filesystem::current_path(zentravo::path::executableDirectory(), workingDirectoryError);
    configureLogger();
    if (workingDirectoryError) {
        // The page and the translations are found relative to the executable's folder.
        spdlog::error("Cannot enter the launcher's folder: {}", workingDirectoryError.message());
        return 0;
    }
    zentravo::system::registerDeeplinkHandler(
        std::function<void(const std::string&)>{handleDeeplink});
    spdlog::set_level(spdlog::level::debug);
    zentravo::ui::unifyAppIcons();

    spdlog::info("Starting with {} params", argc);
    for (int i = 0; i < argc; ++i) {
        spdlog::info("   Param {}: '{}'", i, zentravo::logtext::escape(argv[i]));
    }
    if (instance->lock.state() != zentravo::system::InstanceLock::State::held) {
        spdlog::warn("No instance lock: other launchers of this user are not kept out");
    } else {
        removeSelfUpdateLeftovers();
        removeInstallLeftovers();
    }

    try {
        setSentry();
    } catch (const std::exception& e) {
        spdlog::error("Error initializing Sentry: {}", e.what());
    }

    try {
        if (zentravo::system::isV2AlreadyRunning()) {
            spdlog::info("Detected V2 instance already running. Closing...");
            return 0;
        }
        const std::string first = argc >= 2 ? argv[1] : "";
        const std::string deeplink = argc >= 2 && isDeeplink(first) ? first : "";
        const std::string bootArgument = argc >= 2 && isBoot(first) ? first : "";

        const bool restarted = argc >= 2 && isRestarted(first);
        if (restarted || instance->relaunched) {
            spdlog::info("Detected V3 being restarted.");
        } else if (zentravo::system::isV3AlreadyRunning() ||
                   zentravo::SocketComm::isClientAppRunning()) {
            spdlog::info("Detected V3 instance already running.");
            if (!deeplink.empty()) {
                spdlog::info("Detected Deeplink. Sending & closing...");
                handleDeeplink(deeplink);
            }
            return 0;
        }

        zentravo::LauncherApp app{deeplink, bootArgument};
        if (app.run() == zentravo::LauncherApp::kRestartCode) {
            restartLauncher(argv[0]);
        }
    } catch (const std::exception& e) {
        spdlog::error("Error running launcher: {}", e.what());
        zentravo::utils::sentry::sharedWrapper.sendException("Startup Failed", e.what());
    }
    return 0;
}
