// The self-updater in real processes: a launcher stand-in installed as a bundle, the local update
// service serving the feed and signed archives, and the child's exit status and record.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "feed.hpp"
#include "file_helpers.hpp"
#include "mainapp_fixture.hpp"
#include "plain_http_server.hpp"
#include "private_mount.hpp"
#include "scratch_folder.hpp"
#include "signing.hpp"
#include "thread_stacks.hpp"
#include "update_service.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

std::string readAll(const fs::path& file) {
    std::ifstream in{file, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, {}};
}

void buildBundleArchive(const fs::path& output, const std::string& version) {
    feed::buildBundleArchive(output, version);
}

using FeedEntry = feed::Entry;

class SelfUpdate : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(root());
        fs::create_directories(holder());
        const fs::path installed = dir_ / "installed.tar.gz";
        buildBundleArchive(installed, "1.6.24");
        fixture::extractArchive(installed, holder());
        originalProgram_ = readAll(launcher());
    }

    fs::path root() const { return dir_ / "served"; }
    fs::path holder() const { return dir_ / "apps"; }
    fs::path launcher() const { return holder() / "Zentravo.app/Contents/MacOS/Zentravo"; }
    fs::path recordFile() const { return dir_ / "record.jsonl"; }
    fs::path skipFile() const { return dir_ / "data/ZentravoV3/skipped-launcher-version"; }

    // A signed archive of the stand-in at `version`, in the served folder.
    FeedEntry publish(const std::string& version) { return feed::publish(root(), version); }

    void writeFeed(const std::vector<FeedEntry>& entries) { feed::writeFeed(root(), entries); }

    // Runs the installed stand-in against the feed; its exit code (-signal when killed).
    std::optional<int> run(launcher_test::UpdateService& service, const std::string& answer,
                           const std::string& feedPath = "/appcast.xml") {
        fixture::ChildProcess child{
            {launcher().string(), "update", service.url(feedPath), answer},
            {"SELFUPDATE_PROBE_RECORD=" + recordFile().string(),
             "XDG_DATA_HOME=" + (dir_ / "data").string(), "HOME=" + (dir_ / "home").string()},
            {.output = outputFile()}};
        const auto status = child.waitExit(90s);
        if (!status) {
            fixture::printThreadStacks(child.pid(), "The self-update did not end in time:");
        }
        return status;
    }

    // What the runs wrote on standard output and error (their log), all runs together.
    fs::path outputFile() const { return dir_ / "output.txt"; }

    std::vector<json> records(const std::string& type) const {
        std::vector<json> out;
        for (const json& entry : fixture::readRecord(recordFile())) {
            if (entry.value("type", "") == type) {
                out.push_back(entry);
            }
        }
        return out;
    }

    // The launcher started by the update, once it has ended: what it reported of its check.
    std::optional<json> waitForRelaunch() {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto starts = records("start");
            if (starts.size() >= 2) {
                const pid_t pid = starts[1]["pid"];
                if (::kill(pid, 0) != 0) {
                    for (const json& entry : records("checked")) {
                        if (entry["pid"] == pid) {
                            return entry;
                        }
                    }
                    return json{};
                }
            }
            std::this_thread::sleep_for(50ms);
        }
        return std::nullopt;
    }

    std::string installedVersion() const {
        return zentravo::getCurrentVersion(holder()).to_string();
    }

    void expectOldLauncherUntouched() {
        EXPECT_EQ(installedVersion(), "1.6.24");
        EXPECT_EQ(readAll(launcher()), originalProgram_);
        std::vector<std::string> left;
        for (const auto& e : fs::directory_iterator{holder()}) {
            left.push_back(e.path().filename().string());
        }
        EXPECT_EQ(left, std::vector<std::string>{"Zentravo.app"});
        EXPECT_TRUE(records("start").size() == 1) << "no second launcher may start";
    }

    fixture::ScratchFolder dir_;
    std::string originalProgram_;
};

