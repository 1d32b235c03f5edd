#pragma once
// Reads the launcher's page from another thread while the message loop runs: the script runs on
// the main thread in the one web view of the process's windows, and its result (awaited when it
// is a promise) comes back as JSON text.

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "messageloop.hpp"

namespace app_test {

class PageProbe {
  public:
    // The result of `body` (a function body; may use await) as JSON, or nothing when there is no
    // web view yet, the script failed or no answer came within `timeout`.
    std::optional<std::string> run(const std::string& body,
                                   std::chrono::milliseconds timeout = std::chrono::seconds{5}) {
        auto promise = std::make_shared<std::promise<std::optional<std::string>>>();
        auto future = promise->get_future();
        vela::messageloop::postMessage([promise, body] {
            WebKitWebView* view = findWebView();
            if (view == nullptr) {
                promise->set_value(std::nullopt);
                return;
            }
            auto* keep = new std::shared_ptr<std::promise<std::optional<std::string>>>(promise);
            webkit_web_view_call_async_javascript_function(view, body.c_str(), -1, nullptr, nullptr,
                                                           nullptr, nullptr, &PageProbe::finished,
                                                           keep);
        });
        if (future.wait_for(timeout) != std::future_status::ready) {
            return std::nullopt;
        }
        return future.get();
    }

    // Waits until `condition` (a function body returning a boolean) holds.
    bool waitFor(const std::string& condition, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        do {
            if (run(condition, std::chrono::seconds{2}) == "true") {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds{25});
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    static WebKitWebView* findWebView() {
        GList* windows = gtk_window_list_toplevels();
        WebKitWebView* found = nullptr;
        for (GList* item = windows; item != nullptr && found == nullptr; item = item->next) {
            if (!GTK_IS_BIN(item->data)) {
                continue;
            }
            GtkWidget* child = gtk_bin_get_child(GTK_BIN(item->data));
            if (child != nullptr && WEBKIT_IS_WEB_VIEW(child)) {
                found = WEBKIT_WEB_VIEW(child);
            }
        }
        g_list_free(windows);
        return found;
    }

    static GtkWidget* findWindow() {
        WebKitWebView* view = findWebView();
        return view == nullptr ? nullptr : gtk_widget_get_toplevel(GTK_WIDGET(view));
    }

  private:
    static void finished(GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::shared_ptr<std::promise<std::optional<std::string>>>> promise{
            static_cast<std::shared_ptr<std::promise<std::optional<std::string>>>*>(data)};
        GError* error = nullptr;
        JSCValue* value = webkit_web_view_call_async_javascript_function_finish(
            WEBKIT_WEB_VIEW(source), result, &error);
        if (value == nullptr) {
            g_clear_error(&error);
            (*promise)->set_value(std::nullopt);
            return;
        }
        char* json = jsc_value_to_json(value, 0);
        (*promise)->set_value(json == nullptr ? std::string{"null"} : std::string{json});
        g_free(json);
        g_object_unref(value);
    }
};

}  // namespace app_test
