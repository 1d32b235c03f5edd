#pragma once
// Session buses and owners of the launcher's bus name, each of a chosen local user, for tests of
// whom the launcher trusts on the bus. A bus address can outlive its bus (an abstract socket has
// no owner or mode), and then any local user may serve a bus there. Another user needs root.

#include <gio/gio.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "mainapp_fixture.hpp"
#include "scratch_folder.hpp"

namespace fixture {

// The whole environment of a helper process: `bus` as its session bus, and `extra`.
inline std::vector<std::string> busEnvironment(const std::string& bus,
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
inline std::vector<std::string> asUser(uid_t uid, std::vector<std::string> argv) {
    if (uid != ::geteuid()) {
        const std::string id = std::to_string(uid);
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
    }
    return argv;
}

inline std::string readWhole(const std::filesystem::path& file) {
    std::ifstream in{file, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, {}};
}

// A folder of its own that user `uid` owns (and any user may look into), removed when dropped.
class UserFolder {
  public:
    explicit UserFolder(uid_t uid) {
        namespace fs = std::filesystem;
        fs::permissions(scratch_.path(), fs::perms::owner_all | fs::perms::group_read |
                                             fs::perms::group_exec | fs::perms::others_read |
                                             fs::perms::others_exec);
        if (::chown(scratch_.path().c_str(), uid, uid) != 0) {
            throw std::runtime_error{"cannot hand a folder to user " + std::to_string(uid)};
        }
    }
    [[nodiscard]] std::filesystem::path operator/(const std::filesystem::path& relative) const {
        return scratch_ / relative;
    }

  private:
    ScratchFolder scratch_;
};

// A message bus daemon of user `uid` on an abstract socket that any user may connect to and own
// names on. Stopped when dropped.
class BusDaemon {
  public:
    explicit BusDaemon(uid_t uid) : folder_{::geteuid()} {
        static int count = 0;
        const std::string tag =
            "zentravo-test-" + std::to_string(::getpid()) + "-" + std::to_string(++count);
        const auto config = folder_ / "bus.conf";
        std::ofstream{config} << "<busconfig><type>session</type>"
                              << "<listen>unix:abstract=" << tag << "</listen>"
                              << "<auth>EXTERNAL</auth><policy context=\"default\">"
                              << "<allow user=\"*\"/><allow send_destination=\"*\"/>"
                              << "<allow receive_sender=\"*\"/><allow own=\"*\"/>"
                              << "</policy></busconfig>\n";
        const auto output = folder_ / "bus.out";
        daemon_.emplace(asUser(uid, {"/usr/bin/dbus-daemon", "--config-file=" + config.string(),
                                     "--nofork", "--nopidfile", "--print-address=1"}),
                        busEnvironment(""),
                        SpawnOptions{.inheritEnvironment = false, .output = output});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{20};
        for (;;) {
            std::ifstream in{output};
            for (std::string line; std::getline(in, line);) {
                if (line.starts_with("unix:") && !in.eof()) {
                    address_ = line;
                    return;
                }
            }
            if (std::chrono::steady_clock::now() >= deadline ||
                daemon_->waitExit(std::chrono::milliseconds{0})) {
                throw std::runtime_error{"the bus daemon did not start: " + readWhole(output)};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds{20});
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
    UserFolder folder_;  // the configuration, readable by the daemon's user
    std::optional<ChildProcess> daemon_;
    std::string address_;
};

// The bus-name-owner stand-in (`program`) of user `uid` on the bus at `address`: owns the
// launcher's name and answers every call. Another user runs a copy in its folder: the build
// tree may be closed to that user. Ready when built; stopped when dropped.
class NameOwner {
  public:
    NameOwner(const std::filesystem::path& program, const std::string& address, uid_t uid)
        : folder_{uid} {
        namespace fs = std::filesystem;
        fs::path runs = program;
        if (uid != ::geteuid()) {
            runs = folder_ / program.filename();
            fs::copy_file(program, runs);
            fs::permissions(runs, fs::perms(0755));
        }
        owner_.emplace(asUser(uid, {runs.string()}),
                       busEnvironment(address, {"OWNER_RECORD=" + (folder_ / "record").string(),
                                                "OWNER_READY=" + (folder_ / "ready").string()}),
                       SpawnOptions{.inheritEnvironment = false, .output = folder_ / "out"});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{20};
        while (!std::filesystem::exists(folder_ / "ready")) {
            if (std::chrono::steady_clock::now() >= deadline ||
                owner_->waitExit(std::chrono::milliseconds{0})) {
                throw std::runtime_error{"the name owner did not start: " +
                                         readWhole(folder_ / "out")};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds{20});
        }
    }
    // The calls it was made, one line each ("Method: arguments").
    [[nodiscard]] std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        std::ifstream in{folder_ / "record"};
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

  private:
    UserFolder folder_;
    std::optional<ChildProcess> owner_;
};

}  // namespace fixture
