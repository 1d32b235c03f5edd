#include "javascript_bridge.hpp"

#include "json.hpp"
#include "text.hpp"
#include "web_view.hpp"

#include <exception>

namespace vela::ui {
namespace bridge {
namespace {

std::string pendingCall(std::int64_t id) {
    return "window._fnBindings[" + std::to_string(id) + "]";
}

}  // namespace

std::string makeBindingScript(std::string_view name) {
    return text::replace(kBindingTemplate, "FUNCTION_NAME", name, "INVOKE_BINDING", kPostMessageFn);
}

std::string makeSuccessReply(std::int64_t id, std::string_view resultJson) {
    const std::string call = pendingCall(id);
    std::string reply = call;
    reply += ".resolve(";
    reply += resultJson;
    reply += "); delete ";
    reply += call;
    reply += ';';
    return reply;
}

std::string makeFailureReply(std::int64_t id) {
    const std::string call = pendingCall(id);
    return call + ".reject(); delete " + call + ";";
}

}  // namespace bridge

bool WebView::bind(const std::string& name, CallbackFn fn) {
    if (!pimpl) {
        return false;
    }
    const std::string script = bridge::makeBindingScript(name);
    if (!addInitScript(script) || !evaluateJavascript(script)) {
        return false;
    }
    bindings.insert_or_assign(name, std::move(fn));
    return true;
}

void WebView::invokeBinding(std::string_view message) {
    if (!pimpl || message.size() > bridge::kMaxMessageBytes) {
        return;
    }
    value::Value call;
    std::int64_t id = 0;
    CallbackFn callback;
    try {
        call = json::parse(message);
        const std::string name(call["fn"].getString());
        id = call["id"].getInt64(0);
        const auto found = bindings.find(name);
        if (id == 0 || found == bindings.end()) {
            return;
        }
        // A copy: the callback may rebind its own name, or destroy this web view.
        callback = found->second;
    } catch (const std::exception&) {
        return;  // not a page call: dropped without a reply
    }

    const std::shared_ptr<DeletionChecker> checker = getDeletionChecker();
    const value::ValueView arguments = call["params"];
    std::string reply;
    try {
        const value::Value result = callback(arguments);
        if (checker->deleted) {
            return;
        }
        reply = bridge::makeSuccessReply(id, json::toString(result, false));
    } catch (const std::exception&) {
        if (checker->deleted) {
            return;
        }
        reply = bridge::makeFailureReply(id);
    }
    evaluateJavascript(reply);
}

}  // namespace vela::ui
