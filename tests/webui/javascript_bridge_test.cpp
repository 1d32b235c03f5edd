#include "javascript_bridge.hpp"

#include "json.hpp"
#include "plain_http_server.hpp"
#include "private_display.hpp"
#include "scratch_folder.hpp"
#include "value.hpp"
#include "web_view.hpp"
#include "web_view_harness.hpp"

#include <gtest/gtest.h>
#include <webkit2/webkit2.h>

#include <fstream>
#include <stdexcept>
#include <string>

using vela::ui::WebView;
using webui_test::evaluate;
using webui_test::waitForPage;
namespace value = vela::value;

namespace {

// A display of its own: windows of tests running in parallel neither cover nor raise ours.
::testing::Environment* const kDisplay =
    ::testing::AddGlobalTestEnvironment(new launcher_test::PrivateDisplay);

class Bridge : public ::testing::Test {
  protected:
    void SetUp() override {
        view = std::make_unique<WebView>(WebView::Options{});
        ASSERT_NE(view->getViewHandle(), nullptr);
        ASSERT_TRUE(webui_test::loadPage(*view, "<p>bridge</p>"));
    }

    // Calls window[call] in the page and waits until its promise settled; the outcome as
    // {"ok": result} or {"rejected": reason}.
    std::string callFromPage(const std::string& call) {
        EXPECT_TRUE(evaluate(*view, "window.outcome = undefined; " + call +
                                        ".then(r => window.outcome = {ok: r}, "
                                        "e => window.outcome = {rejected: String(e)}); 0"));
        EXPECT_TRUE(waitForPage(*view, "window.outcome !== undefined", "true"));
        return evaluate(*view, "window.outcome")->json;
    }

    std::unique_ptr<WebView> view;
};

// Counts the messages the page posts to the bridge; connected after the web view's own handler,
// so a count is seen once the web view has handled that message.
class PostedMessages {
  public:
    explicit PostedMessages(WebView& view)
        : manager_{webkit_web_view_get_user_content_manager(WEBKIT_WEB_VIEW(view.getViewHandle()))},
          handler_{g_signal_connect(manager_, "script-message-received::external",
                                    G_CALLBACK(&PostedMessages::onMessage), &count_)} {}
    ~PostedMessages() { g_signal_handler_disconnect(manager_, handler_); }
    PostedMessages(const PostedMessages&) = delete;
    PostedMessages& operator=(const PostedMessages&) = delete;

    [[nodiscard]] int count() const { return count_; }

  private:
    static void onMessage(WebKitUserContentManager*, WebKitJavascriptResult*, gpointer data) {
        ++*static_cast<int*>(data);
    }

    WebKitUserContentManager* manager_;
    int count_ = 0;
    gulong handler_;
};

// The process's peak resident memory in kB.
long peakResidentKb() {
    std::ifstream in{"/proc/self/status"};
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("VmHWM:")) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

}  // namespace

TEST(BridgeScripts, TemplateHasItsFixedShape) {
    const std::string_view t = vela::ui::bridge::kBindingTemplate;
    EXPECT_EQ(t.size(), 647u);
    EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 16);
    EXPECT_NE(t.back(), '\n');
    EXPECT_NE(t.find("\n" + std::string(33, ' ') + "fn: \"FUNCTION_NAME\",\n"), std::string::npos);
    EXPECT_NE(t.find("\n" + std::string(31, ' ') + "},\n"), std::string::npos);

    const std::string script = vela::ui::bridge::makeBindingScript("openLink");
    EXPECT_EQ(script.find("FUNCTION_NAME"), std::string::npos);
    EXPECT_EQ(script.find("INVOKE_BINDING"), std::string::npos);
    EXPECT_NE(script.find("window[\"openLink\"] = function()"), std::string::npos);
    EXPECT_NE(script.find("fn: \"openLink\","), std::string::npos);
    EXPECT_NE(script.find("  window.webkit.messageHandlers.external.postMessage (args);"),
              std::string::npos);
}

TEST(BridgeScripts, RepliesNameTheCall) {
    using vela::ui::bridge::makeFailureReply;
    using vela::ui::bridge::makeSuccessReply;
    EXPECT_EQ(makeSuccessReply(2, "\"a\""),
              "window._fnBindings[2].resolve(\"a\"); delete window._fnBindings[2];");
    EXPECT_EQ(makeSuccessReply(-7, "null"),
              "window._fnBindings[-7].resolve(null); delete window._fnBindings[-7];");
    EXPECT_EQ(makeFailureReply(15),
              "window._fnBindings[15].reject(); delete window._fnBindings[15];");
}

