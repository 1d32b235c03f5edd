#include "web_view.hpp"

#include "desktop_window.hpp"
#include "json.hpp"
#include "plain_http_server.hpp"
#include "private_display.hpp"
#include "value.hpp"
#include "web_view_harness.hpp"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using vela::ui::WebView;
using webui_test::evaluate;
using webui_test::waitForPage;

namespace {

// A display of its own: windows of tests running in parallel neither cover nor raise ours.
::testing::Environment* const kDisplay =
    ::testing::AddGlobalTestEnvironment(new launcher_test::PrivateDisplay);

WebView::Options servingOptions(
    std::function<std::optional<WebView::Options::Resource>(const std::string&)> fetch) {
    WebView::Options options;
    options.fetchResource = std::move(fetch);
    return options;
}

std::optional<WebView::Options::Resource> testSite(const std::string& path) {
    if (path == "/") {
        return WebView::Options::Resource("<!DOCTYPE html><html><body>home</body></html>",
                                          "text/html");
    }
    if (path == "/empty") {
        return WebView::Options::Resource(std::string_view(), "text/plain");
    }
    if (path == "/boom") {
        throw std::runtime_error("resource failure");
    }
    return std::nullopt;
}

// The address of every navigation the web view is asked to decide on, recorded before the view's
// own handlers decide.
class NavigationRequests {
  public:
    NavigationRequests() {
        const gpointer viewClass = g_type_class_ref(WEBKIT_TYPE_WEB_VIEW);
        signal_ = g_signal_lookup("decide-policy", WEBKIT_TYPE_WEB_VIEW);
        g_type_class_unref(viewClass);
        hook_ = g_signal_add_emission_hook(signal_, 0, &NavigationRequests::record, this, nullptr);
    }
    ~NavigationRequests() { g_signal_remove_emission_hook(signal_, hook_); }
    NavigationRequests(const NavigationRequests&) = delete;
    NavigationRequests& operator=(const NavigationRequests&) = delete;

    [[nodiscard]] bool asked(const std::string& uri) const {
        return std::find(uris_.begin(), uris_.end(), uri) != uris_.end();
    }

  private:
    static gboolean record(GSignalInvocationHint*, guint, const GValue* params, gpointer data) {
        const auto type = static_cast<WebKitPolicyDecisionType>(g_value_get_enum(&params[2]));
        if (type != WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
            auto* const decision =
                WEBKIT_NAVIGATION_POLICY_DECISION(g_value_get_object(&params[1]));
            WebKitNavigationAction* const action =
                webkit_navigation_policy_decision_get_navigation_action(decision);
            static_cast<NavigationRequests*>(data)->uris_.emplace_back(
                webkit_uri_request_get_uri(webkit_navigation_action_get_request(action)));
        }
        return TRUE;
    }

    guint signal_ = 0;
    gulong hook_ = 0;
    std::vector<std::string> uris_;
};

}  // namespace

TEST(WebView, CustomSchemeServesTheHomePageWithHeadersAnd404sTheRest) {
    std::vector<std::string> requested;
    WebView view(servingOptions([&](const std::string& path) {
        requested.push_back(path);
        return testSite(path);
    }));
    ASSERT_NE(view.getViewHandle(), nullptr);
    ASSERT_TRUE(waitForPage(view, "document.body && document.body.textContent", "\"home\""));
    EXPECT_EQ(evaluate(view, "location.href")->json, "\"vela://vela.vela/\"");
    ASSERT_FALSE(requested.empty());
    EXPECT_EQ(requested.front(), "/");

    ASSERT_TRUE(evaluate(view, R"(window.results = null; (async () => {
        const home = await fetch('/');
        const missing = await fetch('/missing');
        const empty = await fetch('/empty');
        let boom;
        try { await fetch('/boom'); boom = 'answered'; } catch (e) { boom = 'failed'; }
        window.results = {
            status: home.status, type: home.headers.get('Content-Type'),
            length: home.headers.get('Content-Length'), cache: home.headers.get('Cache-Control'),
            cors: home.headers.get('Access-Control-Allow-Origin'), body: await home.text(),
            missing: missing.status, missingHeaders: [...missing.headers.keys()].join(','),
            empty: empty.status, emptyLength: empty.headers.get('Content-Length'),
            emptyBody: (await empty.text()).length, boom };
    })(); 0)"));
    ASSERT_TRUE(waitForPage(view, "window.results !== null", "true"));
    const auto results = evaluate(view, "window.results");
    ASSERT_TRUE(results);
    const vela::value::Value r = vela::json::parse(results->json);
    EXPECT_EQ(r["status"].getInt64(), 200);
    EXPECT_EQ(r["type"].getString(), "text/html");
    EXPECT_EQ(r["length"].getString(), "45");
    EXPECT_EQ(r["cache"].getString(), "no-store");
    EXPECT_EQ(r["cors"].getString(), "*");
    EXPECT_EQ(r["body"].getString(), "<!DOCTYPE html><html><body>home</body></html>");
    EXPECT_EQ(r["missing"].getInt64(), 404);
    EXPECT_EQ(r["missingHeaders"].getString(), "");
    EXPECT_EQ(r["empty"].getInt64(), 200);
    EXPECT_EQ(r["emptyLength"].getString(), "0");
    EXPECT_EQ(r["emptyBody"].getInt64(), 0);
    EXPECT_EQ(r["boom"].getString(), "failed");
    EXPECT_NE(std::find(requested.begin(), requested.end(), "/missing"), requested.end());
}

