#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "in_child.hpp"
#include "install_folder.hpp"
#include "private_mount.hpp"
#include "scratch_folder.hpp"

namespace {

namespace fs = std::filesystem;
using zentravo::install::asideFolder;
using zentravo::install::replaceFolder;
using zentravo::install::restoreInterrupted;

// A version folder: a marker naming the version and `files` files that all carry it.
void makeVersion(const fs::path& dir, const std::string& version, int files) {
    fs::create_directories(dir / "Zentravo.app" / "Contents");
    for (int i = 0; i < files; ++i) {
        std::ofstream{dir / ("f" + std::to_string(i))} << version;
    }
    std::ofstream{dir / "Zentravo.app" / "Contents" / "version"} << version;
}

std::string read(const fs::path& file) {
    std::ifstream in{file};
    return std::string{std::istreambuf_iterator<char>{in}, {}};
}

// The version a folder holds when it is whole; empty when it is missing or mixed.
std::string wholeVersion(const fs::path& dir, int files) {
    if (!fs::is_directory(dir))
        return {};
    const std::string version = read(dir / "Zentravo.app" / "Contents" / "version");
    for (int i = 0; i < files; ++i) {
        if (read(dir / ("f" + std::to_string(i))) != version)
            return {};
    }
    return version;
}

TEST(InstallFolderTest, MovesInWhenNothingIsInstalled) {
    const fixture::ScratchFolder tmp;
    makeVersion(tmp.path() / "2.0.0", "2.0.0", 3);
    EXPECT_FALSE(replaceFolder(tmp.path() / "2.0.0", tmp.path() / "last"));
    EXPECT_EQ(wholeVersion(tmp.path() / "last", 3), "2.0.0");
    EXPECT_FALSE(fs::exists(tmp.path() / "2.0.0"));
}

TEST(InstallFolderTest, ReplacesAndRemovesThePrevious) {
    const fixture::ScratchFolder tmp;
    makeVersion(tmp.path() / "last", "1.0.0", 5);
    std::ofstream{tmp.path() / "last" / "only-in-old"} << "x";
    makeVersion(tmp.path() / "2.0.0", "2.0.0", 3);
    EXPECT_FALSE(replaceFolder(tmp.path() / "2.0.0", tmp.path() / "last"));
    EXPECT_EQ(wholeVersion(tmp.path() / "last", 3), "2.0.0");
    EXPECT_FALSE(fs::exists(tmp.path() / "last" / "only-in-old"));
    EXPECT_FALSE(fs::exists(tmp.path() / "last" / "f4"));
    EXPECT_FALSE(fs::exists(tmp.path() / "2.0.0"));
    EXPECT_EQ(std::distance(fs::directory_iterator{tmp.path()}, fs::directory_iterator{}), 1);
}

TEST(InstallFolderTest, MissingReplacementLeavesTargetAlone) {
    const fixture::ScratchFolder tmp;
    makeVersion(tmp.path() / "last", "1.0.0", 2);
    EXPECT_THROW((void)replaceFolder(tmp.path() / "absent", tmp.path() / "last"),
                 fs::filesystem_error);
    EXPECT_EQ(wholeVersion(tmp.path() / "last", 2), "1.0.0");
}

TEST(InstallFolderTest, RestoresAFolderParkedByAnInterruptedSwap) {
    const fixture::ScratchFolder tmp;
    const fs::path last = tmp.path() / "last";
    makeVersion(asideFolder(last), "1.0.0", 2);
    EXPECT_TRUE(restoreInterrupted(last));
    EXPECT_EQ(wholeVersion(last, 2), "1.0.0");
    EXPECT_FALSE(fs::exists(asideFolder(last)));

    // Cut short after the new one was in place: the parked one is just dropped.
    makeVersion(asideFolder(last), "0.9.0", 2);
    EXPECT_FALSE(restoreInterrupted(last));
    EXPECT_EQ(wholeVersion(last, 2), "1.0.0");
    EXPECT_FALSE(fs::exists(asideFolder(last)));

    EXPECT_FALSE(restoreInterrupted(tmp.path() / "nothing"));
}

// Once the two are exchanged the new version is in place, even when the previous one can neither
// be removed (a mount inside it) nor set aside (no inode left for the folder it would go to):
// that is returned, not thrown.
TEST(InstallFolderTest, APreviousVersionThatCannotGoLeavesTheSwapDone) {
    const fixture::ScratchFolder tmp;
    const fs::path app = tmp.path() / "app";
    fs::create_directories(app);
    const int code = fixture::inChild([&] {
        if (!fixture::mountPrivateTmpfs(app, "size=4m,nr_inodes=64")) {
            return 77;
        }
        makeVersion(app / "2.0.0", "2.0.0", 3);
        // The previous version holds nothing but the mount, so that its removal frees no inode.
        const fs::path mounted = app / "last" / "mounted";
        fs::create_directories(mounted);
        if (::mount("tmpfs", mounted.c_str(), "tmpfs", 0, "size=64k") != 0) {
            return 77;
        }
        int fillers = 0;
        while (::mkdir((app / ("filler" + std::to_string(fillers))).c_str(), 0700) == 0) {
            ++fillers;
        }
        if (errno != ENOSPC) {
            return 20;
        }
        std::error_code leftover;
        try {
            leftover = replaceFolder(app / "2.0.0", app / "last");
        } catch (const fs::filesystem_error&) {
            return 10;
        }
        if (!leftover) {
            return 11;
        }
        if (wholeVersion(app / "last", 3) != "2.0.0") {
            return 12;
        }
        // What could not go stays under the name the new version came by.
        return fs::is_directory(app / "2.0.0" / "mounted") ? 0 : 13;
    });
    if (code == 77) {
        GTEST_SKIP() << "cannot mount a file system here";
    }
    EXPECT_NE(code, 20) << "the file system did not run out of inodes";
    EXPECT_NE(code, 10) << "replaceFolder threw after the exchange was done";
    EXPECT_NE(code, 11) << "no error returned for the previous version left behind";
    EXPECT_EQ(code, 0);
}

// What a cut-short installation left goes; "last", or the folder it was parked in while "last" is
// missing, stays for restoreInterrupted. A link in the install folder's place is not followed.
TEST(InstallFolderTest, ClearLeftoversKeepsOnlyTheInstalledVersion) {
    const fixture::ScratchFolder tmp;
    const fs::path app = tmp.path() / "app";
    const fs::path last = app / "last";
    makeVersion(asideFolder(last), "1.0.0", 2);
    makeVersion(app / "2.0.0", "1.0.0", 50);
    std::ofstream{app / "stray"} << "x";
    fs::create_directories(tmp.path() / "kept");
    fs::create_directory_symlink(tmp.path() / "kept", app / "link");
    zentravo::install::clearLeftovers(app);
    EXPECT_FALSE(fs::exists(fs::symlink_status(app / "2.0.0")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(app / "stray")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(app / "link")));
    EXPECT_TRUE(fs::is_directory(tmp.path() / "kept"));
    EXPECT_TRUE(restoreInterrupted(last));
    EXPECT_EQ(wholeVersion(last, 2), "1.0.0");

    makeVersion(app / "3.0.0", "3.0.0", 2);
    zentravo::install::clearLeftovers(app);
    EXPECT_EQ(wholeVersion(last, 2), "1.0.0");
    EXPECT_FALSE(fs::exists(app / "3.0.0"));
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator{app}) {
        ++entries;
    }
    EXPECT_EQ(entries, 1U);

