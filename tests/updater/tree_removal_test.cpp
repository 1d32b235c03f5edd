// Removal of unpacked trees: any depth under a small descriptor limit, links never followed,
// folders that shut their owner out opened up, and what cannot go set aside.
#include "tree_removal.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "deep_tree.hpp"
#include "file_descriptor.hpp"
#include "foreign_process.hpp"
#include "in_child.hpp"
#include "log_capture.hpp"
#include "private_mount.hpp"
#include "scratch_folder.hpp"

namespace {

namespace fs = std::filesystem;
namespace removal = zentravo::removal;

using fixture::inChild;

TEST(TreeRemoval, AnyDepthGoesUnderASmallDescriptorLimit) {
    const fixture::ScratchFolder tmp;
    const fs::path top = tmp.path() / "3.1.0";
    ASSERT_TRUE(fixture::makeDeepTree(top / "Zentravo.app", 1100));
    fs::create_directories(top / "wide");
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(fixture::makeDeepTree(top / "wide" / std::to_string(i), 20));
    }
    // Links are removed, not followed; folders that shut their owner out are opened up.
    std::ofstream{tmp.path() / "outside"} << "kept";
    fs::create_directories(tmp.path() / "outside-folder" / "sub");
    fs::create_symlink(tmp.path() / "outside", top / "file-link");
    fs::create_symlink(tmp.path() / "outside-folder", top / "folder-link");
    fs::create_directories(top / "closed" / "inner");
    std::ofstream{top / "closed" / "inner" / "file"} << "x";
    fs::permissions(top / "closed" / "inner", fs::perms::owner_read | fs::perms::owner_exec);
    fs::permissions(top / "closed", fs::perms::none);

    const int code = inChild([&] {
        // Far below the depth of the tree.
        const rlimit limit{64, 64};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return 10;
        }
        const std::error_code ec = removal::removeTree(top);
        return ec ? 20 + (ec.value() % 100) : 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(top)));
    EXPECT_TRUE(fs::exists(tmp.path() / "outside"));
    EXPECT_TRUE(fs::is_directory(tmp.path() / "outside-folder" / "sub"));
    // Single entries and missing paths.
    EXPECT_FALSE(removal::removeTree(tmp.path() / "outside"));
    EXPECT_FALSE(fs::exists(tmp.path() / "outside"));
    EXPECT_FALSE(removal::removeTree(tmp.path() / "missing"));
}

// A tree that cannot be removed (here: a mount inside it) frees its name all the same, and goes
// once it can.
TEST(TreeRemoval, WhatCannotGoIsSetAsideAndRemovedLater) {
    const fixture::ScratchFolder tmp;
    const fs::path app = tmp.path() / "app";
    const fs::path version = app / "3.1.0";
    fs::create_directories(version / "Zentravo.app" / "mounted");
    std::ofstream{version / "Zentravo.app" / "file"} << "x";
    const int code = inChild([&] {
        if (!fixture::mountPrivateTmpfs(version / "Zentravo.app" / "mounted", "size=1m")) {
            return 77;
        }
        const std::error_code removed = removal::removeOrDiscard(version);
        if (!removed) {
            return 10;  // a mount point cannot be removed
        }
        if (fs::exists(fs::symlink_status(version))) {
            return 11;
        }
        std::size_t discarded = 0;
        for (const auto& entry : fs::directory_iterator{app}) {
            discarded += entry.path().filename().string().starts_with(".discarded-3.1.0-") ? 1 : 0;
        }
        if (discarded != 1) {
            return 12;
        }
        if (!removal::removeDiscarded(app)) {
            return 13;  // still mounted
        }
        for (const auto& entry : fs::directory_iterator{app}) {
            ::umount2((entry.path() / "Zentravo.app" / "mounted").c_str(), MNT_DETACH);
        }
        return removal::removeDiscarded(app) ? 14 : 0;
    });
    if (code == 77) {
        GTEST_SKIP() << "cannot mount a file system here";
    }
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(fs::is_empty(app));
}

