// One launcher per user, and a download nobody else can touch: the real launcher binary, started
// several times at once, against the local update service and the main-application stand-in.
#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "foreign_bus.hpp"
#include "foreign_listener.hpp"
#include "foreign_process.hpp"
#include "launcher_world.hpp"
#include "private_mount.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using launcher_test::LauncherWorld;
using launcher_test::Process;

const std::string kLink = "zentravo://open?game=7&mode=solo";

// A session bus of the test's own for the launchers that are to have one.
class PrivateBus {
  public:
    PrivateBus() : bus_{g_test_dbus_new(G_TEST_DBUS_NONE)} { g_test_dbus_up(bus_); }
    ~PrivateBus() {
        g_test_dbus_down(bus_);
        g_object_unref(bus_);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    [[nodiscard]] std::string address() const { return g_test_dbus_get_bus_address(bus_); }

  private:
    GTestDBus* bus_;
};

std::string readFile(const fs::path& file) {
    std::ifstream in{file, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, {}};
}

class SingleLauncher : public ::testing::Test {
  protected:
    void SetUp() override { launcher_test::waitForQuietMachine(); }

    // Other checkouts' tests start main applications too, and a launcher that sees one running
    // ends without updating: wait them out right before the launchers start.
    static void waitForNoMainApplication() { launcher_test::waitForNoMainApplication(); }

    void useBus() {
        bus_ = std::make_unique<PrivateBus>();
        world.extraEnvironment["DBUS_SESSION_BUS_ADDRESS"] = bus_->address();
    }
    // The process that holds the launchers' lock, once one of them does.
    std::optional<pid_t> lockHolder(std::chrono::milliseconds patience) const {
        const fs::path file = world.path() / "runtime" / "zentravo-launcher.lock";
        const auto deadline = std::chrono::steady_clock::now() + patience;
        for (;;) {
            const std::string text = readFile(file);
            if (!text.empty() && text.back() == '\n') {
                return std::stoi(text);
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(20ms);
        }
    }
    [[nodiscard]] std::size_t versionQueries() {
        std::size_t count = 0;
        for (const auto& record : world.service().records()) {
            const std::string path = record.value("path", "");
            count += path.starts_with("/v1/tarvine/update/") &&
                     !path.starts_with("/v1/tarvine/update/launcher/");
        }
        return count;
    }
    // One start's log from its first record to its last: nothing emptied or mixed into it.
    void expectWholeLog(std::size_t arguments) const {
        const auto lines = world.logMessages();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), "Logger configured successfully");
        EXPECT_EQ(std::count_if(
                      lines.begin(), lines.end(),
                      [](const std::string& line) { return line.starts_with("Starting with "); }),
                  1)
            << world.logText();
        EXPECT_TRUE(world.logHas("Starting with " + std::to_string(arguments + 1) + " params"));
        EXPECT_TRUE(world.logHas("Update process finished successfully")) << world.logText();
        EXPECT_EQ(lines.back(), "Message loop finished") << world.logText();
    }

    LauncherWorld world;

  private:
    std::unique_ptr<PrivateBus> bus_;
};

struct CrowdCase {
    const char* name;
    int launchers;
    bool bus;
    bool links;
};

void PrintTo(const CrowdCase& crowd, std::ostream* out) {
    *out << crowd.name;
}

class LauncherCrowd : public SingleLauncher, public ::testing::WithParamInterface<CrowdCase> {};

