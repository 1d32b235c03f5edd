// The real launcher offered a broken or hostile update over a working installed version: the
// installation is refused, "last" stays exactly as it was, and the next start runs it.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "deep_tree.hpp"
#include "foreign_process.hpp"
#include "incompressible.hpp"
#include "launcher_world.hpp"
#include "private_mount.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using launcher_test::LauncherWorld;

// One member of a hand-made archive.
struct Member {
    std::string name;
    mode_t type = AE_IFREG;
    mode_t perm = 0644;
    std::string data{};         // file content or link target
    la_int64_t sparseSize = 0;  // > 0: a sparse file of this size whose data ends it
    std::string hardlink{};     // not empty: a hard link to this member
};

std::string readAll(const fs::path& path) {
    std::ifstream in{path, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, {}};
}

std::string infoPlist(const std::string& version, const std::string& executable = "Zentravo") {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "CFBundleExecutable", plist_new_string(executable.c_str()));
    plist_dict_set_item(dict, "CFBundleShortVersionString", plist_new_string(version.c_str()));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(dict, &xml, &length);
    std::string text{xml, length};
    plist_to_xml_free(xml);
    plist_free(dict);
    return text;
}

// The members of a startable bundle of `version`, the stand-in program included.
std::vector<Member> bundle(const std::string& version) {
    return {{"Zentravo.app/", AE_IFDIR, 0755},
            {"Zentravo.app/Contents/", AE_IFDIR, 0755},
            {"Zentravo.app/Contents/Info.plist", AE_IFREG, 0644, infoPlist(version)},
            {"Zentravo.app/Contents/MacOS/", AE_IFDIR, 0755},
            {"Zentravo.app/Contents/MacOS/Zentravo", AE_IFREG, 0755,
             readAll(fixture::mainAppProgram())}};
}

std::vector<Member> with(std::vector<Member> members, const std::vector<Member>& more) {
    members.insert(members.end(), more.begin(), more.end());
    return members;
}

// Writes `members` as a pax tar (gzip-compressed when asked), `zeros` bytes of zeros appended as
// one more file.
void writeArchive(const fs::path& file, const std::vector<Member>& members, bool gzip = false,
                  la_int64_t zeros = 0) {
    archive* a = archive_write_new();
    archive_write_set_format_pax(a);
    if (gzip) {
        archive_write_add_filter_gzip(a);
    }
    ASSERT_EQ(archive_write_open_filename(a, file.c_str()), ARCHIVE_OK);
    const auto add = [&](const Member& m, la_int64_t zeroBytes) {
        archive_entry* e = archive_entry_new();
        archive_entry_set_pathname(e, m.name.c_str());
        archive_entry_set_filetype(e, m.type);
        archive_entry_set_perm(e, m.perm);
        archive_entry_set_mtime(e, 1700000000, 0);
        if (m.type == AE_IFLNK) {
            archive_entry_set_symlink(e, m.data.c_str());
        }
        if (m.type == AE_IFCHR) {
            archive_entry_set_rdev(e, makedev(1, 3));
        }
        if (!m.hardlink.empty()) {
            archive_entry_set_hardlink(e, m.hardlink.c_str());
            archive_entry_set_size(e, 0);
        } else if (m.type == AE_IFREG) {
            if (m.sparseSize > 0) {
                archive_entry_set_size(e, m.sparseSize);
                archive_entry_sparse_add_entry(
                    e, m.sparseSize - static_cast<la_int64_t>(m.data.size()),
                    static_cast<la_int64_t>(m.data.size()));
            } else {
                archive_entry_set_size(e, static_cast<la_int64_t>(m.data.size()) + zeroBytes);
            }
        }
        ASSERT_EQ(archive_write_header(a, e), ARCHIVE_OK) << archive_error_string(a);
        if (m.type == AE_IFREG && m.hardlink.empty() && !m.data.empty()) {
            archive_write_data(a, m.data.data(), m.data.size());
        }
        const std::string block(1 << 20, '\0');
        for (la_int64_t done = 0; done < zeroBytes; done += static_cast<la_int64_t>(block.size())) {
            archive_write_data(a, block.data(), block.size());
        }
        archive_entry_free(e);
    };
    for (const auto& m : members) {
        add(m, 0);
    }
    if (zeros > 0) {
        add({"Zentravo.app/Contents/Resources.bin", AE_IFREG, 0644, ""}, zeros);
    }
    ASSERT_EQ(archive_write_close(a), ARCHIVE_OK);
    archive_write_free(a);
}

// Everything under `root` that matters to a start: kinds, modes, contents and link targets.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator{root}) {
        const auto status = entry.symlink_status();
        std::string description = std::to_string(static_cast<int>(status.type())) + " " +
                                  std::to_string(static_cast<int>(status.permissions())) + " ";
        if (fs::is_symlink(status)) {
            description += fs::read_symlink(entry.path()).string();
        } else if (fs::is_regular_file(status)) {
            description += readAll(entry.path());
        }
        out[entry.path().lexically_relative(root).string()] = std::move(description);
    }
    return out;
}

// Before each start: a main application of another run would make the launcher hand over to it.
// (The fixed ports are this test's own by now: its update service holds one.)
using launcher_test::waitForNoMainApplication;

class InstallGuard : public ::testing::Test {
  protected:
    [[nodiscard]] fs::path appFolder() const {
        return world.path() / "data" / "ZentravoV3" / "app";
    }
    [[nodiscard]] fs::path published() const { return world.path() / "root" / "app.tar"; }

    // A working 3.0.0 in "last", as an earlier run left it, and the service on the address.
    void installWorkingVersion() {
        const fs::path archive = world.path() / "installed.tar";
        fixture::buildMainAppArchive(archive, {.version = "3.0.0"});
        fixture::extractArchive(archive, appFolder() / "last");
        world.serve("3.1.0");
        installed = snapshot(appFolder() / "last");
    }

