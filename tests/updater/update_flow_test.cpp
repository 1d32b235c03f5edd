#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "app_start.hpp"
#include "exceptions.hpp"
#include "file_helpers.hpp"
#include "system.hpp"
#include "update_flow_fixture.hpp"

namespace updater_test {
namespace {

std::vector<std::string> mainAppArguments(const nlohmann::json& start) {
    return start.at("argv").get<std::vector<std::string>>();
}

fs::path installedProgram(const fs::path& last) {
    return last / "Zentravo.app" / "Contents" / "MacOS" / "Zentravo";
}

TEST_F(UpdateFlowTest, FreshInstallDownloadsInstallsAndStartsTheApplication) {
    publishArchive("2.0.0");
    answer(updateAnswer("2.0.0"));
    startService();
    const auto updater = makeUpdater();

    EXPECT_EQ(updater->startUpdateProcess("", ""), 0);

    const std::vector<std::string> expected{status(kChecking), status(kConnecting),
                                            status(kDownloading), status(kInstalling),
                                            status(kStarting)};
    EXPECT_EQ(page_.steps(), expected);
    // The request names what is installed: nothing yet.
    const auto requests = service().recordsFor("/v1/tarvine/update/0.0.0");
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(service().recordsFor("/app.tar").size(), 1U);

    EXPECT_EQ(zentravo::getCurrentVersion(lastFolder()).to_string(), "2.0.0");
    EXPECT_FALSE(fs::exists(appFolder() / "2.0.0"));
    EXPECT_FALSE(fs::exists(tmpFolder() / "app.tar"));

    const auto starts = mainAppStarts();
    ASSERT_EQ(starts.size(), 1U);
    const std::vector<std::string> argv{installedProgram(lastFolder()).string(), "--launcher"};
    EXPECT_EQ(mainAppArguments(starts[0]), argv);
    const auto events = mainAppEvents();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().value("subType", ""), "kClientStarted");
    EXPECT_TRUE(log_.contains("info V3 App running detected"));
    EXPECT_TRUE(log_.contains("info Update process finished successfully"));

    const auto found = eventsOfType("Launcher Update Found");
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0]["event_properties"]["app_version_installed"], "0.0.0");
    EXPECT_EQ(found[0]["event_properties"]["app_version_to_update"], "2.0.0");
    const auto success = eventsOfType("Launcher Update Success");
    ASSERT_EQ(success.size(), 1U);
    EXPECT_EQ(success[0]["event_properties"]["app_version_installed"], "2.0.0");
    EXPECT_TRUE(eventsOfType("Launcher Update Failed").empty());
}

TEST_F(UpdateFlowTest, DeepLinkAndBootArgumentArriveAsSeparateUnchangedArguments) {
    preinstall("2.0.0");
    answer(updateAnswer("2.0.0"));
    startService();
    const auto updater = makeUpdater();
    const std::string deeplink = "zentravo://open?game=a b&x='1'\"$(id)`;|";
    const std::string boot = "--boot=\\path with space";

    EXPECT_EQ(updater->startUpdateProcess(deeplink, boot), 0);

    const auto starts = mainAppStarts();
    ASSERT_EQ(starts.size(), 1U);
    const std::vector<std::string> argv{installedProgram(lastFolder()).string(), deeplink, boot,
                                        "--launcher"};
    EXPECT_EQ(mainAppArguments(starts[0]), argv);
    const auto events = mainAppEvents();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().value("subType", ""), "kClientAdded");
    EXPECT_EQ(events.back().value("clientName", ""), deeplink);
    EXPECT_TRUE(log_.contains("info V3 App running detected. Deeplink '" + deeplink +
                              "' sent successfully"));
}

// What the answer says against what is installed.
struct VersionCase {
    const char* name;
    std::string installed;  // empty: nothing installed
    nlohmann::json answer;
    std::string requestedWith;
    bool downloads;
    int result;
    std::string lastAfter;  // version in "last" afterwards
};

void PrintTo(const VersionCase& c, std::ostream* os) {
    *os << c.name;
}