TEST_F(SelfUpdate, InstallWithGoodSignatureReplacesTheLauncherAndStartsIt) {
    const FeedEntry newer = publish("1.7.0");
    writeFeed({publish("1.6.30"), newer});
    launcher_test::UpdateService service{{.root = root()}};

    EXPECT_EQ(run(service, "install"), 0);

    const auto prompt = records("prompt");
    ASSERT_EQ(prompt.size(), 1u);
    EXPECT_EQ(prompt[0]["offered"], "1.7.0");
    EXPECT_EQ(prompt[0]["current"], "1.6.24");
    EXPECT_EQ(prompt[0]["checked"], true);
    EXPECT_EQ(prompt[0]["found"], true);
    const auto progress = records("progress");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back()["received"], newer.length);
    EXPECT_EQ(progress.back()["total"], newer.length);
    EXPECT_EQ(records("downloadEnded").size(), 1u);
    EXPECT_TRUE(records("installFailed").empty());

    const auto relaunched = waitForRelaunch();
    ASSERT_TRUE(relaunched.has_value()) << "the new launcher did not end";
    const auto starts = records("start");
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0]["version"], "1.6.24");
    EXPECT_EQ(starts[1]["version"], "1.7.0");
    EXPECT_EQ(starts[1]["args"], starts[0]["args"]);
    // Marked as the one that takes over, so that it waits for the old one's lock.
    EXPECT_EQ(starts[0]["relaunched"], false);
    EXPECT_EQ(starts[1]["relaunched"], true);
    EXPECT_EQ(installedVersion(), "1.7.0");
    // The new launcher found nothing newer than itself.
    EXPECT_EQ(*relaunched,
              (json{{"type", "checked"}, {"found", false}, {"pid", starts[1]["pid"]}}));
    EXPECT_EQ(service.recordsFor("/" + newer.file).size(), 1u);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator{holder()}) {
        left.push_back(e.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"Zentravo.app"});
}

TEST_F(SelfUpdate, BrokenDownloadsLeaveTheOldLauncherAndEndTheProcess) {
    struct Case {
        const char* name;
        std::function<void(FeedEntry&)> spoil;
        json fault;
    };
    const std::vector<Case> cases{
        {"signed by another key",
         [&](FeedEntry& e) {
             e.signature = signing::signFile(root() / e.file, signing::generate());
         },
         nullptr},
        {"signature of other bytes",
         [&](FeedEntry& e) { e.signature = publish("1.7.1").signature; }, nullptr},
        {"announced length too long", [](FeedEntry& e) { e.length += 1; }, nullptr},
        {"announced length too short", [](FeedEntry& e) { e.length -= 1; }, nullptr},
        {"truncated transfer", [](FeedEntry&) {}, json{{"truncateAfter", 1000}}},
        {"server error", [](FeedEntry&) {}, json{{"status", 500}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(recordFile());
        FeedEntry entry = publish("1.7.0");
        c.spoil(entry);
        writeFeed({entry});
        json config = json::object();
        if (!c.fault.is_null()) {
            config["paths"]["/" + entry.file] = c.fault;
        }
        launcher_test::UpdateService service{{.root = root(), .config = config}};

        EXPECT_EQ(run(service, "install"), 0);

        EXPECT_EQ(records("prompt").size(), 1u);
        EXPECT_EQ(records("installFailed").size(), 1u);
        expectOldLauncherUntouched();
    }
}

// An item whose archive is never checked: the download is what these tests look at.
FeedEntry unsignedEntry(const std::string& file, std::int64_t length) {
    return FeedEntry{"1.7.0", file, std::string(86, 'A') + "==", length};
}

// The bundle's folder on a small file system of its own, so that even a download nothing stops
// ends at a full disk rather than filling the machine's: room for the installed stand-in (the
// sanitizer build's is over 100 MB) and 64 MB more. Unmounted when dropped.
class SmallHolder {
  public:
    explicit SmallHolder(const fs::path& at) {
        const std::uintmax_t room = fs::file_size(SELFUPDATE_PROBE) + (std::uintmax_t{64} << 20);
        if (fixture::mountPrivateTmpfs(at, "size=" + std::to_string(room) + ",mode=0755")) {
            at_ = at;
        }
    }
    ~SmallHolder() {
        if (!at_.empty()) {
            ::umount2(at_.c_str(), MNT_DETACH);
        }
    }
    SmallHolder(const SmallHolder&) = delete;
    SmallHolder& operator=(const SmallHolder&) = delete;

    [[nodiscard]] bool mounted() const { return !at_.empty(); }
    [[nodiscard]] std::uint64_t freeBytes() const {
        struct statvfs s {};
        ::statvfs(at_.c_str(), &s);
        return static_cast<std::uint64_t>(s.f_bavail) * s.f_frsize;
    }

  private:
    fs::path at_;
};

TEST_F(SelfUpdate, AServerThatGoesOnSendingIsCutOffAtTheAnnouncedLength) {
    const SmallHolder small{holder()};
    if (!small.mounted()) {
        GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
    }
    fixture::extractArchive(dir_ / "installed.tar.gz", holder());
    const std::uint64_t freeBefore = small.freeBytes();
    const FeedEntry entry = unsignedEntry("endless.tar.gz", 1000);
    writeFeed({entry});
    // A terabyte of body, with that size announced or with none (chunked).
    const json endless = {{"status", 200}, {"body", "x"}, {"padTo", std::uint64_t{1} << 40}};
    for (const bool chunked : {false, true}) {
        SCOPED_TRACE(chunked ? "no size announced" : "a larger size announced");
        fs::remove(recordFile());
        fs::remove(outputFile());
        json fault = endless;
        fault["chunked"] = chunked;
        launcher_test::UpdateService service{
            {.root = root(), .config = {{"paths", {{"/" + entry.file, fault}}}}}};

        EXPECT_EQ(run(service, "install"), 0);

        const std::string failure = "Download of " + service.url("/" + entry.file) +
                                    " failed: answer larger than 1000 bytes";
        const auto failed = records("installFailed");
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0]["message"], failure);
        EXPECT_NE(readAll(outputFile()).find("Launcher self-update aborted: " + failure),
                  std::string::npos)
            << readAll(outputFile());
        // What was written went with the staging folder.
        expectOldLauncherUntouched();
        EXPECT_GE(small.freeBytes(), freeBefore);
    }
}