// Mounts inside a tree stay with all they hold: a tmpfs, a bind mount of a folder elsewhere on
// the tree's own file system, a file bound over a file, and a tmpfs deeper than the listings kept
// open. Everything else of the tree goes; once they are unmounted, the rest goes too.
TEST(TreeRemoval, StaysOnTheFileSystemAndMountOfTheTree) {
    const fixture::ScratchFolder tmp;
    const fs::path top = tmp.path() / "3.1.0";
    const fs::path elsewhere = tmp.path() / "elsewhere";
    fs::create_directories(elsewhere / "sub");
    std::ofstream{elsewhere / "file"} << "bound";
    std::ofstream{elsewhere / "sub" / "file"} << "bound";
    std::ofstream{tmp.path() / "single"} << "single";
    fs::create_directories(top / "a" / "bound");
    fs::create_directories(top / "b" / "tmpfs");
    fs::create_directories(top / "own" / "sub");
    for (const fs::path& file : {top / "file", top / "a" / "file", top / "b" / "file",
                                 top / "own" / "sub" / "file", top / "a" / "single"}) {
        std::ofstream{file} << "own";
    }
    // Each level of the deep part holds files and a folder of its own beside the way down.
    fs::path deep = top / "deep";
    for (int level = 0; level < 24; ++level) {
        fs::create_directories(deep / "beside");
        std::ofstream{deep / "file"} << "own";
        std::ofstream{deep / "beside" / "file"} << "own";
        deep /= "d";
    }
    fs::create_directories(deep / "tmpfs");
    const std::vector<fs::path> mountPoints{top / "a" / "bound", top / "a" / "single",
                                            top / "b" / "tmpfs", deep / "tmpfs"};

    const int code = inChild([&] {
        if (!fixture::enterPrivateMounts() ||
            ::mount("tmpfs", mountPoints[2].c_str(), "tmpfs", 0, "size=1m") != 0) {
            return 77;
        }
        if (::mount(elsewhere.c_str(), mountPoints[0].c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount((tmp.path() / "single").c_str(), mountPoints[1].c_str(), nullptr, MS_BIND,
                    nullptr) != 0 ||
            ::mount("tmpfs", mountPoints[3].c_str(), "tmpfs", 0, "size=1m") != 0) {
            return 9;
        }
        fs::create_directories(mountPoints[2] / "inside");
        std::ofstream{mountPoints[2] / "inside" / "file"} << "mounted";
        std::ofstream{mountPoints[3] / "file"} << "mounted";

        const LogCapture log;
        if (removal::removeTree(top) != std::errc::device_or_resource_busy) {
            return 10;
        }
        // What is left: the mount points, what they hold, and the folders on the way to them.
        std::set<fs::path> left;
        for (const auto& entry : fs::recursive_directory_iterator{top}) {
            left.insert(entry.path());
        }
        std::set<fs::path> expected;
        for (const fs::path& at : mountPoints) {
            for (fs::path up = at; up != top; up = up.parent_path()) {
                expected.insert(up);
            }
        }
        for (const fs::path& file : {mountPoints[0] / "file", mountPoints[0] / "sub",
                                     mountPoints[0] / "sub" / "file", mountPoints[2] / "inside",
                                     mountPoints[2] / "inside" / "file", mountPoints[3] / "file"}) {
            expected.insert(file);
        }
        if (left != expected) {
            for (const fs::path& path : left) {
                std::fprintf(stderr, "%s %s\n", expected.contains(path) ? "left" : "UNEXPECTED",
                             path.c_str());
            }
            for (const fs::path& path : expected) {
                if (!left.contains(path)) {
                    std::fprintf(stderr, "MISSING %s\n", path.c_str());
                }
            }
            return 20;
        }
        const auto read = [](const fs::path& file) {
            std::ifstream in{file};
            return std::string{std::istreambuf_iterator<char>{in}, {}};
        };
        if (read(mountPoints[0] / "sub" / "file") != "bound" ||
            read(mountPoints[2] / "inside" / "file") != "mounted") {
            return 21;
        }
        // Each mount point is told once, however often its folder's listing is read.
        const auto lines = log.lines();
        for (const fs::path& at : mountPoints) {
            const std::string line =
                "warning Kept the mount point '" + at.string() + "' and what is mounted there";
            if (std::count(lines.begin(), lines.end(), line) != 1) {
                std::fprintf(stderr, "not logged once: %s\n", line.c_str());
                return 30;
            }
        }
        for (auto at = mountPoints.rbegin(); at != mountPoints.rend(); ++at) {
            if (::umount2(at->c_str(), 0) != 0) {
                return 40;
            }
        }
        return removal::removeTree(top) ? 41 : 0;
    });
    if (code == 77) {
        GTEST_SKIP() << "cannot mount a file system here";
    }
    EXPECT_EQ(code, 0) << "10: not refused as busy; 20: not exactly the mounts kept (see above); "
                          "21: a mount's files changed; 30: not logged";
    EXPECT_FALSE(fs::exists(fs::symlink_status(top)));
    EXPECT_TRUE(fs::exists(elsewhere / "sub" / "file"));
    EXPECT_TRUE(fs::exists(tmp.path() / "single"));
}

// A writer in the tree swaps folders that shut their owner out with links to a file outside
// while the tree is removed: whatever name the removal meets as a folder and finds a link in its
// place a moment later, the file the links point to keeps its mode.
TEST(TreeRemoval, FoldersSwappedForLinksNeverChangeWhatTheLinksPointTo) {
    const fixture::ScratchFolder tmp;
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(tmp.path().c_str(), fixture::kNobody, fixture::kNobody), 0);
    }
    constexpr int kFolders = 1;
    constexpr int kRounds = 20000;
    const fs::path outside = tmp.path() / "outside";
    const fs::path top = tmp.path() / "tree";
    const int code = inChild([&] {
        // On a file system of its own where that is allowed, as renames and removals are much
        // cheaper on a tmpfs than on a disk's journal.
        if (::geteuid() == 0 && fixture::mountPrivateTmpfs(tmp.path(), "size=16m,mode=0700") &&
            ::chown(tmp.path().c_str(), fixture::kNobody, fixture::kNobody) != 0) {
            return 9;
        }
        if (!fixture::dropRootToNobody()) {
            return 10;
        }
        std::ofstream{outside} << "kept";
        if (::chmod(outside.c_str(), 0600) != 0) {
            return 11;
        }
        const zentravo::FileDescriptor scratch{::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY)};
        if (!scratch) {
            return 12;
        }
        // One writer for all rounds, already swapping when a removal begins; it swaps only while
        // `racing`, and a pass under way ends before `pass` can be taken.
        std::atomic<bool> racing{false};
        std::atomic<bool> done{false};
        std::mutex pass;
        std::thread writer{[&] {
            while (!done.load()) {
                const std::lock_guard<std::mutex> lock{pass};
                if (!racing.load()) {
                    std::this_thread::yield();
                    continue;
                }
                for (int i = 0; i < kFolders; ++i) {
                    const std::string n = std::to_string(i);
                    (void)::renameat2(scratch.get(), ("tree/d" + n).c_str(), scratch.get(),
                                      ("tree/l" + n).c_str(), RENAME_EXCHANGE);
                }
            }
        }};
        const auto stopWriter = [&] {
            racing = false;
            const std::lock_guard<std::mutex> lock{pass};
        };
        int failed = 0;
        for (int round = 0; round < kRounds && failed == 0; ++round) {
            if (::mkdir(top.c_str(), 0700) != 0) {
                failed = 13;
                break;
            }
            for (int i = 0; i < kFolders; ++i) {
                const std::string n = std::to_string(i);
                if (::mkdirat(scratch.get(), ("tree/d" + n).c_str(), 0) != 0 ||
                    ::symlinkat(outside.c_str(), scratch.get(), ("tree/l" + n).c_str()) != 0) {
                    failed = 13;
                }
            }
            racing = true;
            (void)removal::removeTree(top);  // may well fail: the tree changes under it
            stopWriter();
            if (removal::removeTree(top)) {
                failed = 14;
            }
            struct stat st {};
            if (::stat(outside.c_str(), &st) != 0) {
                failed = 15;
            } else if ((st.st_mode & 07777) != 0600) {
                std::fprintf(stderr, "round %d: the mode of the file outside is now %o\n", round,
                             static_cast<unsigned>(st.st_mode & 07777));
                failed = 20;
            }
        }
        done = true;
        writer.join();
        return failed;
    });
    EXPECT_EQ(code, 0) << "20: the removal changed the mode of the file outside the tree";
}

// Only folders of this user's own are opened up: another user's folder that root's removal
// cannot take away (a mount inside it stays) keeps its mode.
TEST(TreeRemoval, AnotherUsersFolderKeepsItsMode) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a folder to another user needs root";
    }
    const fixture::ScratchFolder tmp;
    const fs::path top = tmp.path() / "3.1.0";
    const fs::path theirs = top / "theirs";
    fs::create_directories(theirs / "mounted");
    ASSERT_EQ(::chown(theirs.c_str(), fixture::kNobody, fixture::kNobody), 0);
    ASSERT_EQ(::chmod(theirs.c_str(), 0500), 0);
    const int code = inChild([&] {
        if (!fixture::mountPrivateTmpfs(theirs / "mounted", "size=1m")) {
            return 77;
        }
        if (!removal::removeTree(top)) {
            return 10;  // a mount point cannot be removed
        }
        struct stat st {};
        if (::stat(theirs.c_str(), &st) != 0) {
            return 11;
        }
        return (st.st_mode & 07777) == 0500 ? 0 : 20;
    });
    if (code == 77) {
        GTEST_SKIP() << "cannot mount a file system here";
    }
    EXPECT_EQ(code, 0) << "20: another user's folder had its mode changed";
}

}  // namespace