TEST_P(LauncherCrowd, OneUpdatesAndStartsTheApplicationTheOthersEndAtOnce) {
    const CrowdCase& crowd = GetParam();
    // The download is held back: the first launcher stays busy until the others have ended.
    world.serve("3.1.0", {{"paths", {{"/app.tar", {{"hold", true}}}}}});
    if (crowd.bus) {
        useBus();
    }
    std::map<pid_t, std::unique_ptr<Process>> launchers;
    std::map<pid_t, std::vector<std::string>> arguments;
    waitForNoMainApplication();
    for (int index = 0; index < crowd.launchers; ++index) {
        std::vector<std::string> argv;
        if (crowd.links) {
            argv.push_back(kLink + "&n=" + std::to_string(index));
        }
        auto launcher = world.startLauncher(argv);
        arguments[launcher->pid()] = argv;
        launchers[launcher->pid()] = std::move(launcher);
    }
    const auto holder = lockHolder(10s);
    ASSERT_TRUE(holder && launchers.contains(*holder));

    for (auto& [pid, launcher] : launchers) {
        if (pid != *holder) {
            EXPECT_EQ(launcher->waitExit(5s), 0) << "launcher " << pid << " did not end at once";
        }
    }
    world.service().release("/app.tar");
    ASSERT_EQ(launchers.at(*holder)->waitExit(90s), 0) << world.logText();

    EXPECT_EQ(versionQueries(), 1u);
    EXPECT_EQ(world.service().recordsFor("/app.tar").size(), 1u);
    const auto starts = world.mainAppEntries("start");
    ASSERT_EQ(starts.size(), 1u) << world.logText();
    auto expected = arguments.at(*holder);
    expected.emplace_back("--launcher");
    auto argv = starts[0].at("argv").get<std::vector<std::string>>();
    argv.erase(argv.begin());
    EXPECT_EQ(argv, expected);
    expectWholeLog(arguments.at(*holder).size());
    EXPECT_TRUE(fs::exists(world.installedBundle() / "Contents" / "MacOS" / "Zentravo"));
}

INSTANTIATE_TEST_SUITE_P(StartedTogether, LauncherCrowd,
                         ::testing::Values(CrowdCase{"TwoNoBus", 2, false, false},
                                           CrowdCase{"TwoNoBusLinks", 2, false, true},
                                           CrowdCase{"TwoBus", 2, true, false},
                                           CrowdCase{"TwoBusLinks", 2, true, true},
                                           CrowdCase{"TenNoBus", 10, false, false},
                                           CrowdCase{"TenNoBusLinks", 10, false, true},
                                           CrowdCase{"TenBus", 10, true, false},
                                           CrowdCase{"TenBusLinks", 10, true, true}),
                         [](const auto& info) { return std::string{info.param.name}; });

// A launcher that the running one started to take its place (marked so by the self-update,
// whichever process holds the lock by then) or one given exactly the restart flag waits for the
// lock and then runs; any other later launcher, one with a link that holds the restart word
// included, ends at once without a log of its own.
struct WaitCase {
    const char* name;
    bool heldByParent;  // else by an unrelated process
    std::vector<std::string> arguments;
    bool runs;
    bool relaunched = false;  // started with the self-update's relaunch mark
};

void PrintTo(const WaitCase& wait, std::ostream* out) {
    *out << wait.name;
}

class LockHandOver : public SingleLauncher, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(LockHandOver, LaunchersStartedByTheHolderOrRestartedWaitForIt) {
    const WaitCase& wait = GetParam();
    world.serve("3.1.0");
    const fs::path file = world.path() / "runtime" / "zentravo-launcher.lock";
    const fs::path release = world.path() / "release-the-lock";
    std::unique_ptr<Process> stranger;
    int fd = -1;
    if (wait.heldByParent) {
        fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        const std::string pid = std::to_string(::getpid()) + "\n";
        ASSERT_EQ(::write(fd, pid.data(), pid.size()), static_cast<ssize_t>(pid.size()));
    } else {
        // A shell that takes the lock, says so, and keeps it until the test lets it go: the
        // launcher meets it held however long the machine takes to get there.
        stranger = std::make_unique<Process>(
            std::vector<std::string>{"/bin/sh", "-c",
                                     "exec 9>>\"$0\" && /usr/bin/flock -x 9 && echo held && "
                                     "while [ ! -e \"$1\" ]; do sleep 0.05; done",
                                     file.string(), release.string()},
            world.environment(), world.path() / "flock.out");
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (readFile(world.path() / "flock.out") != "held\n") {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline)
                << "the stranger never took the lock";
            ASSERT_FALSE(stranger->waitExit(0ms)) << readFile(world.path() / "flock.out");
            std::this_thread::sleep_for(20ms);
        }
    }
    if (wait.relaunched) {
        world.extraEnvironment["ZENTRAVO_LAUNCHER_RELAUNCH"] = "1";
    }
    waitForNoMainApplication();
    auto launcher = world.startLauncher(wait.arguments);
    if (!wait.runs) {
        EXPECT_EQ(launcher->waitExit(5s), 0);
        EXPECT_FALSE(fs::exists(world.logFile()));
        EXPECT_EQ(world.service().records().size(), 0u);
        return;
    }
    EXPECT_FALSE(launcher->waitExit(1s)) << "it did not wait";
    EXPECT_FALSE(fs::exists(world.logFile()));
    if (fd >= 0) {
        ::close(fd);
    }
    if (stranger) {
        std::ofstream{release}.flush();
        ASSERT_EQ(stranger->waitExit(60s), 0);
    }
    ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();
    expectWholeLog(wait.arguments.size());
    EXPECT_EQ(world.mainAppEntries("start").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    HeldLock, LockHandOver,
    ::testing::Values(WaitCase{"RelaunchedByTheHolder", true, {}, true, true},
                      WaitCase{"RelaunchedHolderGone", false, {}, true, true},
                      WaitCase{"Restarted", false, {"--restarted"}, true},
                      WaitCase{"Unrelated", false, {}, false},
                      WaitCase{
                          "LinkWithRestartWord", false, {"zentravo://open?restarted=1"}, false}),
    [](const auto& info) { return std::string{info.param.name}; });

