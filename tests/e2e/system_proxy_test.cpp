// The real launcher behind the system's proxy: the exemptions of the proxy variable and of the
// desktop settings, an IPv6 proxy address, credentials typed into the proxy host, and a proxy
// that stalls while the user closes the window.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "launcher_world.hpp"
#include "tinyproxy.hpp"
#include "x11_desktop.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using launcher_test::LauncherWorld;
using launcher_test::X11Desktop;

// A tunnel to the service asked of the proxy, as tinyproxy logs the request line.
const std::string kRequested = "CONNECT 127.0.0.1:" + std::to_string(LAUNCHER_FIXTURE_PORT);

using launcher_test::occurrences;
using launcher_test::readAll;

// The desktop's manual HTTP proxy, as GSettings keeps it, for the launchers of `world`.
// `ignoreHosts` is the GVariant text of the list ("@as []" for none).
void useDesktopProxy(LauncherWorld& world, const std::string& host, int port,
                     const std::string& ignoreHosts, bool authentication) {
    const fs::path folder = world.path() / "config" / "glib-2.0" / "settings";
    fs::create_directories(folder);
    std::ofstream{folder / "keyfile"}
        << "[system/proxy]\nmode='manual'\nignore-hosts=" << ignoreHosts
        << "\n\n[system/proxy/http]\nhost='" << host << "'\nport=" << port
        << "\nuse-authentication=" << (authentication ? "true" : "false")
        << "\nauthentication-user='alice'\nauthentication-password='s3cret'\n";
    world.extraEnvironment["GSETTINGS_BACKEND"] = "keyfile";
}

class SystemProxyE2E : public ::testing::Test {
  protected:
    void SetUp() override { launcher_test::waitForQuietMachine(); }
};

