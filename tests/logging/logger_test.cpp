#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "probe_process.hpp"
#include "scratch_folder.hpp"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kOtherUser = 65534;

std::string readFile(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

class LoggerTest : public ::testing::Test {
  protected:
    fixture::ScratchFolder temp;
    fs::path home = temp.path() / "home";
    fs::path logFile = home / ".local/share/ZentravoV3/logs/launcher.log";

    void SetUp() override { fs::create_directories(home); }

    probe::Result start(std::vector<std::string> records = {},
                        std::map<std::string, std::optional<std::string>> env = {}) {
        std::vector<std::string> args{LOGGING_PROBE, "logger"};
        args.insert(args.end(), records.begin(), records.end());
        env.try_emplace("HOME", home.string());
        env.try_emplace("XDG_DATA_HOME", std::nullopt);
        return probe::run(args, env);
    }
};

TEST_F(LoggerTest, FirstStartCreatesTheFoldersAndLogsAtDebug) {
    const auto result = start();
    ASSERT_EQ(result.exitCode, 0) << result.output;
    ASSERT_TRUE(fs::is_regular_file(logFile));
    const std::string log = readFile(logFile);
    EXPECT_NE(firstLine(log).find("[launcher] [debug] Logger configured successfully"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[debug] Launching 'probe'"), std::string::npos) << log;
    EXPECT_NE(log.find("[info] probe record"), std::string::npos) << log;
    // The file took the records; nothing went to the console.
    EXPECT_EQ(result.output.find("probe record"), std::string::npos) << result.output;
}

TEST_F(LoggerTest, LogFileIsReadableByItsOwnerOnly) {
    // A usual umask would leave a new file readable by everyone.
    const mode_t previous = ::umask(022);
    struct Case {
        const char* name;
        std::optional<fs::perms> existing;  // a log left by an earlier start
    };
    for (const Case& c :
         {Case{"first start", std::nullopt}, Case{"earlier log readable by all", fs::perms{0644}},
          Case{"earlier log writable by all", fs::perms{0666}}}) {
        SCOPED_TRACE(c.name);
        fs::remove_all(home / ".local");
        if (c.existing) {
            fs::create_directories(logFile.parent_path());
            std::ofstream(logFile) << "old record\n";
            fs::permissions(logFile, *c.existing);
        }
        const auto result = start({"private record"});
        ASSERT_EQ(result.exitCode, 0) << result.output;
        EXPECT_EQ(fs::status(logFile).permissions(), fs::perms{0600});
        const std::string log = readFile(logFile);
        EXPECT_NE(log.find("private record"), std::string::npos) << log;
        EXPECT_EQ(log.find("old record"), std::string::npos) << log;
    }
    ::umask(previous);
}

TEST_F(LoggerTest, DataFolderFromXdgDataHome) {
    const fs::path data = temp.path() / "data";
    const auto result = start({}, {{"XDG_DATA_HOME", data.string()}});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(fs::is_regular_file(data / "ZentravoV3/logs/launcher.log"));
    EXPECT_FALSE(fs::exists(logFile));
}

TEST_F(LoggerTest, SecondStartEmptiesTheFile) {
    ASSERT_EQ(start({"record of the first start"}).exitCode, 0);
    ASSERT_NE(readFile(logFile).find("record of the first start"), std::string::npos);

    ASSERT_EQ(start().exitCode, 0);
    const std::string log = readFile(logFile);
    EXPECT_EQ(log.find("record of the first start"), std::string::npos) << log;
    EXPECT_NE(firstLine(log).find("Logger configured successfully"), std::string::npos) << log;
}

TEST_F(LoggerTest, LogFolderOccupiedByAFileFallsBackToTheConsole) {
    fs::create_directories(logFile.parent_path().parent_path());
    std::ofstream(logFile.parent_path()) << "not a folder";

    const auto result = start();
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("[error] Unable to start logger: "), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("Launching 'probe'"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("probe record"), std::string::npos) << result.output;
    EXPECT_TRUE(fs::is_regular_file(logFile.parent_path()));
}

// Only a plain file of this user's is the log: a link, even one whose target is this user's, a
// FIFO or another user's file planted at its name is refused without being followed, emptied or
// waited on.
TEST_F(LoggerTest, LogNameThatIsNotAPlainFileFallsBackToTheConsole) {
    const fs::path victim = temp.path() / "victim";
    struct Case {
        const char* name;
        void (*plant)(const fs::path& at, const fs::path& victim);
        bool (*unchanged)(const fs::path& at, const fs::path& victim);
        bool needsRoot = false;  // to give a file away
    };
    const std::vector<Case> cases{
        {"link to a file",
         [](const fs::path& at, const fs::path& to) { fs::create_symlink(to, at); },
         [](const fs::path& at, const fs::path& to) {
             return fs::is_symlink(at) && readFile(to) == "precious\n";
         }},
        {"dangling link",
         [](const fs::path& at, const fs::path& to) {
             fs::remove(to);
             fs::create_symlink(to, at);
         },
         [](const fs::path& at, const fs::path& to) {
             return fs::is_symlink(at) && !fs::exists(fs::symlink_status(to));
         }},
        {"fifo",
         [](const fs::path& at, const fs::path&) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); },
         [](const fs::path& at, const fs::path&) { return fs::is_fifo(fs::symlink_status(at)); }},
        // Root may write it, so only the owner check stands between it and the log.
        {"file of another user",
         [](const fs::path& at, const fs::path&) {
             std::ofstream(at) << "another user's\n";
             ASSERT_EQ(::chown(at.c_str(), kOtherUser, kOtherUser), 0);
         },
         [](const fs::path& at, const fs::path&) {
             struct stat st {};
             return ::lstat(at.c_str(), &st) == 0 && st.st_uid == kOtherUser &&
                    readFile(at) == "another user's\n";
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) {
            continue;
        }
        fs::remove_all(home / ".local");
        std::ofstream(victim) << "precious\n";
        fs::create_directories(logFile.parent_path());
        c.plant(logFile, victim);

        const auto result = start({"private record"});
        ASSERT_EQ(result.exitCode, 0) << result.output;
        EXPECT_NE(result.output.find("[error] Unable to start logger: "), std::string::npos)
            << result.output;
        EXPECT_NE(result.output.find("private record"), std::string::npos) << result.output;
        EXPECT_TRUE(c.unchanged(logFile, victim));
    }
}

TEST_F(LoggerTest, NoHomeLogsToTheConsole) {
    const auto result = start({}, {{"HOME", std::nullopt}});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("probe record"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("Unable to start logger"), std::string::npos) << result.output;
    EXPECT_FALSE(fs::exists(home / ".local"));
}

}  // namespace