TEST(WebView, ResourcePathsReachTheOwnerDecoded) {
    std::vector<std::string> requested;
    WebView view(servingOptions([&](const std::string& path) {
        requested.push_back(path);
        return testSite(path);
    }));
    ASSERT_NE(view.getViewHandle(), nullptr);
    ASSERT_TRUE(waitForPage(view, "document.body && document.body.textContent", "\"home\""));
    struct Case {
        const char* fetched;
        const char* seen;  // null: the owner is not asked
        int status;
    };
    const Case cases[] = {
        {"/a%20b", "/a b", 404},     {"/caf%C3%A9.css", "/caf\xC3\xA9.css", 404},
        {"/%65mpty", "/empty", 200}, {"/dir%2Ffile", "/dir/file", 404},
        {"/plain", "/plain", 404},   {"/bad%FF", nullptr, 404},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fetched);
        requested.clear();
        ASSERT_TRUE(evaluate(view, std::string{"window.fetched = null; fetch('"} + c.fetched +
                                       "').then(r => window.fetched = r.status); 0"));
        ASSERT_TRUE(waitForPage(view, "window.fetched", std::to_string(c.status)));
        if (c.seen == nullptr) {
            EXPECT_TRUE(requested.empty());
        } else {
            EXPECT_EQ(requested, std::vector<std::string>{c.seen});
        }
    }
}

TEST(WebView, FailedNavigationShowsTheErrorPageWithTheTextEscaped) {
    WebView view(
        servingOptions([](const std::string&) -> std::optional<WebView::Options::Resource> {
            throw std::runtime_error("<b id=\"injected\">broken</b> & gone");
        }));
    ASSERT_TRUE(waitForPage(view, "document.title", "\"Error\""));
    EXPECT_EQ(evaluate(view, "document.querySelector('h2').textContent")->json,
              "\"<b id=\\\"injected\\\">broken</b> & gone\"");
    EXPECT_EQ(evaluate(view, "document.getElementById('injected') === null")->json, "true");
}

TEST(WebView, CancelledNavigationKeepsTheCurrentPage) {
    // A server that takes the connection and never answers: the load stays pending until
    // stopped.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

    WebView view(WebView::Options{});
    ASSERT_TRUE(view.setHTML("<title>kept</title><p>kept</p>"));
    ASSERT_TRUE(waitForPage(view, "document.title", "\"kept\""));

    struct Seen {
        int failures = 0;
        bool cancelled = false;
    } seen;
    const auto onFailed =
        +[](WebKitWebView*, WebKitLoadEvent, gchar*, GError* error, gpointer data) -> gboolean {
        auto* const record = static_cast<Seen*>(data);
        ++record->failures;
        record->cancelled =
            g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED);
        return FALSE;
    };
    g_signal_connect(view.getViewHandle(), "load-failed", G_CALLBACK(onFailed), &seen);
    ASSERT_TRUE(view.navigate("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/"));
    webui_test::serveFor(300ms);
    webkit_web_view_stop_loading(WEBKIT_WEB_VIEW(view.getViewHandle()));
    ASSERT_TRUE(webui_test::serveUntil([&] { return seen.failures > 0; }));
    EXPECT_TRUE(seen.cancelled);
    webui_test::serveFor(300ms);
    EXPECT_EQ(evaluate(view, "document.title")->json, "\"kept\"");
    close(listener);
}

