#include "json.hpp"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "text.hpp"

namespace vela::json {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool isWhitespace(char c) {
    return (c >= 9 && c <= 13) || c == ' ';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::uint8_t byteAt(const char* p) {
    return static_cast<std::uint8_t>(*p);
}

bool isContinuation(std::uint8_t byte) {
    return (byte & 0xC0) == 0x80;
}

// Position of the first byte that breaks the UTF-8 rules, or nullptr. Overlong forms and surrogate
// code points pass; code points above U+10FFFF do not.
const char* findIllegalUtf8(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const std::uint8_t lead = byteAt(p);
        if (lead < 0x80) {
            ++p;
            continue;
        }
        int following = 0;
        if ((lead & 0xE0) == 0xC0) {
            following = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            following = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            following = 3;
        } else {
            return p;
        }
        if (end - p <= following) {
            return p;
        }
        if (following == 3) {
            const int plane = ((lead & 7) << 2) | ((byteAt(p + 1) >> 4) & 3);
            if (plane > 16) {
                return p;
            }
        }
        for (int i = 1; i <= following; ++i) {
            if (!isContinuation(byteAt(p + i))) {
                return p + i;
            }
        }
        p += following + 1;
    }
    return nullptr;
}

// Length of the sequence a lead byte starts (1 for anything that is not a multi-byte lead).
int sequenceLength(std::uint8_t lead) {
    if ((lead & 0xE0) == 0xC0) {
        return 2;
    }
    if ((lead & 0xF0) == 0xE0) {
        return 3;
    }
    if ((lead & 0xF8) == 0xF0) {
        return 4;
    }
    return 1;
}

// Decodes the code point at p of a text known to be valid UTF-8.
char32_t decodeValid(const char* p, int& length) {
    const std::uint8_t lead = byteAt(p);
    if (lead < 0x80) {
        length = 1;
        return lead;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        return (char32_t{lead & 0x1Fu} << 6) | (byteAt(p + 1) & 0x3Fu);
    }
    if ((lead & 0xF0) == 0xE0) {
        length = 3;
        return (char32_t{lead & 0x0Fu} << 12) | ((byteAt(p + 1) & 0x3Fu) << 6) |
               (byteAt(p + 2) & 0x3Fu);
    }
    length = 4;
    return (char32_t{lead & 0x07u} << 18) | ((byteAt(p + 1) & 0x3Fu) << 12) |
           ((byteAt(p + 2) & 0x3Fu) << 6) | (byteAt(p + 3) & 0x3Fu);
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

ParseError::ParseError(const char* message, std::uint64_t errorLine, std::uint64_t errorColumn)
    : std::runtime_error(message), line(errorLine), column(errorColumn) {}

//==============================================================================================
// Reading

class Parser {
  public:
    // The text must already have passed the UTF-8 check; it ends at its first NUL.
    explicit Parser(std::string_view text)
        : start(text.data()), current(text.data()), end(text.data() + lengthBeforeNul(text)) {}

    value::Value parseTopLevel() {
        skipWhitespace();
        if (atEnd()) {
            return {};
        }
        if (*current != '{' && *current != '[') {
            throwError("Expected an object or array", current);
        }
        return parseValue();
    }

    value::Value parseValue() {
        value::Type type = parseElement();
        return value::Value(std::move(type), std::move(data), std::move(dictionary));
    }

  private:
    static std::size_t lengthBeforeNul(std::string_view text) {
        const std::size_t nul = text.find('\0');
        return nul == std::string_view::npos ? text.size() : nul;
    }

    using MainType = value::Type::MainType;

    template <typename T>
    void append(T scalar) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&scalar);
        data.insert(data.end(), bytes, bytes + sizeof(T));
    }

