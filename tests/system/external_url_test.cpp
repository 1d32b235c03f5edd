// Opening URLs through the desktop's default handler, set up in a private XDG tree.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "saved_environment.hpp"
#include "scratch_folder.hpp"
#include "system.hpp"
#include "system_test_support.hpp"

namespace {

using namespace std::chrono_literals;

TEST(OpenExternalUrl, HandsValidUrlsToTheDefaultHandlerAndNothingElse) {
    const launcher_test::SavedEnvironment environment{
        "XDG_DATA_HOME",   "XDG_DATA_DIRS", "XDG_CONFIG_HOME",
        "XDG_CONFIG_DIRS", "URL_RECORD",    "DBUS_SESSION_BUS_ADDRESS"};
    const fixture::ScratchFolder xdg;
    const auto record = xdg / "opened.txt";
    std::filesystem::create_directories(xdg / "data/applications");
    std::filesystem::create_directories(xdg / "config");
    std::ofstream{xdg / "data/applications/recorder.desktop"}
        << "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" << URL_RECORDER
        << " %u\nMimeType=x-scheme-handler/zentravotest;\n";
    std::ofstream{xdg / "config/mimeapps.list"}
        << "[Default Applications]\nx-scheme-handler/zentravotest=recorder.desktop\n";
    ::setenv("XDG_DATA_HOME", (xdg / "data").c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (xdg / "none").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (xdg / "config").c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", (xdg / "none").c_str(), 1);
    ::setenv("URL_RECORD", record.c_str(), 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");

    const std::string full = "zentravotest://open?item=a%20b&x=1#top";
    // The view covers only the first URL; the text after it must not leak into the handler.
    const std::string joined = full + "-and-more";
    zentravo::system::openExternalUrl("not a url");
    zentravo::system::openExternalUrl("zentravotest://bad-\xff-utf8");
    zentravo::system::openExternalUrl(std::string_view{joined}.substr(0, full.size()));

    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (system_test::readLines(record).empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    std::this_thread::sleep_for(300ms);  // room for a wrongly started second handler
    EXPECT_EQ(system_test::readLines(record), std::vector<std::string>{full});
}

}  // namespace