TEST_F(Bridge, BoundFunctionsResolveWithTheirResultsInCallOrder) {
    std::vector<std::string> seen;
    ASSERT_TRUE(view->bind("first", [&](const value::ValueView& args) {
        seen.push_back("first " + vela::json::toString(args, false));
        return value::createString("quote \" backslash \\ line\n</script> \xC3\xA9");
    }));
    ASSERT_TRUE(view->bind("second", [&](const value::ValueView& args) {
        seen.push_back("second " + vela::json::toString(args, false));
        return value::Value();
    }));

    // Ids come from one counter shared by all bindings, starting at 2.
    ASSERT_TRUE(evaluate(*view, R"(window.ids = [];
        window.p1 = first(1, 'two', {three: 3}, [true, null], 12345678901234567890n);
        ids.push(window._fnBindings.messageID);
        window.p2 = second();
        ids.push(window._fnBindings.messageID);
        Promise.all([p1, p2]).then(r => window.done = r); 0)"));
    ASSERT_TRUE(waitForPage(*view, "window.done !== undefined", "true"));
    EXPECT_EQ(evaluate(*view, "window.ids")->json, "[2, 3]");
    EXPECT_EQ(
        evaluate(*view, "window.done[0] === 'quote \" backslash \\\\ line\\n</script> \\u00e9'")
            ->json,
        "true");
    EXPECT_EQ(evaluate(*view, "window.done[1]")->json, "null");  // void result
    // Settled calls are forgotten.
    EXPECT_EQ(evaluate(*view, "Object.keys(window._fnBindings)")->json, "[\"messageID\"]");
    EXPECT_EQ(seen,
              (std::vector<std::string>{
                  "first [1, \"two\", {\"three\": 3}, [true, null], \"12345678901234567890\"]",
                  "second []"}));
}

TEST_F(Bridge, ThrowingCallbackRejectsWithoutTheMessage) {
    ASSERT_TRUE(view->bind("fails", [](const value::ValueView&) -> value::Value {
        throw std::runtime_error("secret detail");
    }));
    ASSERT_TRUE(view->bind("empty", WebView::CallbackFn()));
    EXPECT_EQ(callFromPage("fails()"), "{\"rejected\": \"undefined\"}");
    EXPECT_EQ(callFromPage("empty()"), "{\"rejected\": \"undefined\"}");
}

// The page's own JSON.stringify writes large and tiny numbers with signed exponents; the
// reply's text must read back as the same characters in the page.
TEST_F(Bridge, SignedExponentsAndControlCharactersCrossTheBridge) {
    std::vector<std::string> seen;
    ASSERT_TRUE(view->bind("echo", [&](const value::ValueView& args) {
        seen.push_back(vela::json::toString(args, false));
        return value::createString(std::string{"bell \a end"});
    }));
    struct Case {
        const char* arguments;
        const char* received;
    };
    const Case cases[] = {
        {"1e21", "[1e21]"},
        {"-2.5e300, 1e-7", "[-2.5e300, 1e-7]"},
        {"{n: 1.7976931348623157e308}", "[{\"n\": 1.7976931348623157e308}]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        seen.clear();
        EXPECT_EQ(callFromPage(std::string{"echo("} + c.arguments +
                               ").then(r => r === 'bell \\u0007 end' ? 'same' : escape(r))"),
                  "{\"ok\": \"same\"}");
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0], c.received);
    }
}

TEST_F(Bridge, RebindingReplacesTheCallbackInThisAndLaterPages) {
    int oldCalls = 0;
    ASSERT_TRUE(view->bind("which", [&](const value::ValueView&) {
        ++oldCalls;
        return value::createString("old");
    }));
    ASSERT_TRUE(
        view->bind("which", [](const value::ValueView&) { return value::createString("new"); }));
    EXPECT_EQ(callFromPage("which()"), "{\"ok\": \"new\"}");
    EXPECT_EQ(oldCalls, 0);

    ASSERT_TRUE(view->setHTML("<p>next page</p>"));
    ASSERT_TRUE(waitForPage(*view, "document.body.textContent", "\"next page\""));
    EXPECT_EQ(callFromPage("which()"), "{\"ok\": \"new\"}");
}

