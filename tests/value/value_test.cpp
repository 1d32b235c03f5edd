#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include "value.hpp"

namespace {

using vela::value::Error;
using vela::value::SimpleStringDictionary;
using vela::value::Type;
using vela::value::Value;
using vela::value::ValueView;
using MainType = Type::MainType;

// The what() of the vela::value::Error that the call throws, or "" when it throws nothing.
template <typename F>
std::string errorOf(F&& call) {
    try {
        call();
    } catch (const Error& error) {
        return error.what();
    }
    return "";
}

std::uint32_t handleOf(const ValueView& view) {
    std::uint32_t handle = 0;
    std::memcpy(&handle, view.getRawData(), sizeof(handle));
    return handle;
}

TEST(ValueTypes, CodesAndDataSizes) {
    EXPECT_EQ(static_cast<int>(MainType::void_), 0x00);
    EXPECT_EQ(static_cast<int>(MainType::int32), 0x04);
    EXPECT_EQ(static_cast<int>(MainType::int64), 0x08);
    EXPECT_EQ(static_cast<int>(MainType::float32), 0x14);
    EXPECT_EQ(static_cast<int>(MainType::float64), 0x18);
    EXPECT_EQ(static_cast<int>(MainType::bool_), 0x34);
    EXPECT_EQ(static_cast<int>(MainType::string), 0x44);
    EXPECT_EQ(static_cast<int>(MainType::vector), 0x50);
    EXPECT_EQ(static_cast<int>(MainType::primitiveArray), 0x60);
    EXPECT_EQ(static_cast<int>(MainType::object), 0x80);
    EXPECT_EQ(static_cast<int>(MainType::complexArray), 0x90);

    EXPECT_EQ(Type().getValueDataSize(), 0u);
    EXPECT_EQ(Type(MainType::int32).getValueDataSize(), 4u);
    EXPECT_EQ(Type(MainType::float64).getValueDataSize(), 8u);
    EXPECT_EQ(Type(MainType::bool_).getValueDataSize(), 4u);
    EXPECT_EQ(Type(MainType::string).getValueDataSize(), 4u);
    EXPECT_EQ(Type::createVector(MainType::float32, 3).getValueDataSize(), 12u);
    EXPECT_EQ(Type::createArray(Type::createVector(MainType::int64, 2), 5).getValueDataSize(), 80u);
    EXPECT_EQ(errorOf([] { (void)Type(static_cast<MainType>(0x33)).getValueDataSize(); }),
              "Invalid type");
}

TEST(ValueTypes, CreateArrayPicksTheLayoutByElementType) {
    const Type ints = Type::createArray(Type(MainType::int32), 4);
    EXPECT_TRUE(ints.isPrimitiveArray());
    EXPECT_EQ(ints.getElementType(), MainType::int32);
    EXPECT_EQ(ints.getNumElements(), 4u);
    EXPECT_EQ(ints.getNumVectorElements(), 0u);

    const Type vectors = Type::createArray(Type::createVector(MainType::float32, 3), 2);
    EXPECT_TRUE(vectors.isPrimitiveArray());
    EXPECT_EQ(vectors.getElementType(), MainType::float32);
    EXPECT_EQ(vectors.getNumVectorElements(), 3u);

    const Type strings = Type::createArray(Type(MainType::string), 7);
    ASSERT_TRUE(strings.isComplexArray());
    ASSERT_EQ(strings.getNumGroups(), 1u);
    EXPECT_EQ(strings.getGroup(0).count, 7u);
    EXPECT_TRUE(strings.getGroup(0).elementType.isString());

    EXPECT_EQ(errorOf([] { (void)Type::createArray(Type(MainType::int32), 0x100000); }),
              "Too many array elements");
    EXPECT_NO_THROW((void)Type::createArray(Type(MainType::int32), 0xFFFFF));
}

TEST(ValueTypes, EqualityComparesContentInDepth) {
    Type a = Type::createObject("");
    a.addObjectMember("x", Type(MainType::int64));
    Type b = a;
    EXPECT_TRUE(a == b);
    b.addObjectMember("y", Type(MainType::string));
    EXPECT_FALSE(a == b);

    Type c = Type::createObject("");
    c.addObjectMember("X", Type(MainType::int64));
    EXPECT_FALSE(a == c);
    EXPECT_FALSE(Type::createObject("A") == Type::createObject("B"));
    EXPECT_FALSE(Type::createVector(MainType::int32, 2) == Type::createVector(MainType::int32, 3));
    EXPECT_FALSE(Type::createArray(Type(MainType::string), 2) ==
                 Type::createArray(Type(MainType::string), 3));

    // Moving leaves the source void; copies own their description.
    Type moved = std::move(b);
    EXPECT_TRUE(b.isVoid());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(moved.getNumMembers(), 2u);
}

TEST(ValueTypes, UsesStrings) {
    EXPECT_TRUE(Type(MainType::string).usesStrings());
    EXPECT_FALSE(Type(MainType::int64).usesStrings());
    Type object = Type::createObject("");
    object.addObjectMember("n", Type(MainType::int64));
    EXPECT_FALSE(object.usesStrings());
    Type inner = Type::createObject("");
    inner.addObjectMember("s", Type(MainType::string));
    object.addObjectMember("inner", inner);
    EXPECT_TRUE(object.usesStrings());
    EXPECT_TRUE(Type::createArray(object, 2).usesStrings());
}

TEST(StringDictionary, HandlesAreOffsetsPlusOne) {
    SimpleStringDictionary dictionary;
    EXPECT_EQ(dictionary.getHandleForString(""), 0u);
    EXPECT_EQ(dictionary.storeSize(), 0u);
    EXPECT_EQ(dictionary.getHandleForString("abc"), 1u);
    EXPECT_EQ(dictionary.getHandleForString("de"), 5u);
    EXPECT_EQ(dictionary.getHandleForString("abc"), 1u);
    EXPECT_EQ(dictionary.getHandleForString("ab"), 8u);  // a prefix is not a match
    EXPECT_EQ(dictionary.storeSize(), 10u);
    EXPECT_EQ(dictionary.getStringForHandle(0), "");
    EXPECT_EQ(dictionary.getStringForHandle(5), "de");
    EXPECT_EQ(dictionary.getStringForHandle(2), "bc");
    EXPECT_EQ(dictionary.getStringForHandle(10), "");
    EXPECT_EQ(errorOf([&] { (void)dictionary.getStringForHandle(11); }), "Unknown string");
}

TEST(StringDictionary, TextsWithNulReadBackToTheNul) {
    SimpleStringDictionary dictionary;
    using namespace std::string_literals;
    const auto handle = dictionary.getHandleForString("ab\0cd"s);
    EXPECT_EQ(handle, 1u);
    EXPECT_EQ(dictionary.getStringForHandle(handle), "ab");
    // The stored bytes read as the entries "ab" and "cd", which later lookups find.
    EXPECT_EQ(dictionary.getHandleForString("ab"), 1u);
    EXPECT_EQ(dictionary.getHandleForString("cd"), 4u);
    // A text holding a NUL never matches a stored entry.
    EXPECT_EQ(dictionary.getHandleForString("ab\0cd"s), 7u);
}

// What a dictionary must answer, by the plain rule: scan the NUL-terminated entries from the start
// and take the first equal one, else append.
class ScanningDictionary {
  public:
    std::uint32_t handleFor(const std::string& text) {
        if (text.empty()) {
            return 0;
        }
        if (text.find('\0') == std::string::npos) {
            for (std::size_t offset = 0; offset < store.size();) {
                const std::string entry(store.c_str() + offset);
                if (entry == text) {
                    return static_cast<std::uint32_t>(offset) + 1;
                }
                offset += entry.size() + 1;
            }
        }
        const auto handle = static_cast<std::uint32_t>(store.size()) + 1;
        store += text;
        store += '\0';
        return handle;
    }

