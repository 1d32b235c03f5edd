#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <string>

#include "semver.hpp"

namespace {

using semver::prerelease;
using semver::version;

struct Valid {
    const char* text;
    version expected;
    const char* written;
};

TEST(SemverTest, ParsesValidTextsAndWritesTheirCanonicalForm) {
    const Valid cases[] = {
        {"0.0.0", {0, 0, 0}, "0.0.0"},
        {"255.255.255", {255, 255, 255}, "255.255.255"},
        {"1.2.3", {1, 2, 3}, "1.2.3"},
        {"01.02.03", {1, 2, 3}, "1.2.3"},
        {"007.0.10", {7, 0, 10}, "7.0.10"},
        {"1.2.3-alpha", {1, 2, 3, prerelease::alpha, 0}, "1.2.3-alpha"},
        {"1.2.3-ALPHA.7", {1, 2, 3, prerelease::alpha, 7}, "1.2.3-alpha.7"},
        {"1.2.3-Beta.12", {1, 2, 3, prerelease::beta, 12}, "1.2.3-beta.12"},
        {"1.2.3-rc.0", {1, 2, 3, prerelease::rc, 0}, "1.2.3-rc"},
        {"1.2.3-rC.255", {1, 2, 3, prerelease::rc, 255}, "1.2.3-rc.255"},
        {"10.20.30-rc.004", {10, 20, 30, prerelease::rc, 4}, "10.20.30-rc.4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        version v = version::from_string(c.text);
        EXPECT_EQ(v.major, c.expected.major);
        EXPECT_EQ(v.minor, c.expected.minor);
        EXPECT_EQ(v.patch, c.expected.patch);
        EXPECT_EQ(v.prerelease_type, c.expected.prerelease_type);
        EXPECT_EQ(v.prerelease_number, c.expected.prerelease_number);
        EXPECT_EQ(v.to_string(), c.written);
        // The written form parses back to an equal version.
        EXPECT_EQ(version::from_string(v.to_string()), v);
    }
}

TEST(SemverTest, RefusesInvalidTexts) {
    const char* cases[] = {
        "",          "1.2",        "1.2.",         "1.2.3.4",      "1.2.3-",
        "1.2.3-al",  "1.2.3-alphabet", "1.2.3-rc.", "1.2.3-rc.x",  " 1.2.3",
        "1.2.3 ",    "v1.2.3",     "256.0.0",      "1.256.0",      "1.2.256",
        "1.2.3-rc.256", "4294967296.0.0", "1.2.3-gamma", "1.2.3+build", "1..3.4",
        "1.2.3-rc.1.2", "1.2.3-rc1", "a.b.c",      "1.2.3-beta.",  "-1.2.3",
    };
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        version v;
        const std::string s = text;
        const auto result = v.from_chars(s.data(), s.data() + s.size());
        EXPECT_EQ(result.ec, std::errc::invalid_argument);
        EXPECT_EQ(result.ptr, s.data());
        try {
            (void)version::from_string(s);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "semver::version::from_string invalid version.");
        }
    }
}

TEST(SemverTest, FromCharsSucceedsAtTheEndOfTheRange) {
    const std::string text = "3.4.5-beta.2";
    version v;
    const auto result = v.from_chars(text.data(), text.data() + text.size());
    EXPECT_EQ(result.ec, std::errc{});
    EXPECT_EQ(result.ptr, text.data() + text.size());
}

TEST(SemverTest, OrdersFieldByFieldWithReleaseAfterItsPrereleases) {
    const char* ascending[] = {"1.0.0-alpha", "1.0.0-alpha.1", "1.0.0-beta", "1.0.0-rc",
                               "1.0.0",       "1.0.1",         "1.1.0",      "2.0.0-alpha",
                               "2.0.0"};
    for (std::size_t i = 0; i + 1 < std::size(ascending); ++i) {
        const version a = version::from_string(ascending[i]);
        const version b = version::from_string(ascending[i + 1]);
        SCOPED_TRACE(std::string(ascending[i]) + " < " + ascending[i + 1]);
        EXPECT_LT(a.compare(b), 0);
        EXPECT_GT(b.compare(a), 0);
        EXPECT_TRUE(a < b);
        EXPECT_TRUE(a <= b);
        EXPECT_TRUE(b > a);
        EXPECT_TRUE(b >= a);
        EXPECT_TRUE(a != b);
        EXPECT_FALSE(a == b);
    }
    EXPECT_EQ(version::from_string("1.0.0-alpha.0"), version::from_string("1.0.0-alpha"));
    EXPECT_EQ(version::from_string("0.0.0").compare(version(0, 0, 0)), 0);
}

TEST(SemverTest, ToCharsReportsAShortBuffer) {
    const version v = version::from_string("12.34.56-alpha.78");
    const std::string expected = "12.34.56-alpha.78";
    std::array<char, 32> buffer{};

    auto exact = v.to_chars(buffer.data(), buffer.data() + expected.size());
    EXPECT_EQ(exact.ec, std::errc{});
    EXPECT_EQ(std::string(buffer.data(), exact.ptr), expected);

    auto shorter = v.to_chars(buffer.data(), buffer.data() + expected.size() - 1);
    EXPECT_EQ(shorter.ec, std::errc::value_too_large);

    auto missing = v.to_chars(nullptr, nullptr);
    EXPECT_EQ(missing.ec, std::errc::value_too_large);
}

TEST(SemverTest, ToStringOfAnInvalidTypeThrows) {
    version v{1, 2, 3};
    v.prerelease_type = static_cast<prerelease>(7);
    try {
        (void)v.to_string();
        ADD_FAILURE() << "wrote an invalid version";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "semver::version::to_string invalid version.");
    }
}

}  // namespace