TEST_F(Bridge, BadMessagesGetNoReplyAndRaiseNothing) {
    int calls = 0;
    value::Value lastArguments;
    bool lastWasVoid = false;
    ASSERT_TRUE(view->bind("probe", [&](const value::ValueView& args) {
        ++calls;
        lastWasVoid = args.isVoid();
        return value::createInt64(calls);
    }));
    // Pending calls the page is waiting on, as a bound function leaves them.
    ASSERT_TRUE(evaluate(*view, R"(window.settled = [];
        for (const id of [5, 9, 11]) window._fnBindings[id] = {
            resolve: r => settled.push([id, r]), reject: () => settled.push([id, 'rejected']) }; 0)"));

    const std::string dropped[] = {
        "\xFF{\"id\":5,\"fn\":\"probe\",\"params\":[]}",  // not UTF-8
        "{\"id\":5,\"fn\":\"probe\",\"params\":[]",       // not JSON
        "[5, \"probe\"]",                                 // not an object
        "{\"id\":5,\"params\":[]}",                       // no fn
        "{\"id\":5,\"fn\":7,\"params\":[]}",              // fn not a string
        "{\"id\":5,\"fn\":\"nothing\",\"params\":[]}",    // no such binding
        "{\"id\":0,\"fn\":\"probe\",\"params\":[]}",      // id 0
        "{\"fn\":\"probe\",\"params\":[]}",               // no id
        "",
    };
    for (const std::string& message : dropped) {
        SCOPED_TRACE(message);
        EXPECT_NO_THROW(view->invokeBinding(message));
    }
    EXPECT_EQ(calls, 0);

    view->invokeBinding("{\"id\":\"9\",\"fn\":\"probe\",\"params\":[]}");  // numeric text id
    view->invokeBinding("{\"id\":11,\"fn\":\"probe\"}");                   // no params
    EXPECT_TRUE(lastWasVoid);
    ASSERT_TRUE(waitForPage(*view, "settled.length", "2"));
    webui_test::serveFor(std::chrono::milliseconds(200));
    EXPECT_EQ(evaluate(*view, "settled")->json, "[[9, 1], [11, 2]]");
    EXPECT_EQ(calls, 2);
}

TEST_F(Bridge, CallbackThatDestroysTheWebViewGetsNoReply) {
    bool called = false;
    ASSERT_TRUE(view->bind("closeLauncher", [&](const value::ValueView&) {
        called = true;
        view.reset();
        return value::Value();
    }));
    ASSERT_TRUE(evaluate(*view, "closeLauncher(); 0"));
    ASSERT_TRUE(webui_test::serveUntil([&] { return called; }));
    EXPECT_EQ(view, nullptr);
    webui_test::serveFor(std::chrono::milliseconds(100));
}

TEST_F(Bridge, PagesOfOtherOriginsGetNoAnswer) {
    const fixture::ScratchFolder site;
    std::ofstream{site / "page.html"} << "<p>elsewhere</p>";
    const fixture::PlainHttpServer server{site.path()};
    int calls = 0;
    ASSERT_TRUE(view->bind("probe", [&](const value::ValueView&) {
        ++calls;
        return value::createString("answered");
    }));
    const PostedMessages posted{*view};

    // The owner may show another site; that site's calls reach no callback and get no reply.
    const std::string elsewhere = server.url("/page.html");
    ASSERT_TRUE(view->navigate(elsewhere));
    ASSERT_TRUE(waitForPage(*view, "document.readyState === 'complete' && location.href",
                            "\"" + elsewhere + "\""));
    ASSERT_TRUE(evaluate(*view,
                         "window.outcome = 'pending'; "
                         "probe().then(r => window.outcome = r, () => window.outcome = "
                         "'rejected'); 0"));
    ASSERT_TRUE(webui_test::serveUntil([&] { return posted.count() == 1; }));
    EXPECT_EQ(evaluate(*view, "window.outcome")->json, "\"pending\"");
    EXPECT_EQ(calls, 0);

    ASSERT_TRUE(webui_test::loadPage(*view, "<p>home again</p>"));
    EXPECT_EQ(callFromPage("probe()"), "{\"ok\": \"answered\"}");
    EXPECT_EQ(calls, 1);
}

// The bound holds for the message as the page posts it: the call's JSON text, in UTF-8 bytes.
TEST_F(Bridge, MessagesOverTheBoundAreDroppedBeforeTheyAreRead) {
    std::vector<std::size_t> received;
    ASSERT_TRUE(view->bind("probe", [&](const value::ValueView& args) {
        received.push_back(args[0].getString().size());
        return value::Value();
    }));
    const std::size_t limit = vela::ui::bridge::kMaxMessageBytes;
    // An argument that makes the message `extra` bytes longer than the bound; "é" is 2 bytes.
    const auto sizedCall = [&](int extra, const char* fill) {
        return "probe((() => { const id = window._fnBindings.messageID + 1; "
               "const empty = JSON.stringify({id, fn: 'probe', params: ['']}).length; "
               "return '" +
               std::string{fill} + "'.repeat((" + std::to_string(limit) + " - empty + " +
               std::to_string(extra) + ") / " + (std::string{fill} == "x" ? "1" : "2") + "); })())";
    };
    const PostedMessages posted{*view};
    const long peakBefore = peakResidentKb();
    // Calls reach the host in order: once the small call is answered the large ones were handled.
    ASSERT_TRUE(evaluate(*view, "window.huge = probe('x'.repeat(100e6)); " + sizedCall(1, "x") +
                                    "; " + sizedCall(2, "\u00e9") + "; 0"));
    EXPECT_EQ(callFromPage(sizedCall(0, "x")), "{\"ok\": null}");
    // WebKit's own copies of the huge message stay: about 300 MB here, against about 600 MB
    // when the host copies and parses it too.
    EXPECT_LT(peakResidentKb() - peakBefore, 450L * 1024);
    EXPECT_EQ(posted.count(), 4);

    const std::size_t overhead = std::string{R"({"id":0,"fn":"probe","params":[""]})"}.size();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_GE(received[0], limit - overhead - 3);
    EXPECT_EQ(evaluate(*view, "Object.keys(window._fnBindings).length")->json, "4");
}