    // Runs the launcher against an answer of 3.1.0 with whatever app.tar holds now; returns once
    // the installation failure has been reported, the launcher ended.
    void offerAndExpectRefusal() {
        world.answer(launcher_test::updateAnswer("3.1.0"));
        // Failure events of earlier offers in this test stay in the service's records.
        const std::size_t earlier = failureReasons().size();
        std::unique_ptr<launcher_test::Process> launcher;
        std::string reason;
        for (int attempt = 0; attempt < 5 && reason.empty(); ++attempt) {
            launcher = startAlone();
            const auto deadline = std::chrono::steady_clock::now() + 90s;
            while (reason.empty() && std::chrono::steady_clock::now() < deadline &&
                   !launcher->waitExit(0ms)) {
                if (const auto reasons = failureReasons(); reasons.size() > earlier) {
                    reason = reasons[earlier];
                }
                std::this_thread::sleep_for(100ms);
            }
            if (!handedOver()) {
                break;
            }
        }
        EXPECT_EQ(reason, "launcher.process.error.installing") << world.logText();
        if (reason.empty() && !launcher->waitExit(0ms)) {
            fixture::printThreadStacks(launcher->pid(), "The launcher reported nothing in time:");
        }
        // The window stays open on the error; the user would close it. A launcher that ends
        // on its own also lets its web content processes end before the next start.
        launcher->terminate();
        (void)launcher->waitExit(10s);
        launcher.reset();
        EXPECT_TRUE(world.mainAppEntries("start").empty());
        EXPECT_EQ(snapshot(appFolder() / "last"), installed);
        EXPECT_FALSE(fs::exists(appFolder() / "3.1.0"));
    }

    // Starts the launcher once no main application of another run on this machine is left.
    std::unique_ptr<launcher_test::Process> startAlone() {
        waitForNoMainApplication();
        return world.startLauncher();
    }
    // Whether the last start met another run's main application after all and handed over to it
    // (a race with other test runs on a shared machine; that start is repeated).
    [[nodiscard]] bool handedOver() const {
        return world.logHas("Detected V3 instance already running.");
    }

    // The reasons of the "Launcher Update Failed" events the service received, in order.
    [[nodiscard]] std::vector<std::string> failureReasons() {
        std::vector<std::string> out;
        for (const auto& record : world.service().recordsFor("/2/httpapi")) {
            const auto body = nlohmann::json::parse(record.value("body", ""), nullptr, false);
            if (!body.is_object() || !body.contains("events")) {
                continue;
            }
            for (const auto& event : body["events"]) {
                if (event.value("event_type", "") == "Launcher Update Failed") {
                    out.push_back(event["event_properties"].value("reason", "?"));
                }
            }
        }
        return out;
    }

    // Runs the launcher to its end, which must be exit status 0; again when that start met
    // another run's main application and handed over to it.
    void runAlone() {
        for (int attempt = 0; attempt < 5; ++attempt) {
            auto launcher = startAlone();
            ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();
            if (!handedOver()) {
                return;
            }
        }
    }

    // With `version` announced and in app.tar, a start installs it and starts it once, and "last"
    // is all the install folder holds afterwards.
    void expectInstallOf(const std::string& version) {
        world.answer(launcher_test::updateAnswer(version));
        ASSERT_NO_FATAL_FAILURE(runAlone());
        EXPECT_TRUE(world.logHas("Update process finished successfully")) << world.logText();
        ASSERT_EQ(world.mainAppEntries("start").size(), 1u) << world.logText();
        EXPECT_EQ(readAll(world.installedBundle() / "Contents" / "Info.plist"), infoPlist(version));
        for (const auto& entry : fs::directory_iterator{appFolder()}) {
            EXPECT_EQ(entry.path().filename(), "last");
        }
    }

    // The next start finds the version it has and runs it.
    void expectNextStartRunsTheInstalledVersion() {
        world.answer(launcher_test::updateAnswer("3.0.0"));
        ASSERT_NO_FATAL_FAILURE(runAlone());
        EXPECT_TRUE(world.logHas("Already have a valid version: 3.0.0")) << world.logText();
        const auto starts = world.mainAppEntries("start");
        ASSERT_EQ(starts.size(), 1u) << world.logText();
        EXPECT_EQ(
            starts[0].at("argv")[0].get<std::string>().rfind(world.installedBundle().string(), 0),
            0u);
        EXPECT_EQ(snapshot(appFolder() / "last"), installed);
    }

    void runToTheEnd();

    LauncherWorld world;
    std::map<std::string, std::string> installed;
};

struct BrokenCase {
    std::string name;
    // Writes the offered app.tar.
    std::function<void(const fs::path&)> make;
};

void PrintTo(const BrokenCase& c, std::ostream* os) {
    *os << c.name;
}

class BrokenUpdate : public InstallGuard, public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(BrokenUpdate, IsRefusedAndTheInstalledVersionKeepsRunning) {
    installWorkingVersion();
    GetParam().make(published());
    offerAndExpectRefusal();
    expectNextStartRunsTheInstalledVersion();
}

// A bundle of 3.1.0 whose Info.plist entry is replaced by `replacement`.
std::vector<Member> withInfoPlist(const Member& replacement) {
    std::vector<Member> members = bundle("3.1.0");
    for (auto& m : members) {
        if (m.name == "Zentravo.app/Contents/Info.plist") {
            m = replacement;
        }
    }
    return members;
}

const Member kPlistEntry{"Zentravo.app/Contents/Info.plist"};