class VersionAnswerTest : public UpdateFlowTest,
                          public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionAnswerTest, DecidesWhetherToInstall) {
    const VersionCase& c = GetParam();
    if (!c.installed.empty())
        preinstall(c.installed);
    std::string archiveVersion = c.answer.is_object() ? c.answer.value("appVersion", "") : "";
    try {
        (void)semver::version::from_string(archiveVersion);
    } catch (const std::invalid_argument&) {
        archiveVersion = "9.9.9";
    }
    publishArchive(archiveVersion);
    answer(c.answer);
    startService();
    const auto updater = makeUpdater();

    EXPECT_EQ(updater->startUpdateProcess("", ""), c.result);

    EXPECT_EQ(service().recordsFor("/v1/tarvine/update/" + c.requestedWith).size(), 1U);
    EXPECT_EQ(service().recordsFor("/app.tar").size(), c.downloads ? 1U : 0U);
    EXPECT_EQ(eventsOfType("Launcher Update Found").size(), c.downloads ? 1U : 0U);
    EXPECT_EQ(zentravo::getCurrentVersion(lastFolder()).to_string(), c.lastAfter);
    if (c.result == 0) {
        EXPECT_EQ(mainAppStarts().size(), 1U);
        EXPECT_EQ(page_.steps().back(), status(kStarting));
    } else {
        EXPECT_TRUE(mainAppStarts().empty());
        EXPECT_EQ(page_.calls().back(),
                  "notifyErrorWithRetry('" + kRetriesError + "','restartApp')");
        const auto failed = eventsOfType("Launcher Update Failed");
        ASSERT_EQ(failed.size(), 1U);
        EXPECT_EQ(failed[0]["event_properties"]["reason"], "launcher.process.error.retries");
        EXPECT_EQ(failed[0]["event_properties"]["app_version_installed"], c.requestedWith);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, VersionAnswerTest,
    ::testing::Values(
        VersionCase{"UpToDate", "2.0.0", updateAnswer("2.0.0"), "2.0.0", false, 0, "2.0.0"},
        VersionCase{"OlderAnswer", "2.0.0", updateAnswer("1.5.0"), "2.0.0", false, 0, "2.0.0"},
        VersionCase{"NewerAnswer", "1.0.0", updateAnswer("1.0.1"), "1.0.0", true, 0, "1.0.1"},
        VersionCase{"ZeroAnswerReinstalls", "2.0.0", updateAnswer("0.0.0"), "2.0.0", true, 0,
                    "0.0.0"},
        VersionCase{"InstalledPrereleaseOfZeroCountsAsNothing", "0.0.0-rc", updateAnswer("1.0.0"),
                    "0.0.0", true, 0, "1.0.0"},
        VersionCase{"ReleaseAfterItsCandidate", "1.7.0-rc.1", updateAnswer("1.7.0"), "1.7.0-rc.1",
                    true, 0, "1.7.0"},
        VersionCase{"UnparsableVersion", "1.0.0", updateAnswer("latest"), "1.0.0", false, 2,
                    "1.0.0"},
        VersionCase{"NoVersionAtAll", "", nlohmann::json::object(), "0.0.0", false, 2, "0.0.0"},
        VersionCase{"NoArchiveAddress", "1.0.0", nlohmann::json{{"appVersion", "3.0.0"}}, "1.0.0",
                    false, 2, "1.0.0"}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return std::string{info.param.name}; });

TEST_F(UpdateFlowTest, TwoServerErrorsThenSuccessCountDownOneAndTwoSeconds) {
    publishArchive("2.0.0");
    answer(updateAnswer("2.0.0"));
    startService({{"paths", {{"/v1/tarvine/update/*", {{"status", 500}, {"times", 2}}}}}});
    const auto updater = makeUpdater();

    EXPECT_EQ(updater->startUpdateProcess("", ""), 0);

    const std::vector<std::string> expected{
        status(kChecking), status(kConnecting),  "showCloseButton()",  status(countdown(1)),
        status(kRetrying), "showCloseButton()",  status(countdown(2)), status(countdown(1)),
        status(kRetrying), status(kDownloading), status(kInstalling),  status(kStarting)};
    EXPECT_EQ(page_.steps(), expected);
    EXPECT_EQ(service().recordsFor("/v1/tarvine/update/0.0.0").size(), 3U);
    EXPECT_EQ(log_.contains("error Retriable error executing checker"), true);
}

TEST_F(UpdateFlowTest, PinMismatchStopsAtOnceWithTheConnectionError) {
    publishArchive("2.0.0");
    answer(updateAnswer("2.0.0"));
    startService({{"wrongCertificate", true}});
    const auto updater = makeUpdater();

    EXPECT_EQ(updater->startUpdateProcess("", ""), 2);

    const std::vector<std::string> expected{
        status(kChecking), status(kConnecting), "showCloseButton()",
        "notifyErrorWithRetry('" + kConnectionError + "','restartApp')"};
    EXPECT_EQ(page_.calls(), expected);
    EXPECT_TRUE(log_.containsPrefix("error UnrecoverableException -> "));
    const auto failed = eventsOfType("Launcher Update Failed");
    ASSERT_EQ(failed.size(), 1U);
    EXPECT_EQ(failed[0]["event_properties"]["reason"], "launcher.process.error.connection");
    EXPECT_EQ(failed[0]["event_properties"]["app_version_installed"], "0.0.0");
    EXPECT_TRUE(mainAppStarts().empty());
}

TEST_F(UpdateFlowTest, EightFailuresGiveOneRetriesFailure) {
    answer(updateAnswer("2.0.0"));
    startService({{"paths", {{"/v1/tarvine/update/*", {{"status", 500}}}}}});
    const auto updater = makeUpdater();

    EXPECT_EQ(updater->startUpdateProcess("", ""), 2);

    EXPECT_EQ(service().recordsFor("/v1/tarvine/update/0.0.0").size(), 8U);
    EXPECT_EQ(page_.count("showCloseButton()"), 8);
    EXPECT_EQ(page_.count(status(kRetrying)), 7);
    EXPECT_EQ(page_.count(status(countdown(30))), 1);  // the last 30 is never counted down
    EXPECT_EQ(page_.calls().back(), "notifyErrorWithRetry('" + kRetriesError + "','restartApp')");
    const auto failed = eventsOfType("Launcher Update Failed");
    ASSERT_EQ(failed.size(), 1U);
    EXPECT_EQ(failed[0]["event_properties"]["reason"], "launcher.process.error.retries");
    EXPECT_TRUE(log_.contains("error Launcher auto update was not successfully checked"));
}

TEST_F(UpdateFlowTest, StopDuringACountdownEndsWithinASecond) {
    answer(updateAnswer("2.0.0"));
    startService({{"paths", {{"/v1/tarvine/update/*", {{"status", 500}}}}}});
    // The shipped pacing: a real one-second countdown.
    const auto updater = std::make_unique<zentravo::Updater>(page_.callback());
    std::atomic<int> result{-1};
    std::thread flow{[&] { result = updater->startUpdateProcess("", ""); }};
    while (!page_.contains(status(countdown(2))))
        std::this_thread::sleep_for(5ms);
    const auto stopAt = std::chrono::steady_clock::now();
    updater->stopUpdateProcess();
    flow.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 1s);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(page_.calls().back(), status(countdown(2)));
    EXPECT_EQ(service().recordsFor("/v1/tarvine/update/0.0.0").size(), 2U);
    EXPECT_TRUE(log_.contains("info Stopping update process by getLatestVersion"));
    EXPECT_TRUE(eventsOfType("Launcher Update Failed").empty());
}

