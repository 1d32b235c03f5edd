#pragma once
// One launcher run's surroundings for tests of the real launcher binary: private HOME and XDG
// folders, the update service on the compiled-in address serving a main-application bundle, the
// launcher started as a child process, its log, and what the main application recorded.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mainapp_fixture.hpp"
#include "scratch_folder.hpp"
#include "thread_stacks.hpp"
#include "update_service.hpp"

extern char** environ;

namespace launcher_test {

namespace fs = std::filesystem;

// A process started with exactly the given environment, its output appended to `output`; the
// other `options` (descriptors closed, a file-size limit) as given. One still running when a
// failed test drops it (a launcher that did not end in time) has its threads' stacks printed
// before it is killed.
class Process : public fixture::ChildProcess {
  public:
    Process(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
            const fs::path& output, fixture::SpawnOptions options = {})
        : ChildProcess(argv, environment, isolated(std::move(options), output)) {}
    ~Process() {
        if (::testing::Test::HasFailure() && !waitExit(std::chrono::milliseconds{0})) {
            fixture::printThreadStacks(pid(), "Still running at the end of a failed test:");
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

  private:
    static fixture::SpawnOptions isolated(fixture::SpawnOptions options, const fs::path& output) {
        options.inheritEnvironment = false;
        options.output = output;
        return options;
    }
};

// A whole file's bytes; empty when it cannot be read.
inline std::string readAll(const fs::path& file) {
    std::ifstream in{file, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, {}};
}

// How often `part` stands in `text`, overlapping ones counted.
inline std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Whether the main thread of process `pid` comes to wait for one of its own threads to end
// within `timeout`: a thread join is a futex wait on that thread's id, which the kernel shows.
// A program that has left its message loop and waits for its worker logs nothing of it.
inline bool waitForMainThreadJoining(pid_t pid, std::chrono::milliseconds timeout) {
    const fs::path proc = "/proc/" + std::to_string(pid);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::ifstream in{proc / "syscall"};
        std::string number;
        std::string arguments[3];
        in >> number >> arguments[0] >> arguments[1] >> arguments[2];
        if (in && number == std::to_string(SYS_futex)) {
            const auto awaited = std::strtoull(arguments[2].c_str(), nullptr, 16);
            if (awaited > 0 && awaited != static_cast<unsigned long long>(pid) &&
                fs::exists(proc / "task" / std::to_string(awaited))) {
                return true;
            }
        }
        if (!fs::exists(proc) || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{20});
    }
}

// The test locks keep this project's tests off a fixed port, but other checkouts built on the
// same machine may hold it for a while: wait for it rather than meet a stranger's service.
inline void waitForFreePort(int port, std::chrono::seconds patience = std::chrono::seconds{180}) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (free) {
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error{"Port " + std::to_string(port) +
                                     " stays taken by another process; the tests need it free"};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{250});
    }
}

// This user's processes whose argument list (argv[0] first) satisfies `match`; as for the
// launcher, other users' processes are not looked into.
template <typename Match>
std::vector<pid_t> processesWhere(Match match) {
    std::vector<pid_t> found;
    for (const auto& entry : fs::directory_iterator{"/proc"}) {
        const std::string name = entry.path().filename().string();
        struct stat owner {};
        if (name.find_first_not_of("0123456789") != std::string::npos ||
            ::stat(entry.path().c_str(), &owner) != 0 || owner.st_uid != ::geteuid()) {
            continue;
        }
        std::ifstream in{entry.path() / "cmdline", std::ios::binary};
        const std::string raw{std::istreambuf_iterator<char>{in}, {}};
        std::vector<std::string> argv;
        for (std::size_t start = 0; start < raw.size();) {
            const auto end = std::min(raw.find('\0', start), raw.size());
            argv.push_back(raw.substr(start, end - start));
            start = end + 1;
        }
        if (!argv.empty() && match(argv)) {
            found.push_back(std::stoi(name));
        }
    }
    return found;
}