// A later launcher's link reaches the running main application: through the running launcher
// where a session bus joins them, else straight over the socket. Either way the running
// launcher's log stays as it was.
class LinkWhileRunning : public SingleLauncher, public ::testing::WithParamInterface<bool> {};

TEST_P(LinkWhileRunning, LaterLauncherHandsItsLinkOnAndEnds) {
    const bool bus = GetParam();
    world.serve("3.1.0", {{"paths", {{"/app.tar", {{"hold", true}}}}}});
    if (bus) {
        useBus();
    }
    auto mainApp = world.startMainApp();
    // The restart flag lets the first launcher run beside a running main application.
    auto first = world.startLauncher({"--restarted"});
    ASSERT_TRUE(world.waitForLog("About to download update", 30s)) << world.logText();
    const std::string before = world.logText();

    const std::vector<std::string> links{kLink, "zentravo://join/ROOM-42?name=\"quoted\"&x=a b"};
    for (const auto& link : links) {
        auto later = world.startLauncher({link});
        EXPECT_EQ(later->waitExit(5s), 0) << link;
    }
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    std::vector<std::string> received;
    while (received.size() < links.size() && std::chrono::steady_clock::now() < deadline) {
        received.clear();
        for (const auto& event : world.mainAppEvents()) {
            if (event.value("subType", "") == "kClientAdded") {
                received.push_back(event.value("clientName", ""));
            }
        }
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(received, links);

    const std::string after = world.logText();
    EXPECT_TRUE(after.starts_with(before)) << after;
    const auto lines = world.logMessages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Deeplink sent successfully to Zentravo V3."),
              bus ? 2 : 0)
        << after;
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& line) { return line.starts_with("Starting with "); }),
        1);
    EXPECT_FALSE(first->waitExit(0ms));
}