TEST_F(UpdateFlowTest, StopDuringTheDownloadRetriesEndsBeforeInstalling) {
    preinstall("1.0.0");
    answer(updateAnswer("2.0.0"));
    startService({{"paths", {{"/app.tar", {{"status", 503}}}}}});
    const auto updater = std::make_unique<zentravo::Updater>(page_.callback());
    std::atomic<int> result{-1};
    std::thread flow{[&] { result = updater->startUpdateProcess("", ""); }};
    while (!page_.contains(status(countdown(1))))
        std::this_thread::sleep_for(5ms);
    updater->stopUpdateProcess();
    flow.join();
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(log_.contains("info Stopping update process by downloadUpdate"));
    EXPECT_FALSE(page_.contains(status(kInstalling)));
    EXPECT_TRUE(eventsOfType("Launcher Update Success").empty());
    EXPECT_EQ(zentravo::getCurrentVersion(lastFolder()).to_string(), "1.0.0");
}

// A download that breaks off, or is shorter than announced, is retried and never installed.
TEST_F(UpdateFlowTest, BrokenDownloadIsRetriedNotInstalled) {
    preinstall("1.0.0");
    publishArchive("2.0.0");
    answer(updateAnswer("2.0.0"));
    startService({{"paths", {{"/app.tar", {{"truncateAfter", 1000}, {"times", 1}}}}}});
    const auto updater = makeUpdater();

    EXPECT_EQ(updater->startUpdateProcess("", ""), 0);

    EXPECT_EQ(service().recordsFor("/app.tar").size(), 2U);
    EXPECT_EQ(page_.count("showCloseButton()"), 1);
    EXPECT_EQ(zentravo::getCurrentVersion(lastFolder()).to_string(), "2.0.0");
}