    // Reads one value, appends its packed data and returns its type. The packed layout of a
    // value is its scalars in the order the text gives them, so the whole document is built in
    // one pass into one block and one dictionary, with no copying from level to level.
    value::Type parseElement() {
        skipWhitespace();
        if (atEnd()) {
            throwError("Syntax error", current);
        }
        const char c = *current;
        switch (c) {
            case '"': {
                ++current;
                const std::string text = parseString();
                // Nothing after a NUL can be read back, so it is not stored.
                append(dictionary.getHandleForString(std::string_view(text.c_str())));
                return value::Type(MainType::string);
            }
            case '-':
                ++current;
                skipWhitespace();
                return parseNumber(true);
            case '[':
                return parseArray();
            case '{':
                return parseObject();
            case 't':
                if (matchKeyword("true")) {
                    append(std::uint32_t{1});
                    return value::Type(MainType::bool_);
                }
                break;
            case 'f':
                if (matchKeyword("false")) {
                    append(std::uint32_t{0});
                    return value::Type(MainType::bool_);
                }
                break;
            case 'n':
                if (matchKeyword("null")) {
                    return {};
                }
                break;
            default:
                if (isDigit(c)) {
                    return parseNumber(false);
                }
                break;
        }
        throwError("Syntax error", current);
    }

    // Keeps the nesting within kMaxNestingDepth for as long as one array or object is read.
    class NestingLevel {
      public:
        NestingLevel(Parser& parser, const char* opening) : parser(parser) {
            if (++parser.depth > kMaxNestingDepth) {
                parser.throwError("Too many nested arrays or objects", opening);
            }
        }
        ~NestingLevel() { --parser.depth; }
        NestingLevel(const NestingLevel&) = delete;
        NestingLevel& operator=(const NestingLevel&) = delete;

      private:
        Parser& parser;
    };

    [[nodiscard]] bool atEnd() const { return current >= end; }

    void skipWhitespace() {
        while (current < end && isWhitespace(*current)) {
            ++current;
        }
    }

    bool matchKeyword(std::string_view keyword) {
        if (static_cast<std::size_t>(end - current) < keyword.size() ||
            std::memcmp(current, keyword.data(), keyword.size()) != 0) {
            return false;
        }
        current += keyword.size();
        return true;
    }

    char32_t readCodePoint() {
        int length = 0;
        const char32_t c = decodeValid(current, length);
        current += length;
        return c;
    }

    bool consumeIf(char c) {
        if (!atEnd() && *current == c) {
            ++current;
            return true;
        }
        return false;
    }

    // After an element: true when the closing character follows, false after a comma; either is
    // consumed.
    bool listEnds(char closing, const char* message) {
        skipWhitespace();
        if (consumeIf(',')) {
            return false;
        }
        if (consumeIf(closing)) {
            return true;
        }
        throwError(message, current);
    }

    value::Type parseArray() {
        const NestingLevel level(*this, current);
        ++current;
        const char* const afterBracket = current;
        value::Type array = value::Type::createEmptyArray();
        skipWhitespace();
        if (consumeIf(']')) {
            return array;
        }
        for (;;) {
            skipWhitespace();
            if (atEnd()) {
                throwError("Unexpected EOF in array declaration", afterBracket);
            }
            array.addArrayElements(parseElement(), 1);
            if (listEnds(']', "Expected ',' or ']'")) {
                return array;
            }
        }
    }

    value::Type parseObject() {
        const NestingLevel level(*this, current);
        ++current;
        const char* const afterBrace = current;
        value::Type object = value::Type::createObject({});
        skipWhitespace();
        if (consumeIf('}')) {
            return object;
        }
        for (;;) {
            skipWhitespace();
            if (atEnd()) {
                throwError("Unexpected EOF in object declaration", afterBrace);
            }
            if (*current != '"') {
                throwError("Expected a name", current);
            }
            ++current;
            const char* const nameStart = current;
            const std::string name = parseString();
            if (name.empty()) {
                throwError("Property names cannot be empty", nameStart);
            }
            skipWhitespace();
            if (atEnd() || *current != ':') {
                throwError("Expected ':'", current);
            }
            ++current;
            object.addObjectMember(name, parseElement());
            if (listEnds('}', "Expected ',' or '}'")) {
                return object;
            }
        }
    }

