// The self-update's dialogs on the desktop: the offer, the download's progress and a failure.
#include <fmt/format.h>
#include <gtk/gtk.h>

#include <memory>

#include "self_update_controller.hpp"

namespace zentravo::selfupdate {
namespace {

constexpr const char* kTitle = "Zentravo Launcher Update";

// Response ids of the offer's buttons.
enum Response : int { kSkip = 1, kLater = 2, kInstall = 3 };

bool haveDisplay() {
    static const bool ready = gtk_init_check(nullptr, nullptr) != FALSE;
    return ready;
}

struct WidgetDestroy {
    void operator()(GtkWidget* widget) const { gtk_widget_destroy(widget); }
};
using WidgetPtr = std::unique_ptr<GtkWidget, WidgetDestroy>;

std::string megabytes(std::int64_t bytes) {
    return fmt::format("{:.1f} MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

using Reply = std::function<void(Choice)>;

void freeReply(gpointer data, GClosure*) {
    delete static_cast<Reply*>(data);
}  // the handler's

void onOfferResponse(GtkDialog* dialog, gint response, gpointer data) {
    // Taken before the dialog goes: destroying it frees `data`.
    const Reply reply = *static_cast<Reply*>(data);
    gtk_widget_destroy(GTK_WIDGET(dialog));
    switch (response) {
        case kInstall:
            reply(Choice::install);
            break;
        case kSkip:
            reply(Choice::skip);
            break;
        default:  // "remind me later", the window's close button, Escape
            reply(Choice::dismiss);
            break;
    }
}

void askToInstall(const appcast::Item& item, const semver::version& current, Reply reply) {
    if (!haveDisplay()) {
        reply(Choice::dismiss);
        return;
    }
    GtkWidget* dialog =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE,
                               "%s", "A new version of the Zentravo launcher is available");
    gtk_message_dialog_format_secondary_text(
        GTK_MESSAGE_DIALOG(dialog), "%s",
        fmt::format("Version {} is available; you have {}. Would you like to install it now?",
                    item.displayVersion(), current.to_string())
            .c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), kTitle);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_dialog_add_button(GTK_DIALOG(dialog), "_Skip This Version", kSkip);
    gtk_dialog_add_button(GTK_DIALOG(dialog), "_Remind Me Later", kLater);
    gtk_dialog_add_button(GTK_DIALOG(dialog), "_Install Update", kInstall);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), kInstall);
    auto owned = std::make_unique<Reply>(std::move(reply));
    g_signal_connect_data(dialog, "response", G_CALLBACK(onOfferResponse), owned.release(),
                          freeReply, GConnectFlags{});
    gtk_widget_show_all(dialog);
}

// The download's window: a bar and a Cancel button. One at a time.
struct ProgressWindow {
    GtkWidget* window = nullptr;
    GtkWidget* bar = nullptr;
    std::function<void()> cancel;
};

ProgressWindow& progressWindow() {
    static ProgressWindow instance;  // main thread only
    return instance;
}

void onCancel(GtkWidget*, gpointer) {
    ProgressWindow& view = progressWindow();
    if (view.cancel) {
        view.cancel();
    }
}

gboolean onDelete(GtkWidget*, GdkEvent*, gpointer) {
    onCancel(nullptr, nullptr);
    return TRUE;  // the window stays until the download has ended
}

void closeProgress() {
    ProgressWindow& view = progressWindow();
    if (view.window != nullptr) {
        gtk_widget_destroy(view.window);
    }
    view = ProgressWindow{};
}

void showProgress(const appcast::Item& item, std::function<void()> cancel) {
    closeProgress();
    if (!haveDisplay()) {
        return;
    }
    ProgressWindow& view = progressWindow();
    view.cancel = std::move(cancel);
    view.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(view.window), kTitle);
    gtk_window_set_resizable(GTK_WINDOW(view.window), FALSE);
    gtk_window_set_keep_above(GTK_WINDOW(view.window), TRUE);
    gtk_window_set_position(GTK_WINDOW(view.window), GTK_WIN_POS_CENTER);
    gtk_container_set_border_width(GTK_CONTAINER(view.window), 16);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    const std::string heading =
        fmt::format("Downloading the Zentravo launcher {}", item.displayVersion());
    gtk_box_pack_start(GTK_BOX(box), gtk_label_new(heading.c_str()), FALSE, FALSE, 0);
    view.bar = gtk_progress_bar_new();
    gtk_progress_bar_set_show_text(GTK_PROGRESS_BAR(view.bar), TRUE);
    gtk_widget_set_size_request(view.bar, 360, -1);
    gtk_box_pack_start(GTK_BOX(box), view.bar, FALSE, FALSE, 0);
    GtkWidget* cancelButton = gtk_button_new_with_mnemonic("_Cancel");
    gtk_widget_set_halign(cancelButton, GTK_ALIGN_END);
    g_signal_connect(cancelButton, "clicked", G_CALLBACK(onCancel), nullptr);
    gtk_box_pack_start(GTK_BOX(box), cancelButton, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(view.window), box);
    g_signal_connect(view.window, "delete-event", G_CALLBACK(onDelete), nullptr);
    gtk_widget_show_all(view.window);
}

void updateProgress(std::int64_t received, std::int64_t total) {
    ProgressWindow& view = progressWindow();
    if (view.bar == nullptr) {
        return;
    }
    const double fraction =
        total > 0 ? std::min(1.0, static_cast<double>(received) / static_cast<double>(total)) : 0.0;
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(view.bar), fraction);
    const std::string text = fmt::format("{} of {}", megabytes(received), megabytes(total));
    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(view.bar), text.c_str());
}

void showFailure(const std::string& message) {
    if (!haveDisplay()) {
        return;
    }
    const WidgetPtr dialog{gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR,
                                                  GTK_BUTTONS_OK, "%s",
                                                  "The launcher update could not be installed")};
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog.get()), "%s",
                                             message.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog.get()), kTitle);
    gtk_window_set_keep_above(GTK_WINDOW(dialog.get()), TRUE);
    gtk_dialog_run(GTK_DIALOG(dialog.get()));
}

}  // namespace

UserDriver gtkUserDriver() {
    return UserDriver{askToInstall, showProgress, updateProgress, closeProgress, showFailure};
}

}  // namespace zentravo::selfupdate
