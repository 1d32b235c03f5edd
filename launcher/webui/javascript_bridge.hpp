#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The page side of a bound function and the scripts that settle its promise.
namespace vela::ui::bridge {

// Put into the page once per binding; FUNCTION_NAME is the binding's name, INVOKE_BINDING the
// page's way to post a text to the host's "external" handler.
inline constexpr std::string_view kBindingTemplate =
    "(function() {\n"
    "const fnBinding = window._fnBindings = (window._fnBindings || { messageID: 1 });\n"
    "\n"
    "window[\"FUNCTION_NAME\"] = function()\n"
    "{\n"
    "  const messageID = ++fnBinding.messageID;\n"
    "  const promise = new Promise((resolve, reject) => { fnBinding[messageID] = { resolve, "
    "reject }; });\n"
    "\n"
    "  const args = JSON.stringify ({ id: messageID,\n"
    "                                 fn: \"FUNCTION_NAME\",\n"
    "                                 params: Array.prototype.slice.call (arguments)\n"
    "                               },\n"
    "                               (key, value) => typeof value === 'bigint' ? value.toString() "
    ": value);\n"
    "  INVOKE_BINDING (args);\n"
    "  return promise;\n"
    "}\n"
    "})()";

inline constexpr std::string_view kPostMessageFn =
    "window.webkit.messageHandlers.external.postMessage";

// The longest page message, in UTF-8 bytes, that is read at all. A call is its name and its
// arguments as JSON; the launcher's largest is one web address, which servers refuse long
// before this size. A page that posts more is faulty or hostile: its message is dropped before
// it is copied or parsed, so it costs no more than WebKit's own copy (a 100 MB argument once
// took the host to 830 MB).
inline constexpr std::size_t kMaxMessageBytes = std::size_t{1} << 20;

// The template for one binding name (inserted as it is: names are plain identifiers).
[[nodiscard]] std::string makeBindingScript(std::string_view name);

// Resolves call id with the result, given as single-line JSON, and forgets the call.
[[nodiscard]] std::string makeSuccessReply(std::int64_t id, std::string_view resultJson);

// Rejects call id without a reason and forgets the call.
[[nodiscard]] std::string makeFailureReply(std::int64_t id);

}  // namespace vela::ui::bridge
