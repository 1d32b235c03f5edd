#include "desktop_window.hpp"
#include "messageloop.hpp"
#include "private_display.hpp"
#include "webui_test_env.hpp"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

using namespace std::chrono_literals;
using vela::ui::Bounds;
using vela::ui::DesktopWindow;
namespace messageloop = vela::messageloop;

namespace {

// A display of its own: windows of tests running in parallel neither cover nor raise ours.
::testing::Environment* const kDisplay =
    ::testing::AddGlobalTestEnvironment(new launcher_test::PrivateDisplay);

// Serves the loop, message queue included, until a stop; a watchdog stops it after limit.
// True when something else stopped it first.
bool runLoop(std::chrono::milliseconds limit = 10s) {
    struct Watchdog {
        bool fired = false;
    } watchdog;
    const guint id = g_timeout_add(
        static_cast<guint>(limit.count()),
        [](gpointer data) {
            static_cast<Watchdog*>(data)->fired = true;
            messageloop::stop();
            return G_SOURCE_REMOVE;
        },
        &watchdog);
    messageloop::run();
    if (!watchdog.fired) {
        g_source_remove(id);
    }
    return !watchdog.fired;
}

}  // namespace

TEST(DesktopWindow, ZeroBoundsWindowIsBuiltHiddenWithTitleBarAndOnlyResizableOnRequest) {
    DesktopWindow window(Bounds{0, 0, 0, 0});
    GtkWidget* const handle = window.getWindowHandle();
    ASSERT_NE(handle, nullptr);
    GtkWindow* const w = GTK_WINDOW(handle);
    EXPECT_FALSE(gtk_widget_get_visible(handle));
    EXPECT_TRUE(gtk_window_get_decorated(w));
    EXPECT_TRUE(gtk_window_get_deletable(w));
    EXPECT_FALSE(gtk_window_get_resizable(w));

    window.setResizable(false);  // already off: the other style bits stay
    EXPECT_FALSE(gtk_window_get_resizable(w));
    EXPECT_TRUE(gtk_window_get_decorated(w));
    window.setResizable(true);
    EXPECT_TRUE(gtk_window_get_resizable(w));
    EXPECT_TRUE(gtk_window_get_deletable(w));

    window.setVisible(true);
    EXPECT_TRUE(gtk_widget_get_visible(handle));
    window.setVisible(false);
    EXPECT_FALSE(gtk_widget_get_visible(handle));
}

TEST(DesktopWindow, ResizeIsReportedAtOnce) {
    DesktopWindow window(Bounds{10, 10, 200, 100});
    int resized = 0;
    window.windowResized = [&] { ++resized; };
    window.setResizable(true);
    window.setVisible(true);
    ASSERT_TRUE(webui_test::serveUntil([&] { return resized > 0; }));

    const int before = resized;
    int sizeWhenReported = 0;
    window.windowResized = [&] {
        ++resized;
        sizeWhenReported = gtk_widget_get_allocated_width(window.getWindowHandle());
    };
    gtk_window_resize(GTK_WINDOW(window.getWindowHandle()), 320, 240);
    ASSERT_TRUE(webui_test::serveUntil([&] { return resized > before; }));
    // Reported inside the size change: the new size is already in place.
    EXPECT_EQ(sizeWhenReported, 320);
}

TEST(DesktopWindow, CloseRequestClosesTheWindowAndPostsWindowClosedOnce) {
    DesktopWindow window(Bounds{0, 0, 200, 100});
    DesktopWindow other(Bounds{0, 0, 200, 100});
    int closed = 0;
    bool handleGoneWhenCalled = false;
    bool calledInsideClose = false;
    bool closing = false;
    window.windowClosed = [&] {
        ++closed;
        calledInsideClose = closing;
        handleGoneWhenCalled = window.getWindowHandle() == nullptr;
        messageloop::stop();
    };
    window.setVisible(true);
    other.setVisible(true);
    GtkWidget* const content = gtk_label_new("content");
    g_object_ref_sink(content);
    window.setContent(content);

    messageloop::postMessage([&] {
        closing = true;
        // The close button's path: a delete event for the window.
        GdkEvent* const event = gdk_event_new(GDK_DELETE);
        event->any.window =
            GDK_WINDOW(g_object_ref(gtk_widget_get_window(window.getWindowHandle())));
        gtk_main_do_event(event);
        gdk_event_free(event);
        closing = false;
    });
    ASSERT_TRUE(runLoop());

    EXPECT_EQ(closed, 1);
    EXPECT_TRUE(handleGoneWhenCalled);
    EXPECT_FALSE(calledInsideClose);
    EXPECT_EQ(window.getWindowHandle(), nullptr);
    // The content was given back, not destroyed with the window.
    EXPECT_EQ(gtk_widget_get_parent(content), nullptr);
    EXPECT_FALSE(gtk_widget_in_destruction(content));
    // Everything on a closed window does nothing.
    window.setVisible(true);
    window.toFront();
    window.setResizable(true);
    window.setContent(content);
    EXPECT_EQ(gtk_widget_get_parent(content), nullptr);

    // The other window is untouched, and nothing more was posted for the closed one.
    EXPECT_NE(other.getWindowHandle(), nullptr);
    EXPECT_TRUE(gtk_widget_get_visible(other.getWindowHandle()));
    messageloop::postMessage([] { messageloop::stop(); });
    ASSERT_TRUE(runLoop());
    EXPECT_EQ(closed, 1);
    g_object_unref(content);
}

TEST(DesktopWindow, ClosingWithoutCallbackPostsNothing) {
    DesktopWindow window(Bounds{0, 0, 100, 100});
    window.setVisible(true);
    gtk_window_close(GTK_WINDOW(window.getWindowHandle()));
    ASSERT_TRUE(webui_test::serveUntil([&] { return window.getWindowHandle() == nullptr; }));
    int ran = 0;
    messageloop::postMessage([&] {
        ++ran;
        messageloop::stop();
    });
    ASSERT_TRUE(runLoop());
    EXPECT_EQ(ran, 1);
}
