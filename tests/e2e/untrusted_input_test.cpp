// The real launcher against input made to hurt it: update answers too deep or too large, archive
// addresses and redirects that leave https, a deep link that is not UTF-8, and texts that carry
// line breaks or other control characters into the log.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "launcher_world.hpp"
#include "plain_http_server.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using launcher_test::LauncherWorld;
using launcher_test::Process;

constexpr long kMemoryBoundKb = 300 * 1024;
constexpr std::uintmax_t kLogBoundBytes = 4 << 20;
const std::string kVersionPath = "/v1/tarvine/update/0.0.0";
const std::string kRetrying = "Retriable error executing checker";

// A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"); -1 when the process is gone.
long statusKb(pid_t pid, const std::string& field) {
    std::ifstream in{"/proc/" + std::to_string(pid) + "/status"};
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(field + ":")) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

std::uintmax_t fileSize(const fs::path& file) {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    return error ? 0 : size;
}

bool anyMessage(const LauncherWorld& world, const std::function<bool(const std::string&)>& test) {
    const auto messages = world.logMessages();
    return std::any_of(messages.begin(), messages.end(), test);
}

class UntrustedInput : public ::testing::Test {
  protected:
    void SetUp() override { launcher_test::waitForQuietMachine(); }

    // Waits until a log message satisfies `reached` while the launcher runs within the memory
    // and log bounds. Stops the watch (the launcher is killed with the test) at the first breach.
    ::testing::AssertionResult runsWithinBoundsUntil(
        Process& launcher, const std::function<bool(const std::string&)>& reached,
        std::chrono::seconds timeout = 60s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const long rss = statusKb(launcher.pid(), "VmRSS");
            const std::uintmax_t logSize = fileSize(world.logFile());
            if (rss > kMemoryBoundKb) {
                return ::testing::AssertionFailure() << "resident memory " << rss << " kB";
            }
            if (logSize > kLogBoundBytes) {
                return ::testing::AssertionFailure() << "log of " << logSize << " bytes";
            }
            if (const auto status = launcher.waitExit(0ms)) {
                return ::testing::AssertionFailure()
                       << "the launcher ended with " << *status << "\n"
                       << world.logText().substr(0, 20000);
            }
            if (anyMessage(world, reached)) {
                return ::testing::AssertionSuccess();
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return ::testing::AssertionFailure() << "not reached in time\n"
                                                     << world.logText().substr(0, 20000);
            }
            std::this_thread::sleep_for(50ms);
        }
    }

    LauncherWorld world;
};

std::function<bool(const std::string&)> is(const std::string& wanted) {
    return [wanted](const std::string& message) { return message == wanted; };
}
std::function<bool(const std::string&)> startsWith(const std::string& prefix) {
    return [prefix](const std::string& message) { return message.starts_with(prefix); };
}

// --- answers too deep or too large ----------------------------------------------------------

struct AnswerCase {
    std::string name;
    nlohmann::json fault;  // on the version request
    std::string failure;   // start of the logged failure
    friend void PrintTo(const AnswerCase& c, std::ostream* out) { *out << c.name; }
};

class HostileAnswer : public UntrustedInput, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(HostileAnswer, FailsTheRequestWithinMemoryAndLogBoundsAndRetries) {
    world.serve("3.1.0", {{"paths", {{kVersionPath, GetParam().fault}}}});
    auto launcher = world.startLauncher();
    ASSERT_TRUE(runsWithinBoundsUntil(*launcher, is(kRetrying)));
    EXPECT_TRUE(anyMessage(world, startsWith(GetParam().failure))) << world.logText();

    const long peak = statusKb(launcher->pid(), "VmHWM");
    RecordProperty("peak_rss_kb", std::to_string(peak));
    RecordProperty("log_bytes", std::to_string(fileSize(world.logFile())));
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, kMemoryBoundKb);
    EXPECT_LT(fileSize(world.logFile()), kLogBoundBytes);
    EXPECT_FALSE(launcher->waitExit(0ms)) << "the launcher must wait for its next attempt";
    EXPECT_FALSE(fs::exists(world.installedBundle()));
}

const std::string kFailedGet = "Failed getRequest to '";

