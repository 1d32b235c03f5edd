// The lock that keeps a user's launchers to one: where it lives, who holds it, and what a planted
// entry in its place does.
#include "platform/instance_lock.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "saved_environment.hpp"
#include "scratch_folder.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zentravo::system::InstanceLock;
using State = InstanceLock::State;

TEST(InstanceLock, OneHolderAtATimeAndALaterOneSeesWho) {
    const fixture::ScratchFolder scratch;
    const fs::path file = scratch / "launcher.lock";
    std::optional<InstanceLock> first{InstanceLock::tryAcquire(file)};
    ASSERT_EQ(first->state(), State::held);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    InstanceLock second = InstanceLock::tryAcquire(file);
    EXPECT_EQ(second.state(), State::busy);
    EXPECT_EQ(second.holder(), ::getpid());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(second.waitUntilHeld(200ms));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 200ms);

    std::thread release{[&] {
        std::this_thread::sleep_for(100ms);
        first.reset();
    }};
    EXPECT_TRUE(second.waitUntilHeld(5s));
    release.join();
    EXPECT_EQ(second.state(), State::held);
    EXPECT_EQ(InstanceLock::tryAcquire(file).state(), State::busy);
}

TEST(InstanceLock, PlantedEntriesInPlaceOfTheFileAreNeverUsed) {
    const fixture::ScratchFolder scratch;
    const fs::path victim = scratch / "victim";
    std::ofstream{victim} << "theirs";
    const fs::path link = scratch / "link.lock";
    fs::create_symlink(victim, link);
    const fs::path folder = scratch / "folder.lock";
    fs::create_directory(folder);
    const fs::path fifo = scratch / "fifo.lock";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const fs::path& planted : {link, folder, fifo}) {
        EXPECT_EQ(InstanceLock::tryAcquire(planted).state(), State::unavailable) << planted;
    }
    std::ifstream in{victim};
    const std::string kept{std::istreambuf_iterator<char>{in}, {}};
    EXPECT_EQ(kept, "theirs");
    EXPECT_EQ(InstanceLock::tryAcquire(fs::path{}).state(), State::unavailable);
    EXPECT_EQ(InstanceLock::tryAcquire(std::vector<fs::path>{}).state(), State::unavailable);
}

TEST(InstanceLock, BesideTheInstallFolderAndInAPrivateRuntimeFolder) {
    const launcher_test::SavedEnvironment environment{"XDG_DATA_HOME", "XDG_RUNTIME_DIR"};
    const fixture::ScratchFolder scratch;
    fs::create_directory(scratch / "runtime");
    fs::permissions(scratch / "runtime", fs::perms::owner_all);
    fs::create_directory(scratch / "open");
    fs::permissions(scratch / "open", fs::perms::owner_all | fs::perms::group_read |
                                          fs::perms::group_exec | fs::perms::others_read |
                                          fs::perms::others_exec);
    ::setenv("XDG_DATA_HOME", (scratch / "data").c_str(), 1);
    const fs::path inData = scratch / "data" / "ZentravoV3" / "launcher.lock";
    struct Case {
        const char* runtime;
        std::vector<fs::path> expected;
    };
    const std::string runtime = (scratch / "runtime").string();
    const std::string open = (scratch / "open").string();
    const std::string missing = (scratch / "missing").string();
    for (const Case& c :
         {Case{runtime.c_str(), {inData, scratch / "runtime" / "zentravo-launcher.lock"}},
          Case{open.c_str(), {inData}}, Case{missing.c_str(), {inData}}, Case{"runtime", {inData}},
          Case{"", {inData}}, Case{nullptr, {inData}}}) {
        if (c.runtime != nullptr) {
            ::setenv("XDG_RUNTIME_DIR", c.runtime, 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
        EXPECT_EQ(InstanceLock::defaultFiles(), c.expected) << (c.runtime ? c.runtime : "unset");
    }
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("HOME");
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    EXPECT_EQ(InstanceLock::defaultFiles(),
              std::vector<fs::path>{scratch / "runtime" / "zentravo-launcher.lock"});
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_TRUE(InstanceLock::defaultFiles().empty());
}

// Both locks are taken, always in one order; whoever holds either keeps a later one out, and
// the later one is told who holds the lock it waits for.
TEST(InstanceLock, EveryLockIsNeededAndTheBusyOneTellsItsHolder) {
    const fixture::ScratchFolder scratch;
    const fs::path install = scratch / "data" / "launcher.lock";
    const fs::path session = scratch / "runtime" / "zentravo-launcher.lock";
    const fs::path other = scratch / "other" / "zentravo-launcher.lock";
    std::optional<InstanceLock> first{InstanceLock::tryAcquire({install, session})};
    ASSERT_EQ(first->state(), State::held);

    // Another session on the same install folder, and this session on another one.
    EXPECT_EQ(InstanceLock::tryAcquire({install, other}).state(), State::busy);
    EXPECT_EQ(InstanceLock::tryAcquire({install}).state(), State::busy);
    InstanceLock sameSession = InstanceLock::tryAcquire({scratch / "elsewhere.lock", session});
    EXPECT_EQ(sameSession.state(), State::busy);
    EXPECT_EQ(sameSession.holder(), ::getpid());
    EXPECT_EQ(InstanceLock::tryAcquire(scratch / "elsewhere.lock").state(), State::busy);

    first.reset();
    EXPECT_TRUE(sameSession.waitUntilHeld(5s));
    EXPECT_EQ(InstanceLock::tryAcquire({install, session}).state(), State::busy);
}

// A lock file that cannot be had leaves the others held, but the state says not all is known;
// a lock file others could write is closed to them, and one of another user is never used.
TEST(InstanceLock, AnUnusableLockFileIsToldAndAnOpenOneIsClosed) {
    const fixture::ScratchFolder scratch;
    const fs::path planted = scratch / "planted.lock";
    fs::create_directory(planted);
    const fs::path usable = scratch / "usable.lock";
    InstanceLock partly = InstanceLock::tryAcquire({planted, usable});
    EXPECT_EQ(partly.state(), State::unavailable);
    EXPECT_EQ(InstanceLock::tryAcquire(usable).state(), State::busy);

    const fs::path open = scratch / "open.lock";
    std::ofstream{open} << "1\n";
    fs::permissions(open, fs::perms::all);
    EXPECT_EQ(InstanceLock::tryAcquire(open).state(), State::held);
    EXPECT_EQ(fs::status(open).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    if (::geteuid() == 0) {
        const fs::path foreign = scratch / "foreign.lock";
        std::ofstream{foreign} << "1\n";
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        EXPECT_EQ(InstanceLock::tryAcquire(foreign).state(), State::unavailable);
    }
}

// Where the folders are still missing (a first start), they are made for this user only, as the
// file is, whatever the umask lets through.
TEST(InstanceLock, MadeForThisUserOnlyWhateverTheUmask) {
    const fixture::ScratchFolder scratch;
    const fs::path file = scratch / "data" / "ZentravoV3" / "launcher.lock";
    const ::mode_t saved = ::umask(0);
    const InstanceLock lock = InstanceLock::tryAcquire(file);
    ::umask(saved);
    ASSERT_EQ(lock.state(), State::held);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    for (const fs::path& folder : {scratch / "data", scratch / "data" / "ZentravoV3"}) {
        EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << folder;
    }
}

}  // namespace
