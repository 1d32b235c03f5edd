// Bringing another process's window forward. This speaks XCB on a connection of its own: it is
// called from any thread, and XCB returns errors per request instead of through Xlib's
// process-wide handler (which GDK owns).
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/instance_detection.hpp"

namespace zentravo::system {
namespace {

struct ConnectionClose {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionClose>;

struct Free {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, Free>;

xcb_atom_t atom(xcb_connection_t* connection, const char* name) {
    const auto cookie =
        xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
    const Reply<xcb_intern_atom_reply_t> reply{xcb_intern_atom_reply(connection, cookie, nullptr)};
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::vector<xcb_window_t> windowList(xcb_connection_t* connection, xcb_window_t window,
                                     xcb_atom_t property) {
    const auto cookie =
        xcb_get_property(connection, 0, window, property, XCB_ATOM_WINDOW, 0, 1 << 16);
    const Reply<xcb_get_property_reply_t> reply{
        xcb_get_property_reply(connection, cookie, nullptr)};
    if (!reply || reply->format != 32) {
        return {};
    }
    const auto* data = static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
    return {data, data + xcb_get_property_value_length(reply.get()) / 4};
}

// Top-level windows: the window manager's client list, or the root's children without one.
std::vector<xcb_window_t> topLevels(xcb_connection_t* connection, xcb_window_t root,
                                    xcb_atom_t clientList) {
    auto windows = windowList(connection, root, clientList);
    if (!windows.empty()) {
        return windows;
    }
    const Reply<xcb_query_tree_reply_t> tree{
        xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr)};
    if (!tree) {
        return {};
    }
    const auto* children = xcb_query_tree_children(tree.get());
    return {children, children + xcb_query_tree_children_length(tree.get())};
}

bool ownedBy(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t wmPid, pid_t pid) {
    const auto cookie = xcb_get_property(connection, 0, window, wmPid, XCB_ATOM_CARDINAL, 0, 1);
    const Reply<xcb_get_property_reply_t> reply{
        xcb_get_property_reply(connection, cookie, nullptr)};
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) {
        return false;
    }
    return *static_cast<const uint32_t*>(xcb_get_property_value(reply.get())) ==
           static_cast<uint32_t>(pid);
}

// Toolkits keep unmapped helper windows (such as the client leader) that carry the pid too.
bool viewable(xcb_connection_t* connection, xcb_window_t window) {
    const Reply<xcb_get_window_attributes_reply_t> attributes{xcb_get_window_attributes_reply(
        connection, xcb_get_window_attributes(connection, window), nullptr)};
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

}  // namespace

bool bringWindowForward(pid_t pid) {
    // Windows carry whatever pid their client claims: the pid must name this user's process.
    if (pid <= 0 || !isProcessOf("/proc/" + std::to_string(pid), ::getuid())) {
        return false;
    }
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        return false;
    }
    int screenNumber = 0;
    const Connection connection{xcb_connect(nullptr, &screenNumber)};
    if (!connection || xcb_connection_has_error(connection.get()) != 0) {
        return false;
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int index = 0; index < screenNumber && screens.rem > 0; ++index) {
        xcb_screen_next(&screens);
    }
    if (screens.rem == 0) {
        return false;
    }
    const xcb_window_t root = screens.data->root;
    const xcb_atom_t wmPid = atom(connection.get(), "_NET_WM_PID");
    const xcb_atom_t activeWindow = atom(connection.get(), "_NET_ACTIVE_WINDOW");
    const xcb_atom_t clientList = atom(connection.get(), "_NET_CLIENT_LIST");
    if (wmPid == XCB_ATOM_NONE) {
        return false;
    }
    for (const xcb_window_t window : topLevels(connection.get(), root, clientList)) {
        if (!ownedBy(connection.get(), window, wmPid, pid) || !viewable(connection.get(), window)) {
            continue;
        }
        // Ask the window manager as a pager would (source 2), and raise it directly for a
        // display without one.
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = activeWindow;
        message.data.data32[0] = 2;
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(connection.get(), 0, root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&message));
        const uint32_t above = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(connection.get(), window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        xcb_flush(connection.get());
        return true;
    }
    return false;
}

}  // namespace zentravo::system
