#pragma once
// One launcher run's world for the update flow: private HOME/XDG/TMPDIR folders, the working
// directory the translations are read from, the update service on the compiled-in address, the
// main-application bundle it serves, and the page calls the Updater makes.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.hpp"
#include "mainapp_fixture.hpp"
#include "saved_environment.hpp"
#include "scratch_folder.hpp"
#include "update_service.hpp"
#include "updater.hpp"

namespace updater_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// English texts of the page (resources/translations/en.json).
inline const std::string kChecking = "Checking installed version";
inline const std::string kConnecting = "Checking for updates";
inline const std::string kDownloading = "Downloading update";
inline const std::string kInstalling = "Installing update";
inline const std::string kStarting = "Starting Zentravo";
inline const std::string kRetrying = "Retrying…";
inline std::string countdown(int seconds) {
    return "Retrying in " + std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}
inline const std::string kConnectionError =
    "Could not connect to the update service. Check your internet connection.";
inline const std::string kRetriesError = "The update could not be completed. Please try again.";
inline const std::string kInstallingError = "The update could not be installed.";
inline const std::string kCrashText =
    "Zentravo did not start. Please restart your computer and try again.";

inline std::string status(const std::string& text) {
    return "updateProgressStatus('" + text + "');";
}

// Every page call, in order, from whichever thread makes it.
class PageLog {
  public:
    zentravo::Updater::UiCallback callback() {
        return [this](std::string text) {
            const std::lock_guard lock{mutex_};
            calls_.push_back(std::move(text));
        };
    }
    [[nodiscard]] std::vector<std::string> calls() const {
        const std::lock_guard lock{mutex_};
        return calls_;
    }
    // The calls without the download progress ones, whose number depends on timing.
    [[nodiscard]] std::vector<std::string> steps() const {
        std::vector<std::string> out;
        for (auto& call : calls()) {
            if (call.rfind("updateProgressStatus('" + kDownloading + "', ", 0) != 0) {
                out.push_back(call);
            }
        }
        return out;
    }
    [[nodiscard]] bool contains(const std::string& call) const {
        const auto all = calls();
        return std::find(all.begin(), all.end(), call) != all.end();
    }
    [[nodiscard]] long count(const std::string& call) const {
        const auto all = calls();
        return std::count(all.begin(), all.end(), call);
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

using launcher_test::updateAnswer;

// Whether something accepts connections on the loopback port.
inline bool portTaken(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool taken =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return taken;
}

class UpdateFlowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        waitForFreePorts();
        for (const char* name : {"home", "data", "cache", "runtime", "tmp", "root"}) {
            fs::create_directories(scratch_ / name);
        }
        fs::permissions(scratch_ / "runtime", fs::perms::owner_all);
        ::setenv("HOME", (scratch_ / "home").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (scratch_ / "data").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (scratch_ / "cache").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (scratch_ / "runtime").c_str(), 1);
        ::setenv("TMPDIR", (scratch_ / "tmp").c_str(), 1);
        ::setenv("LANGUAGE", "en", 1);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        for (const char* proxy : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy"}) {
            ::unsetenv(proxy);
        }
        // The main application started by the launcher inherits these.
        ::setenv("ZENTRAVO_MAINAPP_RECORD", mainAppRecord().c_str(), 1);
        ::setenv("ZENTRAVO_MAINAPP_LIFETIME_MS", "20000", 1);
        ::unsetenv("ZENTRAVO_MAINAPP_MODE");
        previousDirectory_ = fs::current_path();
        fs::current_path(fs::path{LAUNCHER_SOURCE_DIR} / "launcher");
    }

    // The compiled-in service address and the main application's socket are fixed ports; a
    // run outside this test's ctest (another build on the machine) may hold them for a while.
    static void waitForFreePorts() {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (portTaken(LAUNCHER_FIXTURE_PORT) || portTaken(39998)) {
            if (std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error{"port " + std::to_string(LAUNCHER_FIXTURE_PORT) +
                                         " or 39998 stays taken by another process"};
            }
            std::this_thread::sleep_for(100ms);
        }
    }

    void TearDown() override {
        stopMainApps();
        fs::current_path(previousDirectory_);
    }

    // Starts the service on the compiled-in address, serving the scratch "root" folder.
    launcher_test::UpdateService& startService(
        const nlohmann::json& config = nlohmann::json::object()) {
        launcher_test::UpdateService::Options options;
        options.port = LAUNCHER_FIXTURE_PORT;
        options.root = scratch_ / "root";
        options.config = config;
        // Another build's run on this machine may take the fixed port between two tests.
        for (int attempt = 1;; ++attempt) {
            try {
                service_ = std::make_unique<launcher_test::UpdateService>(options);
                return *service_;
            } catch (const std::runtime_error&) {
                if (attempt == 20)
                    throw;
                waitForFreePorts();
            }
        }
    }
    launcher_test::UpdateService& service() { return *service_; }

