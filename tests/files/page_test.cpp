// The shipped page in a real WebKitGTK view: the functions the launcher calls exist and show
// what they are given, and the page reaches the host only through the bound functions.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <nlohmann/json.hpp>
#include <string>

#include "files_test_support.hpp"

namespace {

// Stand-ins for the host's bindings: each records its call and answers with a promise.
constexpr const char* kFakeBindings = R"(
window.__calls = [];
for (const name of ["getCurrentOS", "closeLauncher", "checkForUpdates", "restartApp", "openLink"]) {
  window[name] = function () {
    window.__calls.push([name].concat(Array.prototype.slice.call(arguments)));
    return Promise.resolve(null);
  };
}
)";

class PageView {
  public:
    PageView() {
        gtk_init(nullptr, nullptr);
        manager_ = webkit_user_content_manager_new();
        WebKitUserScript* script =
            webkit_user_script_new(kFakeBindings, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                   WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
        webkit_user_content_manager_add_script(manager_, script);
        webkit_user_script_unref(script);
        window_ = gtk_offscreen_window_new();
        gtk_window_set_default_size(GTK_WINDOW(window_), 390, 120);
        view_ = WEBKIT_WEB_VIEW(webkit_web_view_new_with_user_content_manager(manager_));
        gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
        gtk_widget_show_all(window_);
        loop_ = g_main_loop_new(nullptr, FALSE);
        g_signal_connect(view_, "load-changed", G_CALLBACK(&PageView::onLoadChanged), this);
        const std::string html = files_test::readFile(std::filesystem::path{LAUNCHER_SOURCE_DIR} /
                                                      "resources/index.html");
        webkit_web_view_load_html(view_, html.c_str(), "zentravo://app/");
        runUntil([this] { return loaded_; });
    }
    ~PageView() {
        gtk_widget_destroy(window_);
        g_object_unref(manager_);
        g_main_loop_unref(loop_);
    }
    PageView(const PageView&) = delete;
    PageView& operator=(const PageView&) = delete;

    // Evaluates the script and returns JSON.stringify of its value.
    nlohmann::json eval(const std::string& script) {
        result_.reset();
        const std::string wrapped = "JSON.stringify((function(){ return " + script + "; })())";
        webkit_web_view_evaluate_javascript(view_, wrapped.c_str(), -1, nullptr, nullptr, nullptr,
                                            &PageView::onEvaluated, this);
        runUntil([this] { return result_.has_value(); });
        // JSON.stringify(undefined) is undefined, not a text.
        return *result_ == "undefined" ? nlohmann::json{} : nlohmann::json::parse(*result_);
    }

    // Lets timers and promise reactions in the page run.
    void settle(int milliseconds) {
        const gint64 end = g_get_monotonic_time() + milliseconds * 1000;
        while (g_get_monotonic_time() < end) {
            g_main_context_iteration(nullptr, FALSE);
            g_usleep(1000);
        }
    }

  private:
    template <typename Done>
    void runUntil(Done done) {
        const gint64 end = g_get_monotonic_time() + 20 * G_USEC_PER_SEC;
        while (!done() && g_get_monotonic_time() < end) {
            g_main_context_iteration(nullptr, TRUE);
        }
        ASSERT_TRUE(done()) << "page did not answer in time";
    }

    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) {
        if (event == WEBKIT_LOAD_FINISHED) {
            static_cast<PageView*>(self)->loaded_ = true;
        }
    }
    static void onEvaluated(GObject* source, GAsyncResult* result, gpointer self) {
        GError* error = nullptr;
        JSCValue* value =
            webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
        auto* page = static_cast<PageView*>(self);
        if (value == nullptr) {
            page->result_ = nlohmann::json{{"error", error->message}}.dump();
            g_error_free(error);
            return;
        }
        gchar* text = jsc_value_to_string(value);
        page->result_ = text;
        g_free(text);
        g_object_unref(value);
    }

