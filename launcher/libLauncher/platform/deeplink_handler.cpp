// Deep links delivered to a running launcher. The desktop starts the launcher with the link as
// its first argument (see zentravo-launcher.desktop); the launcher that owns the session-wide
// application name receives links from later ones through GApplication's "open".
#include <gio/gio.h>
#include <spdlog/spdlog.h>

#include <unistd.h>

#include <functional>
#include <optional>
#include <string>

#include "platform/glib_handles.hpp"
#include "system.hpp"

namespace zentravo::system {
namespace {

constexpr const char* kApplicationId = "com.zentravo.Launcher";
constexpr const char* kObjectPath = "/com/zentravo/Launcher";
constexpr int kHandOverTimeoutMs = 1000;

// The one callback of the process; replaced by each registration.
std::function<void(const std::string&)>& deeplinkCallback() {
    static std::function<void(const std::string&)> callback;
    return callback;
}

void onOpen(GApplication*, GFile** files, gint count, gchar*, gpointer) {
    for (gint index = 0; index < count; ++index) {
        gchar* uri = g_file_get_uri(files[index]);
        if (uri == nullptr) {
            continue;
        }
        const std::string link{uri};
        g_free(uri);
        if (const auto& callback = deeplinkCallback()) {
            callback(link);
        }
    }
}

// The answer of the bus daemon to one of its own methods; empty on an error or a timeout.
GVariantPtr askBus(GDBusConnection* connection, const char* method, GVariant* parameters,
                   const GVariantType* replyType) {
    GErrorPtr error;
    return GVariantPtr{g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
        parameters, replyType, G_DBUS_CALL_FLAGS_NONE, kHandOverTimeoutMs, nullptr, out(error))};
}

// Whether the session bus is served by a daemon of this user. Any local user may serve a bus at
// an address whose own bus has gone away (an abstract socket has no owner or mode), then own the
// launcher's name there and hear this user's links, or send it some.
bool servedByThisUser(GDBusConnection* connection) {
    GIOStream* stream = g_dbus_connection_get_stream(connection);
    GSocket* socket = G_IS_SOCKET_CONNECTION(stream)
                          ? g_socket_connection_get_socket(G_SOCKET_CONNECTION(stream))
                          : nullptr;
    // Only a local socket tells who serves it (SO_PEERCRED).
    if (socket == nullptr || g_socket_get_family(socket) != G_SOCKET_FAMILY_UNIX) {
        spdlog::warn("The session bus is not reached over a local socket: not trusted");
        return false;
    }
    GErrorPtr error;
    const GObjectPtr<GCredentials> credentials{g_socket_get_credentials(socket, out(error))};
    if (!credentials) {
        spdlog::warn("Cannot tell who serves the session bus: not trusted ({})",
                     error ? error->message : "no credentials");
        return false;
    }
    const uid_t uid = g_credentials_get_unix_user(credentials.get(), nullptr);
    if (uid != ::geteuid()) {
        spdlog::warn("The session bus is served by user {}, not by this user: not trusted", uid);
        return false;
    }
    return true;
}

// The process's shared session bus connection while a daemon of this user serves it, with
// GLib's exit-on-close; empty otherwise (`error` set when there is no bus at all). GLib ends the
// process with SIGTERM when a shared connection's bus goes away: that is off while the daemon is
// unknown, and a refused connection is closed but kept, so that no later user of the shared
// connection in this process reaches that bus or is ended by it.
GObjectPtr<GDBusConnection> sessionBusOfThisUser(GErrorPtr& error) {
    GObjectPtr<GDBusConnection> bus{g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, out(error))};
    if (!bus) {
        return {};
    }
    // Its closing is told through the main loop, which has not run since the connection was
    // made: nothing can end the process before this.
    g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
    if (!servedByThisUser(bus.get())) {
        g_dbus_connection_close_sync(bus.get(), nullptr, nullptr);
        // Deliberately never released: the closed connection stays the process's shared one.
        (void)bus.release();
        return {};
    }
    g_dbus_connection_set_exit_on_close(bus.get(), TRUE);
    return bus;
}