INSTANTIATE_TEST_SUITE_P(
    UpdateService, HostileAnswer,
    ::testing::Values(
        // 40 KB that the JSON library would read into 20,000 levels.
        AnswerCase{"NestedArrays",
                   {{"body", std::string(20000, '[') + std::string(20000, ']')},
                    {"contentType", "application/json"}},
                   "Failed to parse response from '"},
        // Valid JSON (the answer, then white space) of 500 MB, size announced or not.
        AnswerCase{"HugeWithLength", {{"padTo", 500'000'000}}, kFailedGet},
        AnswerCase{"HugeChunked", {{"padTo", 500'000'000}, {"chunked", true}}, kFailedGet}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return info.param.name; });

// --- https only ------------------------------------------------------------------------------

enum class Leak { ArchiveAddress, FileArchiveAddress, ArchiveRedirect, AnswerRedirect };

struct LeakCase {
    std::string name;
    Leak leak;
    friend void PrintTo(const LeakCase& c, std::ostream* out) { *out << c.name; }
};

class PlainHttp : public UntrustedInput, public ::testing::WithParamInterface<LeakCase> {};

TEST_P(PlainHttp, NothingIsFetchedOutsideHttps) {
    // Offers the same files as the update service over plain HTTP.
    const fixture::PlainHttpServer plain{world.path() / "root"};
    std::string failure = kRetrying;
    switch (GetParam().leak) {
        case Leak::ArchiveAddress:
        case Leak::FileArchiveAddress: {
            world.serve("3.1.0");
            const std::string address = GetParam().leak == Leak::ArchiveAddress
                                            ? plain.url("/app.tar")
                                            : "file://" + (world.path() / "root/app.tar").string();
            auto answer = launcher_test::updateAnswer("3.1.0");
            for (const char* arch : {"arm64", "x86_64"}) {
                answer["version"]["update"][arch]["file"] = address;
            }
            world.answer(answer);
            // Refused at once, like an answer without an archive.
            failure = "The archive address is not https: '" + address + "'";
            break;
        }
        case Leak::ArchiveRedirect:
            world.serve("3.1.0",
                        {{"paths", {{"/app.tar", {{"location", plain.url("/app.tar")}}}}}});
            break;
        case Leak::AnswerRedirect:
            world.serve("3.1.0",
                        {{"paths", {{kVersionPath, {{"location", plain.url("/update.json")}}}}}});
            break;
    }
    auto launcher = world.startLauncher();
    ASSERT_TRUE(runsWithinBoundsUntil(*launcher, is(failure)));
    EXPECT_EQ(plain.requests(), 0);
    EXPECT_FALSE(fs::exists(world.installedBundle()));
    if (GetParam().leak == Leak::ArchiveAddress || GetParam().leak == Leak::FileArchiveAddress) {
        EXPECT_TRUE(world.service().recordsFor("/app.tar").empty());
        EXPECT_FALSE(world.logHas(kRetrying)) << "no attempt is repeated";
    }
}

INSTANTIATE_TEST_SUITE_P(Addresses, PlainHttp,
                         ::testing::Values(LeakCase{"ArchiveAddress", Leak::ArchiveAddress},
                                           LeakCase{"FileArchiveAddress", Leak::FileArchiveAddress},
                                           LeakCase{"ArchiveRedirect", Leak::ArchiveRedirect},
                                           LeakCase{"AnswerRedirect", Leak::AnswerRedirect}),
                         [](const ::testing::TestParamInfo<LeakCase>& info) {
                             return info.param.name;
                         });

// --- deep links and log records ----------------------------------------------------------------

TEST_F(UntrustedInput, DeeplinkThatIsNotUtf8StartsTheApplicationAndTheLauncherEnds) {
    world.serve("3.1.0");
    const std::string link = "zentravo://open\xff\xfe";
    auto launcher = world.startLauncher({link});
    ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();

    EXPECT_TRUE(world.logHas("Update process finished successfully")) << world.logText();
    EXPECT_TRUE(world.logHas("   Param 1: 'zentravo://open\\xFF\\xFE'")) << world.logText();
    const auto starts = world.mainAppEntries("start");
    ASSERT_EQ(starts.size(), 1u) << world.logText();
    const auto argv = starts[0].at("argv").get<std::vector<std::string>>();
    ASSERT_EQ(argv.size(), 3u);
    EXPECT_TRUE(argv[1].starts_with("zentravo://open"));
    EXPECT_EQ(argv[2], "--launcher");
}

// What a forged record would look like; it must only ever appear inside a genuine one, escaped.
const std::string kForged = "[2026-01-01 00:00:00.000] [launcher] [info] Forged record";

