// The launcher as users get it: the real binary on the test display, with its own HOME and XDG
// folders, against the local update service on the compiled-in port and the main-application
// stand-in on the socket port.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foreign_process.hpp"
#include "launcher_world.hpp"
#include "tinyproxy.hpp"
#include "x11_desktop.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using launcher_test::LauncherWorld;
using launcher_test::Process;
using launcher_test::X11Desktop;

// The lines of a normal run, in this order, with anything in between.
const std::vector<std::string> kNormalRunLines{
    "Webview loaded?: true",   "Updater loaded?: true", "Webview callbacks loaded",
    "Main window loaded",      "Starting thread",       "Checker thread started",
    "Is webview null?: false", "Message loop started",  "Message loop finished"};

// Where `wanted` first appears in order within `lines`; empty when one is missing or out of order.
std::string firstMissingInOrder(const std::vector<std::string>& lines,
                                const std::vector<std::string>& wanted) {
    auto at = lines.begin();
    for (const auto& line : wanted) {
        at = std::find(at, lines.end(), line);
        if (at == lines.end()) {
            return line;
        }
        ++at;
    }
    return {};
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& line : lines) {
        out += line + "\n";
    }
    return out;
}

// Whether this process may make mount namespaces (it needs CAP_SYS_ADMIN).
bool mountNamespacesWork() {
    fixture::ChildProcess probe{{"/usr/bin/unshare", "--mount", "/bin/true"}};
    return probe.waitExit(std::chrono::seconds{30}) == 0;
}

// Runs `program` in a mount namespace of its own, once the shell `script` (given `argument` as
// $1, `program` after it, and ending in exec of what is left) has prepared that namespace.
std::vector<std::string> inOwnMounts(const std::string& script, const std::string& argument,
                                     const std::string& program) {
    return {"/usr/bin/unshare", "--mount", "--propagation", "private",
            "/bin/sh",          "-c",      script,          "sh",
            argument,           program};
}

using launcher_test::occurrences;
using launcher_test::readAll;

// Launchers of this build started with "--restarted".
std::vector<pid_t> restartedLaunchers() {
    const std::string exe = LauncherWorld::launcherExecutable().string();
    return launcher_test::processesWhere([&](const std::vector<std::string>& argv) {
        return argv[0] == exe && argv.size() > 1 && argv[1] == "--restarted";
    });
}

class LauncherE2E : public ::testing::Test {
  protected:
    void SetUp() override { launcher_test::waitForQuietMachine(); }
    LauncherWorld world;
};

struct ArgumentCase {
    std::vector<std::string> arguments;
    // What the started main application gets before "--launcher".
    std::vector<std::string> handedOver;
};

class LauncherArguments : public LauncherE2E, public ::testing::WithParamInterface<ArgumentCase> {};

TEST_P(LauncherArguments, InstallsAndStartsTheMainApplicationThenEnds) {
    world.serve("3.1.0");
    auto launcher = world.startLauncher(GetParam().arguments);
    ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();

    const auto lines = world.logMessages();
    EXPECT_EQ(firstMissingInOrder(lines, kNormalRunLines), "") << joined(lines);
    EXPECT_TRUE(world.logHas("Starting with " + std::to_string(GetParam().arguments.size() + 1) +
                             " params"));
    EXPECT_TRUE(world.logHas("   Param 0: '" + LauncherWorld::launcherExecutable().string() + "'"));
    EXPECT_TRUE(world.logHas("Update process finished successfully")) << joined(lines);

    // Installed in the user's data folder, then started with the arguments and the tag.
    EXPECT_TRUE(fs::exists(world.installedBundle() / "Contents" / "MacOS" / "Zentravo"));
    const auto starts = world.mainAppEntries("start");
    ASSERT_EQ(starts.size(), 1u) << world.logText();
    std::vector<std::string> expected{fixture::mainAppProgram().filename().string()};
    auto argv = starts[0].at("argv").get<std::vector<std::string>>();
    argv.front() = fs::path{argv.front()}.filename().string();
    expected.insert(expected.end(), GetParam().handedOver.begin(), GetParam().handedOver.end());
    expected.emplace_back("--launcher");
    EXPECT_EQ(argv, expected);
    EXPECT_TRUE(fs::path{starts[0].at("argv")[0].get<std::string>()}.string().starts_with(
        world.installedBundle().string()));
    // Standard input, output and error only: none of the launcher's files or sockets.
    EXPECT_EQ(starts[0].value("fds", nlohmann::json{}), nlohmann::json::array({0, 1, 2}));

    // The page's web data and cache are kept under the launcher's own name, not under WebKit's
    // default, the executable's generic file name. (The cache folder may come later than the
    // launcher's end, when the page had nothing to cache.)
    for (const char* folder : {"data", "cache"}) {
        EXPECT_FALSE(fs::exists(world.path() / folder / "launcher")) << folder;
    }
    EXPECT_TRUE(fs::is_directory(world.path() / "data" / "zentravo-launcher"));

    const auto events = world.analyticsEventTypes();
    EXPECT_EQ(std::count(events.begin(), events.end(), "Launcher Opened"), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "Launcher Update Found"), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "Launcher Update Success"), 1);
}

