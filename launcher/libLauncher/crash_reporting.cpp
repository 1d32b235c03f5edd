#include "crash_reporting.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include <fmt/format.h>

#include <spdlog/spdlog.h>

#include "build_config.hpp"
#include "log_text.hpp"
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

// The private folder in the user's own data folder that holds the reports when the shared
// temporary folder cannot; the error tracker makes it 0700 and checks it again before using it.
// Empty, and crashes are not captured, when there is no home folder. `why` ends the warning.
std::filesystem::path ownCrashReportFolder(const std::string& why) {
    const std::filesystem::path data = zentravo::path::applicationSupport();
    if (data.empty()) {
        spdlog::warn("{} and there is no home folder: crashes are not captured", why);
        return {};
    }
    const std::filesystem::path own = data / "ZentravoV3" / "crash-reports";
    spdlog::warn("{}: keeping crash reports in {}", why,
                 zentravo::logtext::escape(zentravo::pathToUtf8(own)));
    return own;
}

// The shared temporary folder is everyone's: a folder of this name that another user made there
// first (or a link, or a file) is not used, as it would hand them this user's reports or let
// them switch crash capture off. A TMPDIR that is gone (left from a closed session) or names a
// file has no such folder at all. Reports then go to the private folder of the user's own.
std::filesystem::path crashReportFolder(const std::string& name) {
    std::error_code error;
    const std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    if (error) {
        return ownCrashReportFolder(
            fmt::format("The temporary folder cannot be used ({})", error.message()));
    }
    const std::filesystem::path shared = temporary / name;
    struct stat status {};
    if (::mkdir(shared.c_str(), S_IRWXU) == 0 ||
        (::lstat(shared.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
         status.st_uid == ::geteuid())) {
        return shared;
    }
    return ownCrashReportFolder(
        fmt::format("The crash-report folder {} cannot be this user's own",
                    zentravo::logtext::escape(zentravo::pathToUtf8(shared))));
}

}  // namespace

void setSentry() {
    auto& wrapper = zentravo::utils::sentry::sharedWrapper;
    {
        const std::string dsn = zentravo::config::kSentryDsn.reveal();
        wrapper.setDsnOption(dsn);
    }
    wrapper.setVersionOption(zentravo::kLauncherVersion);
    {
        const std::string folder = kDatabaseFolder.reveal();
        wrapper.setPathToDatabaseOption(crashReportFolder(folder));
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