void expectNoForgedRecord(const LauncherWorld& world) {
    EXPECT_FALSE(world.logHas("Forged record")) << world.logText();
    EXPECT_TRUE(anyMessage(world, [](const std::string& message) {
        return message.find("\\n" + kForged) != std::string::npos;
    })) << world.logText();
}

TEST_F(UntrustedInput, LineBreakInAnArgumentCannotForgeALogRecord) {
    auto mainApp = world.startMainApp();
    auto launcher = world.startLauncher({"zentravo://open\n" + kForged});
    ASSERT_EQ(launcher->waitExit(30s), 0) << world.logText();
    EXPECT_TRUE(world.logHas("   Param 1: 'zentravo://open\\n" + kForged + "'"));
    expectNoForgedRecord(world);
}

TEST_F(UntrustedInput, LineBreakInAnAnswerCannotForgeALogRecord) {
    world.serve("3.1.0", {{"paths",
                           {{kVersionPath,
                             {{"body", "{\"appVersion\":\r\n" + kForged + "\n"},
                              {"contentType", "application/json"}}}}}});
    auto launcher = world.startLauncher();
    ASSERT_TRUE(runsWithinBoundsUntil(*launcher, is(kRetrying)));
    expectNoForgedRecord(world);
}

// The first control character in `log` that is not a record's own line break (C0, DEL, C1, the
// bidirectional controls), as its offset; npos when there is none.
std::size_t firstRawControl(std::string_view log) {
    const auto at = [&](std::size_t i) {
        return i < log.size() ? static_cast<unsigned char>(log[i]) : 0u;
    };
    for (std::size_t i = 0; i < log.size(); ++i) {
        const unsigned char c = at(i);
        const bool found =
            (c < 0x20 && c != '\n') || c == 0x7F ||
            (c == 0xC2 && at(i + 1) >= 0x80 && at(i + 1) <= 0x9F) ||
            (c == 0xD8 && at(i + 1) == 0x9C) ||
            (c == 0xE2 && at(i + 1) == 0x80 &&
             (at(i + 2) == 0x8E || at(i + 2) == 0x8F ||
              (at(i + 2) >= 0xA8 && at(i + 2) <= 0xAE))) ||
            (c == 0xE2 && at(i + 1) == 0x81 && at(i + 2) >= 0xA6 && at(i + 2) <= 0xA9);
        if (found) {
            return i;
        }
    }
    return std::string_view::npos;
}

// A deep link handed to the running main application: the link arrives as it was, and no log
// line (the socket event's JSON dump included) holds one of its control characters raw.
TEST_F(UntrustedInput, ControlCharactersOfADeeplinkReachTheLogEscaped) {
    auto mainApp = world.startMainApp();
    const std::string link =
        "zentravo://open?a=\x7f&b=\xc2\x9b"
        "31m&c=\xc2\x85&d=\xe2\x80\xae&e=\xe2\x81\xa6&f=\x1b[2J";
    auto launcher = world.startLauncher({link});
    ASSERT_EQ(launcher->waitExit(30s), 0) << world.logText();

    const auto events = world.mainAppEvents();
    ASSERT_EQ(events.size(), 1u) << world.logText();
    EXPECT_EQ(events[0].value("clientName", ""), link);
    const std::string log = world.logText();
    EXPECT_TRUE(anyMessage(world, startsWith("Preparing socket event -> '{"))) << log;
    EXPECT_NE(log.find("\\u007F&b=\\u009B31m&c=\\u0085&d=\\u202E&e=\\u2066&f=\\u001b[2J"),
              std::string::npos)
        << log;
    const std::size_t raw = firstRawControl(log);
    EXPECT_EQ(raw, std::string::npos)
        << log.substr(raw == std::string::npos ? 0 : raw - std::min<std::size_t>(raw, 200), 400);
}

// libcurl repeats the proxy it was given in its error text.
TEST_F(UntrustedInput, LineBreakInTheProxyCannotForgeALogRecordThroughTheNetworkError) {
    world.serve("3.1.0");
    world.extraEnvironment["http_proxy"] = "http://proxy\n" + kForged + ":3128";
    auto launcher = world.startLauncher();
    ASSERT_TRUE(runsWithinBoundsUntil(*launcher, is(kRetrying)));
    EXPECT_TRUE(anyMessage(world, startsWith("[checkCriticalNetworkErrors] "))) << world.logText();
    expectNoForgedRecord(world);
}

}  // namespace
