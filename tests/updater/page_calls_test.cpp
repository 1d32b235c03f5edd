#include <gtest/gtest.h>

#include "page_calls.hpp"

namespace {

using namespace zentravo::page;

TEST(PageCallsTest, CallTextsAreExact) {
    EXPECT_EQ(statusCall("Checking"), "updateProgressStatus('Checking');");
    EXPECT_EQ(progressCall("Downloading", 1048576, 4194304),
              "updateProgressStatus('Downloading', 1048576, 4194304)");
    EXPECT_EQ(errorWithRetryCall("Offline"), "notifyErrorWithRetry('Offline','restartApp')");
    EXPECT_EQ(errorCall("Broken"), "notifyError('Broken')");
    EXPECT_EQ(kShowCloseButton, "showCloseButton()");
    EXPECT_EQ(kRestoreFrontend, "restoreFrontend()");
}

TEST(PageCallsTest, TextsCannotBreakOutOfTheLiteral) {
    struct Case {
        std::string text;
        std::string escaped;
    };
    const Case cases[] = {
        {"l'application", "l\\'application"},
        {R"(C:\temp)", R"(C:\\temp)"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"one\ntwo\r\n", "one\\ntwo\\r\\n"},
        {"tab\there", "tab\\there"},
        {std::string{"nul\0x", 5}, "nul\\x00x"},
        {"\x1b[0m", "\\x1b[0m"},
        {"line\xe2\x80\xa8sep\xe2\x80\xa9", "line\\u2028sep\\u2029"},
        {"Übersetzung 日本語 \xe2\x80\x99", "Übersetzung 日本語 \xe2\x80\x99"},
        {"'); alert(1); ('", "\\'); alert(1); (\\'"},
        {"trailing\\", "trailing\\\\"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(escapeForScript(c.text), c.escaped) << c.text;
    }
    EXPECT_EQ(statusCall("it's\n"), "updateProgressStatus('it\\'s\\n');");
    EXPECT_EQ(errorWithRetryCall("a'b"), "notifyErrorWithRetry('a\\'b','restartApp')");
}

}  // namespace