INSTANTIATE_TEST_SUITE_P(
    Archives, BrokenUpdate,
    ::testing::Values(
        BrokenCase{"EmptyBody", [](const fs::path& f) { std::ofstream{f}; }},
        BrokenCase{"EmptyTar", [](const fs::path& f) { writeArchive(f, {}); }},
        BrokenCase{"NoBundle",
                   [](const fs::path& f) {
                       writeArchive(f, {{"Other.app/", AE_IFDIR, 0755},
                                        {"Other.app/readme.txt", AE_IFREG, 0644, "hello"}});
                   }},
        BrokenCase{"GarbageInfoPlist",
                   [](const fs::path& f) {
                       Member m = kPlistEntry;
                       m.data = "<plist><dict><key>CFBundle";
                       writeArchive(f, withInfoPlist(m));
                   }},
        BrokenCase{"ExecutableOutsideTheBundle",
                   [](const fs::path& f) {
                       Member m = kPlistEntry;
                       m.data = infoPlist("3.1.0", "../../bin/sh");
                       writeArchive(f, withInfoPlist(m));
                   }},
        BrokenCase{"CutAtAnEntryBoundary",
                   [](const fs::path& f) {
                       // Everything up to the program's entry, without the end of the
                       // archive.
                       std::vector<Member> members = bundle("3.1.0");
                       members.pop_back();
                       writeArchive(f, members);
                       std::string bytes = readAll(f);
                       bytes.erase(bytes.find_last_not_of('\0') + 1);
                       bytes.resize((bytes.size() + 511) / 512 * 512, '\0');
                       std::ofstream{f, std::ios::binary | std::ios::trunc} << bytes;
                   }},
        BrokenCase{"OtherVersionThanAnnounced",
                   [](const fs::path& f) { writeArchive(f, bundle("2.0.0")); }},
        BrokenCase{"FifoInfoPlist",
                   [](const fs::path& f) {
                       Member m = kPlistEntry;
                       m.type = AE_IFIFO;
                       writeArchive(f, withInfoPlist(m));
                   }},
        BrokenCase{"HugeSparseInfoPlist",
                   [](const fs::path& f) {
                       Member m = kPlistEntry;
                       m.data = infoPlist("3.1.0");
                       m.sparseSize = la_int64_t{8000} << 20;
                       writeArchive(f, withInfoPlist(m));
                   }},
        BrokenCase{"DeviceNode",
                   [](const fs::path& f) {
                       writeArchive(f, with(bundle("3.1.0"),
                                            {{"Zentravo.app/Contents/null", AE_IFCHR, 0666}}));
                   }},
        // Deeper than any bundle nests, a name made to create folders.
        BrokenCase{"NameTooDeep",
                   [](const fs::path& f) {
                       writeArchive(f, with(bundle("3.1.0"),
                                            {{fixture::deepName("Zentravo.app/Contents/", 200),
                                              AE_IFREG, 0644, "x"}}));
                   }},
        BrokenCase{"FifoEntry",
                   [](const fs::path& f) {
                       writeArchive(f, with(bundle("3.1.0"),
                                            {{"Zentravo.app/Contents/pipe", AE_IFIFO, 0644}}));
                   }},
        BrokenCase{"EmptyProgram",
                   [](const fs::path& f) {
                       std::vector<Member> members = bundle("3.1.0");
                       members.back().data.clear();
                       writeArchive(f, members);
                   }}),
    [](const ::testing::TestParamInfo<BrokenCase>& info) { return info.param.name; });

// A symlink that stays inside from where it stands deep in the tree, and a hard link to it from a
// shallower place: the same link text there leads out of the install folder, here to a bundle
// planted beside it. The archive is broken; the planted program never starts.
TEST_F(InstallGuard, HardLinkToASymlinkCannotLeadOutOfTheInstallFolder) {
    installWorkingVersion();
    // app/3.1.0/Zentravo.app/Contents -> ../../../../planted is the data folder's "planted".
    const fs::path planted = world.path() / "data" / "planted";
    fs::create_directories(planted / "MacOS");
    std::ofstream{planted / "Info.plist"} << infoPlist("3.1.0");
    fs::copy_file(fixture::mainAppProgram(), planted / "MacOS" / "Zentravo");
    std::vector<Member> members{
        {"Zentravo.app/", AE_IFDIR, 0755},
        {"d1/d2/d3/d4/link", AE_IFLNK, 0777, "../../../../planted"},
        {"Zentravo.app/Contents", AE_IFREG, 0644, "", 0, "d1/d2/d3/d4/link"}};
    writeArchive(published(), members);
    offerAndExpectRefusal();
    expectNextStartRunsTheInstalledVersion();
}

// Trees deeper than one descriptor per level allows (under the usual limit of 1024): a leftover
// of an earlier run and a refused archive's member neither wedge the version's folder nor stay;
// a good archive of that version installs next.
TEST_F(InstallGuard, DeepTreesDoNotBlockALaterInstallOfTheirVersion) {
    const rlimit usual{1024, 1024};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &usual), 0);  // the launcher inherits it
    installWorkingVersion();
    ASSERT_TRUE(fixture::makeDeepTree(appFolder() / "3.1.0" / "Zentravo.app", 1100));
    writeArchive(
        published(),
        with(bundle("2.0.0"),
             {{fixture::deepName("Zentravo.app/Contents/Resources/", 1100), AE_IFREG, 0644, "x"}}));
    offerAndExpectRefusal();
    EXPECT_TRUE(
        world.logHas("Uncompress failed: Could not unpack file - Path is 1104 levels "
                     "deep, more than 128: " +
                     fixture::deepName("Zentravo.app/Contents/Resources/", 1100)))
        << world.logText();

    writeArchive(published(), bundle("3.1.0"));
    expectInstallOf("3.1.0");
}

// Folders that deny their owner a listing or entry, as an archive may hold them: the version
// installs with those modes and starts, and a later version replaces it whole. Run as a user for
// whom the modes are obeyed (root passes every permission check).
TEST_F(InstallGuard, FoldersThatShutTheirOwnerOutInstallAndGoWithTheNextVersion) {
    world.serve("3.1.0");
    writeArchive(published(),
                 with(bundle("3.1.0"),
                      {{"Zentravo.app/Contents/Resources/", AE_IFDIR, 0755},
                       {"Zentravo.app/Contents/Resources/locked/", AE_IFDIR, 0311},
                       {"Zentravo.app/Contents/Resources/locked/file", AE_IFREG, 0644, "inside"},
                       {"Zentravo.app/Contents/Resources/sealed/", AE_IFDIR, 0000}}));
    (void)world.runAsUser(fixture::kNobody);  // else this test runs as a user already
    ASSERT_NO_FATAL_FAILURE(expectInstallOf("3.1.0"));
    const fs::path resources = world.installedBundle() / "Contents" / "Resources";
    EXPECT_EQ(fs::symlink_status(resources / "locked").permissions(), fs::perms(0311));
    EXPECT_EQ(fs::symlink_status(resources / "sealed").permissions(), fs::perms::none);

    // The first main application ends, so that the next launcher does not hand over to it.
    world.stopMainApps();
    fs::remove(world.mainAppRecord());
    writeArchive(published(), bundle("3.2.0"));
    ASSERT_NO_FATAL_FAILURE(expectInstallOf("3.2.0"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(resources)));
}