TEST(WebView, EvaluateJavascriptHandsResultsAndErrorsToTheCompletion) {
    WebView view(WebView::Options{});
    ASSERT_TRUE(webui_test::loadPage(view, "<p>page</p>"));

    struct Case {
        const char* script;
        const char* json;
        bool isVoid;
        bool failed;
    };
    const Case cases[] = {
        {"1 + 2", "3", false, false},
        {"0.5", "0.5", false, false},
        {"'say \"hi\"\\n'", "\"say \\\"hi\\\"\\n\"", false, false},
        {"({a: 1, b: [true, null]})", "{\"a\": 1, \"b\": [true, null]}", false, false},
        {"[]", "[]", false, false},
        {"undefined", "null", true, false},
        {"null", "null", true, false},
        {"(function() {})", "null", true, true},  // not representable as a value
        {"throw new Error('bad thing')", "null", true, true},
        {"noSuchVariable", "null", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        const auto outcome = evaluate(view, c.script);
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->json, c.json);
        EXPECT_EQ(outcome->isVoid, c.isVoid);
        EXPECT_EQ(!outcome->error.empty(), c.failed) << outcome->error;
    }
    EXPECT_NE(evaluate(view, "throw new Error('bad thing')")->error.find("bad thing"),
              std::string::npos);
    EXPECT_NE(evaluate(view, "noSuchVariable")->error.find("noSuchVariable"), std::string::npos);
}

TEST(WebView, OptionsSetUserAgentDebugModeAndHome) {
    WebView::Options options;
    options.customUserAgent = "ZentravoTestAgent/1.0";
    options.enableDebugMode = true;
    options.customSchemeURI = "app://home.test";
    options.fetchResource =
        [](const std::string& path) -> std::optional<WebView::Options::Resource> {
        if (path == "/") {
            return WebView::Options::Resource("<title>app home</title>", "text/html");
        }
        return std::nullopt;
    };
    WebView view(options);
    ASSERT_TRUE(waitForPage(view, "document.title", "\"app home\""));
    EXPECT_EQ(evaluate(view, "location.href")->json, "\"app://home.test/\"");
    EXPECT_EQ(evaluate(view, "navigator.userAgent")->json, "\"ZentravoTestAgent/1.0\"");
    WebKitSettings* const settings =
        webkit_web_view_get_settings(WEBKIT_WEB_VIEW(view.getViewHandle()));
    EXPECT_TRUE(webkit_settings_get_enable_developer_extras(settings));

    WebView plain(WebView::Options{});
    EXPECT_FALSE(webkit_settings_get_enable_developer_extras(
        webkit_web_view_get_settings(WEBKIT_WEB_VIEW(plain.getViewHandle()))));
}

TEST(WebView, InitScriptsRunAtDocumentStartOfLaterPages) {
    WebView view(WebView::Options{});
    ASSERT_TRUE(view.addInitScript("window.seenAt = document.readyState;"));
    ASSERT_TRUE(view.setHTML("<p>one</p>"));
    ASSERT_TRUE(waitForPage(view, "window.seenAt", "\"loading\""));
    ASSERT_TRUE(view.setHTML("<p>two</p><script>window.second = true;</script>"));
    ASSERT_TRUE(waitForPage(view, "window.second === true && window.seenAt", "\"loading\""));
    EXPECT_FALSE(view.navigate("not a uri at all"));
}