INSTANTIATE_TEST_SUITE_P(SessionBus, LinkWhileRunning, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Bus" : "NoBus"; });

// A running launcher that does not answer the hand-over (frozen here) does not swallow a later
// launcher's link: the link still reaches the main application over the socket.
TEST_F(SingleLauncher, LinkHandedOverToAFrozenLauncherStillReachesTheApplication) {
    world.serve("3.1.0", {{"paths", {{"/app.tar", {{"hold", true}}}}}});
    useBus();
    auto mainApp = world.startMainApp();
    auto first = world.startLauncher({"--restarted"});
    ASSERT_TRUE(world.waitForLog("About to download update", 30s)) << world.logText();
    ASSERT_EQ(::kill(first->pid(), SIGSTOP), 0);

    auto later = world.startLauncher({kLink});
    const auto exitCode = later->waitExit(30s);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    bool received = false;
    while (!received && std::chrono::steady_clock::now() < deadline) {
        for (const auto& event : world.mainAppEvents()) {
            received = received || (event.value("subType", "") == "kClientAdded" &&
                                    event.value("clientName", "") == kLink);
        }
        std::this_thread::sleep_for(50ms);
    }
    ::kill(first->pid(), SIGCONT);
    EXPECT_EQ(exitCode, 0);
    const std::string output = readFile(world.path() / "launcher.out");
    EXPECT_TRUE(received) << output;
    EXPECT_NE(output.find("did not answer the deeplink hand-over in time"), std::string::npos)
        << output;
    EXPECT_EQ(output.find("Deeplink handed to the running launcher"), std::string::npos) << output;
}

// A process of this user that is no launcher may own the launcher's name on the session bus and
// answer whatever it is asked. While no launcher holds the instance lock, a launcher given a link
// runs with it, and that process gets nothing.
TEST_F(SingleLauncher, NameOwnerThatIsNoLauncherGetsNoLink) {
    world.serve("3.1.0");
    useBus();
    const fixture::NameOwner owner{
        BUS_NAME_OWNER, world.extraEnvironment.at("DBUS_SESSION_BUS_ADDRESS"), ::geteuid()};

    waitForNoMainApplication();
    auto launcher = world.startLauncher({kLink});
    ASSERT_EQ(launcher->waitExit(90s), 0) << readFile(world.path() / "launcher.out");
    EXPECT_TRUE(world.logHas("Update process finished successfully")) << world.logText();
    const auto starts = world.mainAppEntries("start");
    ASSERT_EQ(starts.size(), 1u) << readFile(world.path() / "launcher.out");
    auto argv = starts[0].at("argv").get<std::vector<std::string>>();
    argv.erase(argv.begin());
    EXPECT_EQ(argv, (std::vector<std::string>{kLink, "--launcher"}));
    EXPECT_TRUE(fs::exists(world.installedBundle() / "Contents" / "MacOS" / "Zentravo"));
    // Asked about its actions by the launcher's registration, it is handed no link.
    for (const auto& call : owner.calls()) {
        EXPECT_FALSE(call.starts_with("Open")) << call;
        EXPECT_EQ(call.find("zentravo:"), std::string::npos) << call;
    }
}

// The session bus address can outlive its bus, and another local user may then serve a bus there
// and own the launcher's name. A later launcher hands its link to no such bus: the running main
// application gets it over the socket.
TEST_F(SingleLauncher, LaterLauncherPassesAnotherUsersBusByAndSendsItsLinkDirectly) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "serving a bus as another user needs root";
    }
    world.serve("3.1.0", {{"paths", {{"/app.tar", {{"hold", true}}}}}});
    auto mainApp = world.startMainApp();
    auto first = world.startLauncher({"--restarted"});
    ASSERT_TRUE(world.waitForLog("About to download update", 30s)) << world.logText();
    const fixture::BusDaemon bus{fixture::kNobody};
    const fixture::NameOwner owner{BUS_NAME_OWNER, bus.address(), fixture::kNobody};

    world.extraEnvironment["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
    auto later = world.startLauncher({kLink});
    EXPECT_EQ(later->waitExit(30s), 0);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    bool received = false;
    while (!received && std::chrono::steady_clock::now() < deadline) {
        for (const auto& event : world.mainAppEvents()) {
            received = received || (event.value("subType", "") == "kClientAdded" &&
                                    event.value("clientName", "") == kLink);
        }
        std::this_thread::sleep_for(50ms);
    }
    const std::string output = readFile(world.path() / "launcher.out");
    EXPECT_TRUE(received) << output;
    EXPECT_NE(output.find("The session bus is served by user 65534, not by this user"),
              std::string::npos)
        << output;
    EXPECT_TRUE(owner.calls().empty()) << owner.calls().front();
    EXPECT_FALSE(first->waitExit(0ms));
}

