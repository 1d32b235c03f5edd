#include "window_cosmetics.hpp"

#include "desktop_window.hpp"
#include "glib_handles.hpp"
#include "web_view.hpp"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace vela::ui {
namespace {

constexpr double kCornerRadius = 10.0;
constexpr const char* kRoundedKey = "vela-rounded-corners";

// Clears the window to transparent and leaves a rounded clip in place, so the content drawn
// after this handler (the web view) is cut at the corners.
gboolean clipToRoundedCorners(GtkWidget* widget, cairo_t* cr, gpointer) {
    const double width = gtk_widget_get_allocated_width(widget);
    const double height = gtk_widget_get_allocated_height(widget);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_rgba(cr, 0, 0, 0, 0);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    const double r = std::min({kCornerRadius, width / 2, height / 2});
    cairo_new_sub_path(cr);
    cairo_arc(cr, width - r, r, r, -M_PI / 2, 0);
    cairo_arc(cr, width - r, height - r, r, 0, M_PI / 2);
    cairo_arc(cr, r, height - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, r, r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
    cairo_clip(cr);
    return FALSE;
}

// Without a compositor the transparent corners would show black: the X shape cuts them.
void updateShape(GtkWidget* widget) {
    if (gdk_screen_is_composited(gtk_widget_get_screen(widget))) {
        gtk_widget_shape_combine_region(widget, nullptr);
        return;
    }
    int width = 0;
    int height = 0;
    gtk_window_get_size(GTK_WINDOW(widget), &width, &height);
    const std::unique_ptr<cairo_region_t, glib::Release<cairo_region_destroy>> region(
        cairo_region_create());
    const int r = static_cast<int>(std::min({kCornerRadius, width / 2.0, height / 2.0}));
    for (int row = 0; row < r; ++row) {
        const double dy = r - row - 0.5;
        const int inset = static_cast<int>(std::lround(r - std::sqrt(r * r - dy * dy)));
        const cairo_rectangle_int_t top{inset, row, width - 2 * inset, 1};
        const cairo_rectangle_int_t bottom{inset, height - 1 - row, width - 2 * inset, 1};
        cairo_region_union_rectangle(region.get(), &top);
        cairo_region_union_rectangle(region.get(), &bottom);
    }
    const cairo_rectangle_int_t middle{0, r, width, height - 2 * r};
    cairo_region_union_rectangle(region.get(), &middle);
    gtk_widget_shape_combine_region(widget, region.get());
}

void onRoundedWindowAllocated(GtkWidget* widget, GdkRectangle*, gpointer) {
    updateShape(widget);
}

}  // namespace

void hideWindowTitleBar(const DesktopWindow& window) {
    GtkWidget* const widget = window.getWindowHandle();
    if (widget == nullptr) {
        return;
    }
    GtkWindow* const w = GTK_WINDOW(widget);

    // Transparency needs an alpha visual, which can only be chosen before the window exists
    // on the server.
    if (!gtk_widget_get_realized(widget)) {
        if (GdkVisual* const rgba = gdk_screen_get_rgba_visual(gtk_widget_get_screen(widget))) {
            gtk_widget_set_visual(widget, rgba);
        }
    }
    gtk_widget_set_app_paintable(widget, TRUE);
    gtk_window_set_decorated(w, FALSE);
    gtk_window_set_deletable(w, FALSE);
    gtk_window_set_resizable(w, FALSE);

    // Centred against the monitor the window is on; a window not yet on screen has none, and
    // ends up at minus half its size until it is placed.
    GdkRectangle screen{0, 0, 0, 0};
    if (GdkWindow* const gdkWindow = gtk_widget_get_window(widget)) {
        if (GdkMonitor* const monitor =
                gdk_display_get_monitor_at_window(gtk_widget_get_display(widget), gdkWindow)) {
            gdk_monitor_get_geometry(monitor, &screen);
        }
    }
    int width = 0;
    int height = 0;
    gtk_window_get_size(w, &width, &height);
    gtk_window_move(w, static_cast<int>(screen.width * 0.5 - width * 0.5),
                    static_cast<int>(screen.height * 0.5 - height * 0.5));

    if (g_object_get_data(G_OBJECT(widget), kRoundedKey) == nullptr) {
        g_object_set_data(G_OBJECT(widget), kRoundedKey, GINT_TO_POINTER(1));
        g_signal_connect(widget, "draw", G_CALLBACK(clipToRoundedCorners), nullptr);
        g_signal_connect(widget, "size-allocate", G_CALLBACK(onRoundedWindowAllocated), nullptr);
    }
    updateShape(widget);
}

void hideWebViewBackground(const WebView& webView) {
    GtkWidget* const view = webView.getViewHandle();
    if (view == nullptr) {
        return;
    }
    const GdkRGBA transparent{0, 0, 0, 0};
    webkit_web_view_set_background_color(WEBKIT_WEB_VIEW(view), &transparent);
}

}  // namespace vela::ui