TEST(WebView, FileInputOpensAChooserOnTheWindowAndReturnsTheChoice) {
    const std::string path = std::string(getenv("XDG_DATA_HOME")) + "/picked.txt";
    std::ofstream(path) << "content";

    vela::ui::DesktopWindow window(vela::ui::Bounds{0, 0, 300, 200});
    WebView view(WebView::Options{});
    window.setContent(view.getViewHandle());
    window.setVisible(true);
    ASSERT_TRUE(webui_test::loadPage(view, "<input type=file id=f multiple accept='text/plain'>"));

    const auto findChooser = [] {
        GtkWidget* found = nullptr;
        GList* const toplevels = gtk_window_list_toplevels();
        for (GList* item = toplevels; item != nullptr; item = item->next) {
            if (GTK_IS_FILE_CHOOSER_DIALOG(item->data) &&
                gtk_widget_get_visible(GTK_WIDGET(item->data))) {
                found = GTK_WIDGET(item->data);
            }
        }
        g_list_free(toplevels);
        return found;
    };

    for (const bool accept : {false, true}) {
        SCOPED_TRACE(accept ? "accepted" : "cancelled");
        ASSERT_TRUE(evaluate(view,
                             "window.changed = false; window.cancelled = false; "
                             "f.onchange = () => window.changed = true; "
                             "f.oncancel = () => window.cancelled = true; f.click(); 0"));
        GtkWidget* chooser = nullptr;
        ASSERT_TRUE(webui_test::serveUntil([&] { return (chooser = findChooser()) != nullptr; }));
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(chooser)),
                  GTK_WINDOW(window.getWindowHandle()));
        EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(chooser)));
        EXPECT_TRUE(gtk_file_chooser_get_select_multiple(GTK_FILE_CHOOSER(chooser)));
        // The input accepts text/plain only.
        EXPECT_NE(gtk_file_chooser_get_filter(GTK_FILE_CHOOSER(chooser)), nullptr);
        if (accept) {
            ASSERT_TRUE(gtk_file_chooser_select_filename(GTK_FILE_CHOOSER(chooser), path.c_str()));
            ASSERT_TRUE(webui_test::serveUntil([&] {
                GSList* const files = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(chooser));
                const bool ready = files != nullptr;
                g_slist_free_full(files, g_free);
                return ready;
            }));
            gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
            ASSERT_TRUE(waitForPage(view, "window.changed && [...f.files].map(x => x.name)",
                                    "[\"picked.txt\"]"));
        } else {
            gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_CANCEL);
            ASSERT_TRUE(waitForPage(view, "window.cancelled", "true"));
            EXPECT_EQ(evaluate(view, "f.files.length")->json, "0");
        }
        ASSERT_TRUE(webui_test::serveUntil([&] { return findChooser() == nullptr; }));
    }
}

TEST(WebView, CompletionOfAScriptStillRunningWhenTheWebViewGoesIsCalledOnce) {
    auto view = std::make_unique<WebView>(WebView::Options{});
    ASSERT_TRUE(webui_test::loadPage(*view, "<p>page</p>"));
    int calls = 0;
    std::string error;
    ASSERT_TRUE(
        view->evaluateJavascript("const until = Date.now() + 300; while (Date.now() < until) {} 1",
                                 [&](const std::string& text, const vela::value::ValueView&) {
                                     ++calls;
                                     error = text;
                                 }));
    view.reset();
    webui_test::serveUntil([&] { return calls > 0; }, 5s);
    webui_test::serveFor(200ms);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(error.empty()) << "the page went away before the script ended";
}

TEST(WebView, PageCannotLeaveTheHomesSchemeAndHost) {
    const fixture::PlainHttpServer server;
    const NavigationRequests requests;
    WebView view(servingOptions(testSite));
    ASSERT_TRUE(waitForPage(view, "document.body && document.body.textContent", "\"home\""));

    struct Case {
        const char* name;
        std::string script;
        std::string target;
    };
    const std::string away = server.url("/away");
    const std::string link = server.url("/link");
    const Case cases[] = {
        {"assigned address", "location.href = '" + away + "'", away},
        {"followed link",
         "const a = document.createElement('a'); a.href = '" + link +
             "'; document.body.append(a); a.click()",
         link},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(evaluate(view, c.script + "; 0"));
        ASSERT_TRUE(webui_test::serveUntil([&] { return requests.asked(c.target); }));
        // Room for a wrongly followed navigation to reach the site.
        webui_test::serveUntil([&] { return server.requests() > 0; }, 2s);
        EXPECT_EQ(server.requests(), 0);
        EXPECT_EQ(evaluate(view, "location.href")->json, "\"vela://vela.vela/\"");
        EXPECT_EQ(evaluate(view, "document.body.textContent")->json, "\"home\"");
    }
}