// A session bus served by another local user is refused, and its going away later ends nothing:
// the launcher installs and starts its main application with the link.
TEST_F(SingleLauncher, RefusedSessionBusGoingAwayDoesNotEndTheLauncher) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "serving a bus as another user needs root";
    }
    world.serve("3.1.0", {{"paths", {{"/app.tar", {{"hold", true}}}}}});
    std::optional<fixture::BusDaemon> bus{std::in_place, fixture::kNobody};
    world.extraEnvironment["DBUS_SESSION_BUS_ADDRESS"] = bus->address();
    waitForNoMainApplication();
    auto launcher = world.startLauncher({kLink});
    ASSERT_TRUE(world.waitForLog("About to download update", 30s)) << world.logText();
    EXPECT_TRUE(
        world.logHas("The session bus is served by user 65534, not by this user: not trusted"))
        << world.logText();

    bus.reset();
    world.service().release("/app.tar");
    ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();
    EXPECT_TRUE(world.logHas("Update process finished successfully")) << world.logText();
    const auto starts = world.mainAppEntries("start");
    ASSERT_EQ(starts.size(), 1u) << world.logText();
    auto argv = starts[0].at("argv").get<std::vector<std::string>>();
    argv.erase(argv.begin());
    EXPECT_EQ(argv, (std::vector<std::string>{kLink, "--launcher"}));
    EXPECT_TRUE(fs::exists(world.installedBundle() / "Contents" / "MacOS" / "Zentravo"));
}

// Launchers on one install folder keep each other out whatever their sessions: while one started
// from the desktop downloads, one started without a runtime folder (cron, a plain login) and one
// of another session end at once, and the first's log stays whole.
TEST_F(SingleLauncher, OneLauncherPerInstallFolderWhateverTheRuntimeFolder) {
    world.serve("3.1.0", {{"paths", {{"/app.tar", {{"hold", true}}}}}});
    waitForNoMainApplication();
    auto first = world.startLauncher();
    ASSERT_TRUE(world.waitForLog("About to download update", 30s)) << world.logText();

    auto environment = world.environment();
    std::erase_if(environment,
                  [](const std::string& entry) { return entry.starts_with("XDG_RUNTIME_DIR="); });
    Process withoutRuntime{world.command({LauncherWorld::launcherExecutable().string()}),
                           environment, world.path() / "launcher.out"};
    EXPECT_EQ(withoutRuntime.waitExit(30s), 0) << readFile(world.path() / "launcher.out");

    const fs::path otherRuntime = world.path() / "other-runtime";
    fs::create_directory(otherRuntime);
    fs::permissions(otherRuntime, fs::perms::owner_all);
    world.extraEnvironment["XDG_RUNTIME_DIR"] = otherRuntime.string();
    auto otherSession = world.startLauncher();
    EXPECT_EQ(otherSession->waitExit(30s), 0) << readFile(world.path() / "launcher.out");

    world.service().release("/app.tar");
    ASSERT_EQ(first->waitExit(90s), 0) << world.logText();
    EXPECT_EQ(versionQueries(), 1u);
    EXPECT_EQ(world.service().recordsFor("/app.tar").size(), 1u);
    EXPECT_EQ(world.mainAppEntries("start").size(), 1u) << world.logText();
    expectWholeLog(0);
    EXPECT_EQ(launcher_test::occurrences(readFile(world.path() / "launcher.out"),
                                         "Another launcher is running (process " +
                                             std::to_string(first->pid()) + "). Closing..."),
              2u)
        << readFile(world.path() / "launcher.out");
}

// Another local user's entry under the download's old name in the shared temporary folder.
struct PlantCase {
    const char* name;
    void (*plant)(const fs::path& at, const fs::path& victim);
    bool (*unchanged)(const fs::path& at, const fs::path& victim);
};

void PrintTo(const PlantCase& plant, std::ostream* out) {
    *out << plant.name;
}

class PlantedInSharedTemp : public SingleLauncher,
                            public ::testing::WithParamInterface<PlantCase> {};

TEST_P(PlantedInSharedTemp, ChangesNothing) {
    world.serve("3.1.0");
    const fs::path planted = world.path() / "tmp" / "app.tar";
    const fs::path victim = world.path() / "tmp" / "victim";
    std::ofstream{victim} << "theirs";
    GetParam().plant(planted, victim);

    waitForNoMainApplication();
    auto launcher = world.startLauncher();
    ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();
    EXPECT_TRUE(world.logHas("Update process finished successfully")) << world.logText();
    EXPECT_EQ(world.mainAppEntries("start").size(), 1u);
    EXPECT_TRUE(GetParam().unchanged(planted, victim));
    EXPECT_EQ(readFile(victim), "theirs");
}