    // From just after the opening quote to just after the closing one.
    std::string parseString() {
        std::string text;
        for (;;) {
            // Plain ASCII runs are copied as they are.
            const char* run = current;
            while (current < end && byteAt(current) < 0x80 && *current != '"' && *current != '\\') {
                ++current;
            }
            text.append(run, current);
            if (atEnd()) {
                throwError("Unexpected EOF in string constant", current);
            }
            char32_t c = readCodePoint();
            if (c == '"') {
                return text;
            }
            if (c == '\\') {
                if (atEnd()) {
                    throwError("Unexpected EOF in string constant", current);
                }
                c = readCodePoint();
                switch (c) {
                    case 'a':
                        c = 7;
                        break;
                    case 'b':
                        c = 8;
                        break;
                    case 'f':
                        c = 12;
                        break;
                    case 'n':
                        c = 10;
                        break;
                    case 'r':
                        c = 13;
                        break;
                    case 't':
                        c = 9;
                        break;
                    case 'u':
                        c = parseUnicodeEscape();
                        break;
                    default:
                        break;
                }
            }
            appendUtf8(text, c);
        }
    }

    std::uint32_t readHexDigits() {
        std::uint32_t result = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = atEnd() ? -1 : hexValue(*current);
            if (digit < 0) {
                throwError("Syntax error in unicode character", current);
            }
            result = (result << 4) | static_cast<std::uint32_t>(digit);
            ++current;
        }
        return result;
    }

    // From just after "\u".
    char32_t parseUnicodeEscape() {
        const std::uint32_t c = readHexDigits();
        if (c < 0xD800 || c > 0xDBFF) {
            return c;
        }
        if (end - current < 2 || current[0] != '\\' || current[1] != 'u') {
            throwError("Expected a unicode low surrogate codepoint", current);
        }
        current += 2;
        const std::uint32_t low = readHexDigits();
        if (low < 0xDC00 || low > 0xDFFF) {
            throwError("Expected a unicode low surrogate codepoint", current);
        }
        return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
    }

    value::Type parseNumber(bool negative) {
        const char* const first = current;
        bool hasPoint = false;
        bool hasExponent = false;
        bool hasDigits = false;
        while (current < end) {
            const char c = *current;
            if (isDigit(c)) {
                hasDigits = true;
                ++current;
            } else if (c == '.' && !hasPoint && !hasExponent) {
                hasPoint = true;
                ++current;
            } else if ((c == 'e' || c == 'E') && !hasExponent) {
                hasExponent = true;
                ++current;
                // A page's own JSON encoder writes 1e21 as "1e+21".
                if (current < end && (*current == '-' || *current == '+')) {
                    ++current;
                }
            } else {
                break;
            }
        }
        if (!atEnd()) {
            const char c = *current;
            if (!isWhitespace(c) && c != ',' && c != ']' && c != '}') {
                throwError("Syntax error in number", current);
            }
        }
        if (!hasDigits) {
            throwError("Syntax error in number", current);
        }

        const std::string scanned(first, current);
        const char* const scannedEnd = scanned.c_str() + scanned.size();
        char* converted = nullptr;
        if (!hasPoint && !hasExponent) {
            const long long number = std::strtoll(scanned.c_str(), &converted, 10);
            // LLONG_MAX is also what an overflow gives: such numbers are read as doubles.
            if (converted == scannedEnd && number != LLONG_MAX) {
                append(std::int64_t{negative ? -number : number});
                return value::Type(MainType::int64);
            }
        }
        const double number = text::parseDouble(scanned.c_str(), &converted);
        if (converted != scannedEnd) {
            throwError("Syntax error in number", current);
        }
        append(negative ? -number : number);
        return value::Type(MainType::float64);
    }

    [[noreturn]] void throwError(const char* message, const char* position) const {
        std::uint64_t line = 1;
        std::uint64_t column = 1;
        const char* p = start;
        while (p < position && p < end) {
            int length = 0;
            if (decodeValid(p, length) == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
            p += length;
        }
        throw ParseError(message, line, column);
    }

    const char* start;
    const char* current;
    const char* end;
    int depth = 0;
    std::vector<std::uint8_t> data;
    value::SimpleStringDictionary dictionary;
};

