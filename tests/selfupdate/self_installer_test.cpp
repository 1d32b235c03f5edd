#include "self_installer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "scratch_folder.hpp"
#include "update_service.hpp"

namespace {

namespace fs = std::filesystem;
using zentravo::selfinstall::locate;

TEST(SelfInstaller, ReplacesOnlyTheZentravoBundleThatHoldsTheLauncher) {
    const auto found = locate("/opt/apps/Zentravo.app/Contents/MacOS/Zentravo");
    EXPECT_EQ(found.bundle, fs::path{"/opt/apps/Zentravo.app"});
    EXPECT_EQ(found.executable, fs::path{"/opt/apps/Zentravo.app/Contents/MacOS/Zentravo"});

    // A plain installation tree, another bundle name or a broken layout is never replaced.
    for (const char* program :
         {"/usr/local/bin/launcher", "/opt/apps/Other.app/Contents/MacOS/Zentravo",
          "/opt/apps/Zentravo.app/Contents/bin/Zentravo", "/opt/apps/Zentravo.app/MacOS/Zentravo",
          "/Zentravo.app", ""}) {
        EXPECT_THROW((void)locate(program), std::runtime_error) << program;
    }
}

// An item without a length never comes from the feed, but the download still has a ceiling: a
// server that sends past it (chunked, so it announces nothing either) is cut off there. The body
// ends not far beyond, so that a download nothing stops cannot fill the disk.
TEST(SelfInstaller, ADownloadOfNoAnnouncedSizeStopsAtTheCeiling) {
    using zentravo::selfinstall::kMaxArchiveBytes;
    launcher_test::UpdateService::Options options;
    options.config = {{"paths",
                       {{"/endless",
                         {{"status", 200},
                          {"body", "x"},
                          {"padTo", kMaxArchiveBytes + (std::int64_t{64} << 20)},
                          {"chunked", true}}}}}};
    const launcher_test::UpdateService service{options};
    const fixture::ScratchFolder dir;
    const fs::path file = dir / "update.archive";
    zentravo::appcast::Item item;
    item.shortVersionString = "1.7.0";
    item.url = service.url("/endless");
    const std::atomic<bool> cancel{false};
    const auto progress = [](std::int64_t, std::int64_t) {};

    struct Case {
        std::int64_t length;
        std::string failure;
        std::size_t requestsSoFar;
    };
    const Case cases[] = {
        {-1,
         "Download of " + item.url + " failed: answer larger than " +
             std::to_string(kMaxArchiveBytes) + " bytes",
         1},
        // Refused before any request: taking that much would be the fault itself.
        {kMaxArchiveBytes + 1,
         "The update 1.7.0 announces " + std::to_string(kMaxArchiveBytes + 1) +
             " bytes, more than a launcher archive may have",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        item.length = c.length;
        try {
            (void)zentravo::selfinstall::download(item, file, cancel, progress);
            ADD_FAILURE() << "the download did not fail";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), c.failure);
        }
        EXPECT_FALSE(fs::exists(fs::symlink_status(file))) << "what was written is removed";
        EXPECT_EQ(service.recordsFor("/endless").size(), c.requestsSoFar);
    }
}

}  // namespace