INSTANTIATE_TEST_SUITE_P(
    OldStagingName, PlantedInSharedTemp,
    ::testing::Values(
        PlantCase{"Directory",
                  [](const fs::path& at, const fs::path&) { fs::create_directory(at); },
                  [](const fs::path& at, const fs::path&) {
                      return fs::is_directory(fs::symlink_status(at)) && fs::is_empty(at);
                  }},
        PlantCase{
            "Symlink",
            [](const fs::path& at, const fs::path& victim) { fs::create_symlink(victim, at); },
            [](const fs::path& at, const fs::path& victim) {
                return fs::is_symlink(at) && fs::read_symlink(at) == victim;
            }},
        PlantCase{"Fifo", [](const fs::path& at, const fs::path&) { ::mkfifo(at.c_str(), 0666); },
                  [](const fs::path& at, const fs::path&) {
                      return fs::is_fifo(fs::symlink_status(at));
                  }}),
    [](const auto& info) { return std::string{info.param.name}; });

TEST_F(SingleLauncher, KilledRunsLeftoversAreClearedAndTheDownloadFolderIsPrivate) {
    world.serve("3.1.0");
    const fs::path staging = world.path() / "data" / "ZentravoV3" / "download";
    fs::create_directories(staging / "half" / "done");
    std::ofstream{staging / "app.tar", std::ios::binary} << std::string(4096, '\0');
    std::ofstream{staging / "half" / "done" / "file"} << "x";
    fs::create_symlink(world.path() / "tmp", staging / "link");
    fs::permissions(staging, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);

    waitForNoMainApplication();
    auto launcher = world.startLauncher();
    ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();
    EXPECT_TRUE(world.logHas("Update process finished successfully")) << world.logText();
    EXPECT_EQ(world.mainAppEntries("start").size(), 1u);
    ASSERT_TRUE(fs::is_directory(fs::symlink_status(staging)));
    EXPECT_EQ(fs::status(staging).permissions(), fs::perms::owner_all);
    EXPECT_TRUE(fs::is_empty(staging));
    EXPECT_TRUE(fs::is_directory(world.path() / "tmp"));  // the link went, not its target
    EXPECT_NE(world.logText().find("to path: " + (staging / "app.tar").string()),
              std::string::npos);
}