// Modes and entry types as installed: only files, folders and links that stay in the bundle, no
// set-id or sticky bit, no write for group or others; the program still starts.
TEST_F(InstallGuard, InstalledModesAreSafe) {
    world.serve("3.1.0");
    std::vector<Member> members = bundle("3.1.0");
    members[0].perm = 01777;      // Zentravo.app/
    members[2].perm = 0666;       // Info.plist
    members.back().perm = 06777;  // the program
    members.push_back({"Zentravo.app/Contents/Resources/", AE_IFDIR, 0777});
    members.push_back({"Zentravo.app/Contents/Resources/tool", AE_IFREG, 04755, "#!/bin/sh\n"});
    members.push_back(
        {"Zentravo.app/Contents/Resources/program", AE_IFLNK, 0777, "../MacOS/Zentravo"});
    writeArchive(published(), members);
    waitForNoMainApplication();
    auto launcher = world.startLauncher();
    ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();
    ASSERT_EQ(world.mainAppEntries("start").size(), 1u) << world.logText();

    const fs::path app = world.installedBundle();
    const std::vector<std::pair<fs::path, fs::perms>> expected{
        {app, fs::perms(0755)},
        {app / "Contents/Info.plist", fs::perms(0644)},
        {app / "Contents/MacOS/Zentravo", fs::perms(0755)},
        {app / "Contents/Resources", fs::perms(0755)},
        {app / "Contents/Resources/tool", fs::perms(0755)}};
    for (const auto& [path, perms] : expected) {
        EXPECT_EQ(fs::symlink_status(path).permissions(), perms) << path;
    }
    EXPECT_EQ(fs::read_symlink(app / "Contents/Resources/program"), "../MacOS/Zentravo");
    for (const auto& entry : fs::recursive_directory_iterator{app}) {
        const auto type = entry.symlink_status().type();
        EXPECT_TRUE(type == fs::file_type::regular || type == fs::file_type::directory ||
                    type == fs::file_type::symlink)
            << entry.path();
    }
}

// A start that repairs: the launcher runs to its end, having started the main application. One
// that gives up on the main application (and would wait on its message) fails at once.
void InstallGuard::runToTheEnd() {
    for (int attempt = 0; attempt < 5; ++attempt) {
        auto launcher = startAlone();
        const auto deadline = std::chrono::steady_clock::now() + 90s;
        std::optional<int> status;
        while (!(status = launcher->waitExit(100ms))) {
            ASSERT_FALSE(world.logHas("V3 App running not detected.")) << world.logText();
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << world.logText();
        }
        ASSERT_EQ(*status, 0) << world.logText();
        if (!handedOver()) {
            break;
        }
    }
    EXPECT_TRUE(world.logHas("Update process finished successfully")) << world.logText();
    const auto starts = world.mainAppEntries("start");
    ASSERT_EQ(starts.size(), 1u) << world.logText();
    EXPECT_EQ(starts[0].at("argv")[0].get<std::string>().rfind(world.installedBundle().string(), 0),
              0u);
}

// A damage done to the installed 3.1.0 after it was installed.
struct DamageCase {
    std::string name;
    std::function<void(const fs::path& bundle)> damage;
};

void PrintTo(const DamageCase& c, std::ostream* os) {
    *os << c.name;
}

class DamagedInstallation : public InstallGuard,
                            public ::testing::WithParamInterface<DamageCase> {};

// The installed version's program cannot start: that version counts as not installed, and the
// version the service offers, the same one, is installed afresh and started.
TEST_P(DamagedInstallation, IsInstalledAfreshAndStarts) {
    const fs::path archive = world.path() / "installed.tar";
    fixture::buildMainAppArchive(archive, {.version = "3.1.0"});
    fixture::extractArchive(archive, appFolder() / "last");
    world.serve("3.1.0");
    const auto whole = snapshot(appFolder() / "last");
    GetParam().damage(world.installedBundle());

    runToTheEnd();
    EXPECT_EQ(world.service().recordsFor("/v1/tarvine/update/0.0.0").size(), 1u) << world.logText();
    EXPECT_EQ(world.service().recordsFor("/app.tar").size(), 1u);
    EXPECT_EQ(snapshot(appFolder() / "last"), whole);
    for (const auto& entry : fs::directory_iterator{appFolder()}) {
        EXPECT_EQ(entry.path().filename(), "last");
    }
}

fs::path programOf(const fs::path& bundle) {
    return bundle / "Contents" / "MacOS" / "Zentravo";
}

INSTANTIATE_TEST_SUITE_P(
    Program, DamagedInstallation,
    ::testing::Values(
        DamageCase{"Removed", [](const fs::path& b) { fs::remove(programOf(b)); }},
        // No execute bit at all: not even root may run it.
        DamageCase{"NotExecutable",
                   [](const fs::path& b) { fs::permissions(programOf(b), fs::perms(0644)); }},
        DamageCase{"ReplacedByAFolder",
                   [](const fs::path& b) {
                       fs::remove(programOf(b));
                       fs::create_directory(programOf(b));
                   }},
        DamageCase{"Emptied",
                   [](const fs::path& b) {
                       std::ofstream{programOf(b), std::ios::binary | std::ios::trunc};
                   }},
        // A name that would even lead to the program, were names with a "/" taken.
        DamageCase{"ExecutableNameWithASlash",
                   [](const fs::path& b) {
                       std::ofstream{b / "Contents" / "Info.plist", std::ios::trunc}
                           << infoPlist("3.1.0", "./Zentravo");
                   }},
        // Damages only the start itself finds: an executable, non-empty regular file that the
        // system turns down.
        DamageCase{"CutShort", [](const fs::path& b) { fs::resize_file(programOf(b), 100); }},
        DamageCase{"OverwrittenByText",
                   [](const fs::path& b) {
                       std::ofstream{programOf(b), std::ios::binary | std::ios::trunc}
                           << "This is no program.\n";
                   }},
        DamageCase{"ScriptWithAMissingInterpreter",
                   [](const fs::path& b) {
                       std::ofstream{programOf(b), std::ios::binary | std::ios::trunc}
                           << "#!/nonexistent/interpreter\n";
                   }},
        // An interpreter that is there but no program: refused as not executable.
        DamageCase{"ScriptWhoseInterpreterIsNoProgram",
                   [](const fs::path& b) {
                       std::ofstream{programOf(b), std::ios::binary | std::ios::trunc}
                           << "#!" << (b / "Contents" / "Info.plist").string() << "\n";
                   }}),
    [](const ::testing::TestParamInfo<DamageCase>& info) { return info.param.name; });

// The offered version's own program cannot be executed either: it is installed once, the start
// fails as any failed start does, and nothing goes round again.
struct UnexecutableOfferCase {
    std::string name;
    std::string installedVersion;
    bool damageInstalled;      // the installed program cut short
    std::size_t failedStarts;  // "Cannot start" lines of the failing run
};

void PrintTo(const UnexecutableOfferCase& c, std::ostream* os) {
    *os << c.name;
}

class UnexecutableOffer : public InstallGuard,
                          public ::testing::WithParamInterface<UnexecutableOfferCase> {};

