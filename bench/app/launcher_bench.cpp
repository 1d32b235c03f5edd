// Start-to-first-paint time and memory of the launcher against a bare WebKitGTK window showing the
// same page, measured the same way in one run on the current display:
//   time    from spawning the program until its window shows the page's card (read from the
//           screen with XCB);
//   memory  proportional set size (PSS) of the program and every process below it (WebKit's web
//           and network processes), one second after the first paint.
// The launcher runs with its own empty HOME and XDG folders; when no update service answers it
// shows its retry countdown, which keeps the window open.
//
// usage: launcher_bench [runs]      (default 5; needs DISPLAY, e.g. under xvfb-run)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "x11_desktop.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Sample {
    double paintMs = 0;
    double pssKiB = 0;
};

// True once a viewable top-level window of `pid` shows the card's dark blue at a point of its
// left padding (window coordinates 8, 60).
bool showsPage(launcher_test::X11Desktop& display, pid_t pid) {
    const auto window = display.findWindow(pid);
    if (!window) {
        return false;
    }
    const auto p = display.pixel(window->id, 8, 60);
    return p && p->red >= 10 && p->red <= 60 && p->green >= 10 && p->green <= 60 && p->blue >= 18 &&
           p->blue <= 80 && p->blue > p->red;
}

std::vector<pid_t> descendantsAndSelf(pid_t top) {
    std::multimap<pid_t, pid_t> children;
    for (const auto& entry : fs::directory_iterator{"/proc"}) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream in{entry.path() / "stat"};
        std::string stat;
        std::getline(in, stat);
        const auto close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream fields{stat.substr(close + 2)};
        std::string state;
        pid_t parent = 0;
        fields >> state >> parent;
        children.emplace(parent, std::stoi(name));
    }
    std::vector<pid_t> out{top};
    for (std::size_t i = 0; i < out.size(); ++i) {
        auto [from, to] = children.equal_range(out[i]);
        for (auto it = from; it != to; ++it) {
            out.push_back(it->second);
        }
    }
    return out;
}

double pssKiB(pid_t pid) {
    std::ifstream in{"/proc/" + std::to_string(pid) + "/smaps_rollup"};
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Pss:", 0) == 0) {
            return std::stod(line.substr(4));
        }
    }
    return 0;
}

std::optional<Sample> measure(launcher_test::X11Desktop& display, std::vector<std::string> argv,
                              const std::vector<std::string>& environment) {
    std::vector<char*> args;
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    std::vector<std::string> env = environment;
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const auto start = Clock::now();
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return std::nullopt;
    }
    std::optional<Sample> sample;
    while (Clock::now() - start < std::chrono::seconds{30}) {
        if (showsPage(display, pid)) {
            sample =
                Sample{std::chrono::duration<double, std::milli>(Clock::now() - start).count()};
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{2});
    }
    if (sample) {
        std::this_thread::sleep_for(std::chrono::seconds{1});
        for (const pid_t p : descendantsAndSelf(pid)) {
            sample->pssKiB += pssKiB(p);
        }
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return sample;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (std::getenv("DISPLAY") == nullptr) {
        std::fprintf(stderr, "launcher_bench: needs DISPLAY (run it under xvfb-run)\n");
        return 1;
    }
    const fs::path build{LAUNCHER_BINARY_DIR};
    const fs::path launcher = build / "launcher" / "launcher";
    const fs::path bare = build / "bench" / "app" / "bare_webview";
    const fs::path page = build / "resources" / "index.html";

    char pattern[] = "/tmp/launcher-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        return 1;
    }
    const fs::path scratch{pattern};
    for (const char* name : {"home", "data", "cache", "config", "runtime", "tmp"}) {
        fs::create_directories(scratch / name);
    }
    fs::permissions(scratch / "runtime", fs::perms::owner_all);
    std::vector<std::string> environment{
        "DISPLAY=" + std::string{std::getenv("DISPLAY")},
        "PATH=/usr/bin:/bin",
        "LANGUAGE=en",
        "HOME=" + (scratch / "home").string(),
        "XDG_DATA_HOME=" + (scratch / "data").string(),
        "XDG_CACHE_HOME=" + (scratch / "cache").string(),
        "XDG_CONFIG_HOME=" + (scratch / "config").string(),
        "XDG_RUNTIME_DIR=" + (scratch / "runtime").string(),
        "TMPDIR=" + (scratch / "tmp").string(),
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (scratch / "no-bus").string()};
    if (const char* xauthority = std::getenv("XAUTHORITY")) {
        environment.push_back("XAUTHORITY=" + std::string{xauthority});
    }

    launcher_test::X11Desktop display{""};
    if (!display.connected()) {
        std::fprintf(stderr, "launcher_bench: cannot open the display\n");
        return 1;
    }
    std::vector<double> launcherMs, launcherKiB, bareMs, bareKiB;
    // Alternate the two so that caches and machine load treat them alike.
    for (int run = 0; run < runs; ++run) {
        fs::remove_all(scratch / "data" / "ZentravoV3");
        if (auto s = measure(display, {launcher.string()}, environment)) {
            launcherMs.push_back(s->paintMs);
            launcherKiB.push_back(s->pssKiB);
        }
        if (auto s = measure(display, {bare.string(), page.string()}, environment)) {
            bareMs.push_back(s->paintMs);
            bareKiB.push_back(s->pssKiB);
        }
    }
    fs::remove_all(scratch);
    if (launcherMs.empty() || bareMs.empty()) {
        std::fprintf(stderr, "launcher_bench: no first paint seen (launcher %zu, bare %zu runs)\n",
                     launcherMs.size(), bareMs.size());
        return 1;
    }
    const double lt = median(launcherMs), bt = median(bareMs);
    const double lm = median(launcherKiB), bm = median(bareKiB);
    std::printf("runs: launcher %zu, bare window %zu (medians)\n", launcherMs.size(),
                bareMs.size());
    std::printf(
        "start to first paint: launcher %.0f ms, bare window %.0f ms, ratio %.2f (goal <= 1.15)\n",
        lt, bt, lt / bt);
    std::printf(
        "memory (PSS, process + web processes): launcher %.1f MiB, bare window %.1f MiB, "
        "ratio %.2f (goal <= 1.10)\n",
        lm / 1024, bm / 1024, lm / bm);
    return 0;
}
