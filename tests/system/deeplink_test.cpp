// Deep links between launcher processes: the first one's callback receives what a later one is
// started with, over a private session bus; a bus or a name owner of another user gets nothing.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "foreign_bus.hpp"
#include "foreign_process.hpp"
#include "mainapp_fixture.hpp"
#include "scratch_folder.hpp"
#include "system_test_support.hpp"

namespace {

using namespace std::chrono_literals;

using system_test::readLines;
using system_test::waitForFile;

// The probe's exit codes in hand-over mode.
constexpr int kTaken = 10;
constexpr int kFailed = 12;

class DeeplinkHandOver : public ::testing::Test {
  protected:
    void SetUp() override {
        bus_ = g_test_dbus_new(G_TEST_DBUS_NONE);
        g_test_dbus_up(bus_);  // sets DBUS_SESSION_BUS_ADDRESS for the children
    }
    void TearDown() override {
        g_test_dbus_down(bus_);
        g_object_unref(bus_);
    }

    fixture::ChildProcess probe(const std::string& name, std::vector<std::string> arguments = {},
                                const char* seconds = "20") {
        arguments.insert(arguments.begin(), DEEPLINK_PROBE);
        return fixture::ChildProcess{arguments,
                                     {"PROBE_RECORD=" + (scratch / (name + ".record")).string(),
                                      "PROBE_READY=" + (scratch / (name + ".ready")).string(),
                                      std::string{"PROBE_SECONDS="} + seconds}};
    }
    std::filesystem::path ready(const std::string& name) { return scratch / (name + ".ready"); }
    std::filesystem::path record(const std::string& name) { return scratch / (name + ".record"); }

    fixture::ScratchFolder scratch;

  private:
    GTestDBus* bus_ = nullptr;
};

TEST_F(DeeplinkHandOver, LaterLauncherHandsItsLinkToTheRegisteredOne) {
    auto first = probe("first");
    ASSERT_TRUE(waitForFile(ready("first"), 10s));

    const std::vector<std::string> links{"zentravo://open?item=a%20b&x=1#top",
                                         "zentravo://join/ROOM-42?name=\"quoted\""};
    for (const auto& link : links) {
        fixture::ChildProcess later{{DEEPLINK_PROBE, link}, {"PROBE_HAND_OVER=1"}};
        EXPECT_EQ(later.waitExit(10s), kTaken) << link;
    }
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (readLines(record("first")).size() < links.size() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(readLines(record("first")), links);
}

// Registering for links hands nothing over, whoever owns the name already: a launcher that
// registers runs (it holds the instance lock, or none can be had).
TEST_F(DeeplinkHandOver, SecondRegistrationCarriesOnAndHandsNothingOver) {
    auto first = probe("first");
    ASSERT_TRUE(waitForFile(ready("first"), 10s));
    for (const char* argument :
         {"", "boot", "--restarted", "Zentravo://upper", "zentravo://open?game=7"}) {
        auto second = probe("second", {argument}, "1");
        EXPECT_EQ(second.waitExit(10s), 3) << argument;
        EXPECT_TRUE(std::filesystem::exists(ready("second"))) << argument;
        std::filesystem::remove(ready("second"));
    }
    EXPECT_TRUE(readLines(record("first")).empty());
}

TEST(DeeplinkWithoutBus, LauncherWithALinkCarriesOnWhenNoSessionBusIsReachable) {
    const fixture::ScratchFolder scratch;
    fixture::ChildProcess alone{
        {DEEPLINK_PROBE, "zentravo://open"},
        {"DBUS_SESSION_BUS_ADDRESS=unix:path=" + (scratch / "no-bus").string(),
         "PROBE_RECORD=" + (scratch / "record").string(),
         "PROBE_READY=" + (scratch / "ready").string(), "PROBE_SECONDS=1"}};
    EXPECT_EQ(alone.waitExit(10s), 3);
    EXPECT_TRUE(std::filesystem::exists(scratch / "ready"));
}

// Buses and name owners of other local users (see foreign_bus.hpp).
using fixture::kNobody;
const std::string kLink = "zentravo://open?game=7&mode=solo";

class OtherUsersBus : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "serving a bus as another user needs root";
        }
    }
    // A process started with `bus` as its session bus, its output in `name`.out.
    fixture::ChildProcess startOn(const fixture::BusDaemon& bus, std::vector<std::string> argv,
                                  const std::vector<std::string>& environment,
                                  const std::string& name) {
        return fixture::ChildProcess{std::move(argv),
                                     fixture::busEnvironment(bus.address(), environment),
                                     fixture::SpawnOptions{.inheritEnvironment = false,
                                                           .output = scratch / (name + ".out")}};
    }
    std::string output(const std::string& name) {
        return fixture::readWhole(scratch / (name + ".out"));
    }

    fixture::ScratchFolder scratch;
};