TEST_P(UnexecutableOffer, IsInstalledOnceAndTheFailureShows) {
    const UnexecutableOfferCase& c = GetParam();
    fixture::buildMainAppArchive(world.path() / "installed.tar", {.version = c.installedVersion});
    fixture::extractArchive(world.path() / "installed.tar", appFolder() / "last");
    world.serve("3.1.0");
    if (c.damageInstalled) {
        fs::resize_file(programOf(world.installedBundle()), 100);
    }
    std::vector<Member> members = bundle("3.1.0");
    members.back().data = "This is no program.\n";
    writeArchive(published(), members);

    {
        auto launcher = startAlone();
        const auto deadline = std::chrono::steady_clock::now() + 90s;
        const auto startFailed = [&] {
            const auto types = world.analyticsEventTypes();
            return std::find(types.begin(), types.end(), "Launcher App Start Failed") !=
                   types.end();
        };
        while (!startFailed()) {
            ASSERT_FALSE(launcher->waitExit(100ms)) << world.logText();
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << world.logText();
        }
        // The message stays up until the user closes it, the launcher with it.
        EXPECT_FALSE(launcher->waitExit(0ms));
        launcher->terminate();
        (void)launcher->waitExit(10s);
    }
    EXPECT_TRUE(world.logHas("V3 App running not detected.")) << world.logText();
    EXPECT_EQ(world.service().recordsFor("/app.tar").size(), 1u) << world.logText();
    const auto lines = world.logMessages();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& line) { return line.starts_with("Cannot start"); }),
        c.failedStarts)
        << world.logText();
    EXPECT_TRUE(world.mainAppEntries("start").empty());
    EXPECT_EQ(readAll(programOf(world.installedBundle())), "This is no program.\n");
}

INSTANTIATE_TEST_SUITE_P(
    Program, UnexecutableOffer,
    ::testing::Values(UnexecutableOfferCase{"OverADamagedInstallation", "3.1.0", true, 2},
                      UnexecutableOfferCase{"AsAnUpdate", "3.0.0", false, 1}),
    [](const ::testing::TestParamInfo<UnexecutableOfferCase>& info) { return info.param.name; });

// A launcher stopped while it removed the previous version (after the exchange, the previous
// contents sit under the new version's name) leaves that folder behind. The next start clears
// everything beside "last" before it looks at the installed version; a launcher that finds the
// user's lock held by another touches nothing.
TEST_F(InstallGuard, WhatAnInterruptedInstallationLeftIsClearedAtTheNextStart) {
    const fs::path archive = world.path() / "installed.tar";
    fixture::buildMainAppArchive(archive, {.version = "3.1.0"});
    fixture::extractArchive(archive, appFolder() / "last");
    world.serve("3.1.0");
    const auto whole = snapshot(appFolder() / "last");

    // The previous 3.0.0, half removed: many files, and a folder its owner may not change.
    const fs::path previous = appFolder() / "3.1.0";
    fixture::buildMainAppArchive(world.path() / "previous.tar", {.version = "3.0.0"});
    fixture::extractArchive(world.path() / "previous.tar", previous);
    const fs::path resources = previous / "Zentravo.app" / "Contents" / "Resources";
    for (int folder = 0; folder < 100; ++folder) {
        const fs::path at = resources / std::to_string(folder);
        fs::create_directories(at);
        for (int file = 0; file < 100; ++file) {
            std::ofstream{at / std::to_string(file), std::ios::binary} << "resource";
        }
    }
    fs::permissions(resources / "0", fs::perms(0500));
    // What a removal that failed set aside, a stray file, and a link out of the folder.
    fs::create_directories(appFolder() / ".discarded-3.0.0-Ab12Cd" / "inside");
    std::ofstream{appFolder() / ".discarded-3.0.0-Ab12Cd" / "inside" / "file"} << "x";
    std::ofstream{appFolder() / "stray"} << "x";
    const fs::path kept = world.path() / "kept";
    fs::create_directories(kept);
    std::ofstream{kept / "precious"} << "precious";
    fs::create_directory_symlink(kept, appFolder() / "link-out");
    std::size_t before = 0;
    for (auto it = fs::recursive_directory_iterator{appFolder()}; it != decltype(it){}; ++it) {
        ++before;
    }

    {
        // Another launcher of this user holds the lock: this one hands over and ends.
        const fs::path lockFile = world.path() / "runtime" / "zentravo-launcher.lock";
        const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        auto launcher = startAlone();
        const auto status = launcher->waitExit(60s);
        ::close(fd);
        ASSERT_EQ(status, 0) << readAll(world.path() / "launcher.out");
        std::size_t after = 0;
        for (auto it = fs::recursive_directory_iterator{appFolder()}; it != decltype(it){}; ++it) {
            ++after;
        }
        EXPECT_EQ(after, before);
        EXPECT_TRUE(world.mainAppEntries("start").empty());
    }

    runToTheEnd();
    EXPECT_TRUE(world.logHas("Already have a valid version: 3.1.0")) << world.logText();
    EXPECT_TRUE(
        world.logHas("Removed what an interrupted installation left: '" + previous.string() + "'"))
        << world.logText();
    EXPECT_EQ(world.service().recordsFor("/app.tar").size(), 0u);
    std::vector<fs::path> left;
    for (const auto& entry : fs::directory_iterator{appFolder()}) {
        left.push_back(entry.path().filename());
    }
    EXPECT_EQ(left, std::vector<fs::path>{"last"});
    EXPECT_EQ(snapshot(appFolder() / "last"), whole);
    EXPECT_EQ(readAll(kept / "precious"), "precious");  // the link went, not what it led to
}

// The data folder on a small file system of its own: an update that does not fit, and a
// compression bomb, are refused before they fill it, and the space is given back.
class SmallDataFolder : public InstallGuard {
  protected:
    void SetUp() override {
        const fs::path data = world.path() / "data";
        // A mount namespace of this test process's own: the launcher it starts shares it, and
        // nothing outlives the test.
        if (!fixture::mountPrivateTmpfs(data, "size=128m,mode=0700")) {
            GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
        }
        mounted_ = data;
    }
    void TearDown() override {
        if (!mounted_.empty()) {
            ::umount2(mounted_.c_str(), MNT_DETACH);
        }
    }

    [[nodiscard]] std::uint64_t freeBytes() const {
        struct statvfs fs {};
        ::statvfs(mounted_.c_str(), &fs);
        return static_cast<std::uint64_t>(fs.f_bfree) * fs.f_frsize;
    }

    fs::path mounted_;
};

