#include "desktop_window.hpp"

#include "glib_handles.hpp"
#include "messageloop.hpp"
#include "toolkit.hpp"

#include <gtk/gtk.h>

#include <algorithm>

namespace vela::ui {
namespace {

// Style bits as the window's owner knows them; each maps onto the GTK window state.
constexpr unsigned kTitled = 1;
constexpr unsigned kClosable = 2;
constexpr unsigned kMiniaturizable = 4;
constexpr unsigned kResizable = 8;

}  // namespace

struct DesktopWindow::Pimpl {
    DesktopWindow& owner;
    glib::Object<GtkWidget> window;
    int lastWidth = -1;
    int lastHeight = -1;

    Pimpl(DesktopWindow& ownerRef, Bounds bounds) : owner(ownerRef) {
        if (!ensureToolkit()) {
            return;
        }
        // GTK owns a toplevel's first reference; this one is ours until we destroy it.
        window.reset(GTK_WIDGET(g_object_ref(gtk_window_new(GTK_WINDOW_TOPLEVEL))));
        GtkWindow* const w = GTK_WINDOW(window.get());
        // A regular application window: listed in the task bar until the cosmetics say no.
        gtk_window_set_skip_taskbar_hint(w, FALSE);
        gtk_window_set_skip_pager_hint(w, FALSE);
        gtk_window_set_default_size(w, std::max(bounds.width, 1), std::max(bounds.height, 1));
        gtk_window_move(w, bounds.x, bounds.y);
        setStyleBit(kTitled | kClosable | kMiniaturizable, true);
        setStyleBit(kResizable, false);
        g_signal_connect(window.get(), "delete-event", G_CALLBACK(onDelete), this);
        g_signal_connect(window.get(), "size-allocate", G_CALLBACK(onSizeAllocate), this);
    }

    ~Pimpl() { destroyWindow(); }

    Pimpl(const Pimpl&) = delete;
    Pimpl& operator=(const Pimpl&) = delete;

    [[nodiscard]] unsigned styleMask() const {
        GtkWindow* const w = GTK_WINDOW(window.get());
        const bool titled = gtk_window_get_decorated(w) != FALSE;
        unsigned mask = 0;
        mask |= titled ? kTitled | kMiniaturizable : 0;
        mask |= gtk_window_get_deletable(w) != FALSE ? kClosable : 0;
        mask |= gtk_window_get_resizable(w) != FALSE ? kResizable : 0;
        return mask;
    }

    void setStyleBit(unsigned bits, bool on) {
        if (!window) {
            return;
        }
        const unsigned mask = on ? styleMask() | bits : styleMask() & ~bits;
        GtkWindow* const w = GTK_WINDOW(window.get());
        gtk_window_set_decorated(w, (mask & kTitled) != 0);
        gtk_window_set_deletable(w, (mask & kClosable) != 0);
        gtk_window_set_resizable(w, (mask & kResizable) != 0);
    }

    // Lets the window go without taking its content along: the web view outlives a closed
    // window and is released by its own owner.
    void destroyWindow() noexcept {
        if (!window) {
            return;
        }
        const glib::Object<GtkWidget> closing = std::move(window);
        g_signal_handlers_disconnect_by_data(closing.get(), this);
        if (GtkWidget* const child = gtk_bin_get_child(GTK_BIN(closing.get()))) {
            gtk_container_remove(GTK_CONTAINER(closing.get()), child);
        }
        gtk_widget_destroy(closing.get());
    }

    static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer data) {
        auto* const self = static_cast<Pimpl*>(data);
        self->destroyWindow();
        if (self->owner.windowClosed) {
            messageloop::postMessage([closed = self->owner.windowClosed] { closed(); });
        }
        return TRUE;  // already destroyed above
    }

    static void onSizeAllocate(GtkWidget* widget, GdkRectangle*, gpointer data) {
        auto* const self = static_cast<Pimpl*>(data);
        int width = 0;
        int height = 0;
        gtk_window_get_size(GTK_WINDOW(widget), &width, &height);
        if (width == self->lastWidth && height == self->lastHeight) {
            return;  // an allocation pass without a size change
        }
        self->lastWidth = width;
        self->lastHeight = height;
        if (self->owner.windowResized) {
            const auto resized = self->owner.windowResized;
            resized();
        }
    }
};

DesktopWindow::DesktopWindow(Bounds bounds) : pimpl(std::make_unique<Pimpl>(*this, bounds)) {}

DesktopWindow::~DesktopWindow() = default;

void DesktopWindow::setContent(GtkWidget* view) {
    GtkWidget* const w = pimpl->window.get();
    if (w == nullptr) {
        return;
    }
    if (GtkWidget* const old = gtk_bin_get_child(GTK_BIN(w)); old != nullptr && old != view) {
        gtk_container_remove(GTK_CONTAINER(w), old);
    }
    if (view != nullptr && gtk_bin_get_child(GTK_BIN(w)) != view) {
        if (GtkWidget* const parent = gtk_widget_get_parent(view)) {
            gtk_container_remove(GTK_CONTAINER(parent), view);
        }
        gtk_container_add(GTK_CONTAINER(w), view);
    }
}

void DesktopWindow::setVisible(bool visible) {
    GtkWidget* const w = pimpl->window.get();
    if (w == nullptr) {
        return;
    }
    if (visible) {
        gtk_widget_show_all(w);
    } else {
        gtk_widget_hide(w);
    }
}

void DesktopWindow::toFront() {
    if (GtkWidget* const w = pimpl->window.get()) {
        gtk_window_present(GTK_WINDOW(w));
    }
}

void DesktopWindow::setResizable(bool resizable) {
    pimpl->setStyleBit(kResizable, resizable);
}

GtkWidget* DesktopWindow::getWindowHandle() const {
    return pimpl->window.get();
}

}  // namespace vela::ui
