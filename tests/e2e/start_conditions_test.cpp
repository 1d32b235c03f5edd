// The real launcher started the way session managers, launch helpers and odd shells start it:
// with standard descriptors closed, under a file-size limit, with a relative HOME.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "launcher_world.hpp"
#include "private_mount.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using launcher_test::LauncherWorld;
using launcher_test::readAll;

// Every file below `root` with its size and a hash of its bytes (short enough to show when
// they differ), every folder with an empty text.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator{root}) {
        std::string description;
        if (fs::is_regular_file(entry.symlink_status())) {
            const std::string bytes = readAll(entry.path());
            description = std::to_string(bytes.size()) + " bytes, hash " +
                          std::to_string(std::hash<std::string>{}(bytes));
        }
        out[entry.path().lexically_relative(root).string()] = std::move(description);
    }
    return out;
}

// What descriptor `fd` of process `pid` is open on.
std::string descriptorTarget(pid_t pid, int fd) {
    std::error_code error;
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), error)
        .string();
}

// Whether process `pid` ignores signal `number` (the SigIgn mask of /proc/pid/status).
std::optional<bool> ignores(pid_t pid, int number) {
    std::ifstream in{"/proc/" + std::to_string(pid) + "/status"};
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("SigIgn:")) {
            const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            return ((mask >> (number - 1)) & 1U) != 0;
        }
    }
    return std::nullopt;
}

// A start of the launcher, repeated (up to five times) while it meets another run's main
// application and hands over to it: a race with other test runs on a shared machine.
template <typename Start>
std::unique_ptr<launcher_test::Process> startAlone(const LauncherWorld& world, Start start) {
    std::unique_ptr<launcher_test::Process> launcher;
    for (int attempt = 0; attempt < 5; ++attempt) {
        launcher_test::waitForNoMainApplication();
        launcher = start();
        if (launcher->waitExit(90s) != 0 ||
            !world.logHas("Detected V3 instance already running.")) {
            break;
        }
    }
    return launcher;
}

// --- Closed standard descriptors -------------------------------------------------------------

struct ClosedCase {
    std::string name;
    std::vector<int> closed;
};

void PrintTo(const ClosedCase& c, std::ostream* os) {
    *os << c.name;
}

class ClosedDescriptors : public ::testing::TestWithParam<ClosedCase> {
  protected:
    LauncherWorld world;
};

// No file the launcher opens takes a closed descriptor's number: the lock file keeps just the
// process id, the log just log records (not libcurl's trace), and the main application gets
// /dev/null where the launcher had nothing.
TEST_P(ClosedDescriptors, InstallAndStartWithTheirOwnFilesUntouched) {
    world.serve("3.0.0");
    const auto launcher =
        startAlone(world, [&] { return world.startLauncher({}, {.closed = GetParam().closed}); });
    ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();

    EXPECT_TRUE(world.logHas("Update process finished successfully")) << world.logText();
    const auto starts = world.mainAppEntries("start");
    ASSERT_EQ(starts.size(), 1u) << world.logText();
    EXPECT_EQ(starts[0].at("argv")[0].get<std::string>().rfind(world.installedBundle().string(), 0),
              0u);

    EXPECT_EQ(readAll(world.path() / "runtime" / "zentravo-launcher.lock"),
              std::to_string(launcher->pid()) + "\n");

    // Records begin "[2026-01-31 12:00:00.123] [launcher] [info] "; some go on over more lines
    // (answers shown as indented JSON). libcurl's trace lines begin "* ", "< " or "> ".
    const std::regex record{
        R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[launcher\] \[(trace|debug|info|warning|error|critical)\] .*)"};
    std::istringstream log{world.logText()};
    std::size_t records = 0;
    std::size_t lines = 0;
    for (std::string line; std::getline(log, line); ++lines) {
        if (std::regex_match(line, record)) {
            ++records;
        } else {
            EXPECT_TRUE(lines > 0 && !line.starts_with("* ") && !line.starts_with("< ") &&
                        !line.starts_with("> "))
                << "not a log record: " << line;
        }
    }
    EXPECT_GT(records, 10u);
    EXPECT_EQ(world.logText().find("Trying 127.0.0.1"), std::string::npos);

    const pid_t app = starts[0].at("pid").get<pid_t>();
    for (const int fd : GetParam().closed) {
        EXPECT_EQ(descriptorTarget(app, fd), "/dev/null") << "descriptor " << fd;
    }
}

