// Helper process for the logging tests: each start of the launcher's logging and crash
// reporting, and each kind of crash, in a process of its own.
//   logging_probe logger [record...]       configureLogger, then a debug and an info record
//   logging_probe crash <dsn> <db> <how>   wrapper started, 30 breadcrumbs, then a crash
//   logging_probe setsentry <how>          setSentry as the launcher runs it, then a crash
//   logging_probe store <dsn> <db>         wrapper started on a report folder and closed at
//                                          once; prints "close_ms <n> maxrss_kb <n>"
// how: segv, abort, ill, fpe, thread (a segv on a worker thread), none
#include <sys/prctl.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>

#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <thread>

#include <spdlog/spdlog.h>

#include "crash_reporting.hpp"
#include "logger.hpp"
#include "sentry_wrapper.hpp"

namespace {

int* volatile gNowhere = nullptr;
volatile int gZero = 0;
volatile int gOne = 1;

// The faults below are the point; the sanitizer build must let them happen.
[[gnu::noinline, gnu::no_sanitize_undefined]] void crashOnWorkerThread() {
    *gNowhere = 1;
}

[[gnu::no_sanitize_undefined]] int crash(std::string_view how) {
    if (how == "segv") {
        *gNowhere = 1;
    } else if (how == "abort") {
        std::abort();
    } else if (how == "ill") {
        __builtin_trap();
    } else if (how == "fpe") {
        return gOne / gZero;
    } else if (how == "thread") {
        std::thread(crashOnWorkerThread).join();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The crash is the point: keep it out of the system's core dumps.
    ::prctl(PR_SET_DUMPABLE, 0);
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "logger") {
        configureLogger();
        spdlog::default_logger()->set_level(spdlog::level::debug);
        spdlog::debug("Launching '{}'", "probe");
        for (int i = 2; i < argc; ++i) {
            spdlog::info("{}", argv[i]);
        }
        spdlog::info("probe record");
        return 0;
    }
    if (mode == "crash" && argc == 5) {
        zentravo::utils::sentry::Wrapper wrapper;
        wrapper.setDsnOption(argv[2]);
        wrapper.setVersionOption("1.6.24");
        wrapper.setEnvironmentOption("production");
        wrapper.setPathToDatabaseOption(argv[3]);
        wrapper.initOptions();
        wrapper.setUser("probe-user");
        for (int i = 0; i < 30; ++i) {
            wrapper.setBreadcrumb("crumb " + std::to_string(i));
        }
        return crash(argv[4]);
    }
    if (mode == "store" && argc == 4) {
        const auto started = std::chrono::steady_clock::now();
        {
            zentravo::utils::sentry::Wrapper wrapper;
            wrapper.setDsnOption(argv[2]);
            wrapper.setPathToDatabaseOption(argv[3]);
            wrapper.initOptions();
        }
        const auto closed = std::chrono::steady_clock::now() - started;
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        std::printf("close_ms %lld maxrss_kb %ld\n",
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(closed).count()),
                    usage.ru_maxrss);
        return 0;
    }
    if (mode == "setsentry" && argc == 3) {
        // As the launcher's start-up does: a failed start is reported and the launcher goes on.
        try {
            setSentry();
        } catch (const std::exception& e) {
            spdlog::error("Error initializing Sentry: {}", e.what());
        }
        return crash(argv[2]);
    }
    return 2;
}
