#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "text.hpp"

namespace {

using vela::text::floatToString;

TEST(FloatToString, Layouts) {
    struct Case {
        double number;
        const char* withPoint;
        const char* omitted;
    };
    const Case cases[] = {
        {1.0, "1.0", "1"},
        {100.0, "100.0", "100"},
        {1e20, "100000000000000000000.0", "100000000000000000000"},
        {1e21, "1e21", "1e21"},
        {1.5e21, "1.5e21", "1.5e21"},
        {123456789012345678901.0, "123456789012345680000.0", "123456789012345680000"},
        {0.001234, "0.001234", "0.001234"},
        {1e-6, "0.000001", "0.000001"},
        {1.5e-6, "0.0000015", "0.0000015"},
        {1e-7, "1e-7", "1e-7"},
        {1.25e-7, "1.25e-7", "1.25e-7"},
        {0.1, "0.1", "0.1"},
        {2.5, "2.5", "2.5"},
        {123.456, "123.456", "123.456"},
        {-2.5, "-2.5", "-2.5"},
        {-1e100, "-1e100", "-1e100"},
        {0.0, "0.0", "0.0"},
        {-0.0, "-0.0", "-0.0"},
        {static_cast<double>(0.1f), "0.10000000149011612", "0.10000000149011612"},
        {1.7976931348623157e308, "1.7976931348623157e308", "1.7976931348623157e308"},
        {5e-324, "5e-324", "5e-324"},
        {2.2250738585072014e-308, "2.2250738585072014e-308", "2.2250738585072014e-308"},
        {9007199254740993.0, "9007199254740992.0", "9007199254740992"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.withPoint);
        EXPECT_EQ(floatToString(c.number, false), c.withPoint);
        EXPECT_EQ(floatToString(c.number, true), c.omitted);
    }
}

void expectRoundTrip(double number) {
    const std::string text = floatToString(number, true);
    char* end = nullptr;
    const double back = std::strtod(text.c_str(), &end);
    ASSERT_EQ(*end, '\0') << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(number))
        << text << " for " << std::hexfloat << number;
}

TEST(FloatToString, RandomDoublesReadBackExactly) {
    std::mt19937_64 random(20261209);
    int tested = 0;
    while (tested < 2000000) {
        const double number = std::bit_cast<double>(random());
        if (!std::isfinite(number)) {
            continue;
        }
        expectRoundTrip(number);
        ++tested;
    }
}

TEST(FloatToString, EdgesReadBackExactly) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 200000; ++i) {
        expectRoundTrip(unit(random));
        expectRoundTrip(std::ldexp(1.0, static_cast<int>(random() % 2098) - 1074));
        expectRoundTrip(static_cast<double>(static_cast<float>(unit(random) * 1000)));
        expectRoundTrip(static_cast<double>(random() >> (random() % 64)));
    }
    for (double d = std::numeric_limits<double>::denorm_min(); d < 1e-300; d *= 3.7) {
        expectRoundTrip(d);
    }
    expectRoundTrip(std::numeric_limits<double>::max());
    expectRoundTrip(std::numeric_limits<double>::min());
    expectRoundTrip(std::nextafter(std::numeric_limits<double>::min(), 0.0));
    for (int e = -330; e <= 308; ++e) {
        expectRoundTrip(std::pow(10.0, e));
    }
}

TEST(FloatToString, AtMostSeventeenDigits) {
    std::mt19937_64 random(99);
    for (int i = 0; i < 100000; ++i) {
        const double number = std::bit_cast<double>(random() & 0x7FEFFFFFFFFFFFFF);
        std::string text = floatToString(number, true);
        int digits = 0;
        for (char c : text.substr(0, text.find('e'))) {
            digits += (c >= '0' && c <= '9') ? 1 : 0;
        }
        // Leading zeros of "0.000…" forms are layout, not digits.
        if (text.starts_with("0.")) {
            const auto first = text.find_first_not_of("0.", 0);
            digits = static_cast<int>(text.size() - first);
        }
        EXPECT_LE(digits, 17 + 20) << text;  // 1 ≤ point ≤ 21 forms pad with zeros
        if (text.find('e') != std::string::npos) {
            EXPECT_LE(digits, 17) << text;
        }
    }
}

TEST(Replace, EveryOccurrencePairByPair) {
    using vela::text::replace;
    EXPECT_EQ(replace("a-b-c", "-", "+"), "a+b+c");
    EXPECT_EQ(replace("aaaa", "aa", "b"), "bb");
    EXPECT_EQ(replace("xyz", "q", "r"), "xyz");
    EXPECT_EQ(replace("", "a", "b"), "");
    EXPECT_EQ(replace("abc", "", "X"), "abc");
    // A replacement is never scanned again.
    EXPECT_EQ(replace("aXa", "a", "aa"), "aaXaa");
    EXPECT_EQ(replace("NAME", "NAME", "NAME_NAME"), "NAME_NAME");
    // Pairs apply in order: the second sees the result of the first.
    EXPECT_EQ(replace("FN(INVOKE)", "FN", "INVOKE", "INVOKE", "post"), "post(post)");
    EXPECT_EQ(replace("window[\"FUNCTION_NAME\"]; fn: \"FUNCTION_NAME\"; INVOKE_BINDING (args);",
                      "FUNCTION_NAME", "openLink", "INVOKE_BINDING",
                      "window.webkit.messageHandlers.external.postMessage"),
              "window[\"openLink\"]; fn: \"openLink\"; "
              "window.webkit.messageHandlers.external.postMessage (args);");
    EXPECT_EQ(replace("abc", "a", "1", "b", "2", "c", "3"), "123");
}

}  // namespace