// Archives that download well but do not unpack.
class BrokenArchiveTest : public UpdateFlowTest, public ::testing::WithParamInterface<bool> {};

TEST_P(BrokenArchiveTest, FailsInstallationAndKeepsThePreviousVersion) {
    preinstall("1.0.0");
    const fs::path archive = publishArchive("2.0.0");
    if (GetParam()) {
        fs::resize_file(archive, fs::file_size(archive) / 2);
    } else {
        std::ofstream{archive, std::ios::trunc} << std::string(4096, 'x');
    }
    answer(updateAnswer("2.0.0"));
    startService();
    const auto updater = makeUpdater();

    EXPECT_EQ(updater->startUpdateProcess("", ""), 2);

    EXPECT_EQ(page_.calls().back(), "notifyError('" + kInstallingError + "')");
    EXPECT_TRUE(log_.containsPrefix("error Uncompress failed: "));
    const auto failed = eventsOfType("Launcher Update Failed");
    ASSERT_EQ(failed.size(), 1U);
    EXPECT_EQ(failed[0]["event_properties"]["reason"], "launcher.process.error.installing");
    EXPECT_EQ(failed[0]["event_properties"]["app_version_installed"], "1.0.0");
    EXPECT_TRUE(eventsOfType("Launcher Update Success").empty());
    // "last" still holds the previous version, whole and startable.
    EXPECT_EQ(zentravo::getCurrentVersion(lastFolder()).to_string(), "1.0.0");
    EXPECT_TRUE(
        fs::is_regular_file(zentravo::system::bundleExecutable(lastFolder() / "Zentravo.app")));
    EXPECT_FALSE(fs::exists(appFolder() / "2.0.0"));
    EXPECT_FALSE(fs::exists(tmpFolder() / "app.tar"));
    EXPECT_TRUE(mainAppStarts().empty());
}

INSTANTIATE_TEST_SUITE_P(Archives, BrokenArchiveTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Truncated" : "Garbage"; });

TEST_F(UpdateFlowTest, ApplicationThatNeverAnswersButRunsIsFoundByProcess) {
    preinstall("2.0.0");
    answer(updateAnswer("2.0.0"));
    startService();
    ::setenv("ZENTRAVO_MAINAPP_MODE", "wrong", 1);
    const auto updater = makeUpdater();

    EXPECT_EQ(updater->startUpdateProcess("", ""), 0);

    for (int poll = 1; poll <= 30; ++poll) {
        EXPECT_TRUE(log_.contains("debug V3 App running not detected yet. Retrying " +
                                  std::to_string(poll) + "..."));
    }
    EXPECT_FALSE(log_.contains("debug V3 App running not detected yet. Retrying 31..."));
    EXPECT_TRUE(log_.contains("info V3 App running detected by process"));
    EXPECT_TRUE(eventsOfType("Launcher App Start Failed").empty());
    EXPECT_FALSE(log_.containsPrefix("warning Message box not shown"));
}

TEST_F(UpdateFlowTest, ApplicationThatNeverStartsIsReportedWithAMessageBox) {
    preinstall("2.0.0");
    answer(updateAnswer("2.0.0"));
    startService();
    ::setenv("ZENTRAVO_MAINAPP_MODE", "no-such-mode", 1);  // the program refuses and ends
    // The process check looks at the whole machine: wait out main applications of other tests.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (zentravo::system::isV3AlreadyRunning()) {
        if (std::chrono::steady_clock::now() > deadline) {
            GTEST_SKIP() << "another tagged main application keeps running on this machine";
        }
        std::this_thread::sleep_for(100ms);
    }
    const auto updater = makeUpdater();

    EXPECT_EQ(updater->startUpdateProcess("", ""), 0);

    if (log_.contains("info V3 App running detected") ||
        log_.contains("info V3 App running detected by process")) {
        // The program started here cannot answer: a main application of another run did.
        GTEST_SKIP() << "another main application answered on this machine";
    }
    EXPECT_TRUE(log_.contains("debug V3 App running not detected yet. Retrying 30..."));
    EXPECT_TRUE(log_.contains("error V3 App running not detected."));
    EXPECT_TRUE(
        log_.contains("warning Message box not shown (no display): Zentravo - " + kCrashText));
    const auto failed = eventsOfType("Launcher App Start Failed");
    ASSERT_EQ(failed.size(), 1U);
    EXPECT_EQ(failed[0]["event_properties"]["app_version_installed"], "2.0.0");
}

