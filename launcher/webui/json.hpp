#pragma once

// JSON text to values and back. The reader takes UTF-8 only and refuses duplicate and empty member
// names; the writer's output is pure ASCII.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "value.hpp"

namespace vela::json {

// what() is the bare message; line and column (both from 1, columns in code points) locate it.
class ParseError : public std::runtime_error {
  public:
    ParseError(const char* message, std::uint64_t line, std::uint64_t column);

    std::uint64_t line;
    std::uint64_t column;
};

// Arrays and objects may nest this deep; a deeper document is refused so that no input can
// exhaust the stack.
inline constexpr int kMaxNestingDepth = 512;

// One object or array (anything after it is not examined), or a void value for a text that is
// empty or white space only. Throws ParseError or value::Error.
[[nodiscard]] value::Value parse(std::string_view text);

// One value of any kind; anything after it is not examined.
[[nodiscard]] value::Value parseValue(std::string_view text);

// Single-line, or line-broken with 2 spaces per level.
[[nodiscard]] std::string toString(const value::ValueView& view, bool useLineBreaks = false);

[[nodiscard]] std::string getEscapedQuotedString(std::string_view text);

}  // namespace vela::json
