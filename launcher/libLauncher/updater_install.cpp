// Installation of a downloaded version into the install folder.
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <stdexcept>

#include "file_helpers.hpp"
#include "install_folder.hpp"
#include "paths.hpp"
#include "sentry_wrapper.hpp"
#include "system.hpp"
#include "updater.hpp"

namespace zentravo {
namespace {

namespace fs = std::filesystem;
using utils::sentry::sharedWrapper;

}  // namespace

void Updater::installUpdate(const fs::path& archive, const fs::path& newDir,
                            const fs::path& lastDir, const fs::path& oldDir) const {
    milestone("About to uncompress files");
    if (!stopped()) {
        try {
            // A folder left by an earlier, interrupted run may hold anything: start
            // clean.
            fs::remove_all(newDir);
            unpackFile(archive, newDir);
        } catch (const std::exception& e) {
            spdlog::error("Uncompress failed: {}", e.what());
            std::error_code ignored;
            fs::remove_all(newDir, ignored);
            fs::remove(archive);
            throw std::runtime_error{e.what()};
        }
    }

    milestone("About to clean temp files from installation");
    if (std::error_code ec; !fs::remove(archive, ec) && ec) {
        sharedWrapper.sendException("Error removing file",
                                    fmt::format("{} - {}", pathToUtf8(archive), ec.message()));
    }
    if (stopped()) {
        return;
    }

    // The package is made ready for this machine before it takes the place of
    // "last", so that "last" never holds a half-prepared version.
    milestone("About to check ARM64 compatibility");
    if (const fs::path arm = newDir / "ARM64EC"; fs::exists(arm)) {
        if (system::isARM64Processor()) {
            milestone("Setting ARM64 architecture");
            fs::copy(arm, newDir,
                     fs::copy_options::overwrite_existing | fs::copy_options::recursive);
        }
        milestone("About to remove ARM64 folder");
        fs::remove_all(arm);
    }
    milestone("About to check AVX compatibility");
    if (const fs::path legacy = newDir / "Legacy"; fs::exists(legacy)) {
        if (!system::isARM64Processor() && !system::isAVXCompatible()) {
            milestone("Setting Legacy architecture");
            fs::copy_file(legacy / "Zentravo.exe", newDir / "Zentravo.exe",
                          fs::copy_options::overwrite_existing);
        }
        milestone("About to remove Legacy folder");
        fs::remove_all(legacy);
    }

    if (!oldDir.empty() && oldDir != lastDir && oldDir != newDir) {
        fs::remove_all(oldDir);
    }
    milestone("About to rename version directory");
    if (const std::error_code leftover = install::replaceFolder(newDir, lastDir); leftover) {
        sharedWrapper.sendException("Error removing folder",
                                    fmt::format("{} - {}", pathToUtf8(newDir), leftover.message()));
    }
}

}  // namespace zentravo
