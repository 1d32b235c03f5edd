// The message box on a display: a modal dialog on the main thread that blocks its caller until it
// is dismissed.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <thread>

#include "system.hpp"
#include "system_test_support.hpp"

namespace {

struct Seen {
    std::string title;
    std::string text;
    std::string secondary;
    bool modal = false;
};

GtkMessageDialog* findDialog() {
    GList* toplevels = gtk_window_list_toplevels();
    GtkMessageDialog* found = nullptr;
    for (GList* item = toplevels; item != nullptr; item = item->next) {
        if (GTK_IS_MESSAGE_DIALOG(item->data) && gtk_widget_get_mapped(GTK_WIDGET(item->data))) {
            found = GTK_MESSAGE_DIALOG(item->data);
        }
    }
    g_list_free(toplevels);
    return found;
}

Seen describe(GtkMessageDialog* dialog) {
    Seen seen;
    gchar* text = nullptr;
    gchar* secondary = nullptr;
    g_object_get(dialog, "text", &text, "secondary-text", &secondary, nullptr);
    seen.title = gtk_window_get_title(GTK_WINDOW(dialog)) ?: "";
    seen.text = text != nullptr ? text : "";
    seen.secondary = secondary != nullptr ? secondary : "";
    seen.modal = gtk_window_get_modal(GTK_WINDOW(dialog));
    g_free(text);
    g_free(secondary);
    return seen;
}

// Polls for the dialog, describes it, then dismisses it with `dismiss`.
struct Dismisser {
    void (*dismiss)(GtkMessageDialog*);
    std::optional<Seen> seen;
    std::atomic<bool>* callerReturned = nullptr;
    bool callerWasBlocked = false;
    guint source = 0;

    void start() {
        source = g_timeout_add(
            50,
            [](gpointer data) -> gboolean {
                auto& self = *static_cast<Dismisser*>(data);
                GtkMessageDialog* dialog = findDialog();
                if (dialog == nullptr) {
                    return G_SOURCE_CONTINUE;
                }
                self.seen = describe(dialog);
                self.callerWasBlocked = self.callerReturned == nullptr || !*self.callerReturned;
                self.dismiss(dialog);
                self.source = 0;
                return G_SOURCE_REMOVE;
            },
            this);
    }
};

class MessageBoxOnDisplay : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "needs a display"; }
};

TEST_F(MessageBoxOnDisplay, CallerOnAnotherThreadWaitsUntilTheDialogIsDismissed) {
    std::atomic<bool> returned{false};
    Dismisser dismisser{
        [](GtkMessageDialog* dialog) { gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK); },
        {},
        &returned};
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    dismisser.start();
    std::thread caller{[&] {
        zentravo::system::showMessageBox("Zentravo", "The application could not be started.");
        returned = true;
        system_test::quitLoop(loop);
    }};
    g_main_loop_run(loop);
    caller.join();
    g_main_loop_unref(loop);

    ASSERT_TRUE(dismisser.seen);
    EXPECT_TRUE(dismisser.callerWasBlocked);
    EXPECT_EQ(dismisser.seen->title, "Zentravo");
    EXPECT_EQ(dismisser.seen->text, "Zentravo");
    EXPECT_EQ(dismisser.seen->secondary, "The application could not be started.");
    EXPECT_TRUE(dismisser.seen->modal);
    EXPECT_EQ(findDialog(), nullptr) << "the dialog is gone once dismissed";
}

TEST_F(MessageBoxOnDisplay, OnTheMainThreadClosingTheWindowDismissesIt) {
    Dismisser dismisser{
        [](GtkMessageDialog* dialog) { gtk_window_close(GTK_WINDOW(dialog)); }, {}, nullptr};
    dismisser.start();
    // Markup and an invalid UTF-8 text are shown literally and left out, respectively.
    zentravo::system::showMessageBox("<b>Zentravo</b>", "bad \xff text");
    ASSERT_TRUE(dismisser.seen);
    EXPECT_EQ(dismisser.seen->text, "<b>Zentravo</b>");
    EXPECT_EQ(dismisser.seen->secondary, "");
    EXPECT_EQ(findDialog(), nullptr);
}

}  // namespace