INSTANTIATE_TEST_SUITE_P(Launcher, ClosedDescriptors,
                         ::testing::Values(ClosedCase{"StandardError", {2}},
                                           ClosedCase{"StandardOutputAndError", {1, 2}},
                                           ClosedCase{"AllThree", {0, 1, 2}}),
                         [](const ::testing::TestParamInfo<ClosedCase>& info) {
                             return info.param.name;
                         });

// --- A file-size limit ------------------------------------------------------------------------

struct LimitCase {
    std::string name;
    rlim_t bytes;
    // Whether the log itself stays below the limit, and so can tell of the failed write.
    bool logFits;
};

void PrintTo(const LimitCase& c, std::ostream* os) {
    *os << c.name;
}

class FileSizeLimit : public ::testing::TestWithParam<LimitCase> {
  protected:
    [[nodiscard]] fs::path appFolder() const {
        return world.path() / "data" / "ZentravoV3" / "app";
    }

    LauncherWorld world;
};

// A download larger than the limit is a write error like a full disk: logged, retried, the
// installed version kept; the launcher is not killed by SIGXFSZ. What it starts gets SIGXFSZ's
// default action back.
TEST_P(FileSizeLimit, DownloadPastItFailsAndTheInstalledVersionStays) {
    const fs::path installedArchive = world.path() / "installed.tar";
    fixture::buildMainAppArchive(installedArchive, {.version = "3.0.0"});
    fixture::extractArchive(installedArchive, appFolder() / "last");
    const auto installed = snapshot(appFolder() / "last");
    const rlim_t limit = GetParam().bytes;
    world.serve("3.1.0", {}, 4 << 20);
    ASSERT_GT(fs::file_size(world.path() / "root" / "app.tar"), limit);

    launcher_test::waitForNoMainApplication();
    auto launcher = world.startLauncher({}, {.fileSizeLimit = limit});
    // The second request for the archive is the retry of the failed download.
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (world.service().recordsFor("/app.tar").size() < 2 && !launcher->waitExit(0ms) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
    }
    const auto ended = launcher->waitExit(0ms);
    ASSERT_FALSE(ended) << "the launcher ended with " << *ended << "\n" << world.logText();
    ASSERT_GE(world.service().recordsFor("/app.tar").size(), 2u) << world.logText();
    if (GetParam().logFits) {
        const auto lines = world.logMessages();
        EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                               [](const std::string& line) {
                                   return line.starts_with("Failed downloadRequest to '") &&
                                          line.ends_with(": File too large'");
                               }),
                  lines.end())
            << world.logText();
        EXPECT_TRUE(world.logHas("Retriable error executing checker")) << world.logText();
    }
    launcher->terminate();
    (void)launcher->waitExit(10s);
    launcher.reset();
    EXPECT_TRUE(world.mainAppEntries("start").empty());
    EXPECT_EQ(snapshot(appFolder() / "last"), installed);
    EXPECT_FALSE(fs::exists(appFolder() / "3.1.0"));

    // Without the limit, the next start runs what is installed.
    world.answer(launcher_test::updateAnswer("3.0.0"));
    auto next = startAlone(world, [&] { return world.startLauncher(); });
    ASSERT_EQ(next->waitExit(90s), 0) << world.logText();
    EXPECT_TRUE(world.logHas("Already have a valid version: 3.0.0")) << world.logText();
    const auto starts = world.mainAppEntries("start");
    ASSERT_EQ(starts.size(), 1u) << world.logText();
    EXPECT_EQ(starts[0].at("argv")[0].get<std::string>().rfind(world.installedBundle().string(), 0),
              0u);
    EXPECT_EQ(snapshot(appFolder() / "last"), installed);

    // The launcher ignores SIGXFSZ for itself only.
    const pid_t app = starts[0].at("pid").get<pid_t>();
    EXPECT_EQ(ignores(app, SIGXFSZ), std::optional<bool>{false});
}

