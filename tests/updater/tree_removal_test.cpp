// Removal of unpacked trees: any depth under a small descriptor limit, links never followed,
// folders that shut their owner out opened up, and what cannot go set aside.
#include "tree_removal.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "deep_tree.hpp"
#include "in_child.hpp"
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

}  // namespace
