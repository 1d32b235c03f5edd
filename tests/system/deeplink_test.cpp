// Deep links between launcher processes: the first one's callback receives what a later one is
// started with, over a private session bus.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "mainapp_fixture.hpp"
#include "scratch_folder.hpp"
#include "system_test_support.hpp"

namespace {

using namespace std::chrono_literals;

using system_test::readLines;
using system_test::waitForFile;

// The probe's exit codes in hand-over mode.
constexpr int kTaken = 10;
constexpr int kFailed = 12;

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

TEST_F(DeeplinkHandOver, LaterLauncherHandsItsLinkToTheRegisteredOne) {
    auto first = probe("first");
    ASSERT_TRUE(waitForFile(ready("first"), 10s));

    const std::vector<std::string> links{"zentravo://open?item=a%20b&x=1#top",
                                         "zentravo://join/ROOM-42?name=\"quoted\""};
    for (const auto& link : links) {
        fixture::ChildProcess later{{DEEPLINK_PROBE, link}, {"PROBE_HAND_OVER=1"}};
        EXPECT_EQ(later.waitExit(10s), kTaken) << link;
    }
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (readLines(record("first")).size() < links.size() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(readLines(record("first")), links);
}

// Registering for links hands nothing over, whoever owns the name already: a launcher that
// registers runs (it holds the instance lock, or none can be had).
TEST_F(DeeplinkHandOver, SecondRegistrationCarriesOnAndHandsNothingOver) {
    auto first = probe("first");
    ASSERT_TRUE(waitForFile(ready("first"), 10s));
    for (const char* argument :
         {"", "boot", "--restarted", "Zentravo://upper", "zentravo://open?game=7"}) {
        auto second = probe("second", {argument}, "1");
        EXPECT_EQ(second.waitExit(10s), 3) << argument;
        EXPECT_TRUE(std::filesystem::exists(ready("second"))) << argument;
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

// Buses and name owners of other local users. A bus address can outlive its bus (an abstract
// socket has no owner or mode), and then any local user may serve a bus there.
constexpr uid_t kNobody = 65534;
const std::string kLink = "zentravo://open?game=7&mode=solo";

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in{file, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, {}};
}

// The whole environment of a helper process: `bus` as its session bus, and `extra`.
std::vector<std::string> busEnvironment(const std::string& bus,
                                        const std::vector<std::string>& extra = {}) {
    std::vector<std::string> environment{"DBUS_SESSION_BUS_ADDRESS=" + bus};
    for (const char* name : {"PATH", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) {
            environment.push_back(std::string{name} + "=" + value);
        }
    }
    environment.insert(environment.end(), extra.begin(), extra.end());
    return environment;
}

// `argv` run as user (and group) `uid` without further groups; as it is for this user.
std::vector<std::string> asUser(uid_t uid, std::vector<std::string> argv) {
    if (uid != ::geteuid()) {
        const std::string id = std::to_string(uid);
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
    }
    return argv;
}

// A message bus daemon of user `uid` on an abstract socket, that any user may connect to and own
// names on. Stopped when dropped.
class BusDaemon {
  public:
    BusDaemon(const std::filesystem::path& folder, uid_t uid) {
        static int count = 0;
        const std::string tag =
            "zentravo-test-" + std::to_string(::getpid()) + "-" + std::to_string(++count);
        const auto config = folder / (tag + ".conf");
        std::ofstream{config}
            << "<busconfig><type>session</type>"
            << "<listen>unix:abstract=" << tag << "</listen>"
            << "<auth>EXTERNAL</auth><policy context=\"default\">"
            << "<allow user=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
            << "<allow own=\"*\"/></policy></busconfig>\n";
        const auto output = folder / (tag + ".out");
        daemon_.emplace(asUser(uid, {"/usr/bin/dbus-daemon", "--config-file=" + config.string(),
                                     "--nofork", "--nopidfile", "--print-address=1"}),
                        busEnvironment(""),
                        fixture::SpawnOptions{.inheritEnvironment = false, .output = output});
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        for (;;) {
            for (const auto& line : readLines(output)) {
                if (line.starts_with("unix:")) {
                    address_ = line;
                    return;
                }
            }
            if (std::chrono::steady_clock::now() >= deadline || daemon_->waitExit(0ms)) {
                throw std::runtime_error{"the bus daemon did not start: " + readAll(output)};
            }
            std::this_thread::sleep_for(20ms);
        }
    }
    [[nodiscard]] const std::string& address() const { return address_; }

    // Whether anyone owns the launcher's application name on this bus, as its daemon tells.
    [[nodiscard]] bool nameHasOwner() const {
        GError* error = nullptr;
        GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
            address_.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        if (connection == nullptr) {
            const std::string message = error->message;
            g_error_free(error);
            throw std::runtime_error{"cannot reach the bus: " + message};
        }
        GVariant* reply = g_dbus_connection_call_sync(
            connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", g_variant_new("(s)", "com.zentravo.Launcher"), G_VARIANT_TYPE("(b)"),
            G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
        gboolean owned = TRUE;
        if (reply != nullptr) {
            g_variant_get(reply, "(b)", &owned);
            g_variant_unref(reply);
        }
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
        return owned;
    }

  private:
    std::optional<fixture::ChildProcess> daemon_;
    std::string address_;
};

class OtherUsersBus : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "serving a bus as another user needs root";
        }
        // The other user reads the daemon's configuration and writes its records.
        std::filesystem::permissions(scratch.path(), std::filesystem::perms::owner_all |
                                                         std::filesystem::perms::group_exec |
                                                         std::filesystem::perms::others_exec);
        std::filesystem::create_directory(shared());
        std::filesystem::permissions(
            shared(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                          std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                          std::filesystem::perms::others_exec);
        std::filesystem::create_directory(nobodys());
        ASSERT_EQ(::chown(nobodys().c_str(), kNobody, kNobody), 0);
    }
    [[nodiscard]] std::filesystem::path shared() const { return scratch / "shared"; }
    [[nodiscard]] std::filesystem::path nobodys() const { return scratch / "nobody"; }

    // A process of user `uid` that owns the launcher's name on `bus` and answers every call, its
    // files in `folder`; started once it owns the name.
    std::unique_ptr<fixture::ChildProcess> startNameOwner(const BusDaemon& bus, uid_t uid,
                                                          const std::filesystem::path& folder) {
        auto owner = std::make_unique<fixture::ChildProcess>(
            asUser(uid, {BUS_NAME_OWNER}),
            busEnvironment(bus.address(), {"OWNER_RECORD=" + (folder / "owner.record").string(),
                                           "OWNER_READY=" + (folder / "owner.ready").string()}),
            fixture::SpawnOptions{.inheritEnvironment = false, .output = scratch / "owner.out"});
        if (!waitForFile(folder / "owner.ready", 20s)) {
            ADD_FAILURE() << "the name owner did not start: " << readAll(scratch / "owner.out");
        }
        return owner;
    }

    fixture::ScratchFolder scratch;
};

struct TrustCase {
    const char* name;
    bool busOfAnotherUser;
    bool ownerOfAnotherUser;
    int expected;        // the later launcher's hand-over
    const char* logged;  // what it says when it keeps the link
};

void PrintTo(const TrustCase& trust, std::ostream* out) {
    *out << trust.name;
}

class HandOverTrust : public OtherUsersBus, public ::testing::WithParamInterface<TrustCase> {};

TEST_P(HandOverTrust, OnlyThisUsersBusAndNameOwnerGetTheLink) {
    const TrustCase& trust = GetParam();
    const BusDaemon bus{shared(), trust.busOfAnotherUser ? kNobody : ::geteuid()};
    const auto folder = trust.ownerOfAnotherUser ? nobodys() : scratch.path();
    const auto owner =
        startNameOwner(bus, trust.ownerOfAnotherUser ? kNobody : ::geteuid(), folder);
    ASSERT_FALSE(HasFailure());

    fixture::ChildProcess later{
        {DEEPLINK_PROBE, kLink},
        busEnvironment(bus.address(), {"PROBE_HAND_OVER=1"}),
        fixture::SpawnOptions{.inheritEnvironment = false, .output = scratch / "later.out"}};
    const std::string output = [&] {
        EXPECT_EQ(later.waitExit(30s), trust.expected);
        return readAll(scratch / "later.out");
    }();
    const auto calls = readLines(folder / "owner.record");
    if (trust.expected == kTaken) {
        ASSERT_EQ(calls.size(), 1u) << output;
        EXPECT_TRUE(calls[0].starts_with("Open: (['" + kLink + "'],")) << calls[0];
    } else {
        EXPECT_TRUE(calls.empty()) << calls.front();
        EXPECT_NE(output.find(trust.logged), std::string::npos) << output;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Users, HandOverTrust,
    ::testing::Values(TrustCase{"ThisUsersBusAndOwner", false, false, kTaken, ""},
                      TrustCase{"BusServedByAnotherUser", true, false, kFailed,
                                "The session bus is served by user 65534, not by this user"},
                      TrustCase{"NameOwnedByAnotherUser", false, true, kFailed,
                                "is owned by user 65534, not by this user"}),
    [](const auto& info) { return std::string{info.param.name}; });

// A launcher meeting another user's bus at its address takes no name there: that user could
// otherwise send it links to pass on to the main application.
TEST_F(OtherUsersBus, RegistrationTakesNoNameOnAnotherUsersBus) {
    const BusDaemon bus{shared(), kNobody};
    fixture::ChildProcess registered{
        {DEEPLINK_PROBE},
        busEnvironment(bus.address(), {"PROBE_RECORD=" + (scratch / "record").string(),
                                       "PROBE_READY=" + (scratch / "ready").string()}),
        fixture::SpawnOptions{.inheritEnvironment = false, .output = scratch / "probe.out"}};
    ASSERT_TRUE(waitForFile(scratch / "ready", 20s)) << readAll(scratch / "probe.out");
    EXPECT_FALSE(bus.nameHasOwner());
    EXPECT_NE(readAll(scratch / "probe.out").find("the session bus is not this user's"),
              std::string::npos)
        << readAll(scratch / "probe.out");
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
