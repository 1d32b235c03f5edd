// The instance check runs at start-up and on the checker thread: how long does a scan of the
// process table take on a busy machine? And what do the machine facts cost, first and cached?
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/instance_detection.hpp"
#include "platform/system_info.hpp"
#include "system.hpp"

namespace {

// A fake /proc with `count` ordinary processes and no main application.
class FakeProc {
  public:
    explicit FakeProc(int count) {
        std::string pattern = std::filesystem::temp_directory_path() / "system-bench-XXXXXX";
        root_ = ::mkdtemp(pattern.data());
        for (int pid = 1; pid <= count; ++pid) {
            std::filesystem::create_directories(root_ / std::to_string(pid));
            std::ofstream out{root_ / std::to_string(pid) / "cmdline", std::ios::binary};
            out << "/usr/lib/some/daemon" << '\0' << "--flag=" << pid << '\0';
            std::ofstream{root_ / std::to_string(pid) / "status"}
                << "Name:\tdaemon\nUmask:\t0022\nState:\tS (sleeping)\nPid:\t" << pid << "\nUid:\t"
                << ::getuid() << "\t0\t0\t0\n";
        }
    }
    ~FakeProc() { std::filesystem::remove_all(root_); }
    [[nodiscard]] const std::filesystem::path& root() const { return root_; }

  private:
    std::filesystem::path root_;
};

void ScanFakeProcessTable(benchmark::State& state) {
    const FakeProc proc{static_cast<int>(state.range(0))};
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            zentravo::system::findTaggedMainApplications(proc.root(), 1, ::getuid()));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(ScanFakeProcessTable)->Arg(200)->Arg(2000)->Unit(benchmark::kMillisecond);

void IsV3AlreadyRunningOnThisMachine(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(zentravo::system::isV3AlreadyRunning());
    }
}
BENCHMARK(IsV3AlreadyRunningOnThisMachine)->Unit(benchmark::kMicrosecond);

void MachineFactsFirstCall(benchmark::State& state) {
    for (auto _ : state) {
        zentravo::system::SystemInfo info{"/", [](std::string_view, std::string_view) {}};
        benchmark::DoNotOptimize(info.osVersion());
        benchmark::DoNotOptimize(info.machineUUID());
        benchmark::DoNotOptimize(info.cpuName());
        benchmark::DoNotOptimize(info.gpuName());
        benchmark::DoNotOptimize(info.cpuCores());
    }
}
BENCHMARK(MachineFactsFirstCall)->Unit(benchmark::kMicrosecond);

void MachineFactsCached(benchmark::State& state) {
    zentravo::system::SystemInfo info{"/", [](std::string_view, std::string_view) {}};
    (void)info.cpuName();
    (void)info.cpuCores();
    (void)info.machineUUID();
    for (auto _ : state) {
        benchmark::DoNotOptimize(info.cpuName());
        benchmark::DoNotOptimize(info.cpuCores());
        benchmark::DoNotOptimize(info.machineUUID());
    }
}
BENCHMARK(MachineFactsCached);

}  // namespace

BENCHMARK_MAIN();
