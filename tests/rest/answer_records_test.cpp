// Reading the update service's answers: the main application's record (library exceptions on
// malformed answers) and the launcher's record (defaults, a log line and a report instead).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <vector>

#include "../files/report_capture.hpp"
#include "app_update_response.hpp"
#include "log_capture.hpp"
#include "updater_response.hpp"

namespace {

using nlohmann::json;
using zentravo::request::AppUpdateResponse;
using zentravo::request::UpdaterResponse;

const json kFullAnswer = json::parse(R"({
  "url": "u", "arm64": "a", "x86_64": "x", "Windows": "w", "changelog": "c",
  "appVersion": "3.1.0", "extra": [1, 2],
  "update": {"arm64": "ua", "x86_64": "ux", "Windows": "uw", "ignored": null},
  "version": {"appVersion": "3.1.0", "majorBaseVersion": "3",
              "update": {"arm64": {"file": "https://h/arm.tar", "appCast": "https://h/arm.xml"},
                         "x86_64": {"file": "https://h/x.tar", "appCast": "https://h/x.xml"},
                         "windows": {"file": "wf", "appCast": "wa", "AVXFileReduced": "avx",
                                     "noAVXFileReduced": "noavx", "ARM64ECFileReduced": "ec"}}}
})");

TEST(AppUpdateResponse, ReadsEveryField) {
    const auto r = kFullAnswer.get<AppUpdateResponse>();
    EXPECT_EQ(r.url, "u");
    EXPECT_EQ(r.arm64, "a");
    EXPECT_EQ(r.x86_64, "x");
    EXPECT_EQ(r.Windows, "w");
    EXPECT_EQ(r.changelog, "c");
    EXPECT_EQ(r.appVersion, "3.1.0");
    EXPECT_EQ(r.update.arm64, "ua");
    EXPECT_EQ(r.update.x86_64, "ux");
    EXPECT_EQ(r.update.Windows, "uw");
    EXPECT_EQ(r.version.appVersion, "3.1.0");
    EXPECT_EQ(r.version.majorBaseVersion, "3");
    EXPECT_EQ(r.version.update.arm64.file, "https://h/arm.tar");
    EXPECT_EQ(r.version.update.arm64.appCast, "https://h/arm.xml");
    EXPECT_EQ(r.version.update.x86_64.file, "https://h/x.tar");
    EXPECT_EQ(r.version.update.x86_64.appCast, "https://h/x.xml");
    EXPECT_EQ(r.version.update.windows.file, "wf");
    EXPECT_EQ(r.version.update.windows.appCast, "wa");
    EXPECT_EQ(r.version.update.windows.AVXFileReduced, "avx");
    EXPECT_EQ(r.version.update.windows.noAVXFileReduced, "noavx");
    EXPECT_EQ(r.version.update.windows.ARM64ECFileReduced, "ec");
}

TEST(AppUpdateResponse, OptionalPartsDefaultToEmpty) {
    const auto empty = json::object().get<AppUpdateResponse>();
    EXPECT_TRUE(empty.appVersion.empty());
    EXPECT_TRUE(empty.url.empty());
    EXPECT_TRUE(empty.update.arm64.empty());
    EXPECT_TRUE(empty.version.update.arm64.file.empty());
    EXPECT_TRUE(empty.version.update.x86_64.file.empty());

    const auto noVersion = json::parse(R"({"appVersion":"3.1.0"})").get<AppUpdateResponse>();
    EXPECT_EQ(noVersion.appVersion, "3.1.0");
    EXPECT_TRUE(noVersion.version.update.arm64.file.empty());
    EXPECT_TRUE(noVersion.version.update.x86_64.file.empty());

    json emptyWindows = kFullAnswer;
    emptyWindows["version"]["update"]["windows"] = json::object();
    const auto r = emptyWindows.get<AppUpdateResponse>();
    EXPECT_EQ(r.version.update.arm64.file, "https://h/arm.tar");
    EXPECT_TRUE(r.version.update.windows.file.empty());
    EXPECT_TRUE(r.version.update.windows.appCast.empty());
    EXPECT_TRUE(r.version.update.windows.AVXFileReduced.empty());
    EXPECT_TRUE(r.version.update.windows.noAVXFileReduced.empty());
    EXPECT_TRUE(r.version.update.windows.ARM64ECFileReduced.empty());
}

