#pragma once

// Drives a real web view from a test: scripts evaluated to completion, page conditions awaited.

#include "json.hpp"
#include "value.hpp"
#include "web_view.hpp"
#include "webui_test_env.hpp"

#include <webkit2/webkit2.h>

#include <memory>
#include <optional>
#include <string>

namespace webui_test {

struct ScriptOutcome {
    std::string error;
    // The result as single-line JSON ("null" for none).
    std::string json;
    bool isVoid = true;
};

// Evaluates script and serves the loop until its completion ran.
inline std::optional<ScriptOutcome> evaluate(vela::ui::WebView& view, const std::string& script) {
    auto outcome = std::make_shared<std::optional<ScriptOutcome>>();
    const bool handed = view.evaluateJavascript(
        script, [outcome](const std::string& error, const vela::value::ValueView& result) {
            *outcome = ScriptOutcome{error, vela::json::toString(result, false), result.isVoid()};
        });
    if (!handed || !serveUntil([&] { return outcome->has_value(); })) {
        return std::nullopt;
    }
    return *outcome;
}

// Serves the loop until the page expression gives `expected` as JSON.
inline bool waitForPage(vela::ui::WebView& view, const std::string& expression,
                        const std::string& expected,
                        std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto outcome = evaluate(view, expression);
        if (outcome && outcome->error.empty() && outcome->json == expected) {
            return true;
        }
        serveFor(std::chrono::milliseconds(20));
    }
    return false;
}

// Loads html as the page and serves the loop until that load finished.
inline bool loadPage(vela::ui::WebView& view, const std::string& html) {
    GtkWidget* const handle = view.getViewHandle();
    if (handle == nullptr) {
        return false;
    }
    bool finished = false;
    const auto onLoadChanged = +[](WebKitWebView*, WebKitLoadEvent event, gpointer data) {
        if (event == WEBKIT_LOAD_FINISHED) {
            *static_cast<bool*>(data) = true;
        }
    };
    const gulong handler =
        g_signal_connect(handle, "load-changed", G_CALLBACK(onLoadChanged), &finished);
    const bool loaded = view.setHTML(html) && serveUntil([&] { return finished; });
    g_signal_handler_disconnect(handle, handler);
    return loaded;
}

}  // namespace webui_test
