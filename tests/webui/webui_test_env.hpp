#pragma once

// Test support for the web UI host: a private set of XDG folders per test process (set before
// GTK or WebKit start) and a way to serve the main loop until something happened.

#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

namespace webui_test {

class XdgEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "webui-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        for (const char* name :
             {"XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "HOME"}) {
            const std::filesystem::path dir = root / name;
            std::filesystem::create_directories(dir);
            std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
            setenv(name, dir.c_str(), 1);
        }
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    std::filesystem::path root;
};

inline ::testing::Environment* const kXdgEnvironment =
    ::testing::AddGlobalTestEnvironment(new XdgEnvironment);

// Iterates the default main context until done() holds or the time is up; true when done.
inline bool serveUntil(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // Wakes the blocking iterations every 10 ms to look at the clock.
    const guint tick = g_timeout_add(
        10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    bool met = done();
    while (!met && std::chrono::steady_clock::now() < deadline) {
        g_main_context_iteration(nullptr, TRUE);
        met = done();
    }
    g_source_remove(tick);
    return met;
}

// Serves the main context for a while (lets pending drawing and events through).
inline void serveFor(std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    serveUntil([&] { return std::chrono::steady_clock::now() >= until; }, duration * 2);
}

}  // namespace webui_test
