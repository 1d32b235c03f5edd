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
#include <xcb/xcb.h>

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

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Sample {
    double paintMs = 0;
    double pssKiB = 0;
};

class Display {
  public:
    Display() : connection_{xcb_connect(nullptr, nullptr)} {
        if (xcb_connection_has_error(connection_) != 0) {
            std::fprintf(stderr, "launcher_bench: cannot open the display\n");
            std::exit(1);
        }
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
        pidAtom_ = atom("_NET_WM_PID");
    }
    ~Display() { xcb_disconnect(connection_); }
    Display(const Display&) = delete;
    Display& operator=(const Display&) = delete;

    // True once a viewable top-level window of `pid` shows the card's dark blue at a point of
    // its left padding (window coordinates 8, 60).
    bool showsPage(pid_t pid) {
        std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree{
            xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr),
            &std::free};
        if (!tree) {
            return false;
        }
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            if (windowPid(children[i]) == static_cast<std::uint32_t>(pid) &&
                pixelIsCard(children[i])) {
                return true;
            }
        }
        return false;
    }

  private:
    xcb_atom_t atom(const char* name) {
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply{
            xcb_intern_atom_reply(
                connection_,
                xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)),
                                name),
                nullptr),
            &std::free};
        return reply ? reply->atom : XCB_NONE;
    }
    std::uint32_t windowPid(xcb_window_t window) {
        std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply{
            xcb_get_property_reply(
                connection_,
                xcb_get_property(connection_, 0, window, pidAtom_, XCB_ATOM_CARDINAL, 0, 1),
                nullptr),
            &std::free};
        if (!reply || xcb_get_property_value_length(reply.get()) < 4) {
            return 0;
        }
        return *static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    }
    bool pixelIsCard(xcb_window_t window) {
        std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes{
            xcb_get_window_attributes_reply(
                connection_, xcb_get_window_attributes(connection_, window), nullptr),
            &std::free};
        if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
            return false;
        }
        std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> image{
            xcb_get_image_reply(connection_,
                                xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 8, 60,
                                              1, 1, 0xffffffffU),
                                nullptr),
            &std::free};
        if (!image || xcb_get_image_data_length(image.get()) < 4) {
            return false;
        }
        const std::uint8_t* p = xcb_get_image_data(image.get());
        const int b = p[0], g = p[1], r = p[2];
        return r >= 10 && r <= 60 && g >= 10 && g <= 60 && b >= 18 && b <= 80 && b > r;
    }

    xcb_connection_t* connection_;
    xcb_window_t root_ = 0;
    xcb_atom_t pidAtom_ = 0;
};

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

std::optional<Sample> measure(Display& display, std::vector<std::string> argv,
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
        if (display.showsPage(pid)) {
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

    Display display;
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