TEST_F(SmallDataFolder, UpdatesThatDoNotFitAreRefusedAndTheSpaceGivenBack) {
    installWorkingVersion();
    ASSERT_LT(freeBytes(), std::uint64_t{128} << 20);
    struct Case {
        std::string label;
        bool gzip;
        std::string resources;
        la_int64_t zeros;
    };
    std::string noise = fixture::incompressibleBytes(96 << 20);
    const std::vector<Case> cases{{"larger than the free space", false, noise, 0},
                                  {"compression bomb", true, "", la_int64_t{1} << 30}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        writeArchive(published(),
                     with(bundle("3.1.0"),
                          {{"Zentravo.app/Contents/data.bin", AE_IFREG, 0644, c.resources}}),
                     c.gzip, c.zeros);
        const std::uint64_t before = freeBytes();
        offerAndExpectRefusal();
        // The log grows a little; the unpacked bytes are gone again.
        EXPECT_GE(freeBytes() + (1U << 20), before);
        // Each start begins a new log.
        const auto lines = world.logMessages();
        EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                               [](const std::string& line) {
                                   return line.starts_with(
                                       "Uncompress failed: Could not unpack file - The archive "
                                       "unpacks to more than");
                               }),
                  lines.end())
            << world.logText();
    }
    noise.clear();
    expectNextStartRunsTheInstalledVersion();
}

// Folders a member's name creates on its way count against the space too: a small archive of
// names each a hundred folders deep would otherwise make tens of thousands of them.
TEST_F(SmallDataFolder, FoldersThatNamesCreateCountAgainstTheSpace) {
    installWorkingVersion();
    std::vector<Member> members = bundle("3.1.0");
    for (int i = 0; i < 200; ++i) {
        members.push_back(
            {fixture::deepName("Zentravo.app/Contents/Resources/" + std::to_string(i) + "/", 100),
             AE_IFREG, 0644, "x"});
    }
    writeArchive(published(), members, true);
    ASSERT_LT(fs::file_size(published()), std::uintmax_t{1} << 20);
    offerAndExpectRefusal();
    const auto lines = world.logMessages();
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string& line) {
                               return line.starts_with(
                                   "Uncompress failed: Could not unpack file - The archive "
                                   "unpacks to more than");
                           }),
              lines.end())
        << world.logText();
    expectNextStartRunsTheInstalledVersion();
}

// --- What the launcher makes is this user's alone --------------------------------------------

// Another local user, beside the one the launcher runs as.
constexpr uid_t kOtherUser = 65533;

// `path`, and everything below it when it is a folder, made user `uid`'s (links themselves).
void giveTo(const fs::path& path, uid_t uid) {
    ASSERT_EQ(::lchown(path.c_str(), uid, uid), 0) << path;
    if (fs::is_directory(fs::symlink_status(path))) {
        for (const auto& entry : fs::recursive_directory_iterator{path}) {
            ASSERT_EQ(::lchown(entry.path().c_str(), uid, uid), 0) << entry.path();
        }
    }
}

// What below `base` the group or everyone else may change and reach: every folder from `base`
// down to it lets them in. Links are not looked at (their own mode means nothing).
std::vector<std::string> openToOthers(const fs::path& base) {
    std::vector<std::string> found;
    for (const auto& [write, enter] : {std::pair{S_IWGRP, S_IXGRP}, std::pair{S_IWOTH, S_IXOTH}}) {
        struct stat status {};
        if (::lstat(base.c_str(), &status) != 0 || (status.st_mode & enter) == 0) {
            continue;
        }
        for (auto it = fs::recursive_directory_iterator{base}; it != decltype(it){}; ++it) {
            if (::lstat(it->path().c_str(), &status) != 0 || S_ISLNK(status.st_mode)) {
                continue;
            }
            if ((status.st_mode & write) != 0) {
                char mode[8];
                std::snprintf(mode, sizeof mode, "%04o", status.st_mode & 07777);
                found.push_back(it->path().lexically_relative(base).string() + " " + mode);
            }
            if (S_ISDIR(status.st_mode) && (status.st_mode & enter) == 0) {
                it.disable_recursion_pending();
            }
        }
    }
    return found;
}

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 07777;
}

// The umask of this test process, and so of what it starts, for one scope.
class UmaskScope {
  public:
    explicit UmaskScope(mode_t mask) : saved_{::umask(mask)} {}
    ~UmaskScope() { ::umask(saved_); }
    UmaskScope(const UmaskScope&) = delete;
    UmaskScope& operator=(const UmaskScope&) = delete;

  private:
    mode_t saved_;
};

struct UmaskCase {
    std::string name;
    mode_t umask;
    // An earlier start left the launcher's folders open to everyone.
    bool leftOpen;
};

void PrintTo(const UmaskCase& c, std::ostream* os) {
    *os << c.name;
}

class PrivateFolders : public InstallGuard, public ::testing::WithParamInterface<UmaskCase> {};

// Whatever the umask, what the launcher makes for itself (its folders, the log, the web view's
// storage) is its user's alone, and the installed tree has no write for group or others; the main
// application still gets the umask the launcher was started with.
TEST_P(PrivateFolders, NothingTheLauncherMakesIsOpenToOthers) {
    world.serve("3.1.0");
    // Without folder entries: the unpacking makes the folders the names need.
    writeArchive(published(),
                 {{"Zentravo.app/Contents/Info.plist", AE_IFREG, 0644, infoPlist("3.1.0")},
                  {"Zentravo.app/Contents/MacOS/Zentravo", AE_IFREG, 0755,
                   readAll(fixture::mainAppProgram())},
                  {"Zentravo.app/Contents/Resources/deep/er/file", AE_IFREG, 0644, "x"}});
    const fs::path data = world.path() / "data";
    const fs::path cache = world.path() / "cache";
    const std::vector<fs::path> own{data / "ZentravoV3",          data / "ZentravoV3" / "app",
                                    data / "ZentravoV3" / "logs", data / "ZentravoV3" / "download",
                                    data / "zentravo-launcher",   cache / "zentravo-launcher"};
    if (GetParam().leftOpen) {
        for (const fs::path& folder : own) {
            fs::create_directories(folder);
            fs::permissions(folder, fs::perms::all);
        }
    }
    (void)world.runAsUser(fixture::kNobody);  // else this test runs as a user already
    {
        const UmaskScope mask{GetParam().umask};
        ASSERT_NO_FATAL_FAILURE(runToTheEnd());
    }
    const auto starts = world.mainAppEntries("start");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].value("umask", -1), static_cast<int>(GetParam().umask));

    for (const fs::path& base : {data, cache, world.path() / "config"}) {
        EXPECT_EQ(openToOthers(base), std::vector<std::string>{}) << base;
    }
    for (const fs::path& folder : own) {
        EXPECT_EQ(modeOf(folder), 0700u) << folder;
    }
    EXPECT_EQ(modeOf(appFolder() / "last"), 0700u);
    EXPECT_EQ(modeOf(world.logFile()), 0600u);
    for (const auto& entry : fs::recursive_directory_iterator{appFolder() / "last"}) {
        if (!entry.is_symlink()) {
            EXPECT_EQ(modeOf(entry.path()) & 022, 0u) << entry.path();
        }
    }
    const fs::path app = world.installedBundle();
    for (const fs::path& folder :
         {app, app / "Contents", app / "Contents/MacOS", app / "Contents/Resources/deep/er"}) {
        EXPECT_EQ(modeOf(folder), 0755u) << folder;
    }
}

