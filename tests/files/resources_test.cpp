#include "resources.hpp"

#include <gtest/gtest.h>

#include "files_test_support.hpp"
#include "report_capture.hpp"

namespace fs = std::filesystem;
using files_test::readFile;
using files_test::ScratchDir;
using files_test::WorkingDirectory;

namespace {

struct Installed {
    ScratchDir dir;
    fs::path bin = files_test::installShippedResources(dir.path());
    WorkingDirectory cwd{bin};
};

TEST(GetResource, ReadsThePageByteForByte) {
    Installed installed;
    // CR LF and bytes that are not text must come back unchanged.
    const std::string page = "<!DOCTYPE html>\r\n<p>\xc3\xa9\x00\xff</p>\r\n";
    files_test::writeFile(installed.dir.path() / "resources/index.html", page);
    EXPECT_EQ(zentravo::system::getResource(103), page);
}

TEST(GetResource, ReadsEveryTranslationFileInTableOrder) {
    Installed installed;
    LogCapture logs;
    const std::vector<std::pair<int, std::string>> ids{
        {104, "de"}, {105, "en"}, {106, "es"}, {107, "fr"}, {108, "it"},
        {109, "ja"}, {110, "ko"}, {111, "pt"}, {112, "ru"}, {113, "zhTW"}};
    for (const auto& [id, language] : ids) {
        EXPECT_EQ(zentravo::system::getResource(id),
                  readFile(fs::path{LAUNCHER_SOURCE_DIR} / "resources/translations" /
                           (language + ".json")))
            << id;
    }
    const auto debug = files_test::linesAt(logs, "debug");
    ASSERT_EQ(debug.size(), ids.size());
    for (const auto& line : debug) {
        EXPECT_EQ(line, "Searching for translation files in '../resources/translations'");
    }
    EXPECT_TRUE(files_test::linesAt(logs, "error").empty());
}

TEST(GetResource, MissingPageIsLoggedAndGivesEmptyText) {
    Installed installed;
    fs::remove(installed.dir.path() / "resources/index.html");
    files_test::ReportCapture reports;
    LogCapture logs;
    EXPECT_EQ(zentravo::system::getResource(103), "");
    EXPECT_EQ(files_test::linesAt(logs, "error"),
              std::vector<std::string>{"Failed to open file: ../resources/index.html"});
    EXPECT_EQ(reports.collect().reports,
              (std::vector<files_test::Report>{
                  {"system::getResource Error", "Failed to open file: ../resources/index.html"}}));
}

TEST(GetResource, MissingOrEmptyTranslationGivesEmptyTextWithoutLogLine) {
    Installed installed;
    fs::remove(installed.dir.path() / "resources/translations/ko.json");
    files_test::writeFile(installed.dir.path() / "resources/translations/ru.json", "");
    files_test::ReportCapture reports;
    LogCapture logs;
    EXPECT_EQ(zentravo::system::getResource(110), "");
    EXPECT_EQ(zentravo::system::getResource(112), "");  // empty: no report here
    fs::remove(installed.dir.path() / "resources/translations/ru.json");
    EXPECT_EQ(zentravo::system::getResource(112), "");
    EXPECT_EQ(reports.collect().reports,
              (std::vector<files_test::Report>{
                  {"Unable to read translation file from i18n database",
                   "Unable to read translations file in '../resources/translations/ko.json'"},
                  {"Unable to read translation file from i18n database",
                   "Unable to read translations file in '../resources/translations/ru.json'"}}));
    EXPECT_TRUE(files_test::linesAt(logs, "error").empty());
    EXPECT_EQ(files_test::linesAt(logs, "debug").size(), 3u);
}

TEST(GetResource, UnregisteredIdsOpenNothing) {
    ScratchDir empty;
    WorkingDirectory cwd{empty.path()};
    files_test::ReportCapture reports;
    LogCapture logs;
    for (const int id : {102, 114, -1, 0}) {
        EXPECT_EQ(zentravo::system::getResource(id), "") << id;
    }
    EXPECT_EQ(files_test::linesAt(logs, "error"),
              (std::vector<std::string>{"Error finding '102' translation -> Id not registered",
                                        "Error finding '114' translation -> Id not registered",
                                        "Error finding '-1' translation -> Id not registered",
                                        "Error finding '0' translation -> Id not registered"}));
    const auto seen = reports.collect().reports;
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[1],
              (files_test::Report{"Error finding translation file",
                                  "Error finding '114' translation -> Id not registered"}));
}

}  // namespace