const std::string kLink = "zentravo://open?game=7&mode=solo";

std::string argumentCaseName(const ::testing::TestParamInfo<ArgumentCase>& info) {
    static const std::vector<std::string> names{"Deeplink",   "Boot",     "DeeplinkWithBoot",
                                                "NoArgument", "Capitals", "SchemeNotFirst"};
    return names.at(info.index);
}

INSTANTIATE_TEST_SUITE_P(
    FirstArgument, LauncherArguments,
    ::testing::Values(ArgumentCase{{kLink}, {kLink}}, ArgumentCase{{"boot"}, {"boot"}},
                      ArgumentCase{{"zentravo://boot"}, {"zentravo://boot", "zentravo://boot"}},
                      ArgumentCase{{}, {}},
                      // Case-sensitive and anchored at the start; later arguments are ignored.
                      ArgumentCase{{"Zentravo://open"}, {}},
                      ArgumentCase{{"x-zentravo://open", "boot"}, {}}),
    argumentCaseName);

// An installed launcher needs nothing from the build tree: run from its prefix with the build's
// certificate folder hidden (an empty folder mounted over it, in a mount namespace of the
// launcher's own), every HTTPS request still trusts the services' CA, which is compiled in.
TEST_F(LauncherE2E, InstalledLauncherNeedsNothingFromTheBuildTree) {
    if (!mountNamespacesWork()) {
        GTEST_SKIP() << "no mount namespace here (needs CAP_SYS_ADMIN)";
    }
    const fs::path prefix = world.path() / "prefix";
    fixture::ChildProcess install{
        {LAUNCHER_CMAKE_COMMAND, "--install", LAUNCHER_BINARY_DIR, "--prefix", prefix.string()},
        {},
        {.output = world.path() / "install.out"}};
    ASSERT_EQ(install.waitExit(120s), 0);
    ASSERT_TRUE(fs::exists(fs::path{LAUNCHER_CERT_DIR} / "ca.pem"));

    world.serve("3.1.0");
    const std::vector<std::string> argv =
        inOwnMounts("mount -t tmpfs none \"$1\" && test ! -e \"$1/ca.pem\" && shift && exec \"$@\"",
                    LAUNCHER_CERT_DIR, (prefix / "bin" / "launcher").string());
    Process launcher{argv, world.environment(), world.path() / "launcher.out"};
    ASSERT_EQ(launcher.waitExit(90s), 0) << world.logText();

    const auto lines = world.logMessages();
    EXPECT_TRUE(world.logHas("Update process finished successfully")) << joined(lines);
    EXPECT_EQ(lines.end(), std::find_if(lines.begin(), lines.end(),
                                        [](const std::string& line) {
                                            return line.find("certificate") != std::string::npos;
                                        }))
        << joined(lines);
    EXPECT_TRUE(fs::exists(world.installedBundle() / "Contents" / "MacOS" / "Zentravo"));
    EXPECT_EQ(world.mainAppEntries("start").size(), 1u);
    const auto events = world.analyticsEventTypes();
    EXPECT_EQ(std::count(events.begin(), events.end(), "Launcher Opened"), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "Launcher Update Success"), 1);
}

// The exception types of the error reports a run made, by event id: those the service received
// and those kept in the report folder `kept` for a later start (a run does not wait for its
// reports to go out; one cut short at the end may be both). An empty `kept`: received ones only.
std::map<std::string, std::string> errorReportTypes(const std::vector<nlohmann::json>& received,
                                                    const fs::path& kept = {}) {
    std::vector<std::string> envelopes;
    for (const auto& record : received) {
        envelopes.push_back(record.value("body", ""));
    }
    std::error_code error;
    for (const auto& entry : fs::directory_iterator{kept, error}) {
        if (entry.path().extension() == ".envelope") {
            envelopes.push_back(readAll(entry.path()));
        }
    }
    std::map<std::string, std::string> types;
    for (const auto& envelope : envelopes) {
        // header line, item header line, event
        std::istringstream lines{envelope};
        std::string line;
        for (int i = 0; i < 3 && std::getline(lines, line); ++i) {
        }
        const auto event = nlohmann::json::parse(line, nullptr, false);
        if (event.is_object() && event.contains("exception")) {
            types[event.value("event_id", "")] = event["exception"]["values"][0].value("type", "");
        }
    }
    return types;
}