// The unique name of the application name's owner while that is a connection of this user, as
// the daemon (this user's) tells it; empty when no one or someone else owns the name.
std::optional<std::string> ownerOfThisUser(GDBusConnection* connection) {
    const GVariantPtr owner = askBus(connection, "GetNameOwner",
                                     g_variant_new("(s)", kApplicationId), G_VARIANT_TYPE("(s)"));
    if (!owner) {
        return std::nullopt;  // no launcher registered
    }
    const gchar* unique = nullptr;
    g_variant_get(owner.get(), "(&s)", &unique);
    const GVariantPtr user = askBus(connection, "GetConnectionUnixUser",
                                    g_variant_new("(s)", unique), G_VARIANT_TYPE("(u)"));
    if (!user) {
        spdlog::warn("The owner of the launcher's application name has gone or cannot be told");
        return std::nullopt;
    }
    guint32 uid = 0;
    g_variant_get(user.get(), "(u)", &uid);
    if (uid != ::geteuid()) {
        spdlog::warn(
            "The launcher's application name on the session bus is owned by user {}, not by "
            "this user: not handing the deeplink to it",
            uid);
        return std::nullopt;
    }
    return std::string{unique};
}

// Asks the launcher `owner` (a unique bus name) to open `link`, the way GApplication does, but
// waits for its answer.
HandOver openInRunningLauncher(GDBusConnection* connection, const std::string& owner,
                               const std::string& link) {
    GVariantBuilder uris;
    g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&uris, "s", link.c_str());
    GVariantBuilder platformData;
    g_variant_builder_init(&platformData, G_VARIANT_TYPE("a{sv}"));
    GErrorPtr error;
    const GVariantPtr reply{g_dbus_connection_call_sync(
        connection, owner.c_str(), kObjectPath, "org.gtk.Application", "Open",
        g_variant_new("(assa{sv})", &uris, "", &platformData), nullptr,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, kHandOverTimeoutMs, nullptr, out(error))};
    if (reply) {
        return HandOver::taken;
    }
    // A frozen launcher may never take it; a busy one still gets the call once it is free.
    return error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_TIMED_OUT)
               ? HandOver::unanswered
               : HandOver::failed;
}

// Makes this launcher the receiver of later launchers' links, on a bus of this user only. It
// hands nothing over itself: it runs because it holds the instance lock (or none can be had),
// whoever else owns the name.
void claimApplicationName() {
    GErrorPtr error;
    const GObjectPtr<GDBusConnection> bus = sessionBusOfThisUser(error);
    if (!bus && error) {
        spdlog::warn("Deeplinks from other launchers unavailable: {}", error->message);
        return;
    }
    if (!bus) {
        spdlog::warn(
            "Deeplinks from other launchers unavailable: the session bus is not this "
            "user's");
        return;
    }
    // Lives until the process ends, like the registration it stands for. GApplication uses the
    // same shared connection that was just checked.
    static GApplication* const application =
        g_application_new(kApplicationId, G_APPLICATION_HANDLES_OPEN);
    g_signal_connect(application, "open", G_CALLBACK(onOpen), nullptr);
    if (!g_application_register(application, nullptr, out(error))) {
        spdlog::warn("Deeplinks from other launchers unavailable: {}",
                     error ? error->message : "no session bus");
        return;
    }
    if (g_application_get_is_remote(application)) {
        spdlog::warn(
            "Another process owns the launcher's application name: deeplinks of later launchers "
            "go to it");
    }
}

}  // namespace

HandOver handDeeplinkToRunningLauncher(const std::string& link) {
    if (!g_utf8_validate(link.data(), static_cast<gssize>(link.size()), nullptr)) {
        return HandOver::failed;
    }
    GErrorPtr error;
    const GObjectPtr<GDBusConnection> bus = sessionBusOfThisUser(error);
    if (!bus) {
        return HandOver::failed;
    }
    const auto owner = ownerOfThisUser(bus.get());
    return owner ? openInRunningLauncher(bus.get(), *owner, link) : HandOver::failed;
}

void registerDeeplinkHandler(std::function<void(const std::string&)> callback) {
    deeplinkCallback() = std::move(callback);
    static const bool claimed = [] {
        claimApplicationName();
        return true;
    }();
    (void)claimed;
}

}  // namespace zentravo::system