  private:
    std::string store;
};

TEST(StringDictionary, LargeDictionariesAnswerLikeAScan) {
    std::mt19937 random(31);
    SimpleStringDictionary dictionary;
    ScanningDictionary reference;
    const std::string alphabet("ab\0", 3);
    for (int i = 0; i < 20000; ++i) {
        // Short texts over a tiny alphabet repeat often, and some hold NULs.
        std::string text(random() % 6, 'a');
        for (auto& c : text) {
            c = alphabet[random() % (random() % 10 == 0 ? 3 : 2)];
        }
        if (random() % 4 == 0) {
            text = "long text number " + std::to_string(random() % 3000);
        }
        const auto expected = reference.handleFor(text);
        ASSERT_EQ(dictionary.getHandleForString(text), expected) << i;
        const auto firstPiece = text.substr(0, text.find('\0'));
        ASSERT_EQ(dictionary.getStringForHandle(expected), firstPiece);
    }
    // The copy answers the same and grows on its own.
    SimpleStringDictionary copy = dictionary;
    EXPECT_EQ(copy.getHandleForString("long text number 17"),
              dictionary.getHandleForString("long text number 17"));
    EXPECT_EQ(copy.getHandleForString("only in the copy"), dictionary.storeSize() + 1);
}

TEST(Values, AppendingPartsOfItself) {
    Value array = vela::value::createEmptyArray();
    array.addArrayElement(vela::value::createString("first"));
    for (int i = 0; i < 10; ++i) {
        array.addArrayElement(array[0]);  // a view into the array's own bytes
    }
    array.addArrayElement(array);  // the whole array, while it is being grown
    EXPECT_EQ(array.size(), 12u);
    EXPECT_EQ(array[10].getString(), "first");
    EXPECT_EQ(array[11].size(), 11u);
    EXPECT_EQ(array[11][10].getString(), "first");
    EXPECT_EQ(array.getDictionary().storeSize(), std::strlen("first") + 1);
}

TEST(Values, Builders) {
    const Value number = vela::value::createInt64(-5);
    EXPECT_TRUE(number.isInt64());
    EXPECT_EQ(number.getRawDataSize(), 8u);
    EXPECT_EQ(number.getInt64(), -5);

    const Value flag = vela::value::createBool(true);
    EXPECT_TRUE(flag.isBool());
    std::uint32_t word = 0;
    std::memcpy(&word, flag.getRawData(), 4);
    EXPECT_EQ(word, 1u);

    const Value empty = vela::value::createString("");
    EXPECT_TRUE(empty.isString());
    EXPECT_EQ(handleOf(empty), 0u);
    EXPECT_EQ(empty.getDictionary().storeSize(), 0u);
    EXPECT_EQ(empty.getString(), "");

    const Value array = vela::value::createEmptyArray();
    EXPECT_TRUE(array.isPrimitiveArray());
    EXPECT_EQ(array.getType().getElementType(), MainType::void_);
    EXPECT_EQ(array.size(), 0u);

    const Value object = vela::value::createObject("Thing");
    EXPECT_EQ(object.getType().getClassName(), "Thing");
    EXPECT_EQ(object.size(), 0u);

    const Value nothing;
    EXPECT_TRUE(nothing.isVoid());
    EXPECT_EQ(nothing.getRawDataSize(), 0u);
}

TEST(Values, ViewFollowsMovesCopiesAndGrowth) {
    Value array = vela::value::createEmptyArray();
    for (int i = 0; i < 1000; ++i) {
        array.addArrayElement(vela::value::createString("text " + std::to_string(i)));
        ASSERT_EQ(array.getView().getRawData(), array.getRawData());
    }
    Value moved = std::move(array);
    EXPECT_EQ(moved.getView().getDictionary(), &moved.getDictionary());
    EXPECT_EQ(moved[999].getString(), "text 999");
    EXPECT_TRUE(array.isVoid());  // NOLINT(bugprone-use-after-move)

    Value copy = moved;
    moved = Value();
    EXPECT_EQ(copy.getView().getDictionary(), &copy.getDictionary());
    EXPECT_EQ(copy[3].getString(), "text 3");
    EXPECT_EQ(copy.size(), 1000u);
}

TEST(Values, ArraysGroupRunsOfEqualTypes) {
    Value array = vela::value::createEmptyArray();
    array.addArrayElement(vela::value::createInt64(1));
    array.addArrayElement(vela::value::createInt64(2));
    EXPECT_TRUE(array.isPrimitiveArray());
    array.addArrayElement(vela::value::createString("a"));
    array.addArrayElement(vela::value::createString("b"));
    array.addArrayElement(vela::value::createInt64(5));

    const Type& type = array.getType();
    ASSERT_TRUE(type.isComplexArray());
    ASSERT_EQ(type.getNumGroups(), 3u);
    EXPECT_EQ(type.getGroup(0).count, 2u);
    EXPECT_TRUE(type.getGroup(0).elementType.isInt64());
    EXPECT_EQ(type.getGroup(1).count, 2u);
    EXPECT_TRUE(type.getGroup(1).elementType.isString());
    EXPECT_EQ(type.getGroup(2).count, 1u);
    EXPECT_TRUE(type.getGroup(2).elementType.isInt64());
    EXPECT_EQ(array.size(), 5u);

    const ValueView last = array[4];
    EXPECT_EQ(last.getRawData() - array.getRawData(), 2 * 8 + 2 * 4);
    EXPECT_EQ(last.getInt64(), 5);
    EXPECT_EQ(array[3].getString(), "b");
    EXPECT_EQ(errorOf([&] { (void)array[5]; }), "Index out of range");
}

TEST(Values, NullsAndFirstElements) {
    Value nulls = vela::value::createEmptyArray();
    nulls.addArrayElement(Value());
    nulls.addArrayElement(Value());
    EXPECT_TRUE(nulls.isPrimitiveArray());
    EXPECT_EQ(nulls.getType().getElementType(), MainType::void_);
    EXPECT_EQ(nulls.size(), 2u);
    EXPECT_TRUE(nulls[1].isVoid());

    // The first element of an empty array decides its layout.
    Value strings = vela::value::createEmptyArray();
    strings.addArrayElement(vela::value::createString("x"));
    EXPECT_TRUE(strings.isComplexArray());

    // A mixed run after nulls keeps the nulls as a group of their own.
    nulls.addArrayElement(vela::value::createInt64(3));
    ASSERT_TRUE(nulls.isComplexArray());
    EXPECT_EQ(nulls.getType().getGroup(0).count, 2u);
    EXPECT_EQ(nulls[2].getInt64(), 3);
}

TEST(Values, AddingElementsToOtherTypesFails) {
    Value number = vela::value::createInt64(1);
    EXPECT_EQ(errorOf([&] { number.addArrayElement(vela::value::createInt64(2)); }),
              "Cannot add new elements to this type");
    EXPECT_EQ(number.getRawDataSize(), 8u);
    EXPECT_EQ(errorOf([&] { number.addMember("a", vela::value::createInt64(2)); }),
              "This type is not an object");
}

TEST(Values, MembersShareOneDictionary) {
    Value object = vela::value::createObject();
    object.addMember("first", vela::value::createString("same"));
    object.addMember("second", vela::value::createString("same"));
    Value inner = vela::value::createObject();
    inner.addMember("deep", vela::value::createString("same"));
    inner.addMember("other", vela::value::createString("other"));
    object.addMember("inner", inner);

    EXPECT_EQ(handleOf(object["first"]), handleOf(object["second"]));
    EXPECT_EQ(handleOf(object["inner"]["deep"]), handleOf(object["first"]));
    EXPECT_EQ(object["inner"]["other"].getString(), "other");
    EXPECT_EQ(object["inner"]["deep"].getDictionary(), &object.getDictionary());
    EXPECT_EQ(object.getDictionary().storeSize(),
              std::strlen("same") + 1 + std::strlen("other") + 1);
}

TEST(Values, DuplicateMemberLeavesObjectUnchanged) {
    Value object = vela::value::createObject();
    object.addMember("a", vela::value::createInt64(1));
    const Type before = object.getType();
    const auto sizeBefore = object.getRawDataSize();
    EXPECT_EQ(errorOf([&] { object.addMember("a", vela::value::createString("new text")); }),
              "This object already contains a member with the given name");
    EXPECT_TRUE(object.getType() == before);
    EXPECT_EQ(object.getRawDataSize(), sizeBefore);
    EXPECT_EQ(object.getDictionary().storeSize(), 0u);
    EXPECT_EQ(object["a"].getInt64(), 1);
}

// Past a few dozen members the names are looked up in an index: every earlier name, the first
// and the one just added included, is still refused, and the rest still taken, in order, through
// the index's rebuilds.
TEST(Values, WideObjectsRefuseEveryRepeatedName) {
    constexpr std::uint32_t kMembers = 5000;
    Value object = vela::value::createObject();
    for (std::uint32_t i = 0; i < kMembers; ++i) {
        object.addMember("m" + std::to_string(i), vela::value::createInt64(i));
        if (i % 97 == 0 || i == 32 || i == 33 || i == 64) {
            for (const std::uint32_t earlier : {0u, i / 2, i}) {
                SCOPED_TRACE(i);
                EXPECT_EQ(errorOf([&] {
                              object.addMember("m" + std::to_string(earlier),
                                               vela::value::createString("new text"));
                          }),
                          "This object already contains a member with the given name");
            }
        }
    }
    ASSERT_EQ(object.size(), kMembers);
    EXPECT_EQ(object.getRawDataSize(), kMembers * sizeof(std::int64_t));
    EXPECT_EQ(object.getDictionary().storeSize(), 0u);
    for (std::uint32_t i = 0; i < kMembers; i += 499) {
        EXPECT_EQ(object.getType().getMember(i).name, "m" + std::to_string(i));
        EXPECT_EQ(object["m" + std::to_string(i)].getInt64(), i);
    }
    // A copy has an index of its own.
    Value copy = object;
    EXPECT_FALSE(errorOf([&] { copy.addMember("m0", vela::value::createInt64(0)); }).empty());
    copy.addMember("new", vela::value::createInt64(1));
    EXPECT_EQ(copy.size(), kMembers + 1);
    EXPECT_EQ(object.size(), kMembers);
    object.addMember("new", vela::value::createInt64(2));
    EXPECT_EQ(object["new"].getInt64(), 2);
}

TEST(Values, IndexingErrors) {
    const Value number = vela::value::createInt64(7);
    EXPECT_EQ(number.size(), 1u);
    EXPECT_EQ(errorOf([&] { (void)number[0]; }), "Invalid type");
    EXPECT_EQ(errorOf([&] { (void)number["x"]; }), "This type is not an object");
    EXPECT_EQ(errorOf([] { (void)Value().size(); }), "This type doesn't have sub-elements");
    EXPECT_EQ(errorOf([] { (void)vela::value::createObject()[0]; }), "Index out of range");

    Value array = vela::value::createEmptyArray();
    for (int i = 0; i < 3; ++i) {
        array.addArrayElement(vela::value::createInt64(i));
    }
    EXPECT_EQ(errorOf([&] { (void)array[3]; }), "Index out of range");
    EXPECT_EQ(array[2].getInt64(), 2);
}

TEST(Values, MissingMemberIsAnEmptyVoidView) {
    Value object = vela::value::createObject();
    object.addMember("a", vela::value::createInt64(1));
    const ValueView missing = object["x"];
    EXPECT_TRUE(missing.isVoid());
    EXPECT_EQ(missing.getRawData(), nullptr);
    EXPECT_EQ(missing.getDictionary(), nullptr);
    EXPECT_EQ(errorOf([&] { (void)missing.getString(); }), "No string dictionary supplied");
    EXPECT_EQ(missing.getInt64(0), 0);
    EXPECT_EQ(errorOf([&] { (void)missing.getInt64(); }),
              "Cannot convert this value to a numeric type");
}

TEST(Values, VectorsInsideArrays) {
    const float components[] = {1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f};
    const Value vectors(Type::createArray(Type::createVector(MainType::float32, 3), 2), components,
                        sizeof(components));
    EXPECT_FALSE(vectors[0].isArray());
    EXPECT_TRUE(vectors[1].isVector());
    EXPECT_EQ(vectors[1].size(), 3u);
    EXPECT_DOUBLE_EQ(vectors[1][2].getFloat64(), 6.5);
    EXPECT_EQ(errorOf([&] { (void)vectors[1][3]; }), "Index out of range");

    const std::int64_t single = 42;
    const Value one(Type::createVector(MainType::int64, 1), &single, sizeof(single));
    EXPECT_EQ(one.getInt64(), 42);
    EXPECT_EQ(vectors[0].getInt64(9), 9);  // three components: not a number

    const Value tooWide(Type::createArray(Type::createVector(MainType::bool_, 257), 0), nullptr, 0);
    Value grown = tooWide;
    EXPECT_EQ(errorOf([&] { grown.addArrayElement(vela::value::createInt64(1)); }),
              "Too many vector elements");
}

TEST(Values, GetStringErrors) {
    EXPECT_EQ(errorOf([] { (void)vela::value::createInt64(1).getString(); }),
              "Value is not a string");
    const std::uint32_t handle = 99;
    const Value dangling(Type(MainType::string), &handle, sizeof(handle));
    EXPECT_EQ(errorOf([&] { (void)dangling.getString(); }), "Unknown string");
    const ValueView noDictionary(Type(MainType::string), dangling.getRawData(), nullptr);
    EXPECT_EQ(errorOf([&] { (void)noDictionary.getInt64(1); }), "No string dictionary supplied");
}

struct Int64Case {
    const char* name;
    Value value;
    std::optional<std::int64_t> defaultValue;
    std::int64_t expected;
};

Value makeInt32(std::int32_t n) {
    return Value(Type(MainType::int32), &n, sizeof(n));
}

Value makeFloat32(float f) {
    return Value(Type(MainType::float32), &f, sizeof(f));
}

TEST(Values, Int64Conversions) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    const std::int64_t min = std::numeric_limits<std::int64_t>::min();
    std::uint32_t oddWord = 0x100;
    const Int64Case cases[] = {
        {"int32 sign-extended", makeInt32(-3), {}, -3},
        {"float 2.9", vela::value::createFloat64(2.9), {}, 2},
        {"float -2.9", vela::value::createFloat64(-2.9), {}, -2},
        {"float32 -7.75", makeFloat32(-7.75f), {}, -7},
        {"huge float", vela::value::createFloat64(1e300), {}, max},
        {"huge negative float", vela::value::createFloat64(-1e300), {}, min},
        {"NaN", vela::value::createFloat64(nan), {}, 0},
        {"true", vela::value::createBool(true), {}, 1},
        {"false", vela::value::createBool(false), {}, 0},
        {"bool word", Value(Type(MainType::bool_), &oddWord, 4), {}, 1},
        {"digits then letters", vela::value::createString("12abc"), {}, 12},
        {"blank then digit", vela::value::createString(" 7"), {}, 7},
        {"signed text", vela::value::createString("-15"), {}, -15},
        {"abc with default", vela::value::createString("abc"), 5, 5},
        {"empty without default", vela::value::createString(""), {}, 0},
        {"empty with default", vela::value::createString(""), 4, 4},
        {"void with default", Value(), 8, 8},
        {"object with default", vela::value::createObject(), -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.defaultValue) {
            EXPECT_EQ(c.value.getInt64(*c.defaultValue), c.expected);
        } else {
            EXPECT_EQ(c.value.getInt64(), c.expected);
        }
    }
    EXPECT_EQ(errorOf([] { (void)vela::value::createString("abc").getInt64(); }),
              "Cannot convert this value to a numeric type");
    EXPECT_EQ(errorOf([] { (void)vela::value::createEmptyArray().getInt64(); }),
              "Cannot convert this value to a numeric type");
}