// The download folder matters only to a download: an up-to-date installation starts even where
// the folder cannot be made private (here a read-only file system in its place).
TEST_F(SingleLauncher, UnusableDownloadFolderDoesNotStopAnUpToDateStart) {
    const fs::path app = world.path() / "data" / "ZentravoV3" / "app";
    fixture::buildMainAppArchive(world.path() / "installed.tar", {.version = "3.0.0"});
    fixture::extractArchive(world.path() / "installed.tar", app / "last");
    world.serve("3.0.0");
    const fs::path staging = world.path() / "data" / "ZentravoV3" / "download";
    fs::create_directories(staging);
    if (!fixture::mountPrivateTmpfs(staging, "mode=0755", MS_RDONLY)) {
        GTEST_SKIP() << "cannot mount a file system here: " << std::strerror(errno);
    }
    struct Unmount {
        fs::path at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{staging};

    waitForNoMainApplication();
    auto launcher = world.startLauncher();
    ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();
    EXPECT_TRUE(world.logHas("Already have a valid version: 3.0.0")) << world.logText();
    EXPECT_TRUE(world.logHas("Update process finished successfully")) << world.logText();
    EXPECT_EQ(world.mainAppEntries("start").size(), 1u) << world.logText();
}

// Another local user's main application (or a process dressed as one) is not this user's: the
// launcher still installs and starts its own.
TEST_F(SingleLauncher, AnotherUsersRunningApplicationDoesNotStopThisOne) {
    world.serve("3.1.0");
    const fixture::ForeignProcess foreign{"/bin/sh", fixture::taggedMainApplicationCommand(),
                                          fixture::kNobody};
    if (!foreign.started()) {
        GTEST_SKIP() << "starting a process of another user needs root";
    }
    waitForNoMainApplication();
    auto launcher = world.startLauncher();
    ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();
    EXPECT_FALSE(world.logHas("Detected V3 instance already running.")) << world.logText();
    EXPECT_TRUE(world.logHas("Update process finished successfully")) << world.logText();
    EXPECT_EQ(world.mainAppEntries("start").size(), 1u);
    EXPECT_TRUE(fs::exists(world.installedBundle() / "Contents" / "MacOS" / "Zentravo"));
}

// Another local user's listener on the main application's port, answering as the main
// application would, is not this user's main application: the launcher given a deep link installs
// and starts its own, and the link with its token goes nowhere else.
TEST_F(SingleLauncher, AnotherUsersListenerOnTheApplicationPortGetsNothing) {
    world.serve("3.1.0");
    // The started application listens only after a while, once the stranger has gone, so the
    // launcher's wait after the start meets this user's own application in the end.
    world.extraEnvironment["ZENTRAVO_MAINAPP_START_DELAY_MS"] = "8000";
    fixture::ForeignListener stranger{39998, fixture::kNobody, "CorvantaV3_OK"};
    if (!stranger.started()) {
        GTEST_SKIP() << "a listener of another user needs root: "
                     << std::strerror(stranger.error());
    }
    const std::string link = "zentravo://open?token=9c1e-secret-token";
    waitForNoMainApplication();
    auto launcher = world.startLauncher({link});
    const auto start = world.waitForMainAppStart(*launcher, 90s);
    stranger.stop();
    const auto asked = stranger.connections();
    ASSERT_TRUE(start) << "no main application started\n" << world.logText();

    ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();
    // The stranger was reached, and given nothing.
    EXPECT_FALSE(asked.empty());
    for (const auto& connection : asked) {
        EXPECT_EQ(connection.received, "");
    }
    const auto argv = start->at("argv").get<std::vector<std::string>>();
    EXPECT_EQ(std::vector<std::string>(argv.begin() + 1, argv.end()),
              (std::vector<std::string>{link, "--launcher"}));
    EXPECT_TRUE(fs::exists(world.installedBundle() / "Contents" / "MacOS" / "Zentravo"));
    EXPECT_FALSE(world.logHas("Detected V3 instance already running.")) << world.logText();
    EXPECT_FALSE(world.logHas("Deeplink sent successfully to Zentravo V3.")) << world.logText();
    const auto lines = world.logMessages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "Port 39998 is held by another user's process (uid 65534); it is not "
                         "taken for the main application"),
              1)
        << world.logText();
    // This user's own application got the link.
    EXPECT_TRUE(world.logHas("V3 App running detected. Deeplink '" + link + "' sent successfully"))
        << world.logText();
    bool received = false;
    for (const auto& event : world.mainAppEvents()) {
        received = received || (event.value("subType", "") == "kClientAdded" &&
                                event.value("clientName", "") == link);
    }
    EXPECT_TRUE(received) << readFile(world.mainAppRecord());
}

// Relative locations count as unset: nothing lands in the launcher's own folder, where the
// launcher works.
TEST_F(SingleLauncher, RelativeXdgAndTemporaryFoldersAreIgnored) {
    world.serve("3.1.0");
    const std::string tag = "relative-" + std::to_string(::getpid());
    for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "TMPDIR"}) {
        world.extraEnvironment[name] = tag + "-" + name;
    }
    world.extraEnvironment["XDG_RUNTIME_DIR"] = tag + "-runtime";
    waitForNoMainApplication();
    auto launcher = world.startLauncher();
    ASSERT_EQ(launcher->waitExit(90s), 0);

    const fs::path data = world.path() / "home" / ".local" / "share" / "ZentravoV3";
    const std::string log = readFile(data / "logs" / "launcher.log");
    EXPECT_NE(log.find("Update process finished successfully"), std::string::npos) << log;
    EXPECT_TRUE(fs::exists(data / "app" / "last" / "Zentravo.app"));
    EXPECT_EQ(world.mainAppEntries("start").size(), 1u);
    const fs::path launcherFolder = LauncherWorld::launcherExecutable().parent_path();
    for (const auto& entry : fs::directory_iterator{launcherFolder}) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(tag)) << entry.path();
    }
    for (const auto& entry : fs::directory_iterator{fs::current_path()}) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(tag)) << entry.path();
    }
}

}  // namespace
