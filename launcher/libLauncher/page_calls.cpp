#include "page_calls.hpp"

#include <fmt/format.h>

namespace zentravo::page {

std::string escapeForScript(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\'':
                out += "\\'";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    out += fmt::format("\\x{:02x}", static_cast<unsigned char>(c));
                } else if (c == '\xe2' && i + 2 < text.size() && text[i + 1] == '\x80' &&
                           (text[i + 2] == '\xa8' || text[i + 2] == '\xa9')) {
                    // U+2028/U+2029 end a line inside older script engines' string literals.
                    out += text[i + 2] == '\xa8' ? "\\u2028" : "\\u2029";
                    i += 2;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string statusCall(std::string_view text) {
    return fmt::format("updateProgressStatus('{}');", escapeForScript(text));
}

std::string progressCall(std::string_view text, std::int64_t downloaded, std::int64_t total) {
    return fmt::format("updateProgressStatus('{}', {}, {})", escapeForScript(text), downloaded,
                       total);
}

std::string errorCall(std::string_view text) {
    return fmt::format("notifyError('{}')", escapeForScript(text));
}

std::string errorWithRetryCall(std::string_view text) {
    return fmt::format("notifyErrorWithRetry('{}','{}')", escapeForScript(text), "restartApp");
}

}  // namespace zentravo::page
