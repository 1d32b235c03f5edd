// The work of reading and writing JSON, counted as calls into the value and JSON layer: this
// target builds that layer with -finstrument-functions, so every entry into one of its functions
// and into the standard library's inline ones that it uses (inlined ones included, so that a loop
// of name comparisons counts too) passes through the hook below. A count, unlike a time, is the
// same on a loaded machine; a cost that grows faster than the text shows as more calls per byte.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "json.hpp"
#include "value.hpp"

namespace {

std::uint64_t callCount = 0;

}  // namespace

extern "C" {
// The hooks live outside the instrumented sources, so they are not instrumented themselves.
void __cyg_profile_func_enter(void* /*function*/, void* /*caller*/) {
    ++callCount;
}
void __cyg_profile_func_exit(void* /*function*/, void* /*caller*/) {}
}

namespace {

using vela::value::Value;
using vela::value::ValueView;

template <typename F>
std::uint64_t callsOf(F&& work) {
    const std::uint64_t before = callCount;
    work();
    return callCount - before;
}

// One level's worth of content around the text of the next level, in the writer's single-line
// form; even levels are objects, odd ones arrays, each holding one small array or object of its
// own.
std::string level(int number, const std::string& inner) {
    const std::string n = std::to_string(number);
    if (number % 2 == 0) {
        return "{\"name\": \"level " + n + "\", \"id\": " + n + ", \"ratio\": " + n +
               ".5, \"on\": true, \"off\": null, \"tags\": [\"a\", \"b\", " + n +
               "], \"inner\": " + inner + ", \"after\": \"tail " + n + "\"}";
    }
    return "[\"level " + n + "\", " + n + ", " + n + ".5, false, null, {\"tag\": \"t" + n +
           "\"}, " + inner + ", \"tail " + n + "\"]";
}

// levels nested one in the other; with its small containers the innermost level is
// levels + 1 deep.
std::string nestedDocument(int levels) {
    std::string text = "\"end\"";
    for (int i = levels - 1; i >= 0; --i) {
        text = level(i, text);
    }
    return text;
}

// The same levels side by side in one array, at most three deep.
std::string flatDocument(int levels) {
    std::string text = "[";
    for (int i = 0; i < levels; ++i) {
        text += (i == 0 ? "" : ", ") + level(i, "\"end\"");
    }
    return text + "]";
}

double perByte(std::uint64_t calls, const std::string& text) {
    return static_cast<double>(calls) / static_cast<double>(text.size());
}

// The deepest document the reader takes costs, per byte, what a flat one with the same levels
// does; before, every level re-walked and re-copied all the levels below it.
TEST(JsonCost, ReadingAndWritingAreLinearAtEveryDepth) {
    constexpr int kLevels = vela::json::kMaxNestingDepth - 1;
    const std::string flat = flatDocument(kLevels);
    const std::string deep = nestedDocument(kLevels);

    Value flatValue;
    Value deepValue;
    const double flatRead = perByte(callsOf([&] { flatValue = vela::json::parse(flat); }), flat);
    const double deepRead = perByte(callsOf([&] { deepValue = vela::json::parse(deep); }), deep);

    std::string flatText;
    std::string deepText;
    const double flatWrite =
        perByte(callsOf([&] { flatText = vela::json::toString(flatValue); }), flat);
    const double deepWrite =
        perByte(callsOf([&] { deepText = vela::json::toString(deepValue); }), deep);
    ASSERT_EQ(flatText, flat);
    ASSERT_EQ(deepText, deep);

    std::string brokenText;
    const double deepBrokenWrite =
        perByte(callsOf([&] { brokenText = vela::json::toString(deepValue, true); }), deep);

    RecordProperty("flat_read_calls_per_byte", std::to_string(flatRead));
    RecordProperty("deep_read_calls_per_byte", std::to_string(deepRead));
    RecordProperty("flat_write_calls_per_byte", std::to_string(flatWrite));
    RecordProperty("deep_write_calls_per_byte", std::to_string(deepWrite));
    EXPECT_LT(deepRead, 1.5 * flatRead);
    EXPECT_LT(deepWrite, 1.5 * flatWrite);
    EXPECT_LT(deepBrokenWrite, 1.5 * flatWrite);
}

// One object of `members` members, numbers and flags, in the writer's single-line form. The
// names count in base 62, so that the text takes about eleven bytes a member: 90,000 of them stay
// under the page message bound of 1 MiB.
std::string wideObject(int members) {
    constexpr std::string_view kDigits =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string text = "{";
    for (int i = 0; i < members; ++i) {
        std::string name;
        for (int rest = i;; rest /= 62) {
            name.insert(name.begin(), kDigits[rest % 62]);
            if (rest < 62) {
                break;
            }
        }
        text += (i == 0 ? "\"" : ", \"") + name + "\": ";
        text += i % 3 == 2 ? "true" : std::to_string(i % 10);
    }
    return text + "}";
}

// Each member read costs the same however many came before it: the check against a repeated
// name used to compare it with every earlier member.
TEST(JsonCost, ReadingIsLinearInTheMembersOfAnObject) {
    double perByteAt[3] = {};
    const int widths[3] = {100, 10000, 90000};
    for (int i = 0; i < 3; ++i) {
        const std::string text = wideObject(widths[i]);
        Value value;
        perByteAt[i] = perByte(callsOf([&] { value = vela::json::parse(text); }), text);
        ASSERT_EQ(value.size(), static_cast<std::uint32_t>(widths[i]));
        ASSERT_EQ(vela::json::toString(value), text);
        ASSERT_LT(text.size(), std::size_t{1} << 20);
        RecordProperty("read_calls_per_byte_" + std::to_string(widths[i]),
                       std::to_string(perByteAt[i]));
    }
    EXPECT_LT(perByteAt[1], 1.5 * perByteAt[0]);
    EXPECT_LT(perByteAt[2], 1.5 * perByteAt[0]);
}

// A value built member by member through the public interface, the way values were read before.
Value rebuilt(const ValueView& view) {
    if (view.isObject()) {
        Value object = vela::value::createObject(view.getType().getClassName());
        for (std::uint32_t i = 0; i < view.size(); ++i) {
            object.addMember(view.getType().getMember(i).name, rebuilt(view[i]));
        }
        return object;
    }
    if (view.isArray()) {
        Value array = vela::value::createEmptyArray();
        for (std::uint32_t i = 0; i < view.size(); ++i) {
            array.addArrayElement(rebuilt(view[i]));
        }
        return array;
    }
    if (view.isString()) {
        return vela::value::createString(view.getString());
    }
    if (view.isInt64()) {
        return vela::value::createInt64(view.getInt64());
    }
    if (view.isFloat64()) {
        return vela::value::createFloat64(view.getFloat64());
    }
    if (view.isBool()) {
        return vela::value::createBool(view.getInt64() != 0);
    }
    return {};
}

// Reading in one pass lays values out exactly as adding their parts one by one does: the same
// types, the same packed bytes, the same string handles.
TEST(JsonCost, OnePassReadKeepsTheLayout) {
    const std::string texts[] = {
        nestedDocument(40),
        flatDocument(40),
        R"([1, 2.5, "x", true, null, [1, 2], [[]], {}, "x", "", [{"a": [null, "y"]}], "y"])",
        R"({"a": {"b": {"c": ["\u0000hidden", "shown\u0000hidden", "shown", "hidden"]}}})",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 60));
        const Value read = vela::json::parse(text);
        const Value expected = rebuilt(read);
        ASSERT_TRUE(read.getType() == expected.getType());
        ASSERT_EQ(read.getRawDataSize(), expected.getRawDataSize());
        ASSERT_EQ(read.getRawDataSize(), read.getType().getValueDataSize());
        EXPECT_EQ(std::memcmp(read.getRawData(), expected.getRawData(), read.getRawDataSize()), 0);
        EXPECT_EQ(read.getDictionary().storeSize(), expected.getDictionary().storeSize());
        EXPECT_EQ(vela::json::toString(read), vela::json::toString(expected));
    }
}

}  // namespace
