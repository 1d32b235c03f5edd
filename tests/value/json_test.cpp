#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>

#include "json.hpp"

namespace {

using vela::json::ParseError;
using vela::value::Type;
using vela::value::Value;
using namespace std::string_literals;

struct ErrorCase {
    std::string text;
    std::string message;
    std::uint64_t line;
    std::uint64_t column;
};

void expectParseError(const ErrorCase& c, bool anyValue = false) {
    SCOPED_TRACE("text: " + c.text);
    try {
        const Value result = anyValue ? vela::json::parseValue(c.text) : vela::json::parse(c.text);
        ADD_FAILURE() << "no error; read as " << vela::json::toString(result);
    } catch (const ParseError& error) {
        EXPECT_EQ(std::string(error.what()), c.message);
        EXPECT_EQ(error.line, c.line);
        EXPECT_EQ(error.column, c.column);
    }
}

std::string roundTrip(const std::string& text) {
    return vela::json::toString(vela::json::parse(text));
}

TEST(JsonRead, ErrorTextsAndPositions) {
    const ErrorCase cases[] = {
        {"42", "Expected an object or array", 1, 1},
        {"  x", "Expected an object or array", 1, 3},
        {"\xEF\xBB\xBF[]", "Expected an object or array", 1, 1},
        {"[1,]", "Syntax error", 1, 4},
        {"[1, 2 3]", "Expected ',' or ']'", 1, 7},
        {"[1", "Expected ',' or ']'", 1, 3},
        {"[1, ", "Unexpected EOF in array declaration", 1, 2},
        {"  [", "Unexpected EOF in array declaration", 1, 4},
        {"{\"a\": 1,}", "Expected a name", 1, 9},
        {"{1: 2}", "Expected a name", 1, 2},
        {"{", "Unexpected EOF in object declaration", 1, 2},
        {"{\"a\": 1, ", "Unexpected EOF in object declaration", 1, 2},
        {"{\"\": 1}", "Property names cannot be empty", 1, 3},
        {"{\"a\" 1}", "Expected ':'", 1, 6},
        {"{\"a\"", "Expected ':'", 1, 5},
        {"{\"a\": 1 \"b\": 2}", "Expected ',' or '}'", 1, 9},
        {"[\"abc", "Unexpected EOF in string constant", 1, 6},
        {"[\"abc\\", "Unexpected EOF in string constant", 1, 7},
        {"[\"\\u12g4\"]", "Syntax error in unicode character", 1, 7},
        {"[\"\\u12", "Syntax error in unicode character", 1, 7},
        {"[\"\\ud83dx\"]", "Expected a unicode low surrogate codepoint", 1, 9},
        {"[\"\\ud83d\\u0041\"]", "Expected a unicode low surrogate codepoint", 1, 15},
        {"[1e+]", "Syntax error in number", 1, 5},
        {"[1e+-5]", "Syntax error in number", 1, 5},
        {"[1e5+]", "Syntax error in number", 1, 5},
        {"[1.2.3]", "Syntax error in number", 1, 5},
        {"[12a]", "Syntax error in number", 1, 4},
        {"[-]", "Syntax error in number", 1, 3},
        {"[-.]", "Syntax error in number", 1, 4},
        {"[1e]", "Syntax error in number", 1, 4},
        {"[--1]", "Syntax error in number", 1, 3},
        {"[tru]", "Syntax error", 1, 2},
        {"[nul", "Syntax error", 1, 2},
        {"[+1]", "Syntax error", 1, 2},
        {"[truex]", "Expected ',' or ']'", 1, 6},
        {"[\n1,\n@]", "Syntax error", 3, 1},
        {"[\"\xC3\xA9\xC3\xA9\", @]", "Syntax error", 1, 8},
        {"{\"a\": [1, 2], \"b\": {\"c\": [}}", "Syntax error", 1, 27},
    };
    for (const auto& c : cases) {
        expectParseError(c);
    }
}

TEST(JsonRead, IllegalUtf8) {
    const ErrorCase cases[] = {
        {"[\"\x80\"]", "Illegal UTF8 data", 1, 3},
        {"[\"\xF8\x88\x80\x80\x80\"]", "Illegal UTF8 data", 1, 3},
        {"[\"\xC3\"]", "Illegal UTF8 data", 1, 4},  // the quote is not a continuation byte
        {"[\"ab\xE2\x82", "Illegal UTF8 data", 1, 5},
        {"[\"\xF4\x90\x80\x80\"]", "Illegal UTF8 data", 1, 3},
        {"\n\n  \"\xC3\xA9\xFF", "Illegal UTF8 data", 3, 5},
        {"[1]\xFF", "Illegal UTF8 data", 1, 4},  // checked before anything is read
    };
    for (const auto& c : cases) {
        expectParseError(c);
    }
    // Overlong forms, surrogates and the highest code point pass the check.
    EXPECT_NO_THROW((void)vela::json::parse("[\"\xC0\x80\xED\xA0\x80\xF4\x8F\xBF\xBF\"]"));
}

TEST(JsonRead, EmptyTextAndTrailingContent) {
    EXPECT_TRUE(vela::json::parse("").isVoid());
    EXPECT_TRUE(vela::json::parse(" \t\r\n\v\f").isVoid());
    EXPECT_EQ(roundTrip("[1, 2] and then some"), "[1, 2]");
    EXPECT_EQ(roundTrip("{} }"), "{}");
    // The text ends at its first NUL.
    EXPECT_EQ(roundTrip("[1]\0garbage"s), "[1]");
    expectParseError({"[1\0]"s, "Expected ',' or ']'", 1, 3});
    EXPECT_TRUE(vela::json::parse("\0[1]"s).isVoid());
}

TEST(JsonRead, ParseValueReadsAnyKind) {
    EXPECT_EQ(vela::json::parseValue("42").getInt64(), 42);
    EXPECT_EQ(vela::json::parseValue(" \"x\" trailing").getString(), "x");
    EXPECT_TRUE(vela::json::parseValue("null").isVoid());
    EXPECT_TRUE(vela::json::parseValue("true,").isBool());
    expectParseError({"", "Syntax error", 1, 1}, true);
    expectParseError({"\xFF", "Illegal UTF8 data", 1, 1}, true);
}

TEST(JsonRead, Numbers) {
    const Value array = vela::json::parse(
        "[0123, 1., -.5, - 7, 1e5, 9223372036854775806, 9223372036854775807,"
        " -9223372036854775808, 1E-2, 2.5e-1, 0, -0, 1e400, 99999999999999999999]");
    ASSERT_EQ(array.size(), 14u);
    EXPECT_TRUE(array[0].isInt64());
    EXPECT_EQ(array[0].getInt64(), 123);
    EXPECT_TRUE(array[1].isFloat64());
    EXPECT_EQ(array[1].getFloat64(), 1.0);
    EXPECT_EQ(array[2].getFloat64(), -0.5);
    EXPECT_TRUE(array[3].isInt64());
    EXPECT_EQ(array[3].getInt64(), -7);
    EXPECT_TRUE(array[4].isFloat64());
    EXPECT_EQ(array[4].getFloat64(), 100000.0);
    EXPECT_TRUE(array[5].isInt64());
    EXPECT_EQ(array[5].getInt64(), 9223372036854775806);
    EXPECT_TRUE(array[6].isFloat64());
    EXPECT_EQ(array[6].getFloat64(), 9223372036854775807.0);
    EXPECT_TRUE(array[7].isFloat64());
    EXPECT_EQ(array[7].getFloat64(), -9223372036854775808.0);
    EXPECT_EQ(array[8].getFloat64(), 0.01);
    EXPECT_EQ(array[9].getFloat64(), 0.25);
    EXPECT_TRUE(array[10].isInt64());
    EXPECT_TRUE(array[11].isInt64());
    EXPECT_EQ(array[12].getFloat64(), std::numeric_limits<double>::infinity());
    EXPECT_TRUE(array[13].isFloat64());
    EXPECT_EQ(array[13].getFloat64(), 1e20);
}

// What a page's JSON.stringify writes for large and small numbers.
TEST(JsonRead, ExponentsWithASign) {
    struct Case {
        const char* text;
        double value;
    };
    const Case cases[] = {
        {"1e+21", 1e21},   {"1E+21", 1e21},
        {"-1e+21", -1e21}, {"1.5e+300", 1.5e300},
        {"2e-7", 2e-7},    {"1e+0", 1.0},
        {"5e+00", 5.0},    {"1.7976931348623157e+308", 1.7976931348623157e308},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Value array = vela::json::parse(std::string{"["} + c.text + "]");
        ASSERT_EQ(array.size(), 1u);
        EXPECT_TRUE(array[0].isFloat64());
        EXPECT_EQ(array[0].getFloat64(), c.value);
    }
    EXPECT_EQ(vela::json::parse(R"({"n": 1e+21})")["n"].getFloat64(), 1e21);
}

// Compiles a German locale (decimal comma) into a temporary folder; empty when that fails.
std::string makeCommaLocale(const std::filesystem::path& folder) {
    const std::string target = (folder / "de_DE.UTF-8").string();
    const char* argv[] = {"localedef", "-i", "de_DE", "-f", "UTF-8", target.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "localedef", nullptr, nullptr, const_cast<char* const*>(argv),
                     environ) != 0) {
        return {};
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "de_DE.UTF-8" : "";
}

TEST(JsonRead, NumbersIgnoreTheProcessLocale) {
    // GTK adopts the user's locale, whose decimal separator may be a comma.
    const auto folder =
        std::filesystem::temp_directory_path() / ("vela-locale-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::string name = makeCommaLocale(folder);
    setenv("LOCPATH", folder.c_str(), 1);
    const bool switched = !name.empty() && std::setlocale(LC_NUMERIC, name.c_str()) != nullptr;
    double fromJson = 0;
    double fromText = 0;
    if (switched) {
        ASSERT_EQ(std::strtod("0,5", nullptr), 0.5);  // the locale is really in effect
        const Value array = vela::json::parse("[2.5, \"0.25\"]");
        fromJson = array[0].getFloat64();
        fromText = array[1].getFloat64();
        std::setlocale(LC_NUMERIC, "C");
    }
    unsetenv("LOCPATH");
    std::filesystem::remove_all(folder);
    if (!switched) {
        GTEST_SKIP() << "localedef could not make a locale with a decimal comma";
    }
    EXPECT_EQ(fromJson, 2.5);
    EXPECT_EQ(fromText, 0.25);
}

TEST(JsonRead, StringsAndEscapes) {
    const Value array = vela::json::parse(
        "[\"\\a\\b\\f\\n\\r\\t\\\"\\\\\\/\\x\\\xC3\xA9\", \"\\ud83d\\ude00\", \"\\u00e9\\u20AC\","
        " \"\\udc00\", \"caf\xC3\xA9 \xF0\x9F\x98\x80\", \"tab\there\"]");
    EXPECT_EQ(array[0].getString(), "\a\b\f\n\r\t\"\\/x\xC3\xA9");
    EXPECT_EQ(array[1].getString(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(array[2].getString(), "\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(array[3].getString(), "\xED\xB0\x80");  // a lone low surrogate is kept
    EXPECT_EQ(array[4].getString(), "caf\xC3\xA9 \xF0\x9F\x98\x80");
    EXPECT_EQ(array[5].getString(), "tab\there");

    const Value empties = vela::json::parse(R"({"a": "", "b": ["", "x", ""]})");
    EXPECT_EQ(empties["a"].getString(), "");
    EXPECT_EQ(empties["b"][2].getString(), "");
    EXPECT_EQ(empties.getDictionary().storeSize(), 2u);  // only "x" is stored

    // \u0000 puts a NUL into the text, which then reads back up to it.
    EXPECT_EQ(vela::json::parse("[\"ab\\u0000cd\"]")[0].getString(), "ab");
}

TEST(JsonRead, SurrogatePairRoundTrip) {
    const Value array = vela::json::parse("[\"\\ud83d\\ude00\"]");
    EXPECT_EQ(array[0].getString(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(vela::json::toString(array), "[\"\\ud83d\\ude00\"]");
}

TEST(JsonRead, ObjectsKeepOrderAndRefuseDuplicates) {
    const Value object =
        vela::json::parse(R"({"z": 1, "a": [true, false, null], "m": {"k": "v"}})");
    ASSERT_EQ(object.size(), 3u);
    EXPECT_EQ(object.getType().getMember(0).name, "z");
    EXPECT_EQ(object.getType().getMember(1).name, "a");
    EXPECT_EQ(object["m"]["k"].getString(), "v");
    EXPECT_TRUE(object["a"][2].isVoid());

    try {
        (void)vela::json::parse(R"({"a": 1, "a": 2})");
        ADD_FAILURE() << "duplicate name accepted";
    } catch (const vela::value::Error& error) {
        EXPECT_STREQ(error.what(), "This object already contains a member with the given name");
    }
    // Names are compared by length and bytes.
    EXPECT_EQ(vela::json::parse(R"({"a": 1, "A": 2, "a ": 3})").size(), 3u);
    // Also in an object wide enough for its names to be indexed.
    std::string wide = "{";
    for (int i = 0; i < 300; ++i) {
        wide += "\"n" + std::to_string(i) + "\": " + std::to_string(i) + ", ";
    }
    EXPECT_EQ(vela::json::parse(wide + "\"n\": 1}").size(), 301u);
    for (const char* repeated : {"n0", "n150", "n299"}) {
        SCOPED_TRACE(repeated);
        EXPECT_THROW((void)vela::json::parse(wide + "\"" + repeated + "\": 1}"),
                     vela::value::Error);
    }
}

TEST(JsonRead, ArrayLayouts) {
    EXPECT_TRUE(vela::json::parse("[1, 2, 3]").isPrimitiveArray());
    EXPECT_EQ(vela::json::parse("[1, 2, 3]").getType().getElementType(), Type::MainType::int64);
    const Value mixed = vela::json::parse("[1, \"a\", 2]");
    ASSERT_TRUE(mixed.isComplexArray());
    EXPECT_EQ(mixed.getType().getNumGroups(), 3u);
    EXPECT_EQ(vela::json::parse("[1, 2, \"a\", \"b\"]").getType().getNumGroups(), 2u);
    const Value empty = vela::json::parse("[ ]");
    EXPECT_TRUE(empty.isPrimitiveArray());
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_EQ(vela::json::parse("[null, null]").getType().getElementType(), Type::MainType::void_);
}

TEST(JsonRead, BridgeMessage) {
    const Value message = vela::json::parse(
        R"({"id":2,"fn":"openLink","params":["https://example.org/a?b=1",{"x":1.5}]})");
    EXPECT_EQ(message["id"].getInt64(0), 2);
    EXPECT_EQ(message["fn"].getString(), "openLink");
    EXPECT_EQ(message["params"][0].getString(), "https://example.org/a?b=1");
    EXPECT_EQ(message["params"][1]["x"].getFloat64(), 1.5);
    EXPECT_EQ(vela::json::parse(R"({"id":"17","fn":"x"})")["id"].getInt64(0), 17);
}

TEST(JsonWrite, ScalarsAndFloats) {
    const auto write = [](const Value& value) { return vela::json::toString(value); };
    EXPECT_EQ(write(Value()), "null");
    EXPECT_EQ(write(vela::value::createBool(true)), "true");
    EXPECT_EQ(write(vela::value::createBool(false)), "false");
    EXPECT_EQ(write(vela::value::createInt64(-9223372036854775807 - 1)), "-9223372036854775808");
    const std::int32_t small = -12;
    EXPECT_EQ(write(Value(Type(Type::MainType::int32), &small, 4)), "-12");
    EXPECT_EQ(write(vela::value::createFloat64(3.0)), "3");
    EXPECT_EQ(write(vela::value::createFloat64(0.5)), "0.5");
    EXPECT_EQ(write(vela::value::createFloat64(0.0)), "0.0");
    EXPECT_EQ(write(vela::value::createFloat64(-0.0)), "-0.0");
    EXPECT_EQ(write(vela::value::createFloat64(1e21)), "1e21");
    EXPECT_EQ(write(vela::value::createFloat64(std::nan(""))), "\"NaN\"");
    EXPECT_EQ(write(vela::value::createFloat64(HUGE_VAL)), "\"Infinity\"");
    EXPECT_EQ(write(vela::value::createFloat64(-HUGE_VAL)), "\"-Infinity\"");
    const float tenth = 0.1f;
    EXPECT_EQ(write(Value(Type(Type::MainType::float32), &tenth, 4)), "0.10000000149011612");
}

TEST(JsonWrite, StringEscapes) {
    EXPECT_EQ(vela::json::toString(vela::value::createString("\t\xC3\xA9\xF0\x9F\x98\x80")),
              "\"\\t\\u00e9\\ud83d\\ude00\"");
    // U+0007 has no short escape in JSON ("\\a" would read as the letter a).
    EXPECT_EQ(vela::json::getEscapedQuotedString("\a\b\t\n\f\r\"\\/ ~\x7F\x01\x1B"),
              "\"\\u0007\\b\\t\\n\\f\\r\\\"\\\\/ ~\\u007f\\u0001\\u001b\"");
    EXPECT_EQ(vela::json::getEscapedQuotedString("\xE2\x82\xAC\xEF\xBF\xBF"), "\"\\u20ac\\uffff\"");
    EXPECT_EQ(vela::json::getEscapedQuotedString("ab\0cd"s), "\"ab\"");
    EXPECT_EQ(vela::json::getEscapedQuotedString(""), "\"\"");
    // Bytes that are not UTF-8 cannot leak into the output: each becomes U+FFFD.
    EXPECT_EQ(vela::json::getEscapedQuotedString("a\xFF\xC3"), "\"a\\ufffd\\ufffd\"");
    EXPECT_EQ(vela::json::getEscapedQuotedString("\xF4\x90\x80\x80"), "\"\\ufffd\"");
}

TEST(JsonWrite, NamesAreEscapedLikeStrings) {
    Value object = vela::value::createObject();
    object.addMember("a\"b\n\xC3\xA9", vela::value::createInt64(1));
    EXPECT_EQ(vela::json::toString(object), "{\"a\\\"b\\n\\u00e9\": 1}");
}

TEST(JsonWrite, SingleLineAndLineBrokenForms) {
    const Value object = vela::json::parse(R"({"a": 1, "b": [true, null]})");
    EXPECT_EQ(vela::json::toString(object, false), "{\"a\": 1, \"b\": [true, null]}");
    EXPECT_EQ(vela::json::toString(object, true),
              "{\n  \"a\": 1,\n  \"b\": [\n    true,\n    null\n  ]\n}");
    for (bool lineBreaks : {false, true}) {
        EXPECT_EQ(vela::json::toString(vela::json::parse("{}"), lineBreaks), "{}");
        EXPECT_EQ(vela::json::toString(vela::json::parse("[]"), lineBreaks), "[]");
        EXPECT_EQ(vela::json::toString(vela::json::parse(R"({"e": {}, "f": []})"), lineBreaks),
                  lineBreaks ? "{\n  \"e\": {},\n  \"f\": []\n}" : "{\"e\": {}, \"f\": []}");
    }
}

TEST(JsonWrite, EveryLayoutReadsBackTheSame) {
    const std::string text =
        R"({"ints": [1, 2, 3], "mixed": [1, "a", "a", {"k": [null, null]}, 2.5, [], {}],)"
        R"( "deep": {"x": {"y": ["z", false]}}, "neg": -0.0, "big": 1e300, "small": 5e-324})";
    const std::string once = roundTrip(text);
    EXPECT_EQ(once, text);
    EXPECT_EQ(roundTrip(vela::json::toString(vela::json::parse(text), true)), text);

    const float components[] = {1.5f, -2.0f, 0.25f, 4.0f};
    const Value vectors(Type::createArray(Type::createVector(Type::MainType::float32, 2), 2),
                        components, sizeof(components));
    EXPECT_EQ(vela::json::toString(vectors), "[[1.5, -2], [0.25, 4]]");
}

TEST(JsonWrite, StringWithoutDictionaryFails) {
    const Value text = vela::value::createString("x");
    const vela::value::ValueView bare(text.getType(), text.getRawData(), nullptr);
    try {
        (void)vela::json::toString(bare);
        ADD_FAILURE() << "written without a dictionary";
    } catch (const vela::value::Error& error) {
        EXPECT_STREQ(error.what(), "No string dictionary supplied");
    }
}

TEST(JsonParseError, IsARuntimeErrorWithTheBareMessage) {
    const ParseError error("Syntax error", 3, 7);
    const std::runtime_error& base = error;
    EXPECT_STREQ(base.what(), "Syntax error");
    EXPECT_EQ(error.line, 3u);
    EXPECT_EQ(error.column, 7u);
}

}  // namespace
