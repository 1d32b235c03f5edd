// Deep links delivered to a running launcher. The desktop starts the launcher with the link as
// its first argument (see zentravo-launcher.desktop); the launcher that owns the session-wide
// application name receives links from later ones through GApplication's "open".
#include <gio/gio.h>
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>

#include "log_text.hpp"
#include "platform/glib_handles.hpp"
#include "system.hpp"

namespace zentravo::system {
namespace {

constexpr const char* kApplicationId = "com.zentravo.Launcher";
constexpr const char* kObjectPath = "/com/zentravo/Launcher";
constexpr std::string_view kSchemeWord = "zentravo";
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

// Asks the launcher that owns the application name to open `link`, the way GApplication does,
// but waits for its answer.
HandOver openInRunningLauncher(GDBusConnection* connection, const std::string& link) {
    GVariantBuilder uris;
    g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&uris, "s", link.c_str());
    GVariantBuilder platformData;
    g_variant_builder_init(&platformData, G_VARIANT_TYPE("a{sv}"));
    GErrorPtr error;
    GVariant* reply = g_dbus_connection_call_sync(
        connection, kApplicationId, kObjectPath, "org.gtk.Application", "Open",
        g_variant_new("(assa{sv})", &uris, "", &platformData), nullptr,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, kHandOverTimeoutMs, nullptr, out(error));
    if (reply != nullptr) {
        g_variant_unref(reply);
        return HandOver::taken;
    }
    // A frozen launcher may never take it; a busy one still gets the call once it is free.
    return error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_TIMED_OUT)
               ? HandOver::unanswered
               : HandOver::failed;
}

// This process's first argument when it is a deep link (UTF-8, as the session bus requires).
std::optional<std::string> ownDeeplinkArgument() {
    std::ifstream in{"/proc/self/cmdline", std::ios::binary};
    const std::string raw{std::istreambuf_iterator<char>{in}, std::istreambuf_iterator<char>{}};
    const auto first = raw.find('\0');
    if (first == std::string::npos || first + 1 >= raw.size()) {
        return std::nullopt;
    }
    const auto second = raw.find('\0', first + 1);
    std::string argument = raw.substr(first + 1, second - first - 1);
    if (!argument.starts_with(kSchemeWord) ||
        !g_utf8_validate(argument.data(), static_cast<gssize>(argument.size()), nullptr)) {
        return std::nullopt;
    }
    return argument;
}

// Ends this process once the launcher that owns the application name has taken the link; a
// name whose owner is going away takes nothing, and this launcher carries on.
void forwardAndExitIfTaken(GApplication* application, const std::string& link) {
    GDBusConnection* connection = g_application_get_dbus_connection(application);
    const HandOver handOver =
        connection == nullptr ? HandOver::failed : openInRunningLauncher(connection, link);
    if (handOver == HandOver::unanswered) {
        spdlog::warn(
            "The launcher that owns the application name did not answer in time: "
            "keeping the deeplink");
        return;
    }
    if (handOver != HandOver::taken) {
        spdlog::warn("The launcher that owns the application name did not take the deeplink");
        return;
    }
    spdlog::info("Deeplink handed to the running launcher: '{}'", logtext::escape(link));
    if (auto logger = spdlog::default_logger()) {
        logger->flush();
    }
    std::exit(0);
}

void claimApplicationName() {
    // Lives until the process ends, like the registration it stands for.
    static GApplication* const application =
        g_application_new(kApplicationId, G_APPLICATION_HANDLES_OPEN);
    g_signal_connect(application, "open", G_CALLBACK(onOpen), nullptr);
    GErrorPtr error;
    if (!g_application_register(application, nullptr, out(error))) {
        spdlog::warn("Deeplinks from other launchers unavailable: {}",
                     error ? error->message : "no session bus");
        return;
    }
    if (!g_application_get_is_remote(application)) {
        return;
    }
    if (const auto link = ownDeeplinkArgument()) {
        forwardAndExitIfTaken(application, *link);
    }
    // Another launcher runs and this one has no link to hand over: the instance checks decide.
}

}  // namespace

HandOver handDeeplinkToRunningLauncher(const std::string& link) {
    if (!g_utf8_validate(link.data(), static_cast<gssize>(link.size()), nullptr)) {
        return HandOver::failed;
    }
    GErrorPtr error;
    const GObjectPtr<GDBusConnection> bus{g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, out(error))};
    return bus ? openInRunningLauncher(bus.get(), link) : HandOver::failed;
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