// The main applications tagged "--launcher" of this user (the ones a launcher would see), each
// as "pid: command line".
inline std::vector<std::string> runningMainApplications() {
    std::vector<std::string> found;
    for (const pid_t pid : processesWhere([](const std::vector<std::string>& argv) {
             return fs::path{argv[0]}.filename() == "Zentravo" &&
                    std::find(argv.begin(), argv.end(), "--launcher") != argv.end();
         })) {
        std::ifstream in{"/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary};
        std::string command{std::istreambuf_iterator<char>{in}, {}};
        while (!command.empty() && command.back() == '\0') {
            command.pop_back();
        }
        std::replace(command.begin(), command.end(), '\0', ' ');
        found.push_back(std::to_string(pid) + ": " + command);
    }
    return found;
}

inline bool mainApplicationRunning() {
    return !runningMainApplications().empty();
}

// A main application of another run on this machine (another checkout's tests, a real one of
// this user) would make a launcher hand over to it and end: waits until none runs, and fails with
// a message that says so when one is still there after `patience`.
inline void waitForNoMainApplication(std::chrono::seconds patience = std::chrono::seconds{180}) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        const auto running = runningMainApplications();
        if (running.empty()) {
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error{
                "Another Zentravo main application of this user is running (pid " + running[0] +
                "); the end-to-end tests need none: end it, or run the tests in a private pid "
                "namespace"};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{250});
    }
}

// Other checkouts' tests on this machine start main applications and services too; a launcher
// test begins once none is left.
inline void waitForQuietMachine(std::chrono::seconds patience = std::chrono::seconds{180}) {
    waitForNoMainApplication(patience);
    waitForFreePort(39998, patience);
    waitForFreePort(LAUNCHER_FIXTURE_PORT, patience);
}

// An X server of the test's own (Xvfb), so that no other test's window covers the launcher's
// while it is clicked or photographed. Stopped when dropped.
class PrivateDisplay {
  public:
    PrivateDisplay() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error{"pipe failed"};
        }
        std::vector<std::string> argv{"/usr/bin/Xvfb", "-displayfd", "3",  "-screen", "0",
                                      "1280x800x24",   "-nolisten",  "tcp"};
        std::vector<char*> args;
        for (auto& a : argv) {
            args.push_back(a.data());
        }
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (rc != 0) {
            ::close(fds[0]);
            throw std::runtime_error{"cannot start Xvfb"};
        }
        std::string number;
        char c = 0;
        while (::read(fds[0], &c, 1) == 1 && c != '\n') {
            number += c;
        }
        ::close(fds[0]);
        if (number.empty()) {
            throw std::runtime_error{"Xvfb did not tell its display"};
        }
        name_ = ":" + number;
    }
    ~PrivateDisplay() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    [[nodiscard]] const std::string& name() const { return name_; }

  private:
    pid_t pid_ = -1;
    std::string name_;
};

class LauncherWorld {
  public:
    LauncherWorld() {
        for (const char* name : {"home", "data", "cache", "config", "runtime", "tmp", "root"}) {
            fs::create_directories(scratch_ / name);
        }
        fs::permissions(scratch_ / "runtime", fs::perms::owner_all);
    }
    ~LauncherWorld() { stopMainApps(); }
    LauncherWorld(const LauncherWorld&) = delete;
    LauncherWorld& operator=(const LauncherWorld&) = delete;

    static fs::path launcherExecutable() {
        return fs::path{LAUNCHER_BINARY_DIR} / "launcher" / "launcher";
    }

    // Starts the update service on the compiled-in address, serving root/ with `answer` as the
    // answer to the version request and a bundle of `version` as root/app.tar.
    // `padding` bytes appended to the program make a download that takes a while.
    UpdateService& serve(const std::string& version, const nlohmann::json& config = {},
                         std::size_t padding = 0) {
        if (padding == 0) {
            fixture::buildMainAppArchive(scratch_ / "root" / "app.tar", {.version = version});
        } else {
            const fs::path program = scratch_ / "Zentravo";
            fs::copy_file(fixture::mainAppProgram(), program);
            {
                std::ofstream out{program, std::ios::binary | std::ios::app};
                std::string block(1 << 20, '\0');
                std::uint32_t state = 2463534242u;  // incompressible enough for any transfer
                for (std::size_t done = 0; done < padding; done += block.size()) {
                    for (auto& c : block) {
                        state ^= state << 13;
                        state ^= state >> 17;
                        state ^= state << 5;
                        c = static_cast<char>(state);
                    }
                    out.write(block.data(),
                              static_cast<std::streamsize>(std::min(block.size(), padding - done)));
                }
            }
            fixture::ChildProcess tool{{fixture::mainAppBundleTool().string(), "--output",
                                        (scratch_ / "root" / "app.tar").string(), "--version",
                                        version, "--program", program.string()}};
            if (tool.waitExit(std::chrono::seconds{60}) != 0) {
                throw std::runtime_error{"mainapp_bundle failed"};
            }
        }
        answer(updateAnswer(version));
        waitForFreePort(LAUNCHER_FIXTURE_PORT);
        UpdateService::Options options;
        options.port = LAUNCHER_FIXTURE_PORT;
        options.root = scratch_ / "root";
        options.config = config.is_null() ? nlohmann::json::object() : config;
        service_ = std::make_unique<UpdateService>(options);
        return *service_;
    }
    void answer(const nlohmann::json& body) const {
        std::ofstream{scratch_ / "root" / "update.json"} << body.dump();
    }
    UpdateService& service() { return *service_; }

