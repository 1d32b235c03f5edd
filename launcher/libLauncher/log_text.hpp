#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

// Texts from outside the launcher (arguments, deep links, answers, socket replies) made safe for
// the one-record-per-line log: nothing they carry can end a record or start a forged one, and a
// hostile answer cannot fill the log.
namespace zentravo::logtext {

// How much of a long text or JSON dump goes into one log record or breadcrumb.
inline constexpr std::size_t kExcerptBytes = 8192;

// Line breaks, tabs and other control characters (C0, DEL, C1, U+2028/U+2029, the bidirectional
// controls U+061C, U+200E/U+200F, U+202A-U+202E and U+2066-U+2069) as escapes ("\n", "\r", "\t",
// "\x1B", "\u0085", "\u202E"); bytes that are not UTF-8 as "\xFF". Other text is kept.
[[nodiscard]] std::string escape(std::string_view text);

// escape() of the first kExcerptBytes of `text`; a longer text is cut there and its full length
// follows: "... (N bytes in all)".
[[nodiscard]] std::string excerpt(std::string_view text);

// The JSON written with `indent` spaces (0 or less: compact), cut after kExcerptBytes as excerpt()
// does. Nothing beyond the kept part is held in memory, however large the written form would be.
// Inside strings, DEL and the characters escape() escapes are written as JSON escapes
// ("\u007F", "\u202E"), so that the line breaks of the indented form are the only raw controls.
[[nodiscard]] std::string dump(const nlohmann::json& value, int indent);

}  // namespace zentravo::logtext
