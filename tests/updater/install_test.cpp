#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "app_start.hpp"
#include "file_helpers.hpp"
#include "install_folder.hpp"
#include "log_capture.hpp"
#include "mainapp_fixture.hpp"
#include "scratch_folder.hpp"
#include "system.hpp"
#include "updater.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class InstallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = fs::current_path();
        fs::current_path(fs::path{LAUNCHER_SOURCE_DIR} / "launcher");
        fs::create_directories(app());
        updater_ = std::make_unique<zentravo::Updater>([](const std::string&) {});
    }
    void TearDown() override { fs::current_path(previous_); }

    [[nodiscard]] fs::path app() const { return scratch_ / "app"; }
    [[nodiscard]] fs::path last() const { return app() / "last"; }

    fs::path archive(const std::string& version, const fixture::BundleOptions& extra = {}) {
        const fs::path file = scratch_ / ("download-" + version + ".tar");
        fixture::BundleOptions options = extra;
        options.version = version;
        fixture::buildMainAppArchive(file, options);
        return file;
    }
    void preinstall(const std::string& version) {
        fixture::extractArchive(archive(version), last());
    }
    [[nodiscard]] std::string lastVersion() const {
        return zentravo::getCurrentVersion(last()).to_string();
    }
    [[nodiscard]] std::vector<std::string> milestones() const {
        std::vector<std::string> out;
        for (const auto& line : log_.lines()) {
            if (line == "info About to uncompress files")
                out.clear();
            if (line.rfind("info ", 0) == 0)
                out.push_back(line.substr(5));
        }
        return out;
    }

    fixture::ScratchFolder scratch_;
    fs::path previous_;
    LogCapture log_{1024};
    std::unique_ptr<zentravo::Updater> updater_;
};

TEST_F(InstallTest, NewVersionTakesThePlaceOfLast) {
    preinstall("1.0.0");
    fs::create_directories(app() / "1.0.0");
    const fs::path download = archive("2.0.0");
    updater_->installUpdate(download, app() / "2.0.0", last(), app() / "1.0.0");

    EXPECT_EQ(lastVersion(), "2.0.0");
    EXPECT_FALSE(fs::exists(download));
    EXPECT_FALSE(fs::exists(app() / "2.0.0"));
    EXPECT_FALSE(fs::exists(app() / "1.0.0"));
    EXPECT_EQ(std::distance(fs::directory_iterator{app()}, fs::directory_iterator{}), 1);
    const std::vector<std::string> expected{
        "About to uncompress files", "About to clean temp files from installation",
        "About to check ARM64 compatibility", "About to check AVX compatibility",
        "About to rename version directory"};
    EXPECT_EQ(milestones(), expected);
}

TEST_F(InstallTest, StopBeforehandOnlyRemovesTheArchive) {
    preinstall("1.0.0");
    fs::create_directories(app() / "0.9.0");
    const fs::path download = archive("2.0.0");
    updater_->stopUpdateProcess();
    updater_->installUpdate(download, app() / "2.0.0", last(), app() / "0.9.0");

    EXPECT_EQ(lastVersion(), "1.0.0");
    EXPECT_FALSE(fs::exists(download));
    EXPECT_FALSE(fs::exists(app() / "2.0.0"));
    EXPECT_TRUE(fs::exists(app() / "0.9.0"));
}

TEST_F(InstallTest, ProcessorVariantsAreDroppedWhereThisMachineDoesNotNeedThem) {
    if (zentravo::system::isARM64Processor() || !zentravo::system::isAVXCompatible()) {
        GTEST_SKIP() << "written for an x86_64 machine with AVX";
    }
    const fs::path download = archive("2.0.0", {.arm64ec = true, .legacy = true});
    updater_->installUpdate(download, app() / "2.0.0", last(), {});

    EXPECT_EQ(lastVersion(), "2.0.0");
    EXPECT_FALSE(fs::exists(last() / "ARM64EC"));
    EXPECT_FALSE(fs::exists(last() / "Legacy"));
    EXPECT_FALSE(fs::exists(last() / "Zentravo.exe"));
    EXPECT_FALSE(fs::exists(last() / "Zentravo.app" / "Contents" / "Resources" / "variant.txt"));
    const auto steps = milestones();
    EXPECT_NE(std::find(steps.begin(), steps.end(), "About to remove ARM64 folder"), steps.end());
    EXPECT_NE(std::find(steps.begin(), steps.end(), "About to remove Legacy folder"), steps.end());
    EXPECT_EQ(std::find(steps.begin(), steps.end(), "Setting ARM64 architecture"), steps.end());
    EXPECT_EQ(std::find(steps.begin(), steps.end(), "Setting Legacy architecture"), steps.end());
}

