// A deep link reaches this user's running main application however it listens and wherever the
// launcher runs (a sandbox that refuses netlink sockets too), and never another user's listener:
// the real launcher binary against the main-application stand-in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "foreign_listener.hpp"
#include "foreign_process.hpp"
#include "launcher_world.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using launcher_test::LauncherWorld;
using launcher_test::Process;

struct Surroundings {
    const char* name;
    bool dualStack;  // the listener on the port takes IPv4 and IPv6 ([::]:39998)
    bool noNetlink;  // the launcher may not open netlink sockets
};

void PrintTo(const Surroundings& surroundings, std::ostream* out) {
    *out << surroundings.name;
}

class ApplicationLink : public ::testing::TestWithParam<Surroundings> {
  protected:
    void SetUp() override { launcher_test::waitForQuietMachine(); }

    std::unique_ptr<Process> startLauncher(const std::string& link) {
        std::vector<std::string> argv{LauncherWorld::launcherExecutable().string(), link};
        if (GetParam().noNetlink) {
            argv.insert(argv.begin(), NO_NETLINK);
        }
        return std::make_unique<Process>(argv, world.environment(), world.path() / "launcher.out");
    }
    [[nodiscard]] bool appReceived(const std::string& link) const {
        const auto events = world.mainAppEvents();
        return std::any_of(events.begin(), events.end(), [&](const nlohmann::json& event) {
            return event.value("subType", "") == "kClientAdded" &&
                   event.value("clientName", "") == link;
        });
    }

    LauncherWorld world;
};

// The running application gets the link, and no second one is started.
TEST_P(ApplicationLink, ReachesThisUsersRunningApplication) {
    if (GetParam().dualStack) {
        world.extraEnvironment["ZENTRAVO_MAINAPP_ADDRESS"] = "::";
    }
    auto app = world.startMainApp();
    const std::string link = "zentravo://open?token=5d2a-running";
    auto launcher = startLauncher(link);
    ASSERT_EQ(launcher->waitExit(60s), 0) << world.logText();
    EXPECT_TRUE(world.logHas("Detected V3 instance already running.")) << world.logText();
    EXPECT_TRUE(world.logHas("Deeplink sent successfully to Zentravo V3.")) << world.logText();
    EXPECT_TRUE(appReceived(link)) << launcher_test::readAll(world.mainAppRecord());
    EXPECT_EQ(world.mainAppEntries("start").size(), 1u);
}

// Another user's listener on the port is reached, told of nothing and named in the log; the
// launcher installs and starts this user's own application, which gets the link.
TEST_P(ApplicationLink, AnotherUsersListenerGetsNothing) {
    world.serve("3.1.0");
    // This user's application listens only after a while, once the stranger has gone.
    world.extraEnvironment["ZENTRAVO_MAINAPP_START_DELAY_MS"] = "8000";
    fixture::ForeignListener stranger{39998, fixture::kNobody, "CorvantaV3_OK",
                                      GetParam().dualStack
                                          ? fixture::ForeignListener::Address::dualStack
                                          : fixture::ForeignListener::Address::loopback};
    if (!stranger.started()) {
        GTEST_SKIP() << "a listener of another user needs root: "
                     << std::strerror(stranger.error());
    }
    const std::string link = "zentravo://open?token=7f3b-stranger";
    launcher_test::waitForNoMainApplication();
    auto launcher = startLauncher(link);
    const auto start = world.waitForMainAppStart(*launcher, 90s);
    stranger.stop();
    const auto asked = stranger.connections();
    ASSERT_TRUE(start) << "no main application started\n" << world.logText();
    ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();

    EXPECT_FALSE(asked.empty());
    for (const auto& connection : asked) {
        EXPECT_EQ(connection.received, "");
    }
    const auto lines = world.logMessages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "Port 39998 is held by another user's process (uid 65534); it is not "
                         "taken for the main application"),
              1)
        << world.logText();
    EXPECT_FALSE(world.logHas("Detected V3 instance already running.")) << world.logText();
    EXPECT_TRUE(world.logHas("V3 App running detected. Deeplink '" + link + "' sent successfully"))
        << world.logText();
    EXPECT_TRUE(appReceived(link)) << launcher_test::readAll(world.mainAppRecord());
}

INSTANTIATE_TEST_SUITE_P(Listeners, ApplicationLink,
                         ::testing::Values(Surroundings{"DualStack", true, false},
                                           Surroundings{"NoNetlink", false, true},
                                           Surroundings{"DualStackNoNetlink", true, true}),
                         [](const auto& info) { return std::string{info.param.name}; });

}  // namespace
