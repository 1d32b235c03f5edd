// Test helper: a process that registers for deep links the way the launcher does, then runs a
// main loop. Each link it receives is appended as a line to $PROBE_RECORD; $PROBE_READY is created
// once it listens. It ends with 3 after $PROBE_SECONDS (default 20) or at SIGTERM.
// With $PROBE_HAND_OVER set it registers nothing: it hands its first argument over the way a
// later launcher does and ends with 10 (taken), 11 (unanswered) or 12 (failed).
#include <gio/gio.h>
#include <glib-unix.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "system.hpp"

int main(int argc, char** argv) {
    if (std::getenv("PROBE_HAND_OVER") != nullptr) {
        using zentravo::system::HandOver;
        switch (zentravo::system::handDeeplinkToRunningLauncher(argc >= 2 ? argv[1] : "")) {
            case HandOver::taken:
                return 10;
            case HandOver::unanswered:
                return 11;
            case HandOver::failed:
                return 12;
        }
    }
    const char* record = std::getenv("PROBE_RECORD");
    const char* ready = std::getenv("PROBE_READY");
    const char* seconds = std::getenv("PROBE_SECONDS");
    if (record == nullptr || ready == nullptr) {
        return 2;
    }
    const std::string recordPath{record};
    // A replaced registration must never be called.
    zentravo::system::registerDeeplinkHandler([recordPath](const std::string& link) {
        std::ofstream{recordPath, std::ios::app} << "stale:" << link << '\n';
    });
    zentravo::system::registerDeeplinkHandler([recordPath](const std::string& link) {
        std::ofstream{recordPath, std::ios::app} << link << '\n';
    });
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    const auto quit = [](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_REMOVE;
    };
    g_timeout_add_seconds(seconds != nullptr ? std::atoi(seconds) : 20, quit, loop);
    g_unix_signal_add(SIGTERM, quit, loop);
    std::ofstream{ready} << "ready\n";
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    return 3;
}