// no_proxy / NO_PROXY and the desktop's ignore-hosts keep the service off the proxy; without
// them every request to it goes through. The desktop's entry for one port exempts the service
// only at its own port; a "*" among its entries exempts every host, and is no unusable entry.
TEST_F(SystemProxyE2E, ExemptedHostsAreReachedWithoutTheProxy) {
    const std::string servicePort =
        "['localhost', '127.0.0.1:" + std::to_string(LAUNCHER_FIXTURE_PORT) + "']";
    const std::string otherPort = "['127.0.0.1:" + std::to_string(LAUNCHER_FIXTURE_PORT + 1) + "']";
    struct Case {
        const char* name;
        std::map<std::string, std::string> environment;
        const char* ignoreHosts;  // nullptr: no desktop proxy, the variable applies
        bool throughProxy;
        std::string warning{};  // a message the log must hold, once; otherwise none of its kind
    };
    const Case cases[] = {
        {"no_proxy", {{"no_proxy", "127.0.0.1,localhost"}}, nullptr, false},
        {"NO_PROXY range", {{"NO_PROXY", "localhost, 127.0.0.0/8"}}, nullptr, false},
        {"variable without exemptions", {}, nullptr, true},
        {"desktop ignore-hosts", {}, "['localhost', '127.0.0.0/8', '::1']", false},
        {"desktop without ignore-hosts", {}, "@as []", true},
        {"desktop ignore-hosts at the service's port", {}, servicePort.c_str(), false},
        {"desktop ignore-hosts at another port", {}, otherPort.c_str(), true},
        {"desktop lone '*'", {}, "['*']", false},
        {"desktop '*' among other entries",
         {},
         "['proxied.invalid', '*', 'sp ace']",
         false,
         "Proxy exemption 'sp ace' not used: not a host name, address or range"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LauncherWorld world;
        world.serve("3.1.0");
        launcher_test::Tinyproxy proxy;
        ASSERT_TRUE(proxy.running());
        if (c.ignoreHosts == nullptr) {
            world.extraEnvironment["http_proxy"] = proxy.url();
            world.extraEnvironment["GSETTINGS_BACKEND"] = "memory";
        } else {
            useDesktopProxy(world, "127.0.0.1", proxy.port(), c.ignoreHosts, true);
        }
        for (const auto& [name, value] : c.environment) {
            world.extraEnvironment[name] = value;
        }
        auto launcher = world.startLauncher();
        ASSERT_EQ(launcher->waitExit(120s), 0) << world.logText();
        ASSERT_TRUE(world.logHas("Update process finished successfully")) << world.logText();

        const std::string trace = readAll(world.path() / "launcher.out");
        const std::size_t connects = occurrences(trace, "> CONNECT 127.0.0.1:");
        if (c.throughProxy) {
            EXPECT_GE(connects, 2u) << trace;
            EXPECT_GE(occurrences(proxy.log(), kRequested), 2u) << proxy.log();
        } else {
            EXPECT_EQ(connects, 0u) << trace;
            EXPECT_EQ(occurrences(proxy.log(), kRequested), 0u) << proxy.log();
        }
        const auto messages = world.logMessages();
        const auto exemptionWarnings = std::count_if(
            messages.begin(), messages.end(),
            [](const std::string& message) { return message.starts_with("Proxy exemption "); });
        if (c.warning.empty()) {
            EXPECT_EQ(exemptionWarnings, 0) << world.logText();
        } else {
            EXPECT_EQ(exemptionWarnings, 1) << world.logText();
            EXPECT_EQ(std::count(messages.begin(), messages.end(), c.warning), 1)
                << world.logText();
        }
    }
}

// The desktop stores an IPv6 proxy as the bare address ("::1"); credentials typed into the
// host field are used, and appear nowhere in the launcher's output.
TEST_F(SystemProxyE2E, DesktopProxyAtAnIpv6AddressWithCredentialsInTheHost) {
    LauncherWorld world;
    world.serve("3.1.0");
    launcher_test::Tinyproxy proxy{"::1"};
    ASSERT_TRUE(proxy.running());
    useDesktopProxy(world, "alice:s3cret@::1", proxy.port(), "@as []", false);
    auto launcher = world.startLauncher();
    ASSERT_EQ(launcher->waitExit(120s), 0) << world.logText();
    ASSERT_TRUE(world.logHas("Update process finished successfully")) << world.logText();
    EXPECT_GE(occurrences(proxy.log(), kRequested), 2u) << proxy.log();
    EXPECT_EQ(world.logText().find("s3cret"), std::string::npos) << world.logText();
    EXPECT_EQ(readAll(world.path() / "launcher.out").find("s3cret"), std::string::npos);
}

// A host that libcurl cannot use is named in its error, which the log repeats: without the
// credentials typed into it.
TEST_F(SystemProxyE2E, CredentialsInAnUnusableProxyHostAreMaskedInTheLog) {
    LauncherWorld world;
    world.serve("3.1.0");
    useDesktopProxy(world, "alice:s3cret@proxy host", 3128, "@as []", false);
    X11Desktop desktop{world.display()};
    ASSERT_TRUE(desktop.connected());
    auto launcher = world.startLauncher();
    const std::string masked = "Unsupported proxy syntax in '***@proxy host:3128'";
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (world.logText().find(masked) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
    }
    const auto window = desktop.waitForWindow(launcher->pid(), 30s);
    ASSERT_TRUE(window) << world.logText();
    desktop.requestClose(window->id);
    ASSERT_EQ(launcher->waitExit(60s), 0) << world.logText();
    const std::string log = world.logText();
    EXPECT_NE(log.find(masked), std::string::npos) << log;
    EXPECT_EQ(log.find("s3cret"), std::string::npos) << log;
    EXPECT_EQ(readAll(world.path() / "launcher.out").find("s3cret"), std::string::npos);
}

// A proxy that takes every CONNECT and answers it one byte at a time, never to the end.
class DrippingProxy {
  public:
    DrippingProxy() : listener_{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)} {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error{"cannot listen"};
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread{[this] { serve(); }};
    }
    ~DrippingProxy() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    DrippingProxy(const DrippingProxy&) = delete;
    DrippingProxy& operator=(const DrippingProxy&) = delete;

    [[nodiscard]] int port() const { return port_; }
    [[nodiscard]] int connections() const { return connections_.load(); }
    [[nodiscard]] bool waitForConnections(int count, std::chrono::seconds timeout) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (connections_.load() < count) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

  private:
    void serve() {
        const std::string status = "HTTP/1.1 200 Connection established\r\n";
        const std::string header = "X-Drip: 1\r\n";
        std::vector<std::pair<int, std::size_t>> clients;  // socket, bytes sent
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 200) > 0) {
                const int client =
                    ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (client >= 0) {
                    clients.emplace_back(client, 0);
                    ++connections_;
                }
            }
            for (auto& [client, sent] : clients) {
                char discard[4096];
                while (::read(client, discard, sizeof discard) > 0) {
                }
                const char next = sent < status.size()
                                      ? status[sent]
                                      : header[(sent - status.size()) % header.size()];
                if (::send(client, &next, 1, MSG_NOSIGNAL) == 1) {
                    ++sent;
                }
            }
        }
        for (const auto& [client, sent] : clients) {
            ::close(client);
        }
    }

    int listener_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// Closed while the launcher-update check waits on a stalled proxy: once that request gives up,
// no other is made (the "Launcher Opened" event's address lookup would stall as long again).
TEST_F(SystemProxyE2E, ClosedWhileTheProxyStallsMakesNoFurtherRequest) {
    LauncherWorld world;
    world.serve("3.1.0");
    DrippingProxy proxy;
    world.extraEnvironment["http_proxy"] = "http://127.0.0.1:" + std::to_string(proxy.port());
    world.extraEnvironment["GSETTINGS_BACKEND"] = "memory";
    X11Desktop desktop{world.display()};
    ASSERT_TRUE(desktop.connected());
    auto launcher = world.startLauncher();
    const auto window = desktop.waitForWindow(launcher->pid(), 30s);
    ASSERT_TRUE(window) << world.logText();
    ASSERT_TRUE(proxy.waitForConnections(1, 60s)) << world.logText();
    desktop.requestClose(window->id);
    ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();
    EXPECT_EQ(proxy.connections(), 1) << world.logText();
    EXPECT_TRUE(world.analyticsEventTypes().empty());
}

}  // namespace