    WebKitUserContentManager* manager_ = nullptr;
    GtkWidget* window_ = nullptr;
    WebKitWebView* view_ = nullptr;
    GMainLoop* loop_ = nullptr;
    bool loaded_ = false;
    std::optional<std::string> result_;
};

constexpr const char* kVisible =
    "(function(id){ const e = document.getElementById(id);"
    " return e.getClientRects().length > 0 && getComputedStyle(e).visibility !== 'hidden'; })";

std::string visible(const std::string& id) {
    return std::string{kVisible} + "('" + id + "')";
}

TEST(Page, AsksForUpdatesOnceReadyAndShowsProgress) {
    PageView page;
    page.settle(100);
    EXPECT_EQ(page.eval("window.__calls"), nlohmann::json::parse(R"([["checkForUpdates"]])"));
    for (const char* fn : {"updateProgressStatus", "showCloseButton", "notifyError",
                           "notifyErrorWithRetry", "restoreFrontend"}) {
        EXPECT_EQ(page.eval(std::string{"typeof window."} + fn), "function") << fn;
    }
    EXPECT_EQ(page.eval(visible("close")), false);

    page.eval("updateProgressStatus('Checking for updates <b>now</b>');");
    EXPECT_EQ(page.eval("document.getElementById('status').textContent"),
              "Checking for updates <b>now</b>");
    EXPECT_EQ(page.eval(visible("percent")), false);

    page.eval("updateProgressStatus('Downloading update', 1048576, 4194304)");
    EXPECT_EQ(page.eval("document.getElementById('status').textContent"), "Downloading update");
    EXPECT_EQ(page.eval("document.getElementById('percent').textContent"), "25%");
    EXPECT_EQ(page.eval("document.getElementById('size').textContent"), "1.0 MB / 4.2 MB");
    EXPECT_EQ(page.eval(visible("percent")), true);
}

TEST(Page, CountdownAndCloseButton) {
    PageView page;
    page.eval("showCloseButton()");
    page.eval("updateProgressStatus('Retrying in 15 seconds');");
    EXPECT_EQ(page.eval(visible("close")), true);
    EXPECT_EQ(page.eval("document.getElementById('countdown').textContent"), "15s");
    EXPECT_EQ(page.eval(visible("countdown")), true);

    page.eval("document.getElementById('close').click()");
    page.settle(50);
    EXPECT_EQ(page.eval("window.__calls.slice(-1)"),
              nlohmann::json::parse(R"([["closeLauncher"]])"));
}

TEST(Page, ErrorsWithAndWithoutRetry) {
    PageView page;
    page.eval("notifyErrorWithRetry('Offline','restartApp')");
    EXPECT_EQ(page.eval("document.getElementById('error-text').textContent"), "Offline");
    EXPECT_EQ(page.eval(visible("retry")), true);
    EXPECT_EQ(page.eval(visible("status")), false);
    EXPECT_EQ(page.eval(visible("close")), true);
    page.eval("document.getElementById('retry').click()");
    page.eval("document.getElementById('retry').click()");  // a second click sends nothing more
    page.settle(50);
    EXPECT_EQ(page.eval("window.__calls.slice(1)"), nlohmann::json::parse(R"([["restartApp"]])"));

    page.eval("notifyError('Zentravo could not be started.')");
    EXPECT_EQ(page.eval(visible("retry")), false);
    EXPECT_EQ(page.eval("document.getElementById('error-text').textContent"),
              "Zentravo could not be started.");

    page.eval("restoreFrontend()");
    EXPECT_EQ(page.eval(visible("error-text")), false);
    EXPECT_EQ(page.eval(visible("status")), true);
    EXPECT_EQ(page.eval(visible("close")), false);
}

TEST(Page, LinksGoThroughOpenLink) {
    PageView page;
    page.eval("notifyError('x')");
    page.eval("document.querySelector('a[href]').click()");
    page.settle(50);
    EXPECT_EQ(page.eval("window.__calls.slice(1)"),
              nlohmann::json::parse(R"([["openLink", "https://www.zentravo.com/support"]])"));
    EXPECT_EQ(page.eval("location.href"), "zentravo://app/");
}

}  // namespace