struct TrustCase {
    const char* name;
    bool busOfAnotherUser;
    bool ownerOfAnotherUser;
    int expected;        // the later launcher's hand-over
    const char* logged;  // what it says when it keeps the link
};

void PrintTo(const TrustCase& trust, std::ostream* out) {
    *out << trust.name;
}

class HandOverTrust : public OtherUsersBus, public ::testing::WithParamInterface<TrustCase> {};

TEST_P(HandOverTrust, OnlyThisUsersBusAndNameOwnerGetTheLink) {
    const TrustCase& trust = GetParam();
    const fixture::BusDaemon bus{trust.busOfAnotherUser ? kNobody : ::geteuid()};
    const fixture::NameOwner owner{BUS_NAME_OWNER, bus.address(),
                                   trust.ownerOfAnotherUser ? kNobody : ::geteuid()};

    auto later = startOn(bus, {DEEPLINK_PROBE, kLink}, {"PROBE_HAND_OVER=1"}, "later");
    EXPECT_EQ(later.waitExit(30s), trust.expected) << output("later");
    const auto calls = owner.calls();
    if (trust.expected == kTaken) {
        ASSERT_EQ(calls.size(), 1u) << output("later");
        EXPECT_TRUE(calls[0].starts_with("Open: (['" + kLink + "'],")) << calls[0];
    } else {
        EXPECT_TRUE(calls.empty()) << calls.front();
        EXPECT_NE(output("later").find(trust.logged), std::string::npos) << output("later");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Users, HandOverTrust,
    ::testing::Values(TrustCase{"ThisUsersBusAndOwner", false, false, kTaken, ""},
                      TrustCase{"BusServedByAnotherUser", true, false, kFailed,
                                "The session bus is served by user 65534, not by this user"},
                      TrustCase{"NameOwnedByAnotherUser", false, true, kFailed,
                                "is owned by user 65534, not by this user"}),
    [](const auto& info) { return std::string{info.param.name}; });

// A launcher meeting another user's bus at its address takes no name there: that user could
// otherwise send it links to pass on to the main application.
TEST_F(OtherUsersBus, RegistrationTakesNoNameOnAnotherUsersBus) {
    const fixture::BusDaemon bus{kNobody};
    auto registered = startOn(bus, {DEEPLINK_PROBE},
                              {"PROBE_RECORD=" + (scratch / "record").string(),
                               "PROBE_READY=" + (scratch / "ready").string()},
                              "probe");
    ASSERT_TRUE(waitForFile(scratch / "ready", 20s)) << output("probe");
    EXPECT_FALSE(bus.nameHasOwner());
    EXPECT_NE(output("probe").find("the session bus is not this user's"), std::string::npos)
        << output("probe");
}

}  // namespace

namespace {

TEST(DesktopEntry, MakesTheLauncherTheHandlerOfTheScheme) {
    // The entry names the installed executable, so it exists only in an installed prefix.
    const fixture::ScratchFolder scratch;
    const auto prefix = scratch.path() / "prefix";
    ASSERT_EQ(launcher_test::waitChild(
                  launcher_test::spawnChild({LAUNCHER_CMAKE_COMMAND, "--install",
                                             LAUNCHER_BINARY_DIR, "--prefix", prefix.string()})),
              0);
    const auto file = prefix / "share" / "applications" / "zentravo-launcher.desktop";
    GKeyFile* entry = g_key_file_new();
    ASSERT_TRUE(g_key_file_load_from_file(entry, file.c_str(), G_KEY_FILE_NONE, nullptr)) << file;
    const char* group = G_KEY_FILE_DESKTOP_GROUP;
    gchar* type = g_key_file_get_string(entry, group, "Type", nullptr);
    gchar* exec = g_key_file_get_string(entry, group, "Exec", nullptr);
    gchar** mimeTypes = g_key_file_get_string_list(entry, group, "MimeType", nullptr, nullptr);
    EXPECT_STREQ(type, "Application");
    ASSERT_NE(exec, nullptr);
    // %u: the desktop passes the one link as one argument, without a shell.
    EXPECT_TRUE(std::string_view{exec}.ends_with("/launcher %u")) << exec;
    ASSERT_NE(mimeTypes, nullptr);
    EXPECT_TRUE(g_strv_contains(mimeTypes, "x-scheme-handler/zentravo"));
    g_free(type);
    g_free(exec);
    g_strfreev(mimeTypes);
    g_key_file_free(entry);
}

}  // namespace