TEST_F(SelfUpdate, ARedirectAwayFromHttpsIsRefusedByTheLauncherAndSaidSo) {
    const fixture::PlainHttpServer plain{root()};
    const FeedEntry entry = unsignedEntry("launcher-1.7.0.tar.gz", 1000);
    writeFeed({entry});
    for (const std::string& target :
         {plain.url("/" + entry.file), std::string{"file:///etc/hostname"}}) {
        SCOPED_TRACE(target);
        fs::remove(recordFile());
        fs::remove(outputFile());
        launcher_test::UpdateService service{
            {.root = root(), .config = {{"paths", {{"/" + entry.file, {{"location", target}}}}}}}};

        EXPECT_EQ(run(service, "install"), 0);

        const std::string failure =
            "Download of " + service.url("/" + entry.file) +
            " failed: the launcher refused a redirect to an address that is not https";
        const auto failed = records("installFailed");
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0]["message"], failure);
        const std::string output = readAll(outputFile());
        EXPECT_NE(output.find("Launcher self-update aborted: " + failure), std::string::npos)
            << output;
        EXPECT_EQ(output.find("refused by the server"), std::string::npos) << output;
        expectOldLauncherUntouched();
    }
    EXPECT_EQ(plain.requests(), 0);
}

TEST_F(SelfUpdate, AnArchiveWithoutANewerBundleIsRefused) {
    // Correctly signed, but it holds the running version again: installing it would offer the
    // same update at every start.
    FeedEntry entry = publish("1.6.24");
    entry.version = "1.7.0";
    writeFeed({entry});
    launcher_test::UpdateService service{{.root = root()}};

    EXPECT_EQ(run(service, "install"), 0);

    EXPECT_EQ(records("installFailed").size(), 1u);
    expectOldLauncherUntouched();
}

TEST_F(SelfUpdate, CancelledDownloadEndsTheProcessAndKeepsTheLauncher) {
    writeFeed({publish("1.7.0")});
    launcher_test::UpdateService service{{.root = root()}};

    EXPECT_EQ(run(service, "cancel"), 0);

    EXPECT_EQ(records("downloadStarted").size(), 1u);
    EXPECT_EQ(records("downloadEnded").size(), 1u);
    EXPECT_TRUE(records("installFailed").empty());
    expectOldLauncherUntouched();
}

