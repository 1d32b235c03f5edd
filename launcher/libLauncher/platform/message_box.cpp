// The message box: a modal GtkMessageDialog that always runs on the main thread.
#include <gtk/gtk.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "system.hpp"

namespace zentravo::system {
namespace {

bool onMainThread() {
    return ::gettid() == ::getpid();
}

// A text GTK cannot show stays empty, like an unconvertible slot of the alert.
std::string displayable(const std::string& text) {
    return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr) ? text
                                                                                   : std::string{};
}

void logInstead(const std::string& title, const std::string& message) {
    spdlog::warn("Message box not shown (no display): {} - {}", title, message);
}

// Main thread only.
bool haveDisplay() {
    if (gdk_display_get_default() != nullptr) {
        return true;
    }
    return gtk_init_check(nullptr, nullptr) && gdk_display_get_default() != nullptr;
}

GtkWindow* activeToplevel() {
    GList* toplevels = gtk_window_list_toplevels();
    GtkWindow* chosen = nullptr;
    for (GList* item = toplevels; item != nullptr; item = item->next) {
        auto* window = GTK_WINDOW(item->data);
        if (gtk_widget_get_visible(GTK_WIDGET(window)) &&
            gtk_window_get_window_type(window) == GTK_WINDOW_TOPLEVEL &&
            (chosen == nullptr || gtk_window_is_active(window))) {
            chosen = window;
        }
    }
    g_list_free(toplevels);
    return chosen;
}

struct WidgetDestroy {
    void operator()(GtkWidget* widget) const { gtk_widget_destroy(widget); }
};

// Main thread only; returns when the dialog is dismissed.
void runDialog(const std::string& title, const std::string& message) {
    if (!haveDisplay()) {
        logInstead(title, message);
        return;
    }
    const std::string header = displayable(title);
    const std::string body = displayable(message);
    const std::unique_ptr<GtkWidget, WidgetDestroy> dialog{
        gtk_message_dialog_new(activeToplevel(), GTK_DIALOG_MODAL, GTK_MESSAGE_INFO, GTK_BUTTONS_OK,
                               "%s", header.c_str())};
    if (!body.empty()) {
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog.get()), "%s",
                                                 body.c_str());
    }
    gtk_window_set_title(GTK_WINDOW(dialog.get()), header.c_str());
    gtk_window_set_keep_above(GTK_WINDOW(dialog.get()), TRUE);
    gtk_window_set_position(GTK_WINDOW(dialog.get()), GTK_WIN_POS_CENTER);
    gtk_dialog_run(GTK_DIALOG(dialog.get()));
}

// A box asked for on another thread, shared by the asking thread and the main-thread source.
struct Request {
    enum class State { Pending, Showing, Done, Cancelled };

    std::string title;
    std::string message;
    std::mutex mutex;
    std::condition_variable changed;
    State state = State::Pending;
};

gboolean showRequest(gpointer data) {
    auto& request = **static_cast<std::shared_ptr<Request>*>(data);
    {
        const std::lock_guard lock{request.mutex};
        if (request.state != Request::State::Pending) {
            return G_SOURCE_REMOVE;
        }
        request.state = Request::State::Showing;
    }
    runDialog(request.title, request.message);
    {
        const std::lock_guard lock{request.mutex};
        request.state = Request::State::Done;
    }
    request.changed.notify_all();
    return G_SOURCE_REMOVE;
}

// Nobody iterates the main context (the loop has not started or has ended) when this thread
// can take it.
bool mainContextIdle() {
    GMainContext* context = g_main_context_default();
    if (!g_main_context_acquire(context)) {
        return false;
    }
    g_main_context_release(context);
    return true;
}

void showFromOtherThread(const std::string& title, const std::string& message) {
    auto request = std::make_shared<Request>();
    request->title = title;
    request->message = message;

    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(
        source, &showRequest, new std::shared_ptr<Request>{request},
        [](gpointer data) { delete static_cast<std::shared_ptr<Request>*>(data); });
    g_source_attach(source, g_main_context_default());

    // The caller waits for the user; it gives up only when no loop has run the main context for
    // a full second, since then the box would never come up and the caller would hang.
    constexpr int kIdleChecksBeforeGivingUp = 10;
    int idleChecks = 0;
    std::unique_lock lock{request->mutex};
    while (request->state != Request::State::Done) {
        if (request->changed.wait_for(lock, std::chrono::milliseconds{100}) ==
                std::cv_status::no_timeout ||
            request->state != Request::State::Pending) {
            continue;
        }
        idleChecks = mainContextIdle() ? idleChecks + 1 : 0;
        if (idleChecks >= kIdleChecksBeforeGivingUp) {
            request->state = Request::State::Cancelled;
            break;
        }
    }
    const bool cancelled = request->state == Request::State::Cancelled;
    lock.unlock();
    g_source_destroy(source);
    g_source_unref(source);
    if (cancelled) {
        logInstead(title, message);
    }
}

}  // namespace

void showMessageBox(const std::string& title, const std::string& message) {
    if (onMainThread()) {
        runDialog(title, message);
    } else {
        showFromOtherThread(title, message);
    }
}

}  // namespace zentravo::system
