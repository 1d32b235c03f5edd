// Deep links between launcher processes: the first one's callback receives what a later one is
// started with, over a private session bus.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <fstream>

#include "child_process.hpp"
#include "mainapp_fixture.hpp"
#include "scratch_folder.hpp"
#include "system_test_support.hpp"

namespace {

using namespace std::chrono_literals;

using system_test::readLines;
using system_test::waitForFile;

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

TEST_F(DeeplinkHandOver, SecondLauncherHandsItsLinkToTheFirstAndExitsWithZero) {
    auto first = probe("first");
    ASSERT_TRUE(waitForFile(ready("first"), 10s));

    const std::vector<std::string> links{"zentravo://open?item=a%20b&x=1#top",
                                         "zentravo://join/ROOM-42?name=\"quoted\""};
    for (const auto& link : links) {
        auto second = probe("second", {link});
        EXPECT_EQ(second.waitExit(10s), 0) << link;
    }
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (readLines(record("first")).size() < links.size() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(readLines(record("first")), links);
    EXPECT_FALSE(std::filesystem::exists(ready("second"))) << "the second never ran its loop";
}

TEST_F(DeeplinkHandOver, SecondLauncherWithoutALinkCarriesOn) {
    auto first = probe("first");
    ASSERT_TRUE(waitForFile(ready("first"), 10s));
    for (const char* argument : {"", "boot", "--restarted", "Zentravo://upper"}) {
        auto second = probe("second", {argument}, "1");
        EXPECT_EQ(second.waitExit(10s), 3) << argument;
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