TEST_F(SelfUpdate, SkipEndsTheProcessAndIsRemembered) {
    writeFeed({publish("1.7.0")});
    launcher_test::UpdateService service{{.root = root()}};

    EXPECT_EQ(run(service, "skip"), 0);
    EXPECT_EQ(records("prompt").size(), 1u);
    EXPECT_EQ(readAll(skipFile()), "1.7.0\n");
    expectOldLauncherUntouched();

    // Next start: the skipped version is not offered; the check reports nothing found.
    EXPECT_EQ(run(service, "install"), 3);
    EXPECT_EQ(records("prompt").size(), 1u);
    const json lastStart = records("start").back();
    EXPECT_EQ(records("checked").back(),
              (json{{"type", "checked"}, {"found", false}, {"pid", lastStart["pid"]}}));

    // A newer version than the skipped one is offered again.
    writeFeed({publish("1.7.0"), publish("1.7.1")});
    EXPECT_EQ(run(service, "later"), 0);
    ASSERT_EQ(records("prompt").size(), 2u);
    EXPECT_EQ(records("prompt")[1]["offered"], "1.7.1");
}

TEST_F(SelfUpdate, RemindMeLaterEndsTheProcessAndAsksAgainNextTime) {
    writeFeed({publish("1.7.0")});
    launcher_test::UpdateService service{{.root = root()}};

    EXPECT_EQ(run(service, "later"), 0);
    EXPECT_EQ(run(service, "later"), 0);

    EXPECT_EQ(records("prompt").size(), 2u);
    EXPECT_FALSE(fs::exists(skipFile()));
    EXPECT_EQ(installedVersion(), "1.6.24");
}

TEST_F(SelfUpdate, NothingNewerIsReportedAsNotFound) {
    writeFeed({publish("1.6.24"), publish("1.6.0")});
    launcher_test::UpdateService service{{.root = root()}};

    EXPECT_EQ(run(service, "install"), 3);

    EXPECT_TRUE(records("prompt").empty());
    ASSERT_EQ(records("checked").size(), 1u);
    EXPECT_EQ(records("checked")[0]["found"], false);
}

TEST_F(SelfUpdate, ALauncherOutsideABundleIsOfferedNothing) {
    writeFeed({publish("1.7.0")});
    launcher_test::UpdateService service{{.root = root()}};
    const fs::path plain = dir_ / "bin" / "launcher";
    fs::create_directories(plain.parent_path());
    fs::copy_file(launcher(), plain);

    fixture::ChildProcess child{
        {plain.string(), "update", service.url("/appcast.xml"), "install"},
        {"SELFUPDATE_PROBE_RECORD=" + recordFile().string(),
         "XDG_DATA_HOME=" + (dir_ / "data").string(), "HOME=" + (dir_ / "home").string()}};
    EXPECT_EQ(child.waitExit(90s), 3);

    EXPECT_TRUE(records("prompt").empty()) << "an update it cannot install is never offered";
    ASSERT_EQ(records("checked").size(), 1u);
    EXPECT_EQ(records("checked")[0]["found"], false);
    expectOldLauncherUntouched();
}

TEST_F(SelfUpdate, FeedErrorsAbortAndEndTheProcess) {
    writeFeed({publish("1.7.0")});
    std::ofstream{root() / "broken.xml"} << "<rss><channel><item>";
    launcher_test::UpdateService service{
        {.root = root(),
         .config = {
             {"paths", {{"/appcast.xml", {{"status", 404}}}, {"/reset.xml", {{"reset", true}}}}}}}};

    for (const char* feed : {"/appcast.xml", "/broken.xml", "/reset.xml"}) {
        SCOPED_TRACE(feed);
        fs::remove(recordFile());
        EXPECT_EQ(run(service, "install", feed), 0);
        EXPECT_TRUE(records("prompt").empty());
        for (const json& checked : records("checked")) {
            EXPECT_EQ(checked["found"], false);
        }
    }
    // A service whose certificate the launcher does not trust.
    launcher_test::UpdateService untrusted{{.root = root(),
                                            .cert = std::string{LAUNCHER_CERT_DIR} + "/ca.pem",
                                            .key = std::string{LAUNCHER_CERT_DIR} + "/ca.key"}};
    fs::remove(recordFile());
    EXPECT_EQ(run(untrusted, "install"), 0);
    EXPECT_TRUE(records("prompt").empty());
    expectOldLauncherUntouched();
}