TEST_F(InstallTest, UnpackFailureLeavesLastAndRaisesTheUnpackersMessage) {
    preinstall("1.0.0");
    const fs::path download = scratch_ / "broken.tar";
    std::ofstream{download} << "this is not an archive";
    try {
        updater_->installUpdate(download, app() / "2.0.0", last(), {});
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_TRUE(log_.contains(std::string{"error Uncompress failed: "} + e.what()));
        EXPECT_EQ(std::string{e.what()}.rfind("Uncompress failed", 0), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(download));
    EXPECT_FALSE(fs::exists(app() / "2.0.0"));
    EXPECT_EQ(lastVersion(), "1.0.0");
}

TEST_F(InstallTest, MissingArchiveFailsWithoutTouchingLast) {
    preinstall("1.0.0");
    EXPECT_THROW(updater_->installUpdate(scratch_ / "absent.tar", app() / "2.0.0", last(), {}),
                 std::runtime_error);
    EXPECT_EQ(lastVersion(), "1.0.0");
}

// A launcher killed at any moment of an installation leaves a whole version in "last".
TEST_F(InstallTest, KillDuringInstallationLeavesAStartableLast) {
    preinstall("1.0.0");
    const fs::path master = archive("2.0.0", {.arm64ec = true, .legacy = true});
    const fs::path download = scratch_ / "download.tar";
    const fs::path marker = scratch_ / "started";
    // Starts an installation of 2.0.0 and returns once it is under way.
    const auto startInstall = [&] {
        fs::copy_file(master, download, fs::copy_options::overwrite_existing);
        fs::remove(marker);
        auto runner = std::make_unique<fixture::ChildProcess>(
            std::vector<std::string>{INSTALL_RUNNER, download.string(), (app() / "2.0.0").string(),
                                     last().string(), "", marker.string()});
        while (!fs::exists(marker) && !runner->waitExit(0ms))
            std::this_thread::sleep_for(100us);
        return runner;
    };
    // How long a whole installation takes on this machine right now: kills land within it.
    const auto begin = std::chrono::steady_clock::now();
    const auto measured = startInstall();
    ASSERT_EQ(measured->waitExit(30s), 0);
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - begin);
    ASSERT_EQ(lastVersion(), "2.0.0");
    fs::remove_all(last());
    preinstall("1.0.0");

    std::mt19937 random{20261209};
    int sawNew = 0;
    int sawOld = 0;
    for (int round = 0; round < 30; ++round) {
        const auto runner = startInstall();
        std::this_thread::sleep_for(std::chrono::microseconds{
            std::uniform_int_distribution<std::int64_t>{0, span.count() * 3 / 2}(random)});
        ::kill(runner->pid(), SIGKILL);
        runner->waitExit(5s);

        // What the next launcher run does first.
        (void)zentravo::install::restoreInterrupted(last());
        const std::string version = lastVersion();
        ASSERT_TRUE(version == "1.0.0" || version == "2.0.0") << "round " << round;
        ASSERT_TRUE(
            fs::is_regular_file(zentravo::system::bundleExecutable(last() / "Zentravo.app")))
            << "round " << round;
        if (version == "2.0.0") {
            ++sawNew;
            // Back to the old version for the next round.
            fs::remove_all(last());
            preinstall("1.0.0");
        } else {
            ++sawOld;
        }
    }
    RecordProperty("installMicroseconds", static_cast<int>(span.count()));
    RecordProperty("keptOld", sawOld);
    EXPECT_GT(sawNew, 0);
}

}  // namespace