    // The environment of every process this world starts.
    [[nodiscard]] std::vector<std::string> environment() const {
        std::map<std::string, std::string> env;
        for (const char* name : {"PATH", "LANG", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
            if (const char* value = std::getenv(name)) {
                env[name] = value;
            }
        }
        env["DISPLAY"] = display_.name();
        env["HOME"] = (scratch_ / "home").string();
        env["XDG_DATA_HOME"] = (scratch_ / "data").string();
        env["XDG_CACHE_HOME"] = (scratch_ / "cache").string();
        env["XDG_CONFIG_HOME"] = (scratch_ / "config").string();
        env["XDG_RUNTIME_DIR"] = (scratch_ / "runtime").string();
        env["TMPDIR"] = (scratch_ / "tmp").string();
        env["LANGUAGE"] = "en";
        // No session bus: each launcher stands alone instead of meeting the test desktop's.
        env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (scratch_ / "no-bus").string();
        env["ZENTRAVO_MAINAPP_RECORD"] = mainAppRecord().string();
        env["ZENTRAVO_MAINAPP_LIFETIME_MS"] = "30000";
        for (const auto& [key, value] : extraEnvironment) {
            env[key] = value;
        }
        std::vector<std::string> out;
        for (const auto& [key, value] : env) {
            out.push_back(key + "=" + value);
        }
        return out;
    }

    // The launcher this world starts: the build tree's, or once the launchers run as another
    // user, who may not be let into the build tree (a checkout in a private folder), a copy in
    // this world with its resources beside it as in the build tree.
    [[nodiscard]] fs::path launcher() const {
        return user_ ? scratch_ / "program" / "launcher" / "launcher" : launcherExecutable();
    }

    std::unique_ptr<Process> startLauncher(const std::vector<std::string>& arguments = {},
                                           fixture::SpawnOptions options = {}) {
        std::vector<std::string> argv{launcher().string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return std::make_unique<Process>(command(argv), environment(), scratch_ / "launcher.out",
                                         std::move(options));
    }

    // Makes the launchers this world starts from now on run as user `uid` (and group `uid`), for
    // whom modes are obeyed as they are not for root, and gives the world's folders to that user
    // (what a test adds later it gives with giveToUser). The launcher they run is a copy that
    // stays this user's, like an installed one. Needs root: false elsewhere.
    bool runAsUser(uid_t uid) {
        if (::geteuid() != 0) {
            return false;
        }
        user_ = uid;
        giveToUser(scratch_.path());
        copyLauncher(scratch_ / "program");
        return true;
    }
    // `path`, and everything below it when it is a folder, made the user's the launchers run as;
    // links are changed themselves, not what they point to. Nothing when they run as this user.
    void giveToUser(const fs::path& path) const {
        if (!user_) {
            return;
        }
        const auto give = [this](const fs::path& one) {
            if (::lchown(one.c_str(), *user_, *user_) != 0) {
                throw std::runtime_error{"cannot give " + one.string() + " to the test user"};
            }
        };
        give(path);
        if (fs::is_directory(fs::symlink_status(path))) {
            for (const auto& entry : fs::recursive_directory_iterator{path}) {
                give(entry.path());
            }
        }
    }
    // `argv` as started for the user the launchers run as.
    [[nodiscard]] std::vector<std::string> command(std::vector<std::string> argv) const {
        if (user_) {
            const std::string id = std::to_string(*user_);
            argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id,
                                       "--clear-groups", "--"});
        }
        return argv;
    }

    // The main-application stand-in, started as a running instance (tagged "--launcher").
    std::unique_ptr<Process> startMainApp() {
        auto app = std::make_unique<Process>(
            std::vector<std::string>{fixture::mainAppProgram().string(), "--launcher"},
            environment(), scratch_ / "mainapp.out");
        if (!fixture::waitForRecord(mainAppRecord(), "listening", std::chrono::seconds{10})) {
            throw std::runtime_error{"the main application stand-in did not listen"};
        }
        return app;
    }