struct CallbackCase {
    std::string callback;
    std::string argument;
    bool ends;
    bool checked;
    bool found;
};

TEST(SparkleUpdaterDelegate, CallbacksSetTheFlagsAndEndTheProcessAsTheTableSays) {
    const std::vector<CallbackCase> cases{
        {"didAbortWithError", "", true, true, false},
        {"userDidMakeChoice", "0", true, true, false},
        {"userDidMakeChoice", "1", false, false, false},
        {"userDidMakeChoice", "2", true, true, false},
        {"didFindValidUpdate", "", false, true, true},
        {"updaterDidNotFindUpdate", "", false, true, false},
        {"updaterDidNotFindUpdate:error", "", false, true, false},
        {"userDidCancelDownload", "", true, true, false},
        {"userDidSkipThisVersion", "", true, true, false},
        {"didDismissUpdateAlertPermanently", "true", true, true, false},
        {"didDismissUpdateAlertPermanently", "false", false, false, false},
    };
    for (const CallbackCase& c : cases) {
        SCOPED_TRACE(c.callback + " " + c.argument);
        fixture::ScratchFolder dir;
        const auto record = dir / "record.jsonl";
        fixture::ChildProcess child{{SELFUPDATE_PROBE, "delegate", c.callback, c.argument},
                                    {"SELFUPDATE_PROBE_RECORD=" + record.string()}};
        EXPECT_EQ(child.waitExit(30s), c.ends ? 0 : 3);
        std::vector<json> flags;
        for (const json& entry : fixture::readRecord(record)) {
            if (entry.value("type", "") == "flags") {
                flags.push_back(entry);
            }
        }
        if (c.ends) {
            EXPECT_TRUE(flags.empty());
        } else {
            ASSERT_EQ(flags.size(), 1u);
            EXPECT_EQ(flags[0]["checked"], c.checked);
            EXPECT_EQ(flags[0]["found"], c.found);
        }
    }
}

// The paths that end the process skip every destructor; reports sent just before must still be
// kept for the next start. The service named by the DSN takes the connection and never answers,
// so nothing can be delivered before the end.
TEST(SparkleUpdaterDelegate, EndingTheProcessKeepsReportsSentJustBefore) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string dsn = "https://5e1d2c3b4a5968778695a4b3c2d1e0f1@127.0.0.1:" +
                            std::to_string(ntohs(address.sin_port)) + "/7";

    const std::vector<std::pair<std::string, std::string>> cases{
        {"didAbortWithError", ""},
        {"userDidCancelDownload", ""},
        {"userDidSkipThisVersion", ""},
        {"userDidMakeChoice", "2"},
    };
    for (const auto& [callback, argument] : cases) {
        SCOPED_TRACE(callback);
        fixture::ScratchFolder dir;
        const auto db = dir / "db";
        fixture::ChildProcess child{
            {SELFUPDATE_PROBE, "delegate", callback, argument},
            {"SELFUPDATE_PROBE_RECORD=" + (dir / "record.jsonl").string(),
             "SELFUPDATE_PROBE_DSN=" + dsn, "SELFUPDATE_PROBE_DB=" + db.string()}};
        EXPECT_EQ(child.waitExit(30s), 0);
        std::string kept;
        if (std::filesystem::is_directory(db)) {
            for (const auto& entry : std::filesystem::directory_iterator{db}) {
                if (entry.path().extension() == ".envelope") {
                    std::ifstream in{entry.path(), std::ios::binary};
                    kept.append(std::istreambuf_iterator<char>{in}, {});
                }
            }
        }
        EXPECT_NE(kept.find("probe event"), std::string::npos) << "kept: " << kept;
    }
    ::close(listener);
}

}  // namespace
