// Hostile and damaged input: every text must give a value or an error, never a crash, a hang or
// a read outside the text (run under the sanitizers too).

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "json.hpp"

namespace {

// Parses with both readers; only the two error types of the value and JSON layer may escape.
void readBoth(const std::string& text) {
    for (bool anyValue : {false, true}) {
        try {
            const auto result = anyValue ? vela::json::parseValue(text) : vela::json::parse(text);
            (void)vela::json::toString(result, anyValue);
        } catch (const vela::json::ParseError& error) {
            EXPECT_GE(error.line, 1u);
            EXPECT_GE(error.column, 1u);
        } catch (const vela::value::Error&) {
        }
    }
}

std::string deepArrays(int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') +
           std::string(static_cast<std::size_t>(depth), ']');
}

TEST(JsonRobustness, NestingUpToTheLimitIsRead) {
    const vela::value::Value arrays = vela::json::parse(deepArrays(vela::json::kMaxNestingDepth));
    EXPECT_EQ(vela::json::toString(arrays), deepArrays(vela::json::kMaxNestingDepth));

    std::string objects;
    for (int i = 0; i < vela::json::kMaxNestingDepth; ++i) {
        objects += "{\"a\":";
    }
    objects += "1";
    objects.append(vela::json::kMaxNestingDepth, '}');
    EXPECT_NO_THROW((void)vela::json::parse(objects));
}

TEST(JsonRobustness, DeeperNestingIsRefused) {
    for (int depth : {vela::json::kMaxNestingDepth + 1, 100000}) {
        for (const std::string& text : {deepArrays(depth), std::string(depth, '['), [depth] {
                                            std::string s;
                                            for (int i = 0; i < depth; ++i) {
                                                s += i % 2 ? "{\"k\":" : "[";
                                            }
                                            return s;
                                        }()}) {
            try {
                (void)vela::json::parse(text);
                ADD_FAILURE() << "nesting of " << depth << " accepted";
            } catch (const vela::json::ParseError& error) {
                EXPECT_STREQ(error.what(), "Too many nested arrays or objects");
                EXPECT_EQ(error.line, 1u);
            }
        }
    }
    // The position is the opening bracket one level too deep.
    try {
        (void)vela::json::parseValue(deepArrays(vela::json::kMaxNestingDepth + 1));
    } catch (const vela::json::ParseError& error) {
        EXPECT_EQ(error.column, static_cast<std::uint64_t>(vela::json::kMaxNestingDepth + 1));
    }
}

TEST(JsonRobustness, RandomBytes) {
    std::mt19937_64 random(1234);
    for (int i = 0; i < 20000; ++i) {
        std::string text(random() % 64, '\0');
        for (auto& c : text) {
            c = static_cast<char>(random());
        }
        readBoth(text);
    }
}

TEST(JsonRobustness, RandomJsonAlphabet) {
    // Bytes mostly from JSON's own alphabet reach far deeper into the reader than noise does.
    const std::string alphabet = "[]{}\",:\\u0123456789abcdefABCDEF.eE-+ \n\ttrnl\xC3\xA9\xF0\x9F";
    std::mt19937_64 random(5678);
    for (int i = 0; i < 50000; ++i) {
        std::string text(random() % 48, ' ');
        for (auto& c : text) {
            c = alphabet[random() % alphabet.size()];
        }
        readBoth(text);
        readBoth("[" + text);
        readBoth("{\"a\":" + text);
    }
}

TEST(JsonRobustness, EveryTruncationAndMutationOfADocument) {
    const std::string document =
        R"({"id": 12, "fn": "checkForUpdates", "params": [1, -2.5e-3, "caf\u00e9 \ud83d\ude00",)"
        R"( true, false, null, {"nested": [[], {}, "x\"y\\z"]}, 9223372036854775808]})";
    ASSERT_NO_THROW((void)vela::json::parse(document));
    for (std::size_t length = 0; length <= document.size(); ++length) {
        readBoth(document.substr(0, length));
    }
    std::mt19937_64 random(42);
    for (std::size_t i = 0; i < document.size(); ++i) {
        for (int trial = 0; trial < 8; ++trial) {
            std::string mutated = document;
            mutated[i] = static_cast<char>(random());
            readBoth(mutated);
        }
        std::string removed = document;
        removed.erase(i, 1);
        readBoth(removed);
    }
}

}  // namespace
