#include "logger.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "paths.hpp"

namespace {

// The log tells what the user does and where from: it is readable by its owner only. The file is
// made private before the sink opens it, and a file left by an older start is made so too.
spdlog::file_event_handlers privateLogFile() {
    spdlog::file_event_handlers handlers;
    handlers.before_open = [](const spdlog::filename_t& file) {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path{file}.parent_path(), ignored);
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            ::close(fd);
        }
    };
    handlers.after_open = [](const spdlog::filename_t&, std::FILE* stream) {
        (void)::fchmod(::fileno(stream), 0600);
    };
    return handlers;
}

}  // namespace

void configureLogger() {
    try {
        const std::filesystem::path dataFolder = zentravo::path::applicationSupport();
        if (dataFolder.empty()) {
            spdlog::warn("No home folder (HOME is not set): logging to the console only");
            return;
        }
        static const std::filesystem::path logPath =
            dataFolder / zentravo::pathFromUtf8("ZentravoV3") / "logs" / "launcher.log";
        static const std::string logFile = zentravo::pathToUtf8(logPath);
        // Truncating: each start begins a fresh log.
        static const std::shared_ptr<spdlog::logger> logger =
            spdlog::basic_logger_mt("launcher", logFile, true, privateLogFile());
        static bool configured = false;
        if (!configured) {
            logger->set_level(spdlog::level::debug);
            logger->flush_on(spdlog::level::debug);
            spdlog::set_default_logger(logger);
            configured = true;
        }
        spdlog::debug("Logger configured successfully");
    } catch (const spdlog::spdlog_ex& e) {
        spdlog::error("Unable to start logger: {}", e.what());
    }
}
