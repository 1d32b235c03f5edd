#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "self_installer.hpp"

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

}  // namespace
