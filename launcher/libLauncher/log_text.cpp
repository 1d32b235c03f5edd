#include "log_text.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <iomanip>
#include <ostream>
#include <streambuf>

namespace zentravo::logtext {
namespace {

// Length of the well-formed UTF-8 sequence at the start of `text` (shortest form, no
// surrogates, at most U+10FFFF), with its code point; 0 when the first byte starts none.
std::size_t utf8Sequence(std::string_view text, char32_t& point) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        point = lead & 0x1Fu;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        point = lead & 0x0Fu;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        point = lead & 0x07u;
        min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u) {
            return 0;
        }
        point = (point << 6) | (byte(i) & 0x3Fu);
    }
    if (point < min || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return 0;
    }
    return length;
}

// The length of `text` without a UTF-8 sequence cut off at its end.
std::size_t completePrefix(std::string_view text) {
    std::size_t start = text.size();
    while (start > 0 && text.size() - start < 3 &&
           (static_cast<unsigned char>(text[start - 1]) & 0xC0u) == 0x80u) {
        --start;
    }
    if (start == 0) {
        return text.size();
    }
    const auto lead = static_cast<unsigned char>(text[start - 1]);
    const std::size_t wanted = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return text.size() - (start - 1) < wanted ? start - 1 : text.size();
}

// Characters that change how the rest of a line looks without showing themselves: C1 controls,
// the Unicode line and paragraph separators, and the bidirectional controls that reorder text.
bool hidesItself(char32_t point) {
    return (point >= 0x80 && point <= 0x9F) || point == 0x2028 || point == 0x2029 ||
           point == 0x061C || point == 0x200E || point == 0x200F ||
           (point >= 0x202A && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);
}

// A written JSON text with DEL and the characters above as "\uXXXX" escapes, which JSON reads
// back as the same characters: the writer itself escapes only what lies below U+0020, so these
// would otherwise reach the log raw from inside a string.
std::string withJsonEscapes(std::string_view json) {
    std::string out;
    out.reserve(json.size());
    for (std::size_t i = 0; i < json.size();) {
        const auto c = static_cast<unsigned char>(json[i]);
        char32_t point = c;
        std::size_t length = 1;
        if (c >= 0x80) {
            length = std::max<std::size_t>(utf8Sequence(json.substr(i), point), 1);
        }
        if (point == 0x7F || (length > 1 && hidesItself(point))) {
            out += fmt::format("\\u{:04X}", static_cast<std::uint32_t>(point));
        } else {
            out.append(json.substr(i, length));
        }
        i += length;
    }
    return out;
}

std::string withLength(std::string kept, std::size_t total) {
    return fmt::format("{}... ({} bytes in all)", kept, total);
}

// Keeps the first `keep` bytes written and counts the rest.
class PrefixBuffer : public std::streambuf {
  public:
    explicit PrefixBuffer(std::size_t keep) : keep_{keep} {}

    [[nodiscard]] const std::string& kept() const { return kept_; }
    [[nodiscard]] std::size_t total() const { return total_; }

  protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char ch = traits_type::to_char_type(c);
            xsputn(&ch, 1);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        const auto count = static_cast<std::size_t>(n);
        if (kept_.size() < keep_) {
            kept_.append(s, std::min(count, keep_ - kept_.size()));
        }
        total_ += count;
        return n;
    }

  private:
    std::size_t keep_;
    std::string kept_;
    std::size_t total_ = 0;
};

}  // namespace

std::string escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        switch (c) {
            case '\n':
                out += "\\n";
                ++i;
                continue;
            case '\r':
                out += "\\r";
                ++i;
                continue;
            case '\t':
                out += "\\t";
                ++i;
                continue;
            default:
                break;
        }
        char32_t point = 0;
        const std::size_t length = c < 0x80 ? 0 : utf8Sequence(text.substr(i), point);
        if (length == 0) {
            out += fmt::format("\\x{:02X}", c);
            ++i;
        } else if (hidesItself(point)) {
            out += fmt::format("\\u{:04X}", static_cast<std::uint32_t>(point));
            i += length;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

std::string excerpt(std::string_view text) {
    if (text.size() <= kExcerptBytes) {
        return escape(text);
    }
    const std::string_view head = text.substr(0, kExcerptBytes);
    return withLength(escape(head.substr(0, completePrefix(head))), text.size());
}

std::string dump(const nlohmann::json& value, int indent) {
    PrefixBuffer buffer{kExcerptBytes};
    std::ostream out{&buffer};
    try {
        // The library writes an indented form when the stream has a width.
        if (indent > 0) {
            out << std::setw(indent);
        }
        out << value;
    } catch (const std::exception& e) {
        return fmt::format("<not writable as JSON: {}>", e.what());
    }
    if (buffer.total() <= kExcerptBytes) {
        return withJsonEscapes(buffer.kept());
    }
    const std::string& kept = buffer.kept();
    return withLength(withJsonEscapes(std::string_view{kept}.substr(0, completePrefix(kept))),
                      buffer.total());
}

}  // namespace zentravo::logtext
