// Machine facts read from fixture trees: values, caching rules and the failure reports.
#include "platform/system_info.hpp"

#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "captured_log.hpp"
#include "paths.hpp"
#include "scratch_folder.hpp"
#include "system.hpp"

namespace {

using zentravo::system::SystemInfo;

struct Report {
    std::string title;
    std::string detail;
    bool operator==(const Report&) const = default;
    friend void PrintTo(const Report& report, std::ostream* out) {
        *out << '"' << report.title << "\" / \"" << report.detail << '"';
    }
};

class FactsFromFixture : public ::testing::Test {
  protected:
    void write(const std::filesystem::path& relative, const std::string& text) {
        std::filesystem::create_directories((root / relative).parent_path());
        std::ofstream{root / relative} << text;
    }
    void remove(const std::filesystem::path& relative) {
        std::filesystem::remove_all(root / relative);
    }

    fixture::ScratchFolder root;
    std::vector<Report> reports;
    SystemInfo info{root.path(), [this](std::string_view title, std::string_view detail) {
                        reports.push_back({std::string{title}, std::string{detail}});
                    }};
};

TEST(OsVersionFromRelease, KeepsThreeLeadingNumbers) {
    const std::map<std::string, std::string> cases{
        {"6.1.0-18-amd64", "6.1.0"}, {"14.5", "14.5.0"},   {"5", "5.0.0"},
        {"4.19.0.1", "4.19.0"},      {"6.5-rc2", "6.5.0"}, {"", "0.0.0"},
        {"generic", "0.0.0"},        {"6..1", "6.0.0"},
    };
    for (const auto& [release, expected] : cases) {
        EXPECT_EQ(zentravo::system::osVersionFromRelease(release), expected) << release;
    }
}

TEST_F(FactsFromFixture, OsVersionIsComputedOnceEvenWhenUnavailable) {
    EXPECT_EQ(info.osVersion(), "0.0.0");
    write("proc/sys/kernel/osrelease", "14.5.0-generic\n");
    EXPECT_EQ(info.osVersion(), "0.0.0");

    SystemInfo other{root.path(), {}};
    EXPECT_EQ(other.osVersion(), "14.5.0");
    write("proc/sys/kernel/osrelease", "15.0.0\n");
    EXPECT_EQ(other.osVersion(), "14.5.0");
    EXPECT_TRUE(reports.empty());
}

TEST_F(FactsFromFixture, MachineUuidIsAskedAgainWhileEmptyAndKeptOnceFound) {
    EXPECT_EQ(info.machineUUID(), "");
    write("etc/machine-id", "not-a-machine-id\n");
    EXPECT_EQ(info.machineUUID(), "");
    write("etc/machine-id", "0123456789abcdef0123456789ABCDEF\n");
    EXPECT_EQ(info.machineUUID(), "01234567-89ab-cdef-0123-456789ABCDEF");
    write("etc/machine-id", "ffffffffffffffffffffffffffffffff\n");
    EXPECT_EQ(info.machineUUID(), "01234567-89ab-cdef-0123-456789ABCDEF");
    EXPECT_TRUE(reports.empty()) << "a missing machine id is never reported";
}

// Each analytics event asks for the CPU name: whatever the first lookup found, or failed to find,
// holds for the process, and a failure is reported once.
TEST_F(FactsFromFixture, CpuNameIsLookedUpOnceAndAFailureReportedOnce) {
    const Report failure{"Get CPU Name",
                         "Unable to get `machdep.cpu.brand_string` property. Error [-1]"};
    struct Case {
        const char* name;
        std::optional<std::string> cpuinfo;
        std::string cpu;
        std::vector<Report> reports;
    };
    const std::vector<Case> cases{
        {"no cpuinfo", std::nullopt, "", {failure}},
        {"an ARM server: implementer and part only",
         "processor\t: 0\nBogoMIPS\t: 50.00\nFeatures\t: fp asimd\nCPU implementer\t: 0x41\n"
         "CPU architecture: 8\nCPU variant\t: 0x3\nCPU part\t: 0xd0c\nCPU revision\t: 1\n",
         "",
         {failure}},
        {"a named x86 processor",
         "processor\t: 0\nmodel name\t: Example CPU @ 3.00GHz\n\nprocessor\t: 1\n"
         "model name\t: Example CPU @ 3.00GHz\n",
         "Example CPU @ 3.00GHz",
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fixture::ScratchFolder caseRoot;
        const auto cpuinfo = caseRoot.path() / "proc/cpuinfo";
        std::filesystem::create_directories(cpuinfo.parent_path());
        if (c.cpuinfo) {
            std::ofstream{cpuinfo} << *c.cpuinfo;
        }
        std::vector<Report> sent;
        SystemInfo machine{caseRoot.path(),
                           [&sent](std::string_view title, std::string_view detail) {
                               sent.push_back({std::string{title}, std::string{detail}});
                           }};
        for (int call = 0; call < 3; ++call) {
            EXPECT_EQ(machine.cpuName(), c.cpu) << "call " << call;
        }
        EXPECT_EQ(sent, c.reports);

        // What the machine shows later does not change the answer.
        std::ofstream{cpuinfo} << "processor\t: 0\nmodel name\t: Later CPU\n";
        EXPECT_EQ(machine.cpuName(), c.cpu);
        EXPECT_EQ(sent, c.reports);
    }
}

TEST_F(FactsFromFixture, CpuNameOfAnArmBoard) {
    write("proc/cpuinfo", "processor\t: 0\nBogoMIPS\t: 108.00\n\nModel\t\t: Example Board 4\n");
    EXPECT_EQ(info.cpuName(), "Example Board 4");
}

// Each analytics event asks for the GPU name: whatever the first lookup found, or failed to find,
// holds for the process, and a failure is reported once.
TEST_F(FactsFromFixture, GpuNameIsLookedUpOnceAndAFailureReportedOnce) {
    const Report noService{"Get GPU Name", "Error: Couldn't get matching service"};
    const Report noName{"Get GPU Name", "Error: Couldn't get GPU name"};
    struct Case {
        const char* name;
        std::map<std::string, std::string> files;  // under sys/bus/pci/devices/
        std::string gpu;
        std::vector<Report> reports;
    };
    const std::vector<Case> cases{
        {"no PCI tree at all", {}, "", {noService}},
        {"a network card only", {{"0000:00:03.0/class", "0x020000\n"}}, "", {noService}},
        {"display, no ids readable", {{"0000:00:02.0/class", "0x030000\n"}}, "", {noName}},
        {"display, ids present but empty: no name and no error",
         {{"0000:00:02.0/class", "0x030000\n"},
          {"0000:00:02.0/vendor", "\n"},
          {"0000:00:02.0/device", "\n"}},
         "",
         {}},
        {"display with ids, no pci.ids",
         {{"0000:00:02.0/class", "0x030000\n"},
          {"0000:00:02.0/vendor", "0x1234\n"},
          {"0000:00:02.0/device", "0x1111\n"}},
         "1234:1111",
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fixture::ScratchFolder caseRoot;
        for (const auto& [file, text] : c.files) {
            const auto path = caseRoot.path() / "sys/bus/pci/devices" / file;
            std::filesystem::create_directories(path.parent_path());
            std::ofstream{path} << text;
        }
        std::vector<Report> sent;
        SystemInfo machine{caseRoot.path(),
                           [&sent](std::string_view title, std::string_view detail) {
                               sent.push_back({std::string{title}, std::string{detail}});
                           }};
        for (int call = 0; call < 3; ++call) {
            EXPECT_EQ(machine.gpuName(), c.gpu) << "call " << call;
        }
        EXPECT_EQ(sent, c.reports);

        // What the machine shows later does not change the answer.
        const auto display = caseRoot.path() / "sys/bus/pci/devices/0000:00:01.0";
        std::filesystem::create_directories(display);
        std::ofstream{display / "class"} << "0x030000\n";
        std::ofstream{display / "vendor"} << "0x8086\n";
        std::ofstream{display / "device"} << "0x9a49\n";
        EXPECT_EQ(machine.gpuName(), c.gpu);
        EXPECT_EQ(sent, c.reports);
    }
}

TEST_F(FactsFromFixture, GpuNameIsTheFirstDisplayDeviceByAddressNamedFromPciIds) {
    write("sys/bus/pci/devices/0000:01:00.0/class", "0x030200\n");
    write("sys/bus/pci/devices/0000:01:00.0/vendor", "0x10de\n");
    write("sys/bus/pci/devices/0000:01:00.0/device", "0x2204\n");
    write("sys/bus/pci/devices/0000:00:02.0/class", "0x030000\n");
    write("sys/bus/pci/devices/0000:00:02.0/vendor", "0x8086\n");
    write("sys/bus/pci/devices/0000:00:02.0/device", "0x9a49\n");
    write("usr/share/misc/pci.ids",
          "# comment\n8086  Intel Corporation\n\t9a40  Other\n\t9a49  TigerLake-LP GT2 [Iris Xe "
          "Graphics]\n\t\t1028 0a21  Subsystem\n10de  NVIDIA Corporation\n");
    EXPECT_EQ(info.gpuName(), "Intel Corporation TigerLake-LP GT2 [Iris Xe Graphics]");
}

TEST_F(FactsFromFixture, GpuNameOfADeviceMissingFromPciIdsNamesTheVendor) {
    write("sys/bus/pci/devices/0000:00:02.0/class", "0x030000\n");
    write("sys/bus/pci/devices/0000:00:02.0/vendor", "0x8086\n");
    write("sys/bus/pci/devices/0000:00:02.0/device", "0xabcd\n");
    write("usr/share/misc/pci.ids", "8086  Intel Corporation\n\t9a49  Known\n1234  Other\n");
    EXPECT_EQ(info.gpuName(), "Intel Corporation abcd");
}

TEST_F(FactsFromFixture, CpuCoresCountsPhysicalCoresAndIsAskedAgainUntilPositive) {
    EXPECT_EQ(info.cpuCores(), 0);
    EXPECT_EQ(info.cpuCores(), 0);
    const Report failure{"Get CPU Cores", "Unable to get `hw.physicalcpu` property"};
    EXPECT_EQ(reports, (std::vector<Report>{failure, failure}));

    // Two packages, two cores each, two threads per core.
    int cpu = 0;
    for (int package = 0; package < 2; ++package) {
        for (int core = 0; core < 2; ++core) {
            for (int thread = 0; thread < 2; ++thread, ++cpu) {
                const std::string base = "sys/devices/system/cpu/cpu" + std::to_string(cpu);
                write(base + "/topology/physical_package_id", std::to_string(package) + "\n");
                write(base + "/topology/core_id", std::to_string(core) + "\n");
            }
        }
    }
    write("sys/devices/system/cpu/cpufreq/policy0", "x");  // not a cpu folder
    EXPECT_EQ(info.cpuCores(), 4);
    remove("sys");
    EXPECT_EQ(info.cpuCores(), 4);
    EXPECT_EQ(reports.size(), 2u);
}

TEST_F(FactsFromFixture, CpuCoresFallsBackToCpuinfo) {
    write("proc/cpuinfo",
          "processor\t: 0\nphysical id\t: 0\ncore id\t\t: 0\n\nprocessor\t: 1\nphysical id\t: "
          "0\ncore id\t\t: 0\n\nprocessor\t: 2\nphysical id\t: 0\ncore id\t\t: 1\n");
    EXPECT_EQ(info.cpuCores(), 2);
}

TEST_F(FactsFromFixture, ExecutableFailureIsLoggedAndReported) {
    const CapturedLog log;
    EXPECT_EQ(info.executable(), std::filesystem::path{});
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].title, "Get PID Failed");
    const std::string prefix = "Couldn't get PID: " + std::to_string(::getpid()) + " path: ";
    EXPECT_TRUE(reports[0].detail.starts_with(prefix)) << reports[0].detail;
    EXPECT_GT(reports[0].detail.size(), prefix.size());
    EXPECT_TRUE(log.contains("error " + reports[0].detail));

    std::filesystem::create_directories(root / "proc/self");
    std::filesystem::create_symlink("/opt/zentravo/bin/launcher", root / "proc/self/exe");
    EXPECT_EQ(info.executable(), "/opt/zentravo/bin/launcher");
    EXPECT_EQ(reports.size(), 1u);
}

TEST(DefaultLanguage, FromTheLocaleVariables) {
    using Env = std::map<std::string, std::string>;
    const std::vector<std::pair<Env, std::string>> cases{
        {{}, "en"},
        {{{"LANG", "pt_BR.UTF-8"}}, "pt"},
        {{{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "fr_FR.UTF-8"}}, "fr"},
        {{{"LANG", "de_DE"}, {"LC_ALL", "es_ES.UTF-8"}}, "es"},
        {{{"LANGUAGE", "ja_JP:en_US"}, {"LC_ALL", "es_ES.UTF-8"}}, "ja"},
        {{{"LANGUAGE", ""}, {"LANG", "ko_KR.UTF-8"}}, "ko"},
        {{{"LANG", "zh-Hant-TW"}}, "zh"},
        {{{"LANG", "sr@latin"}}, "sr"},
        {{{"LANG", "C.UTF-8"}}, "en"},
        {{{"LC_ALL", "POSIX"}, {"LANG", "it_IT"}}, "en"},
    };
    for (const auto& [env, expected] : cases) {
        const auto lookup = [&env](const char* name) -> const char* {
            const auto found = env.find(name);
            return found == env.end() ? nullptr : found->second.c_str();
        };
        EXPECT_EQ(zentravo::system::defaultLanguageFrom(lookup), expected)
            << ::testing::PrintToString(env);
    }
}

TEST(PlatformConstants, AnswerForThisMachine) {
    namespace sys = zentravo::system;
    EXPECT_EQ(sys::getOSName(), "Linux");
    EXPECT_TRUE(sys::getPartnerInfo().name.empty());
    EXPECT_TRUE(sys::getPartnerInfo().trackingId.empty());
    EXPECT_EQ(sys::getVCRedistVersionInstalled(), "NA");
    EXPECT_TRUE(sys::getDownloadId().empty());
    EXPECT_FALSE(sys::isV2AlreadyRunning());
    EXPECT_TRUE(sys::is64BitSystem());
    utsname machine{};
    ASSERT_EQ(::uname(&machine), 0);
    EXPECT_EQ(sys::isARM64Processor(), std::string_view{machine.machine} == "aarch64");
    EXPECT_EQ(sys::getOSVersion(), zentravo::system::osVersionFromRelease(machine.release));
    EXPECT_EQ(sys::getOSVersion().data(), sys::getOSVersion().data());
}

TEST(RealMachine, ExecutableAndMachineId) {
    EXPECT_EQ(zentravo::path::executable(), std::filesystem::read_symlink("/proc/self/exe"));
    std::ifstream in{"/etc/machine-id"};
    std::string id;
    if (in >> id && id.size() == 32) {
        EXPECT_EQ(zentravo::system::getMachineUUID(), zentravo::system::uuidFromMachineId(id));
        EXPECT_EQ(zentravo::system::getMachineUUID().size(), 36u);
    }
}

}  // namespace