namespace {

void checkUtf8(std::string_view text) {
    if (const char* bad = findIllegalUtf8(text); bad != nullptr) {
        // Positions before the first NUL count code points; beyond it the count stops there.
        std::uint64_t line = 1;
        std::uint64_t column = 1;
        // The bytes before the offending one are whole code points, except for the lead of a
        // sequence cut by it, which counts as one.
        for (const char* p = text.data(); p < bad && *p != '\0';) {
            int length = sequenceLength(byteAt(p));
            if (length <= bad - p && decodeValid(p, length) == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
            p += length;
        }
        throw ParseError("Illegal UTF8 data", line, column);
    }
}

}  // namespace

value::Value parse(std::string_view text) {
    checkUtf8(text);
    return Parser(text).parseTopLevel();
}

value::Value parseValue(std::string_view text) {
    checkUtf8(text);
    return Parser(text).parseValue();
}

//==============================================================================================
// Writing

void writeEscaped(std::string& out, std::string_view text);

class Writer {
  public:
    explicit Writer(int indent) : indentSize(indent) {}

    void dump(const value::ValueView& view) {
        dump(view.getType(), view.getRawData(), view.getDictionary());
    }

    std::string out;

  private:
    using MainType = value::Type::MainType;

    template <typename T>
    static T read(const std::uint8_t* data) {
        T result;
        std::memcpy(&result, data, sizeof(T));
        return result;
    }

    void writeInteger(std::int64_t number) {
        char buffer[24];
        const auto result = std::to_chars(buffer, buffer + sizeof(buffer), number);
        out.append(buffer, result.ptr);
    }

    void writeFloat(double number) {
        if (std::isnan(number)) {
            out += "\"NaN\"";
        } else if (std::isinf(number)) {
            out += number > 0 ? "\"Infinity\"" : "\"-Infinity\"";
        } else {
            out += text::floatToString(number, true);
        }
    }

    // Walks the packed data with running offsets: the same elements that indexing would reach,
    // without re-summing the sizes of everything before each one.
    void dump(const value::Type& type, const std::uint8_t* data,
              const value::StringDictionary* dictionary) {
        switch (type.getMainType()) {
            case MainType::void_:
                out += "null";
                return;
            case MainType::int32:
                writeInteger(read<std::int32_t>(data));
                return;
            case MainType::int64:
                writeInteger(read<std::int64_t>(data));
                return;
            case MainType::float32:
                writeFloat(read<float>(data));
                return;
            case MainType::float64:
                writeFloat(read<double>(data));
                return;
            case MainType::bool_:
                out += read<std::uint32_t>(data) != 0 ? "true" : "false";
                return;
            case MainType::string:
                if (dictionary == nullptr) {
                    value::throwError("No string dictionary supplied");
                }
                out += '"';
                writeEscaped(out, dictionary->getStringForHandle(read<std::uint32_t>(data)));
                out += '"';
                return;
            case MainType::vector:
            case MainType::primitiveArray:
                dumpPrimitiveArray(type, data);
                return;
            case MainType::complexArray:
                dumpComplexArray(type, data, dictionary);
                return;
            case MainType::object:
                dumpObject(type, data, dictionary);
                return;
        }
        value::throwError("Invalid type");
    }

    void dumpPrimitiveArray(const value::Type& type, const std::uint8_t* data) {
        const std::uint32_t count = type.getNumElements();
        const std::uint32_t vectorSize = type.isPrimitiveArray() ? type.getNumVectorElements() : 0;
        if (vectorSize > 256) {
            value::throwError("Too many vector elements");
        }
        const value::Type elementType =
            vectorSize != 0 ? value::Type::createVector(type.getElementType(), vectorSize)
                            : value::Type(type.getElementType());
        const std::size_t elementSize = elementType.getValueDataSize();
        out += '[';
        openList(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            separate(i, count);
            dump(elementType, data + elementSize * i, nullptr);
        }
        closeList(count);
        out += ']';
    }

    void dumpComplexArray(const value::Type& type, const std::uint8_t* data,
                          const value::StringDictionary* dictionary) {
        std::uint32_t count = 0;
        for (std::uint32_t g = 0; g < type.getNumGroups(); ++g) {
            count += type.getGroup(g).count;
        }
        out += '[';
        openList(count);
        std::uint32_t index = 0;
        for (std::uint32_t g = 0; g < type.getNumGroups(); ++g) {
            const auto& group = type.getGroup(g);
            const std::size_t elementSize = group.elementType.getValueDataSize();
            for (std::uint32_t i = 0; i < group.count; ++i, ++index) {
                separate(index, count);
                dump(group.elementType, data, dictionary);
                data += elementSize;
            }
        }
        closeList(count);
        out += ']';
    }

