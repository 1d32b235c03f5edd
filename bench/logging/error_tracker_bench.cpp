// Costs on the caller's thread (breadcrumb, exception capture, one log record) and the time an
// exception takes to reach a local tracker, stack names included.
#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "error_sink.hpp"
#include "logger.hpp"
#include "sentry_wrapper.hpp"

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

// From sendException to the tracker's answer: stack names, envelope, HTTP round trip.
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

}  // namespace

BENCHMARK_MAIN();
