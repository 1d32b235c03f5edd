#include <gtest/gtest.h>
#include <plist/plist.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app_start.hpp"
#include "scratch_folder.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

void writeInfoPlist(const fs::path& bundle, const std::string& executable, bool binary) {
    fs::create_directories(bundle / "Contents" / "MacOS");
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "CFBundleExecutable", plist_new_string(executable.c_str()));
    plist_dict_set_item(dict, "CFBundleShortVersionString", plist_new_string("2.3.1"));
    char* data = nullptr;
    uint32_t length = 0;
    if (binary) {
        plist_to_bin(dict, &data, &length);
    } else {
        plist_to_xml(dict, &data, &length);
    }
    std::ofstream{bundle / "Contents" / "Info.plist", std::ios::binary}.write(data, length);
    std::free(data);
    plist_free(dict);
}

std::vector<std::string> waitForLines(const fs::path& file) {
    for (int i = 0; i < 200 && !fs::exists(file); ++i)
        std::this_thread::sleep_for(10ms);
    std::ifstream in{file};
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(AppStartTest, ReadsTheExecutableFromXmlAndBinaryInfoPlist) {
    const fixture::ScratchFolder tmp;
    for (const bool binary : {false, true}) {
        const fs::path bundle = tmp.path() / (binary ? "b" : "x") / "Zentravo.app";
        writeInfoPlist(bundle, "Zentravo", binary);
        EXPECT_EQ(zentravo::system::bundleExecutable(bundle),
                  bundle / "Contents" / "MacOS" / "Zentravo");
    }
}

TEST(AppStartTest, RefusesBundlesWithoutAUsableProgramName) {
    const fixture::ScratchFolder tmp;
    EXPECT_THROW((void)zentravo::system::bundleExecutable(tmp.path() / "none.app"),
                 std::runtime_error);
    int n = 0;
    for (const std::string name : {"", "..", "../../bin/sh", "a/b"}) {
        const fs::path bundle = tmp.path() / std::to_string(n++) / "Zentravo.app";
        writeInfoPlist(bundle, name, false);
        EXPECT_THROW((void)zentravo::system::bundleExecutable(bundle), std::runtime_error) << name;
    }
    const fs::path garbage = tmp.path() / "g.app";
    fs::create_directories(garbage / "Contents");
    std::ofstream{garbage / "Contents" / "Info.plist"} << "not a plist";
    EXPECT_THROW((void)zentravo::system::bundleExecutable(garbage), std::runtime_error);
}

TEST(AppStartTest, ArgumentsArriveUnchangedInANewSession) {
    const fixture::ScratchFolder tmp;
    const fs::path record = tmp.path() / "argv";
    setenv("ARGV_RECORD", record.c_str(), 1);
    const std::vector<std::string> arguments{
        "zentravo://open?a=1&b='x y'", "$(touch pwned) `id` ;|", "--boot \"quoted\"", "--launcher"};
    const pid_t child = zentravo::system::startDetached(ARGV_RECORDER, arguments);
    ASSERT_GT(child, 0);
    const auto lines = waitForLines(record);
    ASSERT_EQ(lines.size(), 1 + arguments.size());
    EXPECT_EQ(lines[0], "sid " + std::to_string(child) + " pid " + std::to_string(child));
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), arguments);
    EXPECT_FALSE(fs::exists("pwned"));

    std::optional<int> status;
    for (int i = 0; i < 200 && !status; ++i) {
        status = zentravo::system::reapIfEnded(child);
        if (!status)
            std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
}

TEST(AppStartTest, AddedVariablesReplaceOnlyThoseOfTheSameName) {
    const fixture::ScratchFolder tmp;
    const fs::path inherited = tmp.path() / "inherited";
    const fs::path added = tmp.path() / "added";
    struct Case {
        const char* name;
        std::vector<std::string> environment;
        fs::path recordedAt;
    };
    for (const Case& c :
         {Case{"same name", {"ARGV_RECORD=" + added.string()}, added},
          Case{"longer name with the same start", {"ARGV_RECORD_HOLD=0"}, inherited}}) {
        SCOPED_TRACE(c.name);
        fs::remove(inherited);
        fs::remove(added);
        setenv("ARGV_RECORD", inherited.c_str(), 1);
        const pid_t child = zentravo::system::startDetached(ARGV_RECORDER, {"x"}, c.environment);
        ASSERT_GT(child, 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(waitForLines(c.recordedAt).size(), 2U);
        EXPECT_EQ(fs::exists(inherited), c.recordedAt == inherited);
    }
}

TEST(AppStartTest, RunningChildIsNotReapedAndMissingProgramThrows) {
    const fixture::ScratchFolder tmp;
    const fs::path record = tmp.path() / "argv";
    setenv("ARGV_RECORD", record.c_str(), 1);
    setenv("ARGV_RECORD_HOLD", "30", 1);
    const pid_t child = zentravo::system::startDetached(ARGV_RECORDER, {});
    unsetenv("ARGV_RECORD_HOLD");
    ASSERT_EQ(waitForLines(record).size(), 1U);
    EXPECT_FALSE(zentravo::system::reapIfEnded(child));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);

    EXPECT_THROW((void)zentravo::system::startDetached(tmp.path() / "missing", {}),
                 std::system_error);
}

}  // namespace
