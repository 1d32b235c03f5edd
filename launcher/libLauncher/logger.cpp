#include "logger.hpp"

#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include <spdlog/spdlog.h>

#include "descriptor_sink.hpp"
#include "paths.hpp"
#include "private_folder.hpp"

namespace {

// The file is written through the descriptor that was checked when it was opened: a name
// reopened later could by then be a link to some other file.
std::shared_ptr<spdlog::logger> makeFileLogger(const std::filesystem::path& dataFolder,
                                               const std::filesystem::path& logPath) {
    // Others may neither reach the log nor put a link in its place; a folder of another user's
    // is not written in at all.
    zentravo::folders::makePrivate(dataFolder,
                                   logPath.parent_path().lexically_relative(dataFolder));
    auto sink = std::make_shared<zentravo::logging::DescriptorSink>(
        zentravo::logging::openPrivateLogFile(logPath));
    auto logger = std::make_shared<spdlog::logger>("launcher", std::move(sink));
    spdlog::register_logger(logger);
    return logger;
}

}  // namespace

void configureLogger() {
    try {
        const std::filesystem::path dataFolder = zentravo::path::applicationSupport();
        if (dataFolder.empty()) {
            spdlog::warn(
                "No home folder (HOME is not set to an absolute path): logging to the console "
                "only");
            return;
        }
        static const std::filesystem::path logPath =
            dataFolder / zentravo::pathFromUtf8("ZentravoV3") / "logs" / "launcher.log";
        // Emptied on opening: each start begins a fresh log.
        static const std::shared_ptr<spdlog::logger> logger = makeFileLogger(dataFolder, logPath);
        static bool configured = false;
        if (!configured) {
            logger->set_level(spdlog::level::debug);
            logger->flush_on(spdlog::level::debug);
            spdlog::set_default_logger(logger);
            configured = true;
        }
        spdlog::debug("Logger configured successfully");
    } catch (const std::exception& e) {
        spdlog::error("Unable to start logger: {}", e.what());
    }
}