// How many of `types` are `type`.
long reportsOfType(const std::map<std::string, std::string>& types, const std::string& type) {
    return std::count_if(types.begin(), types.end(),
                         [&](const auto& report) { return report.second == type; });
}

// Most virtual machines and systems on a chip have no PCI display device (a mount namespace of
// the launcher's own gives it an empty PCI device folder). Every analytics event asks for the GPU
// name; the failed lookup is reported once per run, not once per event.
TEST_F(LauncherE2E, WithoutADisplayDeviceTheGpuLookupIsReportedOncePerRun) {
    if (!mountNamespacesWork()) {
        GTEST_SKIP() << "no mount namespace here (needs CAP_SYS_ADMIN)";
    }
    world.serve("3.1.0");
    const std::vector<std::string> argv = inOwnMounts(
        "if [ -d \"$1\" ]; then mount -t tmpfs none \"$1\" || exit 97; fi; shift; exec \"$@\"",
        "/sys/bus/pci/devices", LauncherWorld::launcherExecutable().string());
    Process launcher{argv, world.environment(), world.path() / "launcher.out"};
    ASSERT_EQ(launcher.waitExit(90s), 0) << world.logText();
    ASSERT_TRUE(world.logHas("Update process finished successfully")) << world.logText();
    const auto events = world.analyticsEventTypes();
    ASSERT_GE(events.size(), 3u) << "an ordinary install sends several analytics events";

    const auto types = errorReportTypes(world.service().recordsFor("/api/7/envelope/"),
                                        world.path() / "tmp" / "zentravo-reports-3");
    EXPECT_EQ(reportsOfType(types, "Get GPU Name"), 1) << ::testing::PrintToString(types);
}

// ARM servers list only the implementer and part of their processors, no model name (a
// processor list of that kind is mounted over the launcher's own, in a mount namespace of its
// own). Every analytics event asks for the CPU name; the failed lookup is reported once per run.
TEST_F(LauncherE2E, WithoutAProcessorModelTheCpuLookupIsReportedOncePerRun) {
    if (!mountNamespacesWork()) {
        GTEST_SKIP() << "no mount namespace here (needs CAP_SYS_ADMIN)";
    }
    const fs::path cpuinfo = world.path() / "cpuinfo";
    {
        std::ofstream out{cpuinfo};
        for (int processor = 0; processor < 4; ++processor) {
            out << "processor\t: " << processor
                << "\nBogoMIPS\t: 50.00\nFeatures\t: fp asimd evtstrm aes pmull sha1 sha2 crc32"
                   "\nCPU implementer\t: 0x41\nCPU architecture: 8\nCPU variant\t: 0x3\n"
                   "CPU part\t: 0xd0c\nCPU revision\t: 1\n\n";
        }
    }
    world.serve("3.1.0");
    const std::vector<std::string> argv =
        inOwnMounts("mount --bind \"$1\" /proc/cpuinfo || exit 97; shift; exec \"$@\"",
                    cpuinfo.string(), LauncherWorld::launcherExecutable().string());
    Process launcher{argv, world.environment(), world.path() / "launcher.out"};
    ASSERT_EQ(launcher.waitExit(90s), 0) << readAll(world.path() / "launcher.out");
    ASSERT_TRUE(world.logHas("Update process finished successfully")) << world.logText();
    const auto events = world.analyticsEventTypes();
    ASSERT_GE(events.size(), 3u) << "an ordinary install sends several analytics events";
    // Each event carried the (empty) name all the same.
    for (const auto& record : world.service().recordsFor("/2/httpapi")) {
        const auto body = nlohmann::json::parse(record.value("body", ""), nullptr, false);
        for (const auto& event : body.value("events", nlohmann::json::array())) {
            EXPECT_EQ(event["event_properties"].value("cpu_name", "?"), "") << event.dump();
        }
    }

    const auto types = errorReportTypes(world.service().recordsFor("/api/7/envelope/"),
                                        world.path() / "tmp" / "zentravo-reports-3");
    EXPECT_EQ(reportsOfType(types, "Get CPU Name"), 1) << ::testing::PrintToString(types);
}

TEST_F(LauncherE2E, RunningMainApplicationGetsTheDeeplinkAndNoWindowOpens) {
    auto mainApp = world.startMainApp();
    auto launcher = world.startLauncher({kLink});
    ASSERT_EQ(launcher->waitExit(30s), 0) << world.logText();

    const auto lines = world.logMessages();
    EXPECT_EQ(firstMissingInOrder(lines, {"Checking if restarted -> '" + kLink + "' vs 'restarted'",
                                          "Detected V3 instance already running.",
                                          "Detected Deeplink. Sending & closing...",
                                          "Deeplink sent successfully to Zentravo V3."}),
              "")
        << joined(lines);
    EXPECT_FALSE(world.logHas("Main window loaded"));
    const auto events = world.mainAppEvents();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().value("subType", ""), "kClientAdded");
    EXPECT_EQ(events.back().value("clientName", ""), kLink);
    EXPECT_EQ(world.mainAppEntries("start").size(), 1u);  // nothing else started
}