INSTANTIATE_TEST_SUITE_P(Launcher, FileSizeLimit,
                         ::testing::Values(LimitCase{"OneMebibyte", rlim_t{1} << 20, true},
                                           LimitCase{"FourKibibytes", rlim_t{4} << 10, false}),
                         [](const ::testing::TestParamInfo<LimitCase>& info) {
                             return info.param.name;
                         });

// --- A relative HOME --------------------------------------------------------------------------

// HOME=relhome without XDG_DATA_HOME: the launcher works in its own folder, so every use of such a
// HOME would land there. The user database's home is a private empty file system for the test:
// the toolkit falls back to it when HOME counts as unset.
class RelativeHome : public ::testing::Test {
  protected:
    void SetUp() override {
        const passwd* user = ::getpwuid(::geteuid());
        if (user == nullptr || user->pw_dir == nullptr || !fs::is_directory(user->pw_dir)) {
            GTEST_SKIP() << "this user has no home folder to stand in for";
        }
        if (!fixture::mountPrivateTmpfs(user->pw_dir, "size=64m,mode=0700")) {
            GTEST_SKIP() << "cannot mount a file system here: " << std::strerror(errno);
        }
        mounted_ = user->pw_dir;
    }
    void TearDown() override {
        if (!mounted_.empty()) {
            ::umount2(mounted_.c_str(), MNT_DETACH);
        }
    }

    LauncherWorld world;
    fs::path mounted_;
};

TEST_F(RelativeHome, CountsAsNoHomeAndNothingLandsBesideTheLauncher) {
    const fs::path prefix = world.path() / "prefix";
    fixture::ChildProcess install{
        {LAUNCHER_CMAKE_COMMAND, "--install", LAUNCHER_BINARY_DIR, "--prefix", prefix.string()},
        {},
        {.output = world.path() / "install.out"}};
    ASSERT_EQ(install.waitExit(120s), 0);
    // An installed version where that HOME would lead: a launcher that took it would start it
    // by a relative path.
    const fs::path archive = world.path() / "installed.tar";
    fixture::buildMainAppArchive(archive, {.version = "3.0.0"});
    fixture::extractArchive(
        archive, prefix / "bin" / "relhome" / ".local" / "share" / "ZentravoV3" / "app" / "last");
    world.serve("3.0.0");
    const auto before = snapshot(prefix);

    std::vector<std::string> environment;
    for (const std::string& variable : world.environment()) {
        if (!variable.starts_with("HOME=") && !variable.starts_with("XDG_DATA_HOME=") &&
            !variable.starts_with("XDG_CACHE_HOME=") && !variable.starts_with("XDG_CONFIG_HOME=")) {
            environment.push_back(variable);
        }
    }
    environment.emplace_back("HOME=relhome");
    const fs::path output = world.path() / "launcher.out";
    launcher_test::waitForNoMainApplication();
    launcher_test::Process launcher{{(prefix / "bin" / "launcher").string()}, environment, output};
    // The log has nowhere to go but the console; the window shows the error.
    const std::string refusal =
        "No home folder: neither XDG_DATA_HOME nor HOME is set to an absolute path";
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    while (readAll(output).find(refusal) == std::string::npos && !launcher.waitExit(0ms) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_NE(readAll(output).find(refusal), std::string::npos) << readAll(output);
    EXPECT_NE(readAll(output).find("No home folder (HOME is not set to an absolute path)"),
              std::string::npos)
        << readAll(output);
    launcher.terminate();
    (void)launcher.waitExit(10s);

    for (const auto& start : world.mainAppEntries("start")) {
        ADD_FAILURE() << "started: " << start.dump();
    }
    const auto after = snapshot(prefix);
    for (const auto& [name, contents] : after) {
        EXPECT_TRUE(before.contains(name)) << "written beside the launcher: " << name;
    }
    EXPECT_EQ(after, before);
}

}  // namespace
