#pragma once
// What a user does to another program's window on the test display, over XCB: find the window a
// process mapped, ask it to close as a window manager would, and click into it (XTest).

#include <sys/types.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace launcher_test {

struct WindowInfo {
    xcb_window_t id = 0;
    int x = 0;  // on the root window
    int y = 0;
    int width = 0;
    int height = 0;
};

class X11Desktop {
  public:
    // The given display; the one DISPLAY names when empty.
    explicit X11Desktop(const std::string& display)
        : connection_{xcb_connect(display.empty() ? nullptr : display.c_str(), &screenIndex_)} {
        if (xcb_connection_has_error(connection_) != 0) {
            xcb_disconnect(connection_);
            connection_ = nullptr;
            return;
        }
        auto it = xcb_setup_roots_iterator(xcb_get_setup(connection_));
        for (int i = 0; i < screenIndex_; ++i) {
            xcb_screen_next(&it);
        }
        root_ = it.data->root;
    }
    ~X11Desktop() {
        if (connection_ != nullptr) {
            xcb_disconnect(connection_);
        }
    }
    X11Desktop(const X11Desktop&) = delete;
    X11Desktop& operator=(const X11Desktop&) = delete;

    [[nodiscard]] bool connected() const { return connection_ != nullptr; }

    // The viewable top-level window whose _NET_WM_PID is `pid`.
    [[nodiscard]] std::optional<WindowInfo> findWindow(pid_t pid) {
        const xcb_atom_t pidAtom = atom("_NET_WM_PID");
        std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree{
            xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr),
            &std::free};
        if (!tree) {
            return std::nullopt;
        }
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        const int count = xcb_query_tree_children_length(tree.get());
        for (int i = 0; i < count; ++i) {
            if (propertyCardinal(children[i], pidAtom) != static_cast<std::uint32_t>(pid) ||
                !viewable(children[i])) {
                continue;
            }
            return geometry(children[i]);
        }
        return std::nullopt;
    }

    std::optional<WindowInfo> waitForWindow(pid_t pid, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        do {
            if (auto found = findWindow(pid)) {
                return found;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds{50});
        } while (std::chrono::steady_clock::now() < deadline);
        return std::nullopt;
    }

    // WM_DELETE_WINDOW, the way a window manager passes on the user's close request.
    void requestClose(xcb_window_t window) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = atom("WM_PROTOCOLS");
        event.data.data32[0] = atom("WM_DELETE_WINDOW");
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char*>(&event));
        xcb_flush(connection_);
    }

    // A left click at a point of the root window, as real input.
    void click(int x, int y) {
        xcb_test_fake_input(connection_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_,
                            static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 0);
        xcb_test_fake_input(connection_, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(connection_, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                            0);
        xcb_aux_sync();
    }

    struct Rgb {
        int red = 0;
        int green = 0;
        int blue = 0;
    };
    // One pixel of a window (24-bit visual), in window coordinates.
    [[nodiscard]] std::optional<Rgb> pixel(xcb_window_t window, int x, int y) {
        std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> image{
            xcb_get_image_reply(connection_,
                                xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, window,
                                              static_cast<std::int16_t>(x),
                                              static_cast<std::int16_t>(y), 1, 1, 0xffffffffU),
                                nullptr),
            &std::free};
        if (!image || xcb_get_image_data_length(image.get()) < 4) {
            return std::nullopt;
        }
        const std::uint8_t* bgr = xcb_get_image_data(image.get());
        return Rgb{bgr[2], bgr[1], bgr[0]};
    }

  private:
    void xcb_aux_sync() {
        std::free(
            xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }

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

    std::uint32_t propertyCardinal(xcb_window_t window, xcb_atom_t property) {
        std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply{
            xcb_get_property_reply(
                connection_,
                xcb_get_property(connection_, 0, window, property, XCB_ATOM_CARDINAL, 0, 1),
                nullptr),
            &std::free};
        if (!reply || xcb_get_property_value_length(reply.get()) < 4) {
            return 0;
        }
        return *static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    }

    bool viewable(xcb_window_t window) {
        std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> reply{
            xcb_get_window_attributes_reply(
                connection_, xcb_get_window_attributes(connection_, window), nullptr),
            &std::free};
        return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
    }

    std::optional<WindowInfo> geometry(xcb_window_t window) {
        std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> reply{
            xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr),
            &std::free};
        std::unique_ptr<xcb_translate_coordinates_reply_t, decltype(&std::free)> where{
            xcb_translate_coordinates_reply(
                connection_, xcb_translate_coordinates(connection_, window, root_, 0, 0), nullptr),
            &std::free};
        if (!reply || !where) {
            return std::nullopt;
        }
        return WindowInfo{window, where->dst_x, where->dst_y, reply->width, reply->height};
    }

    int screenIndex_ = 0;
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = 0;
};

}  // namespace launcher_test
