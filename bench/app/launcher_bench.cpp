// The launcher against a bare WebKitGTK window showing the same page, on a private X server:
//   first paint  from spawning the program until its window shows the page's card (read from the
//                screen with XCB);
//   peak memory  the highest proportional set size (PSS) of the program and every process below
//                it (WebKit's web and network processes), sampled every 20 ms. The launcher runs
//                a whole update: it fetches the version answer and a 32 MB archive from the local
//                update service on the compiled-in address, installs it, starts the main
//                application (not counted) and ends. The bare window does no update: it is
//                sampled from its start until 3 s after its first paint.
// Every run must paint, on both sides, or the benchmark fails. Each launcher run starts with
// nothing installed.
//
// usage: launcher_bench [runs]      (default 5; uses port 39443: run it in a network namespace)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "launcher_world.hpp"
#include "side_by_side.hpp"
#include "x11_desktop.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kPaintPatience = 60s;
constexpr auto kUpdatePatience = 120s;
constexpr auto kBareAfterPaint = 3s;
constexpr auto kSampleEvery = 20ms;

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

struct ProcessInfo {
    pid_t parent = 0;
    std::string name;
};

std::map<pid_t, ProcessInfo> processTable() {
    std::map<pid_t, ProcessInfo> table;
    for (const auto& entry : fs::directory_iterator{"/proc"}) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream in{entry.path() / "stat"};
        std::string stat;
        std::getline(in, stat);
        const auto open = stat.find('(');
        const auto close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 > stat.size()) {
            continue;
        }
        std::istringstream fields{stat.substr(close + 2)};
        std::string state;
        ProcessInfo info;
        fields >> state >> info.parent;
        info.name = stat.substr(open + 1, close - open - 1);
        table.emplace(std::stoi(name), std::move(info));
    }
    return table;
}

double pssBytes(pid_t pid) {
    std::ifstream in{"/proc/" + std::to_string(pid) + "/smaps_rollup"};
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Pss:", 0) == 0) {
            return std::stod(line.substr(4)) * 1024;
        }
    }
    return 0;
}

// PSS of `top` and everything below it, except the main application it starts (the stand-in's
// memory is not the launcher's).
double treePss(pid_t top) {
    const auto table = processTable();
    std::vector<pid_t> tree{top};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        for (const auto& [pid, info] : table) {
            if (info.parent == tree[i] && info.name != "Zentravo") {
                tree.push_back(pid);
            }
        }
    }
    double total = 0;
    for (const pid_t pid : tree) {
        total += pssBytes(pid);
    }
    return total;
}

// Starts the program and measures {seconds to first paint, peak PSS in bytes}. `finished` says,
// after the paint, when the run is over; the program is stopped then if it still runs.
template <typename Finished>
std::vector<double> measure(launcher_test::X11Desktop& display, const std::string& side,
                            const std::vector<std::string>& argv,
                            const std::vector<std::string>& environment, const fs::path& output,
                            Finished finished) {
    const auto start = Clock::now();
    launcher_test::Process process{argv, environment, output};
    double peak = 0;
    std::optional<Clock::time_point> paint;
    auto nextSample = start;
    while (!paint || !finished(process, Clock::now() - *paint)) {
        const auto now = Clock::now();
        if (!paint) {
            if (showsPage(display, process.pid())) {
                paint = now;
            } else if (process.waitExit(0ms)) {
                throw std::runtime_error{side + " ended before its first paint"};
            } else if (now - start > kPaintPatience) {
                throw std::runtime_error{side + " did not paint within 60 s"};
            }
        }
        if (now >= nextSample) {
            peak = std::max(peak, treePss(process.pid()));
            nextSample = now + kSampleEvery;
        }
        std::this_thread::sleep_for(2ms);
    }
    if (!process.waitExit(0ms)) {
        process.terminate();
        (void)process.waitExit(10s);
    }
    return {std::chrono::duration<double>(*paint - start).count(), peak};
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const int runs = bench::runsArgument(argc > 1 ? argv[1] : nullptr, 5);
        const fs::path build{LAUNCHER_BINARY_DIR};
        const fs::path bare = build / "bench" / "app" / "bare_webview";
        const fs::path page = build / "resources" / "index.html";

        launcher_test::LauncherWorld world;
        // The archive is held back 4 s so that the window paints before the update ends.
        world.serve("3.1.0", {{"paths", {{"/app.tar", {{"delayMs", 4000}}}}}}, 32u << 20);
        launcher_test::X11Desktop display{world.display()};
        if (!display.connected()) {
            throw std::runtime_error{"cannot open the private display"};
        }
        const fs::path installed = world.path() / "data" / "ZentravoV3";

        bench::printLegend(runs);
        const bench::Comparison comparison{
            {"launcher",
             [&] {
                 world.stopMainApps();
                 fs::remove(world.mainAppRecord());
                 fs::remove_all(installed);
                 auto values = measure(
                     display, "the launcher",
                     {launcher_test::LauncherWorld::launcherExecutable().string()},
                     world.environment(), world.path() / "launcher.out",
                     [&](launcher_test::Process& launcher, Clock::duration sincePaint) {
                         if (const auto status = launcher.waitExit(0ms)) {
                             if (*status != 0) {
                                 throw std::runtime_error{"the launcher ended with " +
                                                          std::to_string(*status)};
                             }
                             return true;
                         }
                         if (sincePaint > kUpdatePatience) {
                             throw std::runtime_error{"the launcher did not end its update"};
                         }
                         return false;
                     });
                 if (world.mainAppEntries("start").size() != 1) {
                     throw std::runtime_error{"the launcher did not start the main application: " +
                                              world.logText()};
                 }
                 world.stopMainApps();
                 return values;
             }},
            {"bare window",
             [&] {
                 return measure(display, "the bare window", {bare.string(), page.string()},
                                world.environment(), world.path() / "bare.out",
                                [](launcher_test::Process&, Clock::duration sincePaint) {
                                    return sincePaint >= kBareAfterPaint;
                                });
             }},
            runs};
        std::printf(
            "%d painted runs on each side; the launcher installed and started the main "
            "application in every run\n",
            comparison.runs());
        comparison.print(0, "first paint", bench::kMilliseconds);
        comparison.print(1, "peak memory (PSS)", bench::kMebibytes);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "launcher_bench: %s\n", e.what());
        return 1;
    }
}