TEST_F(LauncherE2E, RunningMainApplicationWithoutDeeplinkOrWithAnUnsendableOneEndsQuietly) {
    auto mainApp = world.startMainApp();
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{}, std::vector<std::string>{"zentravo://bad\xff\xfe"}}) {
        auto launcher = world.startLauncher(arguments);
        ASSERT_EQ(launcher->waitExit(30s), 0) << world.logText();
        EXPECT_TRUE(world.logHas("Detected V3 instance already running.")) << world.logText();
        EXPECT_FALSE(world.logHas("Main window loaded"));
        EXPECT_EQ(world.logHas("Unable to send Deeplink to Zentravo V3."), !arguments.empty())
            << world.logText();
    }
    // No link reached the main application (other programs may ask whether it runs).
    for (const auto& event : world.mainAppEvents()) {
        EXPECT_NE(event.value("subType", ""), "kClientAdded") << event.dump();
    }
}

// A launcher restarted from the page (the restart flag) or started by the running launcher to take
// its place (the relaunch mark) runs beside a running main application.
class RestartedLauncher : public LauncherE2E, public ::testing::WithParamInterface<bool> {};

TEST_P(RestartedLauncher, SkipsTheInstanceChecks) {
    const bool relaunched = GetParam();
    world.serve("3.1.0");
    auto mainApp = world.startMainApp();
    if (relaunched) {
        world.extraEnvironment["ZENTRAVO_LAUNCHER_RELAUNCH"] = "1";
    }
    auto launcher = world.startLauncher(relaunched ? std::vector<std::string>{}
                                                   : std::vector<std::string>{"--restarted"});
    ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();
    const auto lines = world.logMessages();
    EXPECT_EQ(firstMissingInOrder(lines, {"Detected V3 being restarted.", "Main window loaded",
                                          "Message loop finished"}),
              "")
        << joined(lines);
    EXPECT_EQ(world.logHas("Checking if restarted -> '--restarted' vs 'restarted'"), !relaunched)
        << joined(lines);
    EXPECT_FALSE(world.logHas("Detected V3 instance already running."));
}

INSTANTIATE_TEST_SUITE_P(FlagOrMark, RestartedLauncher, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "RelaunchMark" : "Flag"; });

// Any web page can make a deep link that holds the restart word: it is a link like any other.
// The running main application gets it, and the version it runs from stays as it is.
TEST_F(LauncherE2E, DeeplinkHoldingTheRestartWordGoesToTheRunningApplication) {
    const fs::path archive = world.path() / "installed.tar";
    fixture::buildMainAppArchive(archive, {.version = "3.0.0"});
    fixture::extractArchive(archive, world.path() / "data" / "ZentravoV3" / "app" / "last");
    world.serve("3.1.0");
    const fs::path program = world.installedBundle() / "Contents" / "MacOS" / "Zentravo";
    const fs::path infoPlist = world.installedBundle() / "Contents" / "Info.plist";
    const std::string installed = readAll(infoPlist);
    Process running{
        {program.string(), "--launcher"}, world.environment(), world.path() / "mainapp.out"};
    ASSERT_TRUE(fixture::waitForRecord(world.mainAppRecord(), "listening", 30s))
        << readAll(world.path() / "mainapp.out");

    const std::string link = "zentravo://open/?next=restarted";
    auto launcher = world.startLauncher({link});
    ASSERT_EQ(launcher->waitExit(60s), 0) << world.logText();
    const auto lines = world.logMessages();
    EXPECT_EQ(firstMissingInOrder(lines, {"Checking if restarted -> '" + link + "' vs 'restarted'",
                                          "Detected V3 instance already running.",
                                          "Deeplink sent successfully to Zentravo V3."}),
              "")
        << joined(lines);
    EXPECT_FALSE(world.logHas("Detected V3 being restarted.")) << joined(lines);
    const auto starts = world.mainAppEntries("start");
    ASSERT_EQ(starts.size(), 1u) << joined(lines);
    EXPECT_EQ(starts[0].value("pid", 0), running.pid());
    const auto events = world.mainAppEvents();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().value("subType", ""), "kClientAdded");
    EXPECT_EQ(events.back().value("clientName", ""), link);
    EXPECT_EQ(readAll(infoPlist), installed);
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(running.pid()) + "/exe"), program);
    EXPECT_TRUE(world.service().recordsFor("/app.tar").empty());
}