    // Builds the bundle archive of `version` as root/<file>.
    fs::path publishArchive(const std::string& version, const std::string& file = "app.tar") {
        const fs::path archive = scratch_ / "root" / file;
        fixture::buildMainAppArchive(archive, {.version = version});
        return archive;
    }

    // The service's answer to the version request; "{base}" becomes its own address.
    void answer(const nlohmann::json& body) {
        std::ofstream{scratch_ / "root" / "update.json"} << body.dump();
    }
    // Puts `version` of the bundle into "last", as an earlier run would have left it.
    void preinstall(const std::string& version) {
        const fs::path archive = scratch_ / ("preinstalled-" + version + ".tar");
        fixture::buildMainAppArchive(archive, {.version = version});
        fixture::extractArchive(archive, lastFolder());
    }

    [[nodiscard]] fs::path appFolder() const { return scratch_ / "data" / "ZentravoV3" / "app"; }
    [[nodiscard]] fs::path lastFolder() const { return appFolder() / "last"; }
    [[nodiscard]] fs::path mainAppRecord() const { return scratch_ / "mainapp.jsonl"; }
    [[nodiscard]] fs::path tmpFolder() const { return scratch_ / "tmp"; }
    [[nodiscard]] const fs::path& scratch() const { return scratch_.path(); }

    [[nodiscard]] std::unique_ptr<zentravo::Updater> makeUpdater(
        zentravo::Updater::Pacing pacing = {.countdownSecond = 20ms, .launchPoll = 20ms}) {
        return std::make_unique<zentravo::Updater>(page_.callback(), pacing);
    }

    // The analytics events the service received, in order.
    [[nodiscard]] std::vector<nlohmann::json> analyticsEvents() const {
        std::vector<nlohmann::json> events;
        for (const auto& record : service_->recordsFor("/2/httpapi")) {
            const auto body = nlohmann::json::parse(record.value("body", ""), nullptr, false);
            if (body.is_object() && body.contains("events")) {
                for (const auto& event : body["events"])
                    events.push_back(event);
            }
        }
        return events;
    }
    [[nodiscard]] std::vector<nlohmann::json> eventsOfType(const std::string& type) const {
        std::vector<nlohmann::json> out;
        for (auto& event : analyticsEvents()) {
            if (event.value("event_type", "") == type)
                out.push_back(event);
        }
        return out;
    }

    // The "start" entries of every main application started during the test.
    [[nodiscard]] std::vector<nlohmann::json> mainAppStarts() const {
        std::vector<nlohmann::json> out;
        for (auto& entry : fixture::readRecord(mainAppRecord())) {
            if (entry.is_object() && entry.value("type", "") == "start")
                out.push_back(entry);
        }
        return out;
    }
    [[nodiscard]] std::vector<nlohmann::json> mainAppEvents() const {
        std::vector<nlohmann::json> out;
        for (auto& entry : fixture::readRecord(mainAppRecord())) {
            if (entry.is_object() && entry.value("type", "") == "event") {
                out.push_back(nlohmann::json::parse(entry.value("data", ""), nullptr, false));
            }
        }
        return out;
    }

    void stopMainApps() {
        for (const auto& start : mainAppStarts()) {
            const pid_t pid = start.value("pid", 0);
            if (pid > 0 && ::kill(pid, SIGKILL) == 0) {
                int status = 0;
                ::waitpid(pid, &status, 0);
            }
        }
    }

    fixture::ScratchFolder scratch_;
    PageLog page_;
    LogCapture log_{4096};
    std::unique_ptr<launcher_test::UpdateService> service_;
    fs::path previousDirectory_;
    // Everything SetUp and the tests change, restored after each test.
    launcher_test::SavedEnvironment environment_{"HOME",
                                                 "XDG_DATA_HOME",
                                                 "XDG_CACHE_HOME",
                                                 "XDG_RUNTIME_DIR",
                                                 "TMPDIR",
                                                 "LANGUAGE",
                                                 "DISPLAY",
                                                 "WAYLAND_DISPLAY",
                                                 "http_proxy",
                                                 "https_proxy",
                                                 "HTTPS_PROXY",
                                                 "all_proxy",
                                                 "ZENTRAVO_MAINAPP_RECORD",
                                                 "ZENTRAVO_MAINAPP_LIFETIME_MS",
                                                 "ZENTRAVO_MAINAPP_MODE"};
};

}  // namespace updater_test