TEST(Values, Float64Conversions) {
    EXPECT_EQ(makeInt32(-3).getFloat64(), -3.0);
    EXPECT_EQ(vela::value::createInt64(9007199254740993).getFloat64(), 9007199254740992.0);
    EXPECT_EQ(makeFloat32(0.1f).getFloat64(), static_cast<double>(0.1f));
    EXPECT_EQ(vela::value::createBool(true).getFloat64(), 1.0);
    EXPECT_EQ(vela::value::createString("2.5x").getFloat64(), 2.5);
    EXPECT_EQ(vela::value::createString("").getFloat64(), 0.0);
    EXPECT_EQ(vela::value::createString("").getFloat64(1.5), 1.5);
    EXPECT_EQ(vela::value::createString("x").getFloat64(1.5), 1.5);
    EXPECT_EQ(Value().getFloat64(-1.0), -1.0);
    EXPECT_EQ(errorOf([] { (void)Value().getFloat64(); }),
              "Cannot convert this value to a numeric type");
}

TEST(Values, ErrorCarriesItsConstantText) {
    const char* text = "Invalid type";
    const Error error(text);
    EXPECT_EQ(error.what(), text);
    const std::exception& base = error;
    EXPECT_STREQ(base.what(), "Invalid type");
    EXPECT_THROW(vela::value::throwError("Unknown string"), Error);
}

}  // namespace