// A self-update killed midway leaves its staging folder beside the bundle. The next start of the
// installed launcher removes that, and only that: nothing through a link, nothing of another
// user's, nothing that merely looks alike.
// A bundle of this build's launcher in `holder`, as installed, with the resources it reads.
void installLauncherBundle(const LauncherWorld& world, const fs::path& holder) {
    const fs::path archive = world.path() / "launcher-bundle.tar";
    fixture::ChildProcess tool{{fixture::mainAppBundleTool().string(), "--output", archive.string(),
                                "--version", "1.6.24", "--program",
                                LauncherWorld::launcherExecutable().string()}};
    ASSERT_EQ(tool.waitExit(60s), 0);
    fixture::extractArchive(archive, holder);
    fs::copy(fs::path{LAUNCHER_BINARY_DIR} / "resources",
             holder / "Zentravo.app/Contents/resources", fs::copy_options::recursive);
}

// A file of `size` bytes, with the folders on the way to it.
void writeFile(const fs::path& file, std::size_t size) {
    fs::create_directories(file.parent_path());
    std::ofstream{file, std::ios::binary} << std::string(size, 'z');
}

TEST_F(LauncherE2E, WhatAKilledSelfUpdateLeftIsRemovedAtTheNextStart) {
    world.serve("3.1.0");
    const fs::path holder = world.path() / "apps";
    ASSERT_NO_FATAL_FAILURE(installLauncherBundle(world, holder));

    const auto write = writeFile;
    // What must survive: a folder the links below point to.
    const fs::path kept = world.path() / "kept";
    write(kept / "precious", 100);
    // A real leftover: the archive, the previous bundle, a folder its owner may not change, and a
    // link out of it.
    const fs::path leftover = holder / ".Zentravo.app.update-Ab12Cd";
    write(leftover / "update.archive", 1 << 20);
    write(leftover / "unpacked/Zentravo.app/Contents/MacOS/Zentravo", 4096);
    write(leftover / "unpacked/locked/inside", 10);
    fs::permissions(leftover / "unpacked/locked", fs::perms(0500));
    fs::create_directory_symlink(kept, leftover / "link-out");
    // Named like a leftover, but a link, a file, or another user's folder.
    const fs::path link = holder / ".Zentravo.app.update-Lk34Mn";
    fs::create_directory_symlink(kept, link);
    const fs::path file = holder / ".Zentravo.app.update-Fi78Le";
    write(file, 10);
    const fs::path foreign = holder / ".Zentravo.app.update-Fo56Rn";
    write(foreign / "theirs", 10);
    const bool canChown = ::geteuid() == 0;
    if (canChown) {
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    }
    // Names that merely resemble one.
    std::vector<fs::path> alike;
    for (const char* name : {".Zentravo.app.update-Ab12C", ".Zentravo.app.update-Ab12Cde",
                             ".Zentravo.app.update-Ab_2Cd", ".Zentravo.app.update-Ab12C\xe9",
                             "Zentravo.app.update-Ab12Cd", ".zentravo.app.update-Ab12Cd",
                             ".Zentravo.app.updatE-Ab12Cd"}) {
        alike.push_back(holder / name);
        write(alike.back() / "update.archive", 10);
    }

    const fs::path program = holder / "Zentravo.app/Contents/MacOS/Zentravo";
    Process launcher{{program.string()}, world.environment(), world.path() / "launcher.out"};
    ASSERT_EQ(launcher.waitExit(90s), 0) << world.logText();
    EXPECT_TRUE(world.logHas("Update process finished successfully")) << world.logText();

    EXPECT_FALSE(fs::exists(fs::symlink_status(leftover))) << world.logText();
    EXPECT_TRUE(world.logHas("Removed the leftover of an interrupted launcher update: '" +
                             leftover.string() + "'"))
        << world.logText();
    EXPECT_EQ(readAll(kept / "precious"), std::string(100, 'z'));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
    if (canChown) {
        EXPECT_TRUE(fs::exists(foreign / "theirs"));
    } else {
        EXPECT_FALSE(fs::exists(foreign)) << "a folder of the user's own";
    }
    for (const fs::path& other : alike) {
        EXPECT_TRUE(fs::exists(other / "update.archive")) << other;
    }
    EXPECT_TRUE(fs::exists(program));
    const auto lines = world.logMessages();
    EXPECT_EQ(std::count_if(
                  lines.begin(), lines.end(),
                  [](const std::string& line) { return line.starts_with("Removed the leftover"); }),
              1)
        << joined(lines);
}

