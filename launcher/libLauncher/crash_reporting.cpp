#include "crash_reporting.hpp"

#include <filesystem>
#include <string>

#include "build_config.hpp"
#include "paths.hpp"
#include "secret.hpp"
#include "sentry_wrapper.hpp"
#include "system.hpp"
#include "version.hpp"

namespace {

constexpr zentravo::secret::Scrambled kDatabaseFolder{"zentravo-reports-3"};
constexpr zentravo::secret::Scrambled kHandlerFile{"zentravo_handler"};
constexpr zentravo::secret::Scrambled kFirstBreadcrumb{"Launcher initialized"};
static_assert(kDatabaseFolder.size() == 18 && kHandlerFile.size() == 16 &&
              kFirstBreadcrumb.size() == 20);

}  // namespace

void setSentry() {
    auto& wrapper = zentravo::utils::sentry::sharedWrapper;
    {
        const std::string dsn = zentravo::config::kSentryDsn.reveal();
        wrapper.setDsnOption(dsn);
    }
    wrapper.setVersionOption(zentravo::kLauncherVersion);
    {
        const std::filesystem::path temporary = std::filesystem::temp_directory_path();
        const std::string folder = kDatabaseFolder.reveal();
        wrapper.setPathToDatabaseOption(temporary / folder);
    }
    {
        const std::filesystem::path directory = zentravo::path::executableDirectory();
        const std::string file = kHandlerFile.reveal();
        wrapper.setCrashpadHandlerPathOption(directory / file);
    }
    wrapper.setEnvironmentOption("production");
    wrapper.initOptions();
    {
        const std::string breadcrumb = kFirstBreadcrumb.reveal();
        wrapper.setBreadcrumb(breadcrumb);
    }
    wrapper.setUser(zentravo::system::getMachineUUID());
}