// Each malformed answer fails with the JSON library's own exception, id and text.
TEST(AppUpdateResponse, MalformedAnswersThrowTheLibraryErrors) {
    auto without = [](const char* pointer) {
        json j = kFullAnswer;
        const json::json_pointer p{pointer};
        j[p.parent_pointer()].erase(p.back());
        return j;
    };
    auto with = [](const char* pointer, json value) {
        json j = kFullAnswer;
        j[json::json_pointer{pointer}] = std::move(value);
        return j;
    };
    struct Case {
        const char* name;
        json answer;
        int id;
        const char* text;
    };
    const Case cases[] = {
        {"missing majorBaseVersion", without("/version/majorBaseVersion"), 403,
         "key 'majorBaseVersion' not found"},
        {"missing arm64 file", without("/version/update/arm64/file"), 403, "key 'file' not found"},
        {"missing windows", without("/version/update/windows"), 403, "key 'windows' not found"},
        {"null appVersion", with("/appVersion", nullptr), 302, "type must be string, but is null"},
        {"numeric changelog", with("/changelog", 5), 302, "type must be string, but is number"},
        {"null in update", with("/update/arm64", nullptr), 302, "type must be string, but is null"},
        {"array answer", json::array({1}), 306, "cannot use value() with array"},
        {"update not an object", with("/update", "x"), 306, "cannot use value() with string"},
        {"windows not an object", with("/version/update/windows", 1), 306,
         "cannot use value() with number"},
        {"version not an object", with("/version", json::array()), 304,
         "cannot use at() with array"},
        {"arm64 files not an object", with("/version/update/arm64", "f"), 304,
         "cannot use at() with string"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            (void)c.answer.get<AppUpdateResponse>();
            ADD_FAILURE() << "no exception";
        } catch (const json::exception& e) {
            EXPECT_EQ(e.id, c.id) << e.what();
            EXPECT_NE(std::string{e.what()}.find(c.text), std::string::npos) << e.what();
            if (c.id == 403) {
                EXPECT_NE(dynamic_cast<const json::out_of_range*>(&e), nullptr);
            } else {
                EXPECT_NE(dynamic_cast<const json::type_error*>(&e), nullptr);
            }
        }
    }
}

TEST(AppUpdateResponse, FailureLeavesTheTargetUntouched) {
    AppUpdateResponse r;
    r.appVersion = "kept";
    json bad = kFullAnswer;
    bad["version"].erase("majorBaseVersion");
    EXPECT_THROW(from_json(bad, r), json::out_of_range);
    EXPECT_EQ(r.appVersion, "kept");
}

TEST(UpdaterResponse, ReadsTheLauncherAnswer) {
    LogCapture log;
    const UpdaterResponse r{json::parse(
        R"({"launcherUpdate":{"launcherVersion":"1.7.0","arm64":"https://h/appcast.xml","x":1},"y":2})")};
    EXPECT_EQ(r.launcherVersion, "1.7.0");
    EXPECT_EQ(r.arm64, "https://h/appcast.xml");
    EXPECT_TRUE(log.lines().empty());

    const UpdaterResponse odd{
        json::parse(R"({"launcherUpdate":{"launcherVersion":"soon","arm64":""}})")};
    EXPECT_EQ(odd.launcherVersion, "soon") << "any text is accepted here";
}

TEST(UpdaterResponse, EmptyAnswersKeepDefaultsSilently) {
    for (const auto& answer : {json{}, json::array(), json::object()}) {
        LogCapture log;
        const UpdaterResponse r{answer};
        EXPECT_EQ(r.launcherVersion, "0.0.0");
        EXPECT_EQ(r.arm64, "");
        EXPECT_TRUE(log.lines().empty()) << answer.dump();
    }
}

TEST(UpdaterResponse, MalformedAnswersAreLoggedAndKeepDefaults) {
    struct Case {
        json answer;
        const char* launcherVersion;
        const char* what;
    };
    const Case cases[] = {
        {json(42), "0.0.0", "cannot use operator[] with a string argument with number"},
        {json("text"), "0.0.0", "cannot use operator[] with a string argument with string"},
        {json::array({1}), "0.0.0", "cannot use operator[] with a string argument with array"},
        {json::parse(R"({"launcherUpdate":null})"), "0.0.0",
         "cannot use operator[] with a string argument with null"},
        {json::parse(R"({"launcherUpdate":{"launcherVersion":"1.7.0","arm64":5}})"), "1.7.0",
         "type must be string, but is number"},
        {json::parse(R"({"launcherUpdate":{"launcherVersion":null,"arm64":"a"}})"), "0.0.0",
         "type must be string, but is null"},
        {json::parse(R"({"launcherUpdate":{"arm64":"a"}})"), "0.0.0",
         "key 'launcherVersion' not found"},
        {json::parse(R"({"other":1})"), "0.0.0", "key 'launcherUpdate' not found"},
    };
    files_test::ReportCapture reports;
    std::vector<files_test::Report> expected;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer.dump());
        LogCapture log;
        const UpdaterResponse r{c.answer};
        EXPECT_EQ(r.launcherVersion, c.launcherVersion);
        EXPECT_EQ(r.arm64, "");
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].starts_with("error Failed to load object: ")) << lines[0];
        EXPECT_NE(lines[0].find(c.what), std::string::npos) << lines[0];
        // The whole answer follows, indented by four spaces.
        EXPECT_TRUE(lines[0].ends_with(" - " + c.answer.dump(4))) << lines[0];
        expected.push_back({"UpdaterResponse operator= failed", lines[0].substr(6)});
    }
    // Each failure is reported once, with the text of its log line.
    EXPECT_EQ(reports.collect().reports, expected);
}

}  // namespace