// Leftovers whose folders deny their owner entry, listing or change, their top folders included:
// one start removes them all, and a link out of one leaves what it points to alone. Run as a
// user for whom the modes are obeyed (root passes every permission check).
TEST_F(LauncherE2E, LeftoversThatShutTheirOwnerOutAreRemovedAtTheNextStart) {
    world.serve("3.1.0");
    const fs::path holder = world.path() / "apps";
    ASSERT_NO_FATAL_FAILURE(installLauncherBundle(world, holder));
    const fs::path kept = world.path() / "kept";
    writeFile(kept / "precious", 100);
    fs::permissions(kept / "precious", fs::perms(0640));

    const fs::path nested = holder / ".Zentravo.app.update-Ne5tEd";
    writeFile(nested / "unpacked/open/shut/inside", 10);
    fs::create_directory_symlink(kept, nested / "unpacked/open/shut/link-out");
    const fs::path closedTop = holder / ".Zentravo.app.update-C1osed";
    writeFile(closedTop / "update.archive", 1000);
    fs::create_directories(closedTop / "unpacked");
    const fs::path readOnlyTop = holder / ".Zentravo.app.update-R3adOn";
    writeFile(readOnlyTop / "update.archive", 1000);
    (void)world.runAsUser(fixture::kNobody);  // else this test runs as a user already
    fs::permissions(nested / "unpacked/open/shut", fs::perms::none);
    fs::permissions(nested / "unpacked/open", fs::perms(0500));
    fs::permissions(closedTop, fs::perms::none);
    fs::permissions(readOnlyTop, fs::perms(0500));

    const fs::path program = holder / "Zentravo.app/Contents/MacOS/Zentravo";
    Process launcher{world.command({program.string()}), world.environment(),
                     world.path() / "launcher.out"};
    ASSERT_EQ(launcher.waitExit(90s), 0) << world.logText();
    EXPECT_TRUE(world.logHas("Update process finished successfully")) << world.logText();
    for (const fs::path& leftover : {nested, closedTop, readOnlyTop}) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(leftover))) << leftover << world.logText();
        EXPECT_TRUE(world.logHas("Removed the leftover of an interrupted launcher update: '" +
                                 leftover.string() + "'"))
            << world.logText();
    }
    EXPECT_EQ(readAll(kept / "precious"), std::string(100, 'z'));
    EXPECT_EQ(fs::status(kept).permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(kept / "precious").permissions(), fs::perms(0640));
    EXPECT_TRUE(fs::exists(program));
}

