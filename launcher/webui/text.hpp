#pragma once

// Text helpers of the web UI host: number formatting for the JSON writer and token replacement for
// page scripts.

#include <string>
#include <string_view>
#include <utility>

namespace vela::text {

// Shortest-style decimal text of a finite number that reads back (strtod) to the same double.
// Whole numbers end in ".0" unless omitPointIfPossible drops it; zero is always "0.0" or "-0.0".
[[nodiscard]] std::string floatToString(double number, bool omitPointIfPossible);

// strtod as in the "C" locale, whatever locale the process has set (GTK adopts the user's, whose
// decimal separator may be a comma).
[[nodiscard]] double parseDouble(const char* text, char** end);

// Every occurrence of token replaced, scanning left to right and resuming after each inserted
// replacement, so a replacement is never scanned again. An empty token changes nothing.
[[nodiscard]] std::string replace(std::string_view text, std::string_view token,
                                  std::string_view replacement);

// Pair by pair: replace(text, a, x, b, y) replaces every a by x, then every b by y.
template <typename... MorePairs>
[[nodiscard]] std::string replace(std::string_view text, std::string_view token,
                                  std::string_view replacement, std::string_view nextToken,
                                  std::string_view nextReplacement, MorePairs&&... morePairs) {
    static_assert(sizeof...(MorePairs) % 2 == 0, "tokens and replacements come in pairs");
    return replace(replace(text, token, replacement), nextToken, nextReplacement,
                   std::forward<MorePairs>(morePairs)...);
}

}  // namespace vela::text
