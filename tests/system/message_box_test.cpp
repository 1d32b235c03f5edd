// The message box where no display is reachable: it only logs, and never leaves a caller hanging.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "captured_log.hpp"
#include "system.hpp"
#include "system_test_support.hpp"

namespace {

using namespace std::chrono_literals;

const char* const kLogLine =
    "warning Message box not shown (no display): Zentravo - Could not start";

class MessageBoxWithoutDisplay : public ::testing::Test {
  protected:
    void SetUp() override {
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
    }
    CapturedLog log;
};

TEST_F(MessageBoxWithoutDisplay, OnTheMainThreadLogsAndReturns) {
    const auto started = std::chrono::steady_clock::now();
    zentravo::system::showMessageBox("Zentravo", "Could not start");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_TRUE(log.contains(kLogLine));
}

TEST_F(MessageBoxWithoutDisplay, FromAnotherThreadWhileTheLoopRunsLogsOnTheMainThread) {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    std::chrono::steady_clock::duration waited{};
    std::thread caller{[&] {
        const auto started = std::chrono::steady_clock::now();
        zentravo::system::showMessageBox("Zentravo", "Could not start");
        waited = std::chrono::steady_clock::now() - started;
        system_test::quitLoop(loop);
    }};
    g_main_loop_run(loop);
    caller.join();
    g_main_loop_unref(loop);
    EXPECT_LT(waited, 900ms) << "answered by the running loop, not by giving up";
    EXPECT_TRUE(log.contains(kLogLine));
}

TEST_F(MessageBoxWithoutDisplay, FromAnotherThreadWithNoLoopRunningGivesUpInsteadOfHanging) {
    const auto started = std::chrono::steady_clock::now();
    std::thread caller{[] { zentravo::system::showMessageBox("Zentravo", "Could not start"); }};
    caller.join();
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 5s);
    EXPECT_TRUE(log.contains(kLogLine));
    // The abandoned request must not pop up once a loop runs later.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    EXPECT_EQ(log.lines().size(), 1u);
}

}  // namespace