// What a run leaves for others to read: libcurl's trace on standard error keeps no proxy
// credentials, the log keeps no analytics key, and only its owner may read the log.
TEST_F(LauncherE2E, TraceAndLogKeepNoSecrets) {
    world.serve("3.1.0");
    launcher_test::Tinyproxy proxy;
    ASSERT_TRUE(proxy.running());
    world.extraEnvironment["http_proxy"] = proxy.url();
    world.extraEnvironment["GSETTINGS_BACKEND"] = "memory";
    auto launcher = world.startLauncher();
    ASSERT_EQ(launcher->waitExit(90s), 0) << world.logText();
    ASSERT_TRUE(world.logHas("Update process finished successfully")) << world.logText();

    // The launcher's and the main application's version requests went through the proxy, with
    // its credentials; the trace shows each CONNECT but not the credentials.
    const std::string trace = readAll(world.path() / "launcher.out");
    const std::string connect = "> CONNECT 127.0.0.1:" + std::to_string(LAUNCHER_FIXTURE_PORT);
    EXPECT_GE(occurrences(trace, connect), 2u) << trace;
    EXPECT_EQ(occurrences(trace, "\nProxy-Authorization: Basic ***\r\n"),
              occurrences(trace, connect))
        << trace;
    EXPECT_EQ(trace.find("YWxpY2U6czNjcmV0"), std::string::npos) << "base64 of alice:s3cret";
    EXPECT_EQ(trace.find("s3cret"), std::string::npos);
    EXPECT_GE(occurrences(proxy.log(), "CONNECT"), 2u) << proxy.log();

    // The analytics body is logged with its key masked; the service got the real one.
    const auto sent = world.service().recordsFor("/2/httpapi");
    ASSERT_FALSE(sent.empty());
    const std::string key = nlohmann::json::parse(sent[0].value("body", "")).value("api_key", "");
    ASSERT_FALSE(key.empty());
    const std::string log = world.logText();
    EXPECT_EQ(log.find(key), std::string::npos);
    EXPECT_NE(log.find("Request body -> {\"api_key\":\"***\",\"events\":["), std::string::npos)
        << log;
    EXPECT_EQ(fs::status(world.logFile()).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}

// Asks the launcher to close `window` while the service holds the download back, and lets the
// download go once the close has been taken: the launcher has left its message loop and waits
// for its checker thread, the update stopped.
void closeThenRelease(LauncherWorld& world, X11Desktop& desktop, const Process& launcher,
                      xcb_window_t window) {
    desktop.requestClose(window);
    EXPECT_TRUE(launcher_test::waitForMainThreadJoining(launcher.pid(), 30s)) << world.logText();
    world.service().release("/app.tar");
}

const nlohmann::json kHeldDownload = {{"paths", {{"/app.tar", {{"hold", true}}}}}};

// What TMPDIR names: a usable folder, one that is gone (left from a closed session) or a file.
enum class Temporary { usable, gone, file };

class TemporaryFolder : public LauncherE2E, public ::testing::WithParamInterface<Temporary> {};

// Error reporting starts whatever TMPDIR names: the report folder lies in it when it is usable and
// in the user's data folder when it is not. A start that fails sends its error report while the
// window shows the error, and the window is there to be closed.
TEST_P(TemporaryFolder, AFailingStartSendsItsErrorReports) {
    world.serve("3.1.0");
    auto answer = launcher_test::updateAnswer("3.1.0");
    answer["appVersion"] = "newest";  // no version number: the start fails
    world.answer(answer);
    const fs::path shared = world.path() / "tmp" / "zentravo-reports-3";
    const fs::path own = world.path() / "data" / "ZentravoV3" / "crash-reports";
    std::string reason;
    if (GetParam() == Temporary::gone) {
        world.extraEnvironment["TMPDIR"] = (world.path() / "gone").string();
        reason = "No such file or directory";
    } else if (GetParam() == Temporary::file) {
        std::ofstream{world.path() / "plain-file"} << "not a folder";
        world.extraEnvironment["TMPDIR"] = (world.path() / "plain-file").string();
        reason = "Not a directory";
    }
    const fs::path reports = reason.empty() ? shared : own;

    X11Desktop desktop{world.display()};
    ASSERT_TRUE(desktop.connected());
    auto launcher = world.startLauncher();
    const auto window = desktop.waitForWindow(launcher->pid(), 30s);
    ASSERT_TRUE(window) << world.logText();
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (reportsOfType(errorReportTypes(world.service().recordsFor("/api/7/envelope/")),
                         "getLatestVersion Failed") == 0) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline)
            << "no error report reached the service\n"
            << world.logText();
        std::this_thread::sleep_for(100ms);
    }
    desktop.requestClose(window->id);
    ASSERT_EQ(launcher->waitExit(30s), 0) << world.logText();

    const auto lines = world.logMessages();
    EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.starts_with("Error initializing Sentry: ");
    })) << joined(lines);
    EXPECT_EQ(firstMissingInOrder(
                  lines, {"Main window loaded", "Message loop started", "Message loop finished"}),
              "")
        << joined(lines);
    if (!reason.empty()) {
        EXPECT_TRUE(world.logHas("The temporary folder cannot be used (" + reason +
                                 "): keeping crash reports in " + own.string()))
            << joined(lines);
    }
    struct stat status {};
    ASSERT_EQ(::lstat(reports.c_str(), &status), 0) << reports;
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    EXPECT_FALSE(fs::exists(reason.empty() ? own : shared));
}

INSTANTIATE_TEST_SUITE_P(Tmpdir, TemporaryFolder,
                         ::testing::Values(Temporary::usable, Temporary::gone, Temporary::file),
                         [](const auto& info) {
                             switch (info.param) {
                                 case Temporary::usable:
                                     return "Usable";
                                 case Temporary::gone:
                                     return "Gone";
                                 case Temporary::file:
                                     return "AFile";
                             }
                             return "";
                         });

// The download is held back by the service, so the window shows it until it is closed.
TEST_F(LauncherE2E, WindowCloseRequestDuringTheDownloadStopsTheLauncher) {
    world.serve("3.1.0", kHeldDownload);
    auto launcher = world.startLauncher();
    X11Desktop desktop{world.display()};
    ASSERT_TRUE(desktop.connected());
    const auto window = desktop.waitForWindow(launcher->pid(), 30s);
    ASSERT_TRUE(window) << world.logText();
    EXPECT_EQ(window->width, 390);
    EXPECT_EQ(window->height, 120);
    ASSERT_TRUE(world.waitForLog("About to download update", 30s)) << world.logText();
    std::this_thread::sleep_for(1s);

    // A picture of the window while the download runs, kept in the build tree.
    const fs::path shots = fs::path{LAUNCHER_BINARY_DIR} / "screenshots";
    fs::create_directories(shots);
    Process import{{"/usr/bin/import", "-window", std::to_string(window->id),
                    (shots / "launcher-download.png").string()},
                   world.environment(),
                   world.path() / "import.out"};
    EXPECT_EQ(import.waitExit(20s), 0);

    closeThenRelease(world, desktop, *launcher, window->id);
    ASSERT_EQ(launcher->waitExit(30s), 0) << world.logText();
    EXPECT_TRUE(world.logHas("Message loop finished"));
    EXPECT_TRUE(world.logHas("Stopping update process by downloadUpdate")) << world.logText();
    EXPECT_TRUE(world.mainAppEntries("start").empty());
    EXPECT_FALSE(fs::exists(world.installedBundle()));
}