    void dumpObject(const value::Type& type, const std::uint8_t* data,
                    const value::StringDictionary* dictionary) {
        const std::uint32_t count = type.getNumMembers();
        out += '{';
        openList(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto& member = type.getMember(i);
            separate(i, count);
            out += '"';
            writeEscaped(out, member.name);
            out += "\": ";
            dump(member.type, data, dictionary);
            data += member.type.getValueDataSize();
        }
        closeList(count);
        out += '}';
    }

    [[nodiscard]] bool lineBroken(std::uint32_t count) const {
        return indentSize != 0 && count != 0;
    }

    void openList(std::uint32_t count) {
        if (lineBroken(count)) {
            startIndent();
        }
    }

    void separate(std::uint32_t index, std::uint32_t count) {
        if (index == 0) {
            return;
        }
        if (lineBroken(count)) {
            out += ',';
            newLine();
        } else {
            out += ", ";
        }
    }

    void closeList(std::uint32_t count) {
        if (lineBroken(count)) {
            endIndent();
        }
    }

    void startIndent() {
        currentIndent += indentSize;
        newLine();
    }

    void endIndent() {
        currentIndent -= indentSize;
        newLine();
    }

    void newLine() {
        out += '\n';
        out.append(static_cast<std::size_t>(currentIndent), ' ');
    }

    int indentSize;
    int currentIndent = 0;
};

// Code points up to the end of the text or its first NUL; 32 to 126 stay as they are, everything
// else is escaped, so the result is ASCII. Bytes that do not form a UTF-8 sequence (a string made
// from arbitrary bytes) are written as U+FFFD, one per byte.
void writeEscaped(std::string& out, std::string_view text) {
    const auto writeU = [&out](std::uint32_t unit) {
        out += "\\u";
        out += kHexDigits[(unit >> 12) & 0xF];
        out += kHexDigits[(unit >> 8) & 0xF];
        out += kHexDigits[(unit >> 4) & 0xF];
        out += kHexDigits[unit & 0xF];
    };
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const std::uint8_t lead = byteAt(p);
        if (lead == 0) {
            return;
        }
        if (lead >= 32 && lead <= 126 && lead != '"' && lead != '\\') {
            const char* run = p;
            while (p < end && byteAt(p) >= 32 && byteAt(p) <= 126 && *p != '"' && *p != '\\') {
                ++p;
            }
            out.append(run, p);
            continue;
        }
        char32_t c = 0xFFFD;
        int length = 1;
        if (lead < 0x80) {
            c = lead;
        } else {
            int following = -1;
            if ((lead & 0xE0) == 0xC0) {
                following = 1;
            } else if ((lead & 0xF0) == 0xE0) {
                following = 2;
            } else if ((lead & 0xF8) == 0xF0) {
                following = 3;
            }
            bool complete = following > 0 && end - p > following;
            for (int i = 1; complete && i <= following; ++i) {
                complete = isContinuation(byteAt(p + i));
            }
            if (complete) {
                c = decodeValid(p, length);
                if (c > 0x10FFFF) {
                    c = 0xFFFD;
                }
            }
        }
        p += length;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case 8:
                out += "\\b";
                break;
            case 9:
                out += "\\t";
                break;
            case 10:
                out += "\\n";
                break;
            case 12:
                out += "\\f";
                break;
            case 13:
                out += "\\r";
                break;
            default:
                if (c >= 32 && c <= 126) {
                    out += static_cast<char>(c);
                } else if (c < 0x10000) {
                    writeU(c);
                } else {
                    writeU(0xD800 + ((c - 0x10000) >> 10));
                    writeU(0xDC00 + ((c - 0x10000) & 0x3FF));
                }
                break;
        }
    }
}

std::string toString(const value::ValueView& view, bool useLineBreaks) {
    Writer writer(useLineBreaks ? 2 : 0);
    writer.dump(view);
    return std::move(writer.out);
}

std::string getEscapedQuotedString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    writeEscaped(out, text);
    out += '"';
    return out;
}

}  // namespace vela::json
