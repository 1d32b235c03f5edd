#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app_start.hpp"
#include "file_helpers.hpp"
#include "in_child.hpp"
#include "install_folder.hpp"
#include "log_capture.hpp"
#include "mainapp_fixture.hpp"
#include "private_mount.hpp"
#include "scratch_folder.hpp"
#include "system.hpp"
#include "updater.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readFile(const fs::path& file) {
    std::ifstream in{file, std::ios::binary};
    return std::string{std::istreambuf_iterator<char>{in}, {}};
}

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

// A failed installation whose clean-up cannot remove the unpacked folder nor set it aside (a
// mount on it): that is logged, and the failure raised is still the step's own, after the archive
// was removed.
TEST_F(InstallTest, FailureStaysTheOutcomeWhenTheUnpackedFolderCannotGo) {
    preinstall("1.0.0");
    const fs::path newDir = app() / "2.0.0";
    struct Case {
        const char* name;
        std::string archive;
        std::string raised;  // the start of the step's failure; empty: the unpacker's message
    };
    const fs::path other = archive("3.0.0");
    const std::vector<Case> cases{
        {"unpacking fails", "this is not an archive", ""},
        {"unpacked version refused", readFile(other),
         "The update cannot be installed: it holds version 3.0.0 instead of 2.0.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The unpacking waits on it: the folder is mounted over once made, before the archive
        // comes.
        const fs::path download = scratch_ / "download.tar";
        ASSERT_EQ(::mkfifo(download.c_str(), 0600), 0);
        const int code = fixture::inChild([&] {
            if (!fixture::enterPrivateMounts()) {
                return 77;
            }
            ::alarm(120);  // the bound for every wait below
            ::signal(SIGPIPE, SIG_IGN);
            std::string raised;
            int kind = 0;
            std::thread installation{[&] {
                try {
                    updater_->installUpdate(download, newDir, last(), {});
                } catch (const std::runtime_error& e) {
                    kind = dynamic_cast<const fs::filesystem_error*>(&e) != nullptr ? 10 : 1;
                    raised = e.what();
                }
            }};
            // Opens once the unpacking opens the archive, that is after it made its folder.
            const int writer = ::open(download.c_str(), O_WRONLY | O_CLOEXEC);
            // Room beyond the free space the unpacking keeps.
            const bool mounted = writer >= 0 && ::mount("tmpfs", newDir.c_str(), "tmpfs", 0,
                                                        "size=256m,mode=0700") == 0;
            for (std::size_t done = 0; writer >= 0 && done < c.archive.size();) {
                const ssize_t wrote =
                    ::write(writer, c.archive.data() + done, c.archive.size() - done);
                if (wrote <= 0) {
                    break;  // the unpacking stopped reading
                }
                done += static_cast<std::size_t>(wrote);
            }
            ::close(writer);
            installation.join();
            std::ofstream{scratch_ / "raised"} << raised;
            if (!mounted) {
                return 77;
            }
            if (kind != 1) {
                return kind == 10 ? 10 : 11;
            }
            if (c.raised.empty() ? !log_.contains("error Uncompress failed: " + raised)
                                 : raised.rfind(c.raised, 0) != 0) {
                return 12;
            }
            return log_.containsPrefix("warning Cannot remove " + newDir.string() + " - ") ? 0 : 13;
        });
        if (code == 77) {
            GTEST_SKIP() << "cannot mount a file system here";
        }
        EXPECT_NE(code, 128 + SIGALRM) << "the installation did not get through in time";
        EXPECT_NE(code, 10) << "the clean-up's filesystem error took the place of the failure";
        EXPECT_NE(code, 11) << "no runtime error raised";
        EXPECT_NE(code, 12) << "the raised error is not the failed step's: "
                            << readFile(scratch_ / "raised");
        EXPECT_NE(code, 13) << "the folder left behind was not logged";
        EXPECT_EQ(code, 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(download)));
        EXPECT_EQ(lastVersion(), "1.0.0");
        fs::remove(download);
        fs::remove_all(newDir);
    }
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