TEST_F(UpdateFlowTest, StopWhileWaitingForTheApplicationEndsTheSequence) {
    preinstall("2.0.0");
    answer(updateAnswer("2.0.0"));
    startService();
    ::setenv("ZENTRAVO_MAINAPP_MODE", "wrong", 1);
    const auto updater = std::make_unique<zentravo::Updater>(page_.callback());
    std::atomic<int> result{-1};
    std::thread flow{[&] { result = updater->startUpdateProcess("", ""); }};
    while (!log_.contains("debug V3 App running not detected yet. Retrying 2...")) {
        std::this_thread::sleep_for(5ms);
    }
    updater->stopUpdateProcess();
    flow.join();
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(log_.contains("debug V3 App running not detected yet. Retrying 4..."));
    EXPECT_TRUE(log_.contains("info V3 App running detected by process"));
    EXPECT_TRUE(log_.contains("info Stopping update process by runApp"));
}

TEST_F(UpdateFlowTest, StopBeforeTheLaunchSkipsTheSocketAndChecksAtOnce) {
    preinstall("2.0.0");
    const auto updater = std::make_unique<zentravo::Updater>(page_.callback());
    updater->stopUpdateProcess();
    const auto started = std::chrono::steady_clock::now();
    updater->runApp(lastFolder(), "zentravo://x", "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_FALSE(log_.containsPrefix("debug V3 App running not detected yet."));
    EXPECT_TRUE(log_.contains("info V3 App running detected by process") ||
                log_.contains("error V3 App running not detected."));
    ASSERT_TRUE(fixture::waitForRecord(mainAppRecord(), "listening", 10s));
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(mainAppEvents().empty());
}

TEST_F(UpdateFlowTest, NoHomeFolderFailsWithTheErrorOnThePage) {
    ::unsetenv("HOME");
    ::unsetenv("XDG_DATA_HOME");
    const auto updater = makeUpdater();
    EXPECT_EQ(updater->startUpdateProcess("", ""), 2);
    const std::vector<std::string> expected{
        status(kChecking), "notifyErrorWithRetry('" + kRetriesError + "','restartApp')"};
    EXPECT_EQ(page_.calls(), expected);
    EXPECT_FALSE(fs::exists("ZentravoV3"));
}

TEST_F(UpdateFlowTest, VersionQueryFailuresAreTheOnesTheRetryEngineSorts) {
    auto& service = startService();
    const std::string url = service.url("/v1/tarvine/update/1.0.0");
    const auto expectFailure = [&](const nlohmann::json& config, const std::string& what) {
        service.setConfig(config);
        try {
            (void)zentravo::Updater::getLatestVersion(url);
            ADD_FAILURE() << config.dump();
        } catch (const std::exception& e) {
            EXPECT_NE(std::string{e.what()}.find(what), std::string::npos)
                << config.dump() << ": " << e.what();
        }
    };
    const std::string notChecked = "Launcher auto update was not successfully checked";
    expectFailure({{"paths", {{"/v1/tarvine/update/*", {{"status", 404}}}}}}, notChecked);
    expectFailure({{"paths", {{"/v1/tarvine/update/*", {{"invalidJson", true}}}}}}, notChecked);
    nlohmann::json noBase = updateAnswer("2.0.0");
    noBase["version"].erase("majorBaseVersion");
    expectFailure({{"paths", {{"/v1/tarvine/update/*", {{"json", noBase}}}}}},
                  "key 'majorBaseVersion' not found");
    try {
        service.setConfig({{"wrongCertificate", true}});
        (void)zentravo::Updater::getLatestVersion(url);
        ADD_FAILURE() << "pin mismatch accepted";
    } catch (const zentravo::except::UnrecoverableException&) {
    }

    service.setConfig(nlohmann::json::object());
    answer(updateAnswer("2.0.0"));
    const auto latest = zentravo::Updater::getLatestVersion(url);
    EXPECT_EQ(latest.appVersion, "2.0.0");
    EXPECT_EQ(latest.version.update.x86_64.file, service.url("/app.tar"));
    EXPECT_TRUE(log_.contains("info Requesting last version available"));
    EXPECT_TRUE(
        log_.containsPrefix("info Last version response: {\n    \"appVersion\": \"2.0.0\","));
}

TEST_F(UpdateFlowTest, DownloadReportsProgressAndRefusesIncompleteFiles) {
    // The wait before the answer makes the first report of the size come well after the
    // transfer's start, so at least one page update is due however fast the body flows.
    auto& service = startService({{"paths", {{"/blob/*", {{"delayMs", 300}}}}}});
    const auto updater = makeUpdater();
    constexpr std::int64_t kSize = 16 << 20;
    const fs::path target = tmpFolder() / "blob";
    updater->downloadUpdate(service.url("/blob/" + std::to_string(kSize)), target);
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(target)), kSize);
    std::int64_t previous = 0;
    int progressCalls = 0;
    const std::string prefix = "updateProgressStatus('" + kDownloading + "', ";
    for (const auto& call : page_.calls()) {
        ASSERT_EQ(call.rfind(prefix, 0), 0U) << call;
        std::int64_t downloaded = 0;
        std::int64_t total = 0;
        ASSERT_EQ(std::sscanf(call.c_str() + prefix.size(), "%ld, %ld)", &downloaded, &total), 2);
        EXPECT_EQ(total, kSize);
        EXPECT_GE(downloaded, previous);
        EXPECT_LE(downloaded, total);
        previous = downloaded;
        ++progressCalls;
    }
    EXPECT_GE(progressCalls, 1);

    const auto expectUnable = [&](const std::string& path) {
        try {
            updater->downloadUpdate(service.url(path), tmpFolder() / "missing");
            ADD_FAILURE() << path;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "ERROR - Unable to downloadUpdate");
        }
    };
    expectUnable("/no-such-archive.tar");
    service.setConfig({{"paths", {{"/blob/*", {{"truncateAfter", 4096}}}}}});
    EXPECT_ANY_THROW(updater->downloadUpdate(service.url("/blob/100000"), tmpFolder() / "short"));
    // Nothing of a failed download stays behind to be taken for an archive.
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmpFolder() / "missing")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmpFolder() / "short")));
}

