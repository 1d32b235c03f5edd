// Editing shortcuts reach the page as real key presses. Needs the input focus, so it runs on
// an X server of its own.

#include "desktop_window.hpp"
#include "private_display.hpp"
#include "web_view.hpp"
#include "web_view_harness.hpp"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

using vela::ui::WebView;
using webui_test::evaluate;
using webui_test::waitForPage;

namespace {

::testing::Environment* const kDisplay =
    ::testing::AddGlobalTestEnvironment(new launcher_test::PrivateDisplay);

}  // namespace

namespace {

void pressKey(GtkWidget* widget, guint keyval, guint state) {
    GdkEvent* const event = gdk_event_new(GDK_KEY_PRESS);
    event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(widget)));
    event->key.send_event = TRUE;
    event->key.time = GDK_CURRENT_TIME;
    event->key.state = state;
    event->key.keyval = keyval;
    GdkDisplay* const display = gtk_widget_get_display(widget);
    gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(display)));
    GdkKeymapKey* keys = nullptr;
    gint count = 0;
    if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &keys,
                                          &count) &&
        count > 0) {
        event->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
        event->key.group = static_cast<guint8>(keys[0].group);
    }
    g_free(keys);
    gtk_widget_event(widget, event);
    gdk_event_free(event);
}

}  // namespace

TEST(WebView, CtrlShortcutsRunTheEditingCommands) {
    vela::ui::DesktopWindow window(vela::ui::Bounds{0, 0, 300, 200});
    WebView view(WebView::Options{});
    window.setContent(view.getViewHandle());
    window.setVisible(true);
    ASSERT_TRUE(webui_test::loadPage(view, "<textarea id=t>hello</textarea>"));
    window.toFront();
    gtk_widget_grab_focus(view.getViewHandle());
    ASSERT_TRUE(webui_test::serveUntil(
        [&] { return gtk_window_is_active(GTK_WINDOW(window.getWindowHandle())) != FALSE; }));
    ASSERT_TRUE(waitForPage(view, "document.hasFocus()", "true"));
    ASSERT_TRUE(evaluate(view,
                         "const t = document.getElementById('t'); t.focus(); "
                         "t.setSelectionRange(5, 5); 0"));

    GtkWidget* const handle = view.getViewHandle();
    pressKey(handle, GDK_KEY_a, GDK_CONTROL_MASK | GDK_LOCK_MASK);  // lock keys do not matter
    ASSERT_TRUE(waitForPage(view, "[t.selectionStart, t.selectionEnd]", "[0, 5]"));
    pressKey(handle, GDK_KEY_x, GDK_CONTROL_MASK);
    ASSERT_TRUE(waitForPage(view, "t.value", "\"\""));
    pressKey(handle, GDK_KEY_z, GDK_CONTROL_MASK);
    ASSERT_TRUE(waitForPage(view, "t.value", "\"hello\""));
    pressKey(handle, GDK_KEY_Z, GDK_CONTROL_MASK | GDK_SHIFT_MASK);
    ASSERT_TRUE(waitForPage(view, "t.value", "\"\""));

    // Caps Lock on: X sends the upper-case key value for Ctrl+z and the lower-case one for
    // Ctrl+Shift+z, each with the lock in the state.
    pressKey(handle, GDK_KEY_Z, GDK_CONTROL_MASK | GDK_LOCK_MASK);
    ASSERT_TRUE(waitForPage(view, "t.value", "\"hello\""));
    pressKey(handle, GDK_KEY_z, GDK_CONTROL_MASK | GDK_SHIFT_MASK | GDK_LOCK_MASK);
    ASSERT_TRUE(waitForPage(view, "t.value", "\"\""));
    pressKey(handle, GDK_KEY_Z, GDK_CONTROL_MASK | GDK_LOCK_MASK);
    ASSERT_TRUE(waitForPage(view, "t.value", "\"hello\""));
    pressKey(handle, GDK_KEY_A, GDK_CONTROL_MASK | GDK_LOCK_MASK);
    ASSERT_TRUE(waitForPage(view, "[t.selectionStart, t.selectionEnd]", "[0, 5]"));
}
