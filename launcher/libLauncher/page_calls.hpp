#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The JavaScript texts the Updater hands to the page. Every text placed between quotes is escaped,
// so a translation holding a quote, a backslash or a line break still makes a valid call.
namespace zentravo::page {

// `text` as the body of a single-quoted JavaScript string literal.
[[nodiscard]] std::string escapeForScript(std::string_view text);

// updateProgressStatus('text');
[[nodiscard]] std::string statusCall(std::string_view text);
// updateProgressStatus('text', downloaded, total)
[[nodiscard]] std::string progressCall(std::string_view text, std::int64_t downloaded,
                                       std::int64_t total);
// notifyError('text')
[[nodiscard]] std::string errorCall(std::string_view text);
// notifyErrorWithRetry('text','restartApp')
[[nodiscard]] std::string errorWithRetryCall(std::string_view text);

inline constexpr std::string_view kShowCloseButton = "showCloseButton()";
inline constexpr std::string_view kRestoreFrontend = "restoreFrontend()";

}  // namespace zentravo::page