    const fs::path elsewhere = tmp.path() / "elsewhere";
    makeVersion(elsewhere / "2.0.0", "2.0.0", 2);
    fs::create_directory_symlink(elsewhere, tmp.path() / "linked-app");
    zentravo::install::clearLeftovers(tmp.path() / "linked-app");
    EXPECT_EQ(wholeVersion(elsewhere / "2.0.0", 2), "2.0.0");

    zentravo::install::clearLeftovers(tmp.path() / "missing");
}

// A process killed at any moment of the swap leaves either the old or the new version whole.
TEST(InstallFolderTest, KillAtAnyMomentLeavesAWholeVersion) {
    constexpr int kFiles = 150;
    // Kills are spread over twice the time a whole swap takes on this machine right now, so that
    // a loaded machine still sees kills both before and after the swap.
    useconds_t wholeSwap = 0;
    {
        const fixture::ScratchFolder tmp;
        makeVersion(tmp.path() / "last", "1.0.0", kFiles);
        makeVersion(tmp.path() / "2.0.0", "2.0.0", kFiles);
        const auto start = std::chrono::steady_clock::now();
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            (void)replaceFolder(tmp.path() / "2.0.0", tmp.path() / "last");
            _exit(0);
        }
        waitpid(child, nullptr, 0);
        wholeSwap = static_cast<useconds_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::steady_clock::now() - start)
                                                .count());
    }
    const useconds_t spread = std::max<useconds_t>(1500, 2 * wholeSwap);
    std::mt19937 random{12345};
    int sawOld = 0;
    int sawNew = 0;
    for (int round = 0; round < 30; ++round) {
        const fixture::ScratchFolder tmp;
        const fs::path last = tmp.path() / "last";
        makeVersion(last, "1.0.0", kFiles);
        makeVersion(tmp.path() / "2.0.0", "2.0.0", kFiles);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            (void)replaceFolder(tmp.path() / "2.0.0", last);
            _exit(0);
        }
        usleep(std::uniform_int_distribution<useconds_t>{0, spread}(random));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        restoreInterrupted(last);
        const std::string version = wholeVersion(last, kFiles);
        ASSERT_TRUE(version == "1.0.0" || version == "2.0.0") << "round " << round;
        (version == "1.0.0" ? sawOld : sawNew)++;
    }
    EXPECT_GT(sawNew, 0);
}

}  // namespace