TEST_F(UpdateFlowTest, DownloadNeverWritesThroughWhatLiesAtTheTarget) {
    auto& service = startService();
    const auto updater = makeUpdater();
    const fs::path victim = tmpFolder() / "victim";
    const fs::path target = tmpFolder() / "target";
    for (const bool link : {true, false}) {
        std::ofstream{victim} << "theirs";
        if (link) {
            fs::create_symlink(victim, target);
        } else {
            fs::create_hard_link(victim, target);
        }
        updater->downloadUpdate(service.url("/blob/1000"), target);
        EXPECT_EQ(fs::file_size(target), 1000u);
        EXPECT_FALSE(fs::is_symlink(target));
        EXPECT_EQ((fs::status(target).permissions() & fs::perms::all),
                  fs::perms::owner_read | fs::perms::owner_write);
        std::ifstream in{victim};
        const std::string kept{std::istreambuf_iterator<char>{in}, {}};
        EXPECT_EQ(kept, "theirs") << link;
        fs::remove(target);
    }
}

// The progress pace belongs to the run, not to one transfer: after a broken transfer and the
// retry's countdown, the retried download's first report of its size reaches the page at once
// (a pace started afresh would hold back every report of a transfer shorter than its interval).
TEST_F(UpdateFlowTest, RetriedDownloadGoesOnWithTheRunsProgressPace) {
    auto& service = startService({{"paths", {{"/blob/*", {{"truncateAfter", 4096}}}}}});
    const auto updater = makeUpdater();
    EXPECT_ANY_THROW(updater->downloadUpdate(service.url("/blob/100000"), tmpFolder() / "first"));
    service.setConfig(nlohmann::json::object());
    std::this_thread::sleep_for(300ms);  // the countdown between two attempts
    const std::size_t before = page_.calls().size();
    constexpr std::int64_t kSize = 32 << 10;
    updater->downloadUpdate(service.url("/blob/" + std::to_string(kSize)), tmpFolder() / "second");
    const auto calls = page_.calls();
    ASSERT_GT(calls.size(), before);
    const std::string prefix = "updateProgressStatus('" + kDownloading + "', ";
    EXPECT_EQ(calls[before].rfind(prefix, 0), 0U) << calls[before];
    EXPECT_NE(calls[before].find(", " + std::to_string(kSize) + ")"), std::string::npos)
        << calls[before];
}

