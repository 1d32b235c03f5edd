// scripts/run-demo.sh against this build folder: the launcher speaks the user's language, and the
// demo's status fails when it started no demo main application.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "launcher_world.hpp"
#include "scratch_folder.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path kDemo = fs::path{LAUNCHER_BINARY_DIR} / "demo";

std::string readAll(const fs::path& file) {
    std::ifstream in{file, std::ios::binary};
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct DemoRun {
    std::optional<int> status;
    std::string output;
};

class RunDemo : public ::testing::Test {
  protected:
    void SetUp() override { launcher_test::waitForQuietMachine(); }

    // The demo as a user runs it, with only these locale variables besides the basics.
    DemoRun run(const std::vector<std::string>& locale) {
        std::vector<std::string> environment{"HOME=" + (scratch.path() / "home").string()};
        for (const char* name : {"PATH", "DISPLAY"}) {
            if (const char* value = std::getenv(name)) {
                environment.push_back(std::string{name} + "=" + value);
            }
        }
        environment.insert(environment.end(), locale.begin(), locale.end());
        const fs::path output = scratch.path() / "demo.out";
        fs::remove(output);
        fixture::ChildProcess demo{{"/bin/bash", LAUNCHER_SOURCE_DIR "/scripts/run-demo.sh",
                                    "--build", LAUNCHER_BINARY_DIR},
                                   environment,
                                   {.inheritEnvironment = false, .output = output}};
        const auto status = demo.waitExit(300s);
        return {status, readAll(output)};
    }

    fixture::ScratchFolder scratch;
};

TEST_F(RunDemo, LauncherSpeaksTheUsersLanguage) {
    for (const std::string language : {"de", "ru"}) {
        const DemoRun demo = run({"LANG=C.UTF-8", "LANGUAGE=" + language});
        ASSERT_EQ(demo.status, 0) << demo.output;
        EXPECT_NE(readAll(kDemo / "data" / "ZentravoV3" / "logs" / "launcher.log")
                      .find("Current language set to '" + language + "'"),
                  std::string::npos)
            << demo.output;
        EXPECT_NE(readAll(kDemo / "mainapp.jsonl").find("\"type\":\"start\""), std::string::npos);
    }
}

// With a main application already running, the launcher hands the link over and ends: the
// demo's own main application is never started, and the demo says so with a failing status.
TEST_F(RunDemo, FailsWhenItStartedNoMainApplication) {
    const fs::path record = scratch.path() / "running.jsonl";
    fixture::ChildProcess running{{fixture::mainAppProgram().string(), "--launcher"},
                                  {"ZENTRAVO_MAINAPP_RECORD=" + record.string()},
                                  {.output = scratch.path() / "running.out"}};
    ASSERT_TRUE(fixture::waitForRecord(record, "listening", 30s)) << readAll(record);

    const DemoRun demo = run({"LANG=C.UTF-8"});
    ASSERT_TRUE(demo.status.has_value()) << demo.output;
    EXPECT_NE(*demo.status, 0) << demo.output;
    EXPECT_NE(demo.output.find("The demo main application was not started"), std::string::npos)
        << demo.output;
    EXPECT_NE(readAll(record).find("zentravo://open?demo=1"), std::string::npos) << readAll(record);
}

}  // namespace
