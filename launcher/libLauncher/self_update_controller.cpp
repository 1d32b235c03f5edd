#include "self_update_controller.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "file_descriptor.hpp"
#include "file_helpers.hpp"
#include "http_session.hpp"
#include "log_text.hpp"
#include "messageloop.hpp"
#include "paths.hpp"
#include "private_folder.hpp"
#include "rest.hpp"
#include "self_installer.hpp"
#include "sentry_wrapper.hpp"

namespace zentravo::selfupdate {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Progress reaches the main thread at most this often.
constexpr auto kProgressInterval = std::chrono::milliseconds{50};
constexpr auto kFeedTimeout = std::chrono::seconds{60};
// A feed lists a few releases; far more is no feed.
constexpr std::int64_t kMaxFeedBytes = 4 << 20;

std::mutex& driverMutex() {
    static std::mutex mutex;
    return mutex;
}

UserDriver& installedDriver() {
    static UserDriver driver = gtkUserDriver();
    return driver;
}

struct FeedResult {
    std::string body;
    std::string error;  // empty on success
};

FeedResult fetchFeed(const std::string& url, const std::atomic<bool>& cancel) {
    http::Session session;
    session.setUrl(url);
    session.setExtraCaPem(rest::getSslOptions().extraCaPem);
    session.setHeaders({{"User-Agent", rest::userAgent()}});
    // The service's proxy settings apply; only "https" is ever configured.
    rest::applyProxy(session, rest::getProxy(), url);
    session.setConnectTimeout(std::chrono::seconds{30});
    session.setTimeout(kFeedTimeout);
    session.setMaxBodySize(kMaxFeedBytes);
    session.setProgressCallback(
        [&](std::int64_t, std::int64_t, std::int64_t, std::int64_t) { return !cancel.load(); });
    http::Response response = session.get();
    if (response.error.code != CURLE_OK) {
        return {{}, fmt::format("Update feed {} unreachable: {}", url, response.error.message)};
    }
    if (response.status_code != 200) {
        return {{}, fmt::format("Update feed {} answered {}", url, response.status_code)};
    }
    return {std::move(response.text), {}};
}

}  // namespace

void setUserDriver(UserDriver driver) {
    const std::lock_guard lock{driverMutex()};
    installedDriver() = std::move(driver);
}

UserDriver userDriver() {
    const std::lock_guard lock{driverMutex()};
    return installedDriver();
}

void endProcess() {
    // Other threads still run (the checker thread goes on once the delegate's flag is set), so
    // static destructors must not: they would pull the logger and the HTTP and error-report
    // state from under those threads. What matters is already written: every log record is
    // flushed as it is made, and standard streams are flushed here. The error tracker only
    // writes its queue to disk on closing, so events sent just before are kept for the next start.
    utils::sentry::sharedWrapper.close();
    if (const auto logger = spdlog::default_logger()) {
        logger->flush();
    }
    std::fflush(nullptr);
    std::_Exit(0);
}

Settings defaultSettings() {
    Settings settings;
    settings.driver = userDriver();
    settings.publicKey = signature::launcherUpdateKey();
    settings.executable = getExecutablePath();
    settings.currentVersion = getCurrentVersion(getParentPath(settings.executable));
    if (const fs::path data = path::applicationSupport(); !data.empty()) {
        settings.skipFile = data / "ZentravoV3" / "skipped-launcher-version";
    }
    settings.arch = appcast::machineArch();
    settings.relaunchArguments = selfinstall::processArguments();
    return settings;
}

