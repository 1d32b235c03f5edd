// Costs on the caller's thread (breadcrumb, exception capture, one log record), the time an
// exception takes to reach a local tracker, and what one error report adds to a process's peak
// memory: a start that sends one error report against a start that sends a message event instead
// (the same connection and delivery, no stack), each in a fresh process of this program, peak
// resident size (VmHWM) read once the tracker has the event.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <spdlog/spdlog.h>
#include <sys/wait.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "error_sink.hpp"
#include "logger.hpp"
#include "sentry_wrapper.hpp"
#include "side_by_side.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using zentravo::utils::sentry::Wrapper;

struct Folder {
    fs::path path;
    Folder() {
        std::string pattern = fs::temp_directory_path() / "bench-logging-XXXXXX";
        path = ::mkdtemp(pattern.data());
    }
    ~Folder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

// No delivery waits longer than this: a tracker that does not receive means a broken setup, and
// the benchmark stops with an error instead of waiting on.
constexpr std::chrono::seconds kDeliveryPatience{10};

// A started wrapper that sends to a local tracker over TLS (the demo certificate, which the
// launcher trusts), as the launcher sends: it sends to https addresses only.
struct Reporting {
    Folder folder;
    fixtures::ErrorSink sink;
    Wrapper wrapper;

    Reporting() {
        wrapper.setDsnOption(sink.dsn());
        wrapper.setVersionOption("1.6.24");
        wrapper.setEnvironmentOption("production");
        wrapper.setPathToDatabaseOption(folder.path / "db");
        wrapper.initOptions();
        wrapper.setUser("0b5d6c1e-1111-2222-3333-444455556666");
    }
};

// With crash capture on, each breadcrumb also renders the crash report's event ahead of time.
void BM_Breadcrumb(benchmark::State& state) {
    Reporting reporting;
    Wrapper& wrapper = reporting.wrapper;
    const std::string text = "Requesting last version available";
    for (auto _ : state) {
        wrapper.setBreadcrumb(text);
    }
}
BENCHMARK(BM_Breadcrumb);

// The caller's share of sendException: unwind, event with 25 breadcrumbs, queue. Sending takes
// far longer than capturing, so the run is held to half the queue's 1,000 places: the queue's
// limit is never what is measured, and nothing waits for the sender.
void BM_SendExceptionCaller(benchmark::State& state) {
    Reporting reporting;
    Wrapper& wrapper = reporting.wrapper;
    for (int i = 0; i < 25; ++i) {
        wrapper.setBreadcrumb("step " + std::to_string(i));
    }
    for (auto _ : state) {
        wrapper.sendException("getRequest failed", "Timeout was reached");
    }
}
BENCHMARK(BM_SendExceptionCaller)->Iterations(500);

// From sendException to the tracker's answer: stack and image list, envelope, HTTP round trip.
void BM_ExceptionDelivered(benchmark::State& state) {
    Reporting reporting;
    Wrapper& wrapper = reporting.wrapper;
    std::size_t sent = 0;
    for (auto _ : state) {
        wrapper.sendException("getRequest failed", "Timeout was reached");
        ++sent;
        if (reporting.sink.waitFor(sent, kDeliveryPatience).size() < sent) {
            state.SkipWithError("the local tracker did not receive the event");
            break;
        }
    }
}
BENCHMARK(BM_ExceptionDelivered)->Unit(benchmark::kMicrosecond);

// One record of the file logger: formatted, written and flushed on the caller's thread.
// The logger is made once per process, so one folder serves every run of this benchmark.
void BM_LogRecord(benchmark::State& state) {
    static const Folder folder;
    ::setenv("XDG_DATA_HOME", folder.path.c_str(), 1);
    configureLogger();
    for (auto _ : state) {
        spdlog::info("Downloading {} of {} bytes", 1048576, 52428800);
    }
}
BENCHMARK(BM_LogRecord);

// ---------------------------------------------------------------------------------------------
// Peak memory of a start with and without one error report

constexpr const char* kStartChild = "--start-child";

// A start as the launcher's, with its libraries loaded: the wrapper set up, 25 breadcrumbs, then
// one event; the process stays until the parent closes its standard input.
int startChild(const std::string& mode, const std::string& dsn, const fs::path& database) {
    // The launcher's libraries are loaded in its process: WebKitGTK and GTK with all theirs.
    if (webkit_get_major_version() == 0 || gtk_get_major_version() == 0) {
        return 1;
    }
    Wrapper wrapper;
    wrapper.setDsnOption(dsn);
    wrapper.setVersionOption("1.6.24");
    wrapper.setEnvironmentOption("production");
    wrapper.setPathToDatabaseOption(database);
    wrapper.initOptions();
    wrapper.setUser("0b5d6c1e-1111-2222-3333-444455556666");
    for (int i = 0; i < 25; ++i) {
        wrapper.setBreadcrumb("step " + std::to_string(i));
    }
    if (mode == "report") {
        wrapper.sendException("Get GPU Name", "Error: Couldn't get matching service");
    } else {
        wrapper.sendMessage("Launcher initialized");
    }
    char byte = 0;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
}

double peakResidentBytes(pid_t pid) {
    std::ifstream in{"/proc/" + std::to_string(pid) + "/status"};
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) * 1024;
        }
    }
    throw std::runtime_error{"no VmHWM for process " + std::to_string(pid)};
}