TEST_F(UpdateFlowTest, PageTextsFollowTheSystemLanguage) {
    std::ifstream file{fs::path{LAUNCHER_SOURCE_DIR} / "resources" / "translations" / "de.json"};
    const auto german = nlohmann::json::parse(file);
    ::setenv("LANGUAGE", "de", 1);
    auto updater = makeUpdater();
    EXPECT_TRUE(updater->isSelfUpdateChecked());
    EXPECT_FALSE(updater->isValidSelfUpdateFound());
    updater->showConnectionError();
    updater->showRetriesError();
    updater->sendMessageToUI("a'b");
    ::setenv("LANGUAGE", "xx", 1);  // no such translation: English stays
    makeUpdater()->showConnectionError();
    const std::vector<std::string> expected{
        "notifyErrorWithRetry('" + german["launcher.process.error.connection"].get<std::string>() +
            "','restartApp')",
        "notifyErrorWithRetry('" + german["launcher.process.error.retries"].get<std::string>() +
            "','restartApp')",
        "updateProgressStatus('a\\'b');",
        "notifyErrorWithRetry('" + kConnectionError + "','restartApp')"};
    EXPECT_EQ(page_.calls(), expected);
}

TEST(UpdaterPathsTest, FoldersAndDownloadTarget) {
    const launcher_test::SavedEnvironment environment{"HOME", "XDG_DATA_HOME"};
    EXPECT_EQ(zentravo::Updater::getAppPath("/data", "1.2.3"),
              fs::path{"/data/ZentravoV3/app/1.2.3"});
    // The launcher's own download folder, and a name that is a plain file name whatever the
    // address holds.
    ::setenv("XDG_DATA_HOME", "/data", 1);
    const fs::path staging{"/data/ZentravoV3/download"};
    const std::vector<std::pair<std::string, fs::path>> cases{
        {"https://h/latest/app.tar", staging / "app.tar"},
        {"https://h/a/app.tar?sig=1/2", staging / "2"},
        {"https://h/a/app.tar?sig=x", staging / "app.tar_sig_x"},
        {"https://h/a/%2e%2e", staging / "_2e_2e"},
        {"https://h/a/..", {}},
        {"https://h/a/", {}},
        {"https://h/a/a\xc3\xa9 \n$(x);'", staging / "a______x___"},
        {"https://h/" + std::string(300, 'a'), staging / std::string(128, 'a')},
    };
    for (const auto& [url, expected] : cases) {
        EXPECT_EQ(zentravo::Updater::getDownloadPath(url), expected) << url;
    }
    ::setenv("XDG_DATA_HOME", "relative", 1);
    ::setenv("HOME", "/home/u", 1);
    EXPECT_EQ(zentravo::Updater::getDownloadPath("https://h/app.tar"),
              fs::path{"/home/u/.local/share/ZentravoV3/download/app.tar"});
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("HOME");
    EXPECT_EQ(zentravo::Updater::getDownloadPath("https://h/app.tar"), fs::path{});
}

}  // namespace
}  // namespace updater_test