std::optional<semver::version> readSkippedVersion(const fs::path& skipFile) {
    if (skipFile.empty()) {
        return std::nullopt;
    }
    std::ifstream in{skipFile};
    std::string text;
    if (!(in >> text)) {
        return std::nullopt;
    }
    try {
        return semver::version::from_string(text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void writeSkippedVersion(const fs::path& skipFile, const semver::version& version) {
    if (skipFile.empty()) {
        throw std::runtime_error{"No data folder to remember the skipped version in"};
    }
    folders::createMissing(skipFile.parent_path());
    const fs::path partial = fs::path{skipFile} += ".partial";
    {
        // This user's alone whatever the umask; a file left by an earlier try is taken over.
        const FileDescriptor out{
            ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600)};
        const std::string text = version.to_string() + '\n';
        if (!out || ::fchmod(out.get(), 0600) != 0 ||
            ::write(out.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            throw std::runtime_error{"Cannot write " + pathToUtf8(partial)};
        }
    }
    fs::rename(partial, skipFile);
}

// Lives on the main thread; the worker thread reaches it only through posted work, which holds
// a weak reference, so a report that arrives after the controller is gone is dropped.
struct Controller::Core : std::enable_shared_from_this<Core> {
    std::shared_ptr<UpdaterDelegate> delegate;
    Settings settings;
    std::string feedUrl;
    bool started = false;
    bool busy = false;
    std::shared_ptr<std::atomic<bool>> cancel = std::make_shared<std::atomic<bool>>(false);
    std::thread worker;

    ~Core() {
        cancel->store(true);
        if (worker.joinable()) {
            if (worker.get_id() == std::this_thread::get_id()) {
                worker.detach();
            } else {
                worker.join();
            }
        }
    }

    // Runs `work` on the worker thread; it hands its outcome back through `post`.
    void runInBackground(std::function<void()> work) {
        if (worker.joinable()) {
            worker.join();  // the previous job has already posted its outcome
        }
        worker = std::thread{std::move(work)};
    }

    template <typename F>
    void postToSelf(F&& work) {
        vela::messageloop::postMessage(
            [weak = weak_from_this(), work = std::forward<F>(work)]() mutable {
                if (const auto self = weak.lock()) {
                    work(*self);
                }
            });
    }

    void abort(const std::string& error) {
        spdlog::error("Launcher self-update aborted: {}", error);
        utils::sentry::sharedWrapper.sendException("Launcher self-update aborted", error);
        delegate->didAbortWithError(error);
        busy = false;
    }

    void failInstall(const std::string& error) {
        if (settings.driver.installFailed) {
            settings.driver.installFailed(error);
        }
        abort(error);
    }

    void check() {
        if (!started || busy) {
            return;
        }
        busy = true;
        runInBackground([weak = weak_from_this(), url = feedUrl, cancel = cancel] {
            FeedResult result = fetchFeed(url, *cancel);
            vela::messageloop::postMessage([weak, result = std::move(result)] {
                if (const auto self = weak.lock()) {
                    self->onFeed(result);
                }
            });
        });
    }

    void onFeed(const FeedResult& result) {
        if (!result.error.empty()) {
            abort(result.error);
            return;
        }
        std::optional<appcast::Item> item;
        try {
            item = appcast::choose(appcast::parse(result.body), settings.currentVersion,
                                   readSkippedVersion(settings.skipFile), settings.arch);
        } catch (const std::exception& e) {
            abort(e.what());
            return;
        }
        if (item) {
            // A launcher that does not run from a bundle cannot be replaced; offering the update
            // would only end in an aborted install at every start.
            try {
                (void)selfinstall::locate(settings.executable);
            } catch (const std::exception& e) {
                spdlog::warn("Launcher update {} not offered: {}",
                             logtext::escape(item->displayVersion()), e.what());
                item.reset();
            }
        }
        if (!item) {
            busy = false;
            delegate->updaterDidNotFindUpdate();
            return;
        }
        spdlog::info("Launcher update {} offered at {}", logtext::escape(item->displayVersion()),
                     logtext::escape(item->url));
        delegate->didFindValidUpdate(*item);
        // The question waits for the next turn of the loop, after what the report set off.
        postToSelf([item = *item](Core& self) { self.ask(item); });
    }

    void ask(const appcast::Item& item) {
        if (!settings.driver.prompt) {
            answered(item, Choice::dismiss);
            return;
        }
        settings.driver.prompt(item, settings.currentVersion,
                               [weak = weak_from_this(), item](Choice choice) {
                                   if (const auto self = weak.lock()) {
                                       self->answered(item, choice);
                                   }
                               });
    }

    void answered(const appcast::Item& item, Choice choice) {
        if (choice == Choice::skip) {
            try {
                writeSkippedVersion(settings.skipFile, *item.semanticVersion);
            } catch (const std::exception& e) {
                spdlog::error("Cannot remember the skipped launcher version: {}", e.what());
            }
        }
        delegate->userDidMakeChoice(choice, item);
        if (choice == Choice::install) {
            startDownload(item);
        }
    }

    void startDownload(const appcast::Item& item) {
        cancel->store(false);
        if (settings.driver.downloadStarted) {
            settings.driver.downloadStarted(item, [weak = weak_from_this()] {
                if (const auto self = weak.lock()) {
                    self->cancel->store(true);
                }
            });
        }
        runInBackground([weak = weak_from_this(), item, settings = settings, cancel = cancel] {
            std::string error;
            bool cancelled = false;
            try {
                const selfinstall::Installation installation =
                    selfinstall::locate(settings.executable);
                const selfinstall::StagingFolder staging{installation};
                const fs::path archive = staging.path() / "update.archive";
                auto last = Clock::now() - kProgressInterval;
                const auto transfer = selfinstall::download(
                    item, archive, *cancel, [&](std::int64_t received, std::int64_t total) {
                        const auto now = Clock::now();
                        if (now - last < kProgressInterval && received != total) {
                            return;
                        }
                        last = now;
                        vela::messageloop::postMessage([weak, received, total] {
                            const auto self = weak.lock();
                            if (self && self->settings.driver.downloadProgress) {
                                self->settings.driver.downloadProgress(received, total);
                            }
                        });
                    });
                if (transfer == selfinstall::Transfer::cancelled) {
                    cancelled = true;
                } else {
                    selfinstall::verify(archive, item, settings.publicKey);
                    selfinstall::install(archive, installation, settings.currentVersion,
                                         staging.path());
                }
            } catch (const std::exception& e) {
                error = e.what();
            }
            vela::messageloop::postMessage([weak, cancelled, error, item] {
                if (const auto self = weak.lock()) {
                    self->onInstalled(item, cancelled, error);
                }
            });
        });
    }

    void onInstalled(const appcast::Item& item, bool cancelled, const std::string& error) {
        if (settings.driver.downloadEnded) {
            settings.driver.downloadEnded();
        }
        if (cancelled) {
            busy = false;
            delegate->userDidCancelDownload();
            return;
        }
        if (!error.empty()) {
            failInstall(error);
            return;
        }
        try {
            const pid_t child =
                selfinstall::relaunch(settings.executable, settings.relaunchArguments);
            spdlog::info("Launcher updated to {}; started the new launcher (process {})",
                         item.displayVersion(), child);
            utils::sentry::sharedWrapper.setBreadcrumb(
                fmt::format("Launcher updated to {}", item.displayVersion()));
        } catch (const std::exception& e) {
            failInstall(fmt::format("The updated launcher did not start: {}", e.what()));
            return;
        }
        endProcess();
    }
};

Controller::Controller(std::shared_ptr<UpdaterDelegate> delegate, Settings settings)
    : core_{std::make_shared<Core>()} {
    core_->delegate = std::move(delegate);
    core_->settings = std::move(settings);
}

Controller::~Controller() = default;

void Controller::setFeedUrl(std::string url) {
    core_->feedUrl = std::move(url);
}

void Controller::startUpdater() {
    core_->started = true;
}

void Controller::checkForUpdates() {
    core_->check();
}

void Controller::cancelDownload() {
    core_->cancel->store(true);
}

}  // namespace zentravo::selfupdate
