// Finding the main application in the process table: a fixture /proc tree for the edge cases, and
// the real stand-in program started from its bundle.
#include "platform/instance_detection.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <optional>

#include "foreign_process.hpp"
#include "mainapp_fixture.hpp"
#include "scratch_folder.hpp"
#include "system.hpp"

namespace {

using namespace std::chrono_literals;
using zentravo::system::findTaggedMainApplications;

const std::string kApp =
    "/home/u/.local/share/ZentravoV3/app/last/Zentravo.app/Contents/MacOS/Zentravo";

constexpr uid_t kUser = 1000;

struct Process {
    std::string pid;
    std::vector<std::string> argv;  // written NUL-separated, as the kernel does
    std::optional<uid_t> uid = kUser;  // real uid in the status file; none: no status file
};

void writeProcTree(const std::filesystem::path& root, const std::vector<Process>& processes) {
    for (const auto& process : processes) {
        std::filesystem::create_directories(root / process.pid);
        std::ofstream out{root / process.pid / "cmdline", std::ios::binary};
        for (const auto& argument : process.argv) {
            out << argument << '\0';
        }
        if (process.uid) {
            // Real, effective, saved and file-system uid, as the kernel writes them.
            std::ofstream{root / process.pid / "status"}
                << "Name:\tZentravo\nUmask:\t0022\nState:\tS (sleeping)\nPid:\t" << process.pid
                << "\nUid:\t" << *process.uid << "\t0\t0\t0\nGid:\t100\t100\t100\t100\n";
        }
    }
}

TEST(FindTaggedMainApplications, ProcessTableCases) {
    const std::string longFolder(150, 'x');  // pushes the tag across a 128-byte boundary
    struct Case {
        const char* name;
        std::vector<Process> processes;
        std::vector<pid_t> expected;
    };
    const std::vector<Case> cases{
        {"empty table", {}, {}},
        {"tagged main application", {{"4711", {kApp, "--launcher"}}}, {4711}},
        {"own process is skipped", {{"1000", {kApp, "--launcher"}}}, {}},
        {"deep link before the tag", {{"4711", {kApp, "zentravo://open", "--launcher"}}}, {}},
        {"boot argument before the tag", {{"4711", {kApp, "boot", "--launcher"}}}, {}},
        {"started without the tag", {{"4711", {kApp}}}, {}},
        {"arguments after the tag", {{"4711", {kApp, "--launcher", "--mode=wrong"}}}, {4711}},
        {"bare executable name", {{"4711", {"Zentravo", "--launcher"}}}, {4711}},
        {"other program naming the tag",
         {{"4711", {"/usr/bin/grep", "Zentravo --launcher"}},
          {"4712", {"/opt/Zentravo.app/Contents/MacOS/ZentravoHelper", "--launcher"}}},
         {}},
        {"long command line",
         {{"4711", {"/" + longFolder + "/Zentravo.app/Contents/MacOS/Zentravo", "--launcher"}}},
         {4711}},
        {"ended process and non-process entries",
         {{"4710", {}}, {"self", {kApp, "--launcher"}}, {"12ab", {kApp, "--launcher"}}},
         {}},
        {"untagged first, tagged later",
         {{"900", {kApp, "zentravo://x", "--launcher"}}, {"4711", {kApp, "--launcher"}}},
         {4711}},
        {"another user's tagged main application",
         {{"4711", {kApp, "--launcher"}, 0}, {"4712", {kApp, "--launcher"}, kUser + 1}},
         {}},
        {"only the real uid counts",
         {{"4711", {kApp, "--launcher"}, kUser + 1}, {"4712", {kApp, "--launcher"}}},
         {4712}},
        {"owner unknown", {{"4711", {kApp, "--launcher"}, std::nullopt}}, {}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const fixture::ScratchFolder root;
        writeProcTree(root.path(), testCase.processes);
        EXPECT_EQ(findTaggedMainApplications(root.path(), 1000, kUser), testCase.expected);
    }
}

TEST(FindTaggedMainApplications, MissingProcTreeFindsNothing) {
    EXPECT_TRUE(findTaggedMainApplications("/nonexistent/proc", 1, kUser).empty());
}

TEST(CommandLineOf, JoinsArgumentsWithBlanks) {
    const fixture::ScratchFolder root;
    writeProcTree(root.path(), {{"1", {"a b", "", "c"}}});
    EXPECT_EQ(zentravo::system::commandLineOf(root / "1"), "a b  c");
    EXPECT_EQ(zentravo::system::commandLineOf(root / "2"), "");
}

class RunningMainApp : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto archive = scratch / "app.tar";
        fixture::buildMainAppArchive(archive, {"3.1.4"});
        fixture::extractArchive(archive, scratch / "last");
    }
    fixture::ChildProcess start(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), program.string());
        // A free port: these tests look at the process table, not the socket.
        return fixture::ChildProcess{arguments,
                                     {"ZENTRAVO_MAINAPP_PORT=0",
                                      "ZENTRAVO_MAINAPP_RECORD=" + (scratch / "record").string()}};
    }
    static bool listed(pid_t pid) {
        const auto found = findTaggedMainApplications("/proc", ::getpid(), ::getuid());
        return std::find(found.begin(), found.end(), pid) != found.end();
    }

    fixture::ScratchFolder scratch;
    std::filesystem::path program = scratch / "last/Zentravo.app/Contents/MacOS/Zentravo";
};

TEST_F(RunningMainApp, FoundWithTheLauncherTag) {
    auto app = start({"--launcher"});
    ASSERT_TRUE(fixture::waitForRecord(scratch / "record", "start", 10s));
    EXPECT_TRUE(listed(app.pid()));
    EXPECT_TRUE(zentravo::system::isV3AlreadyRunning());
    app.terminate();
    ASSERT_EQ(app.waitExit(5s), 0);
    EXPECT_FALSE(listed(app.pid()));
}

TEST_F(RunningMainApp, NotFoundWithoutTheTag) {
    auto withLink = start({"zentravo://open?x=1", "--launcher"});
    auto plain = start({});
    ASSERT_TRUE(fixture::waitForRecord(scratch / "record", "listening", 10s));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(listed(withLink.pid()));
    EXPECT_FALSE(listed(plain.pid()));
}

// Another user's tagged process is neither listed, nor raised, nor makes the main application
// count as running; the same command of this user's own is.
TEST_F(RunningMainApp, AnotherUsersTaggedProcessDoesNotCount) {
    const fixture::ForeignProcess foreign{"/bin/sh", fixture::taggedMainApplicationCommand(),
                                          fixture::kNobody};
    if (!foreign.started()) {
        GTEST_SKIP() << "starting a process of another user needs root";
    }
    EXPECT_FALSE(listed(foreign.pid()));
    EXPECT_FALSE(zentravo::system::isV3AlreadyRunning());
    EXPECT_FALSE(
        zentravo::system::isProcessOf("/proc/" + std::to_string(foreign.pid()), ::getuid()));

    const fixture::ForeignProcess own{"/bin/sh", fixture::taggedMainApplicationCommand(),
                                      ::getuid()};
    ASSERT_TRUE(own.started());
    EXPECT_TRUE(listed(own.pid()));
    EXPECT_TRUE(zentravo::system::isV3AlreadyRunning());
}

}  // namespace
