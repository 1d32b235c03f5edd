#pragma once
// Small waits and readers shared by the system tests.

#include <glib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace system_test {

inline std::vector<std::string> readLines(const std::filesystem::path& file) {
    std::vector<std::string> result;
    std::ifstream in{file};
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

// True once `file` exists; false when `timeout` passes first.
inline bool waitForFile(const std::filesystem::path& file,
                        std::chrono::milliseconds timeout = std::chrono::seconds{10}) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!std::filesystem::exists(file)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{20});
    }
    return true;
}

// Ends `loop` from any thread, through the default main context.
inline void quitLoop(GMainLoop* loop) {
    g_idle_add(
        [](gpointer data) {
            g_main_loop_quit(static_cast<GMainLoop*>(data));
            return G_SOURCE_REMOVE;
        },
        loop);
}

}  // namespace system_test