    [[nodiscard]] fs::path logFile() const {
        return scratch_ / "data" / "ZentravoV3" / "logs" / "launcher.log";
    }
    // The log's messages, without spdlog's time and level prefix.
    [[nodiscard]] std::vector<std::string> logMessages() const {
        std::vector<std::string> out;
        std::ifstream in{logFile()};
        for (std::string line; std::getline(in, line);) {
            // "[date time] [logger] [level] message"
            std::size_t at = 0;
            for (int i = 0; i < 3 && at != std::string::npos; ++i) {
                at = line.find("] ", at);
                if (at != std::string::npos) {
                    at += 2;
                }
            }
            out.push_back(at == std::string::npos ? line : line.substr(at));
        }
        return out;
    }
    [[nodiscard]] std::string logText() const {
        std::ifstream in{logFile()};
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    [[nodiscard]] bool logHas(const std::string& message) const {
        const auto all = logMessages();
        return std::find(all.begin(), all.end(), message) != all.end();
    }
    bool waitForLog(const std::string& message, std::chrono::milliseconds timeout) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!logHas(message)) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds{50});
        }
        return true;
    }

    [[nodiscard]] fs::path mainAppRecord() const { return scratch_ / "mainapp.jsonl"; }
    // The main application's "start" record, once one comes; none when `launcher` ends or
    // `patience` runs out first.
    [[nodiscard]] std::optional<nlohmann::json> waitForMainAppStart(Process& launcher,
                                                                    std::chrono::seconds patience) {
        std::optional<nlohmann::json> start;
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (!start && !launcher.waitExit(std::chrono::milliseconds{0}) &&
               std::chrono::steady_clock::now() < deadline) {
            start = fixture::waitForRecord(mainAppRecord(), "start", std::chrono::milliseconds{50});
        }
        return start;
    }
    [[nodiscard]] std::vector<nlohmann::json> mainAppEntries(const std::string& type) const {
        std::vector<nlohmann::json> out;
        for (auto& entry : fixture::readRecord(mainAppRecord())) {
            if (entry.is_object() && entry.value("type", "") == type) {
                out.push_back(entry);
            }
        }
        return out;
    }
    // The events the main application received, parsed.
    [[nodiscard]] std::vector<nlohmann::json> mainAppEvents() const {
        std::vector<nlohmann::json> out;
        for (const auto& entry : mainAppEntries("event")) {
            out.push_back(nlohmann::json::parse(entry.value("data", ""), nullptr, false));
        }
        return out;
    }
    void stopMainApps() {
        for (const auto& start : mainAppEntries("start")) {
            const pid_t pid = start.value("pid", 0);
            if (pid > 0 && ::kill(pid, SIGKILL) == 0) {
                int status = 0;
                ::waitpid(pid, &status, WNOHANG);
                waitUntilGone(pid);
            }
        }
    }

    // Until the process has ended (a zombie holds no socket and shows no command line).
    static void waitUntilGone(pid_t pid) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{5};
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream in{"/proc/" + std::to_string(pid) + "/stat"};
            std::string stat;
            if (!std::getline(in, stat)) {
                return;
            }
            const auto close = stat.rfind(')');
            if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z') {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds{10});
        }
    }

    // The analytics event types the service received, in order.
    [[nodiscard]] std::vector<std::string> analyticsEventTypes() const {
        std::vector<std::string> out;
        for (const auto& record : service_->recordsFor("/2/httpapi")) {
            const auto body = nlohmann::json::parse(record.value("body", ""), nullptr, false);
            if (body.is_object() && body.contains("events")) {
                for (const auto& event : body["events"]) {
                    out.push_back(event.value("event_type", ""));
                }
            }
        }
        return out;
    }

    [[nodiscard]] fs::path installedBundle() const {
        return scratch_ / "data" / "ZentravoV3" / "app" / "last" / "Zentravo.app";
    }
    [[nodiscard]] const fs::path& path() const { return scratch_.path(); }
    [[nodiscard]] const std::string& display() const { return display_.name(); }

    std::map<std::string, std::string> extraEnvironment;

  private:
    // The build tree's launcher and resources under `to`, which every user may read and enter
    // whatever the umask.
    static void copyLauncher(const fs::path& to) {
        const fs::path build{LAUNCHER_BINARY_DIR};
        fs::create_directories(to / "launcher");
        fs::copy_file(launcherExecutable(), to / "launcher" / "launcher");
        fs::copy(build / "resources", to / "resources", fs::copy_options::recursive);
        const auto open = [](const fs::path& path) {
            fs::permissions(
                path, fs::is_directory(fs::symlink_status(path)) || path.filename() == "launcher"
                          ? fs::perms(0755)
                          : fs::perms(0644));
        };
        open(to);
        for (const auto& entry : fs::recursive_directory_iterator{to}) {
            open(entry.path());
        }
    }

    fixture::ScratchFolder scratch_;
    std::optional<uid_t> user_;
    PrivateDisplay display_;
    std::unique_ptr<UpdateService> service_;
};

}  // namespace launcher_test
