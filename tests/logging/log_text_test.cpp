// Texts from outside made safe for the one-record-per-line log, and kept short there.
#include "log_text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace logtext = zentravo::logtext;
using namespace std::string_literals;

TEST(LogText, EscapesWhatCouldEndOrForgeARecordAndKeepsOtherText) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"zentravo://open?game=7&mode=solo", "zentravo://open?game=7&mode=solo"},
        {"a\nb\r\nc\td", "a\\nb\\r\\nc\\td"},
        {"nul\0esc\x1b del\x7f"s, "nul\\x00esc\\x1B del\\x7F"},
        // Next line (U+0085) and the Unicode line and paragraph separators.
        {"x\xc2\x85y\xe2\x80\xa8z\xe2\x80\xa9", "x\\u0085y\\u2028z\\u2029"},
        // CSI, and the bidirectional controls that reorder what follows them on the line.
        {"csi\xc2\x9b"
         "2J",
         "csi\\u009B2J"},
        {"a\xe2\x80\xae"
         "b\xe2\x80\xaa"
         "c\xe2\x81\xa6"
         "d\xe2\x81\xa9"
         "e\xe2\x80\x8f\xd8\x9c",
         "a\\u202Eb\\u202Ac\\u2066d\\u2069e\\u200F\\u061C"},
        // Neighbours of those ranges are ordinary text.
        {"\xc2\xa0\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa",
         "\xc2\xa0\\u2029\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"},
        {"Grüße 日本 🎮", "Grüße 日本 🎮"},
        // Not UTF-8: stray, truncated, overlong and surrogate sequences, byte by byte.
        {"bad\xff\xfe", "bad\\xFF\\xFE"},
        {"cut\xe6\x97", "cut\\xE6\\x97"},
        {"over\xc0\xaf", "over\\xC0\\xAF"},
        {"sur\xed\xa0\x80", "sur\\xED\\xA0\\x80"},
        {"back\\slash", "back\\slash"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(logtext::escape(c.in), c.out) << c.in;
    }
}

TEST(LogText, LongTextIsCutWithItsFullLength) {
    const std::string shortText(logtext::kExcerptBytes, 'a');
    EXPECT_EQ(logtext::excerpt(shortText), shortText);

    const std::string longText = std::string(logtext::kExcerptBytes, 'a') + "\nb";
    EXPECT_EQ(logtext::excerpt(longText),
              shortText + "... (" + std::to_string(longText.size()) + " bytes in all)");

    // A character that straddles the cut is left out whole.
    const std::string straddling = std::string(logtext::kExcerptBytes - 1, 'a') + "é" + "zz";
    EXPECT_EQ(logtext::excerpt(straddling), std::string(logtext::kExcerptBytes - 1, 'a') + "... (" +
                                                std::to_string(straddling.size()) +
                                                " bytes in all)");
}

// The writer escapes only what lies below U+0020; the rest that could hide or reorder text is
// written as JSON escapes too, so the dump still reads back as the same value.
TEST(LogText, DumpEscapesDelC1AndBidiControlsInStrings) {
    const nlohmann::json value = {{"clientName",
                                   "zentravo://x\x7f\xc2\x9b"
                                   "31m\xc2\x85\xe2\x80\xae\xe2\x81\xa6 Gr\xc3\xbc\xc3\x9f\x65\n"}};
    const std::string dumped = logtext::dump(value, 4);
    EXPECT_EQ(
        dumped,
        "{\n    \"clientName\": "
        "\"zentravo://x\\u007F\\u009B31m\\u0085\\u202E\\u2066 Gr\xc3\xbc\xc3\x9f\x65\\n\"\n}");
    EXPECT_EQ(nlohmann::json::parse(dumped), value);
    EXPECT_EQ(logtext::dump(value, -1).find('\x7f'), std::string::npos);
}

TEST(LogText, DumpIsTheLibrarysFormCutWithItsFullLength) {
    const nlohmann::json small = {{"appVersion", "3.1.0"}, {"list", {1, 2}}};
    EXPECT_EQ(logtext::dump(small, 4), small.dump(4));
    EXPECT_EQ(logtext::dump(small, -1), small.dump());

    // Deep nesting makes the indented form grow with the square of the depth.
    nlohmann::json deep = nlohmann::json::array();
    for (int i = 0; i < 1000; ++i) {
        deep = nlohmann::json::array({std::move(deep)});
    }
    const std::string full = deep.dump(4);
    const std::string cut = logtext::dump(deep, 4);
    EXPECT_EQ(cut, full.substr(0, logtext::kExcerptBytes) + "... (" + std::to_string(full.size()) +
                       " bytes in all)");
}

}  // namespace