namespace zentravo::ui {

Frame centeredFrame(std::span<const Frame> screens, Point pointer, std::int32_t width,
                    std::int32_t height) {
    Frame target;
    if (!screens.empty()) {
        target = screens.front();
        for (const Frame& screen : screens) {
            if (pointer.x >= screen.x && pointer.x < screen.x + screen.width &&
                pointer.y >= screen.y && pointer.y < screen.y + screen.height) {
                target = screen;
                break;
            }
        }
    }
    return Frame{target.x + target.width * 0.5 - static_cast<double>(width / 2),
                 target.y + target.height * 0.5 - static_cast<double>(height / 2),
                 static_cast<double>(width), static_cast<double>(height)};
}

void unifyAppIcons() {
    GList* const toplevels = gtk_window_list_toplevels();
    for (GList* item = toplevels; item != nullptr; item = item->next) {
        GtkWindow* const window = GTK_WINDOW(item->data);
        gtk_window_set_skip_taskbar_hint(window, TRUE);
        gtk_window_set_skip_pager_hint(window, TRUE);
    }
    g_list_free(toplevels);
}

void centerWithSize(const vela::ui::DesktopWindow& window, std::int32_t width,
                    std::int32_t height) {
    GtkWidget* const widget = window.getWindowHandle();
    if (widget == nullptr || width <= 0 || height <= 0) {
        return;
    }
    GdkDisplay* const display = gtk_widget_get_display(widget);
    Point pointer;
    if (GdkSeat* const seat = gdk_display_get_default_seat(display)) {
        if (GdkDevice* const device = gdk_seat_get_pointer(seat)) {
            int x = 0;
            int y = 0;
            gdk_device_get_position(device, nullptr, &x, &y);
            pointer = Point{static_cast<double>(x), static_cast<double>(y)};
        }
    }
    // The primary monitor comes first: it is the fallback when the pointer is on none.
    std::vector<GdkMonitor*> ordered;
    GdkMonitor* const primary = gdk_display_get_primary_monitor(display);
    if (primary != nullptr) {
        ordered.push_back(primary);
    }
    for (int i = 0; i < gdk_display_get_n_monitors(display); ++i) {
        if (GdkMonitor* const monitor = gdk_display_get_monitor(display, i); monitor != primary) {
            ordered.push_back(monitor);
        }
    }
    std::vector<Frame> screens;
    for (GdkMonitor* const monitor : ordered) {
        GdkRectangle geometry{};
        gdk_monitor_get_geometry(monitor, &geometry);
        screens.push_back(Frame{static_cast<double>(geometry.x), static_cast<double>(geometry.y),
                                static_cast<double>(geometry.width),
                                static_cast<double>(geometry.height)});
    }
    const Frame frame = centeredFrame(screens, pointer, width, height);
    GtkWindow* const w = GTK_WINDOW(widget);
    // A window that is not resizable takes at least its content's natural size, and a web view
    // asks for more rows than the launcher has: the request pins the size.
    gtk_widget_set_size_request(widget, width, height);
    gtk_window_set_default_size(w, width, height);
    gtk_window_resize(w, width, height);
    gtk_window_move(w, static_cast<int>(std::lround(frame.x)),
                    static_cast<int>(std::lround(frame.y)));
}

}  // namespace zentravo::ui