INSTANTIATE_TEST_SUITE_P(Umask, PrivateFolders,
                         ::testing::Values(UmaskCase{"Umask000", 0, false},
                                           UmaskCase{"Umask002", 002, false},
                                           UmaskCase{"LeftOpenByAnEarlierStart", 022, true}),
                         [](const ::testing::TestParamInfo<UmaskCase>& info) {
                             return info.param.name;
                         });

// The installed bundle's program made a script that leaves `marker` when it runs.
void plantProgram(const fs::path& bundle, const fs::path& marker) {
    std::ofstream{programOf(bundle), std::ios::trunc} << "#!/bin/sh\necho planted >> '"
                                                      << marker.string() << "'\n";
    fs::permissions(programOf(bundle), fs::perms(0755));
}

// How the installed version came to be another user's, or open to others' changes.
struct PlantedCase {
    std::string name;
    std::function<void(const fs::path& last)> plant;
};

void PrintTo(const PlantedCase& c, std::ostream* os) {
    *os << c.name;
}

class PlantedInstallation : public InstallGuard,
                            public ::testing::WithParamInterface<PlantedCase> {};

// An installed version that is not the user's alone is not started: it counts as not installed,
// and the version the service offers, the same one, is installed afresh and started.
TEST_P(PlantedInstallation, IsNotStartedAndIsInstalledAfresh) {
    const fs::path archive = world.path() / "installed.tar";
    fixture::buildMainAppArchive(archive, {.version = "3.0.0"});
    fixture::extractArchive(archive, appFolder() / "last");
    const auto whole = snapshot(appFolder() / "last");
    world.serve("3.0.0");
    const fs::path marker = world.path() / "planted";
    plantProgram(world.installedBundle(), marker);
    if (!world.runAsUser(fixture::kNobody)) {
        GTEST_SKIP() << "needs root to give files to other users";
    }
    GetParam().plant(appFolder() / "last");

    ASSERT_NO_FATAL_FAILURE(runToTheEnd());
    EXPECT_FALSE(fs::exists(marker)) << readAll(marker);
    EXPECT_EQ(world.service().recordsFor("/v1/tarvine/update/0.0.0").size(), 1u) << world.logText();
    EXPECT_EQ(snapshot(appFolder() / "last"), whole);
    struct stat status {};
    ASSERT_EQ(::lstat(programOf(world.installedBundle()).c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, fixture::kNobody);
    EXPECT_EQ(modeOf(appFolder() / "last"), 0700u);
}

INSTANTIATE_TEST_SUITE_P(
    Owner, PlantedInstallation,
    ::testing::Values(
        PlantedCase{"LastOfAnotherUser", [](const fs::path& last) { giveTo(last, kOtherUser); }},
        PlantedCase{
            "ProgramOfAnotherUser",
            [](const fs::path& last) { giveTo(programOf(last / "Zentravo.app"), kOtherUser); }},
        PlantedCase{"InfoPlistOfAnotherUser",
                    [](const fs::path& last) {
                        giveTo(last / "Zentravo.app/Contents/Info.plist", kOtherUser);
                    }},
        // As a start with umask 002 left it.
        PlantedCase{"LastOpenToTheGroup",
                    [](const fs::path& last) { fs::permissions(last, fs::perms(0775)); }},
        PlantedCase{
            "BundleOpenToAll",
            [](const fs::path& last) { fs::permissions(last / "Zentravo.app", fs::perms::all); }},
        PlantedCase{"ProgramsFolderOpenToAll",
                    [](const fs::path& last) {
                        fs::permissions(last / "Zentravo.app/Contents/MacOS", fs::perms(0777));
                    }},
        PlantedCase{"ProgramOpenToAll",
                    [](const fs::path& last) {
                        fs::permissions(programOf(last / "Zentravo.app"), fs::perms(0777));
                    }}),
    [](const ::testing::TestParamInfo<PlantedCase>& info) { return info.param.name; });

// The data folder in a folder all users share (sticky, as /tmp), where another user made
// ZentravoV3 first: nothing of it is used, not the installed version, not the log folder; the
// launcher says so and starts nothing.
TEST_F(InstallGuard, AnotherUsersDataFolderIsNotUsed) {
    world.serve("3.0.0");
    const fs::path shared = world.path() / "shared";
    const fs::path theirs = shared / "ZentravoV3";
    fixture::buildMainAppArchive(world.path() / "installed.tar", {.version = "3.0.0"});
    fixture::extractArchive(world.path() / "installed.tar", theirs / "app" / "last");
    fs::create_directories(theirs / "logs");
    const fs::path marker = world.path() / "planted";
    plantProgram(theirs / "app" / "last" / "Zentravo.app", marker);
    if (!world.runAsUser(fixture::kNobody)) {
        GTEST_SKIP() << "needs root to give files to other users";
    }
    ASSERT_NO_FATAL_FAILURE(giveTo(theirs, kOtherUser));
    ASSERT_EQ(::chown(shared.c_str(), 0, 0), 0);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    const auto before = snapshot(theirs);
    world.extraEnvironment["XDG_DATA_HOME"] = shared.string();

    auto launcher = startAlone();
    const fs::path output = world.path() / "launcher.out";
    const std::string refusal = "Update process failed: The folder '" + theirs.string() +
                                "' is another user's: it is not used";
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    while (readAll(output).find(refusal) == std::string::npos && !launcher->waitExit(0ms) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_NE(readAll(output).find(refusal), std::string::npos) << readAll(output);
    launcher->terminate();
    (void)launcher->waitExit(10s);
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_TRUE(world.mainAppEntries("start").empty());
    EXPECT_TRUE(world.service().recordsFor("/app.tar").empty());
    EXPECT_EQ(snapshot(theirs), before);
}

// Mounts of the test's own in a mount namespace of this test process's own: the launchers it
// starts share it, and nothing outlives the test.
class MountedFolders : public InstallGuard {
  protected:
    void SetUp() override {
        if (!fixture::enterPrivateMounts()) {
            GTEST_SKIP() << "cannot mount file systems here: " << std::strerror(errno);
        }
    }
    void TearDown() override {
        for (auto at = mounted_.rbegin(); at != mounted_.rend(); ++at) {
            ::umount2(at->c_str(), MNT_DETACH);
        }
    }

    // `source` bound at `at` (a tmpfs for an empty source), with the mount `flags` (MS_NOEXEC).
    void mount(const fs::path& source, const fs::path& at, unsigned long flags = 0) {
        const bool tmpfs = source.empty();
        ASSERT_EQ(::mount(tmpfs ? "tmpfs" : source.c_str(), at.c_str(), tmpfs ? "tmpfs" : nullptr,
                          tmpfs ? flags : static_cast<unsigned long>(MS_BIND),
                          tmpfs ? "size=1m" : nullptr),
                  0)
            << at << ": " << std::strerror(errno);
        mounted_.push_back(at);
        if (!tmpfs && flags != 0) {
            ASSERT_EQ(::mount(nullptr, at.c_str(), nullptr, MS_REMOUNT | MS_BIND | flags, nullptr),
                      0)
                << at << ": " << std::strerror(errno);
        }
    }

    // Starts the launcher and waits for the "Launcher Update Failed" event it sends; its
    // reason, empty when none came. The launcher is ended then.
    std::string failureOfAStart() {
        const std::size_t earlier = failureReasons().size();
        auto launcher = startAlone();
        std::string reason;
        const auto deadline = std::chrono::steady_clock::now() + 90s;
        while (reason.empty() && std::chrono::steady_clock::now() < deadline &&
               !launcher->waitExit(0ms)) {
            if (const auto reasons = failureReasons(); reasons.size() > earlier) {
                reason = reasons[earlier];
            }
            std::this_thread::sleep_for(100ms);
        }
        launcher->terminate();
        (void)launcher->waitExit(10s);
        return reason;
    }

  private:
    std::vector<fs::path> mounted_;
};

// The data folder on a mount that lets no program run: no version there could start, so each
// start says so and fails as an installation does, before anything is downloaded; with nothing
// installed yet (the install folder is judged by the folder it would be made in) and with a
// version installed.
TEST_F(MountedFolders, ANoexecDataFolderIsToldAndNothingIsDownloaded) {
    const fs::path data = world.path() / "data";
    ASSERT_NO_FATAL_FAILURE(mount(data, data, MS_NOEXEC));
    world.serve("3.1.0");
    for (const bool installed : {false, true}) {
        SCOPED_TRACE(installed ? "a version installed" : "nothing installed");
        if (installed) {
            fixture::buildMainAppArchive(world.path() / "installed.tar", {.version = "3.0.0"});
            fixture::extractArchive(world.path() / "installed.tar", appFolder() / "last");
        }
        EXPECT_EQ(failureOfAStart(), "launcher.process.error.installing") << world.logText();
        EXPECT_TRUE(world.logHas("The install folder '" + appFolder().string() +
                                 "' is on a file system mounted noexec: no program can run "
                                 "from it"))
            << world.logText();
        EXPECT_EQ(world.service().recordsFor("/app.tar").size(), 0u);
        EXPECT_TRUE(world.mainAppEntries("start").empty());
    }
    EXPECT_FALSE(fs::exists(appFolder() / "3.1.0"));
}

// What an interrupted installation left holds a tmpfs and a bind mount of a folder elsewhere:
// the start clears the leftover's own files, keeps every file of the two mounts, says which it
// kept, and runs the installed version.
TEST_F(MountedFolders, ClearingLeftoversStaysOnTheInstallFolderItsFileSystemAndMount) {
    const fs::path archive = world.path() / "installed.tar";
    fixture::buildMainAppArchive(archive, {.version = "3.1.0"});
    fixture::extractArchive(archive, appFolder() / "last");
    world.serve("3.1.0");
    const fs::path leftover = appFolder() / "3.0.0";
    fixture::buildMainAppArchive(world.path() / "previous.tar", {.version = "3.0.0"});
    fixture::extractArchive(world.path() / "previous.tar", leftover);
    const fs::path tmpfs = leftover / "Zentravo.app" / "Contents" / "Resources" / "cache";
    const fs::path bound = leftover / "shared";
    fs::create_directories(tmpfs);
    fs::create_directories(bound);
    const fs::path elsewhere = world.path() / "elsewhere";
    fs::create_directories(elsewhere / "sub");
    std::ofstream{elsewhere / "sub" / "precious"} << "precious";
    ASSERT_NO_FATAL_FAILURE(mount({}, tmpfs));
    ASSERT_NO_FATAL_FAILURE(mount(elsewhere, bound));
    fs::create_directories(tmpfs / "inside");
    std::ofstream{tmpfs / "inside" / "file"} << "mounted";

    runToTheEnd();
    EXPECT_TRUE(world.logHas("Already have a valid version: 3.1.0")) << world.logText();
    for (const fs::path& at : {tmpfs, bound}) {
        EXPECT_TRUE(
            world.logHas("Kept the mount point '" + at.string() + "' and what is mounted there"))
            << world.logText();
    }
    EXPECT_TRUE(world.logHas("Cannot remove what an interrupted installation left: '" +
                             leftover.string() + "': Device or resource busy"))
        << world.logText();
    // Left: the mount points, what they hold, and the folders on the way to them.
    std::set<fs::path> left;
    for (const auto& entry : fs::recursive_directory_iterator{leftover}) {
        left.insert(entry.path().lexically_relative(leftover));
    }
    const std::set<fs::path> expected{"Zentravo.app",
                                      "Zentravo.app/Contents",
                                      "Zentravo.app/Contents/Resources",
                                      "Zentravo.app/Contents/Resources/cache",
                                      "Zentravo.app/Contents/Resources/cache/inside",
                                      "Zentravo.app/Contents/Resources/cache/inside/file",
                                      "shared",
                                      "shared/sub",
                                      "shared/sub/precious"};
    EXPECT_EQ(left, expected);
    EXPECT_EQ(readAll(tmpfs / "inside" / "file"), "mounted");
    EXPECT_EQ(readAll(bound / "sub" / "precious"), "precious");
    EXPECT_EQ(readAll(elsewhere / "sub" / "precious"), "precious");
}

}  // namespace
