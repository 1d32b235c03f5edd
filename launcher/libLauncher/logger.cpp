#include "logger.hpp"

#include <filesystem>
#include <memory>
#include <string>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "paths.hpp"

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
        // Truncating: each start begins a fresh log. The sink makes the missing folders.
        static const std::shared_ptr<spdlog::logger> logger =
            spdlog::basic_logger_mt("launcher", logFile, true);
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