// A launcher that does not end can be looked into without ending it, also as another user's:
// each thread's stack shows where it waits (here the held download), so that a stall can be told
// from a slow machine.
TEST_F(LauncherE2E, ThreadStacksOfARunningLauncherShowWhereItWaits) {
    world.serve("3.1.0", kHeldDownload);
    (void)world.runAsUser(fixture::kNobody);  // else this test runs as a user already
    auto launcher = world.startLauncher();
    ASSERT_TRUE(world.waitForLog("About to download update", 30s)) << world.logText();
    const std::string report = fixture::threadStacks(launcher->pid());
    EXPECT_NE(report.find("\nThread 1 "), std::string::npos) << report;
    EXPECT_NE(report.find(" in main("), std::string::npos) << report;
    EXPECT_NE(report.find(" in curl_easy_perform "), std::string::npos) << report;
    EXPECT_FALSE(launcher->waitExit(0ms));
}

// An answer the launcher cannot use: the page shows the error with its retry and close buttons.
class FailedUpdate : public LauncherE2E {
  protected:
    void startFailing() {
        world.serve("3.1.0");
        auto answer = launcher_test::updateAnswer("3.1.0");
        answer["appVersion"] = "newest";
        world.answer(answer);
        launcher = world.startLauncher();
        ASSERT_TRUE(desktop.connected());
        window = desktop.waitForWindow(launcher->pid(), 30s);
        ASSERT_TRUE(window) << world.logText();
        // The error is on the page once the sequence has given up; give the page a moment.
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        for (;;) {
            const auto events = world.analyticsEventTypes();
            if (std::find(events.begin(), events.end(), "Launcher Update Failed") != events.end()) {
                break;
            }
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << world.logText();
            std::this_thread::sleep_for(100ms);
        }
        // A cold web view on a busy machine may load its page only after that.
        ASSERT_TRUE(world.waitForLog("Unlocking checker thread", 30s)) << world.logText();
        std::this_thread::sleep_for(700ms);
    }
    void TearDown() override {
        for (const pid_t pid : restartedLaunchers()) {
            ::kill(pid, SIGKILL);
        }
    }

    X11Desktop desktop{world.display()};
    std::unique_ptr<Process> launcher;
    std::optional<launcher_test::WindowInfo> window;
};

TEST_F(FailedUpdate, CloseButtonEndsTheLauncherWithoutRestart) {
    startFailing();
    // Still running: the window stays open with the error.
    EXPECT_FALSE(launcher->waitExit(1s));
    desktop.click(window->x + 363, window->y + 25);
    ASSERT_EQ(launcher->waitExit(30s), 0) << world.logText();
    EXPECT_TRUE(world.logHas("Message loop finished"));
    EXPECT_TRUE(restartedLaunchers().empty());
    EXPECT_TRUE(world.mainAppEntries("start").empty());
}

TEST_F(FailedUpdate, RetryButtonRestartsTheLauncher) {
    startFailing();
    // The fresh launcher starts a new log as soon as this one has ended, so the line is looked
    // for while this one still runs.
    const std::string restarting =
        "About to restart launcher with '" + LauncherWorld::launcherExecutable().string() + "'";
    const auto said = [&](std::chrono::milliseconds patience) {
        const auto until = std::chrono::steady_clock::now() + patience;
        while (!world.logHas(restarting)) {
            if (std::chrono::steady_clock::now() >= until) {
                return false;
            }
            std::this_thread::sleep_for(2ms);
        }
        return true;
    };
    // The button sits below one or two lines of error text.
    desktop.click(window->x + 70, window->y + 85);
    if (!said(2s)) {
        desktop.click(window->x + 70, window->y + 100);
    }
    EXPECT_TRUE(said(30s)) << world.logText();
    ASSERT_EQ(launcher->waitExit(30s), 0) << world.logText();

    // The fresh launcher starts over with the restart flag and shows its own window.
    std::vector<pid_t> restarted;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while ((restarted = restartedLaunchers()).empty()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(restarted.size(), 1u);
    ASSERT_TRUE(world.waitForLog("Detected V3 being restarted.", 30s)) << world.logText();
    const auto second = desktop.waitForWindow(restarted[0], 30s);
    ASSERT_TRUE(second);
    desktop.requestClose(second->id);
    const auto gone = std::chrono::steady_clock::now() + 30s;
    while (::kill(restarted[0], 0) == 0 && std::chrono::steady_clock::now() < gone) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_NE(::kill(restarted[0], 0), 0) << "the restarted launcher did not end";
}

}  // namespace