// One start in a child process; its peak once the tracker has received its event.
double startPeak(fixtures::ErrorSink& sink, std::size_t& delivered, const std::string& mode) {
    const Folder folder;
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        throw std::runtime_error{"pipe failed"};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const std::string dsn = sink.dsn();
    const std::string database = (folder.path / "db").string();
    std::vector<std::string> arguments{self, kStartChild, mode, dsn, database};
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    if (spawned != 0) {
        ::close(input[1]);
        throw std::runtime_error{std::string{"cannot start a child: "} + std::strerror(spawned)};
    }
    ++delivered;
    const bool received = sink.waitFor(delivered, kDeliveryPatience).size() >= delivered;
    const double peak = received ? peakResidentBytes(pid) : 0;
    ::close(input[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!received) {
        throw std::runtime_error{"the local tracker did not receive the " + mode +
                                 " start's event"};
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error{"the " + mode + " start did not end cleanly"};
    }
    return peak;
}

void comparePeakMemory() {
    fixtures::ErrorSink sink;
    std::size_t delivered = 0;
    std::vector<double> withReport;
    std::vector<double> without;
    bench::printLegend(bench::kMinRuns);
    const bench::Comparison comparison{
        {"one error report",
         [&] {
             withReport.push_back(startPeak(sink, delivered, "report"));
             return std::vector<double>{withReport.back()};
         }},
        {"none",
         [&] {
             without.push_back(startPeak(sink, delivered, "none"));
             return std::vector<double>{without.back()};
         }},
        bench::kMinRuns};
    comparison.print(0, "peak memory (VmHWM)", bench::kMebibytes);
    // Pair 0 is the warm-up; the pairs after it are measured.
    std::vector<double> added;
    for (std::size_t i = 1; i < withReport.size() && i < without.size(); ++i) {
        added.push_back(withReport[i] - without[i]);
    }
    const bench::Spread spread = bench::spreadOf(added);
    const double mib = 1024.0 * 1024.0;
    std::printf("peak memory one error report adds: %.1f MiB [%.1f-%.1f]\n", spread.median / mib,
                spread.min / mib, spread.max / mib);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string{argv[1]} == kStartChild) {
        return startChild(argv[2], argv[3], argv[4]);
    }
    try {
        comparePeakMemory();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_error_tracker: ERROR OCCURRED: %s\n", e.what());
        return 1;
    }
    ::benchmark::Initialize(&argc, argv);
    if (::benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    ::benchmark::RunSpecifiedBenchmarks();
    ::benchmark::Shutdown();
    return 0;
}
