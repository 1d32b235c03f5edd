// The self-update's GTK dialogs on a real display: the offer answers with the button pressed,
// the download window shows progress and its Cancel button reaches the updater.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "self_update_controller.hpp"

namespace {

using zentravo::selfupdate::Choice;
constexpr const char* kTitle = "Zentravo Launcher Update";

void pumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds{10}) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        g_main_context_iteration(nullptr, FALSE);
    }
}

std::vector<GtkWindow*> updateWindows() {
    std::vector<GtkWindow*> found;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l != nullptr; l = l->next) {
        GtkWindow* window = GTK_WINDOW(l->data);
        const char* title = gtk_window_get_title(window);
        if (title != nullptr && std::string{title} == kTitle &&
            gtk_widget_get_visible(GTK_WIDGET(window))) {
            found.push_back(window);
        }
    }
    g_list_free(all);
    return found;
}

void collect(GtkWidget* widget, GType type, std::vector<GtkWidget*>& out) {
    if (G_TYPE_CHECK_INSTANCE_TYPE(widget, type)) {
        out.push_back(widget);
    }
    if (GTK_IS_CONTAINER(widget)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
        for (GList* l = children; l != nullptr; l = l->next) {
            collect(GTK_WIDGET(l->data), type, out);
        }
        g_list_free(children);
    }
}

GtkWidget* buttonLabelled(GtkWindow* window, const std::string& label) {
    std::vector<GtkWidget*> buttons;
    collect(GTK_WIDGET(window), GTK_TYPE_BUTTON, buttons);
    for (GtkWidget* button : buttons) {
        const char* text = gtk_button_get_label(GTK_BUTTON(button));
        if (text != nullptr && label == text) {
            return button;
        }
    }
    return nullptr;
}

std::string allLabelText(GtkWindow* window) {
    std::vector<GtkWidget*> labels;
    collect(GTK_WIDGET(window), GTK_TYPE_LABEL, labels);
    std::string text;
    for (GtkWidget* label : labels) {
        text += gtk_label_get_text(GTK_LABEL(label));
        text += '\n';
    }
    return text;
}

zentravo::appcast::Item offered() {
    zentravo::appcast::Item item;
    item.shortVersionString = "1.7.0";
    item.semanticVersion = semver::version{1, 7, 0};
    return item;
}

class UpdateDialogs : public ::testing::Test {
  protected:
    void SetUp() override {
        if (gtk_init_check(nullptr, nullptr) == FALSE) {
            GTEST_SKIP() << "no display";
        }
    }
    zentravo::selfupdate::UserDriver driver_ = zentravo::selfupdate::gtkUserDriver();
};

TEST_F(UpdateDialogs, OfferAnswersWithTheButtonPressed) {
    struct Case {
        const char* button;  // empty: the window is closed instead
        Choice expected;
    };
    for (const Case& c :
         {Case{"_Install Update", Choice::install}, Case{"_Skip This Version", Choice::skip},
          Case{"_Remind Me Later", Choice::dismiss}, Case{"", Choice::dismiss}}) {
        SCOPED_TRACE(c.button);
        std::optional<Choice> answer;
        int replies = 0;
        driver_.prompt(offered(), semver::version{1, 6, 24}, [&](Choice choice) {
            answer = choice;
            ++replies;
        });
        pumpUntil([] { return !updateWindows().empty(); });
        const auto windows = updateWindows();
        ASSERT_EQ(windows.size(), 1u);
        EXPECT_TRUE(gtk_window_get_modal(windows[0]));
        const std::string text = allLabelText(windows[0]);
        EXPECT_NE(text.find("Version 1.7.0 is available; you have 1.6.24."), std::string::npos)
            << text;
        EXPECT_FALSE(answer.has_value()) << "the offer answers only when the user does";

        if (*c.button != '\0') {
            GtkWidget* button = buttonLabelled(windows[0], c.button);
            ASSERT_NE(button, nullptr);
            gtk_button_clicked(GTK_BUTTON(button));
        } else {
            gtk_window_close(windows[0]);
        }
        pumpUntil([&] { return answer.has_value() && updateWindows().empty(); });
        EXPECT_EQ(answer, c.expected);
        EXPECT_EQ(replies, 1);
        EXPECT_TRUE(updateWindows().empty());
    }
}

TEST_F(UpdateDialogs, DownloadWindowShowsProgressAndCancels) {
    int cancels = 0;
    driver_.downloadStarted(offered(), [&] { ++cancels; });
    pumpUntil([] { return !updateWindows().empty(); });
    const auto windows = updateWindows();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_NE(allLabelText(windows[0]).find("1.7.0"), std::string::npos);

    driver_.downloadProgress(1048576, 4194304);
    std::vector<GtkWidget*> bars;
    collect(GTK_WIDGET(windows[0]), GTK_TYPE_PROGRESS_BAR, bars);
    ASSERT_EQ(bars.size(), 1u);
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bars[0])), 0.25);
    EXPECT_STREQ(gtk_progress_bar_get_text(GTK_PROGRESS_BAR(bars[0])), "1.0 MB of 4.0 MB");

    GtkWidget* cancel = buttonLabelled(windows[0], "_Cancel");
    ASSERT_NE(cancel, nullptr);
    gtk_button_clicked(GTK_BUTTON(cancel));
    EXPECT_EQ(cancels, 1);
    // Closing the window is a cancel too; the window stays until the download has ended.
    gtk_window_close(windows[0]);
    pumpUntil([&] { return cancels == 2; });
    EXPECT_EQ(cancels, 2);
    EXPECT_EQ(updateWindows().size(), 1u);

    driver_.downloadEnded();
    pumpUntil([] { return updateWindows().empty(); });
    EXPECT_TRUE(updateWindows().empty());
}

}  // namespace
