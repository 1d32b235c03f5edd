// Installation of a downloaded version into the install folder.
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <cstring>
#include <stdexcept>
#include <string_view>

#include "bundle_check.hpp"
#include "file_helpers.hpp"
#include "install_folder.hpp"
#include "paths.hpp"
#include "semver.hpp"
#include "sentry_wrapper.hpp"
#include "system.hpp"
#include "tree_removal.hpp"
#include "updater.hpp"

namespace zentravo {
namespace {

namespace fs = std::filesystem;
using utils::sentry::sharedWrapper;

// Removes a folder the launcher unpacked. One that cannot be removed is reported and set aside,
// so that it never stands in the way of a later installation. Throws when even its name cannot be
// freed.
void clearAway(const fs::path& folder) {
    if (const std::error_code ec = removal::removeOrDiscard(folder)) {
        const std::string text = fmt::format("{} - {}", pathToUtf8(folder), ec.message());
        spdlog::warn("Cannot remove {}; set aside", text);
        sharedWrapper.sendException("Error removing folder", text);
    }
}

// Logs and reports what a clean-up could not remove. Never throws: the installation ends as the
// step before the clean-up made it end.
void reportLeftover(std::string_view title, const fs::path& path,
                    std::string_view problem) noexcept {
    try {
        const std::string text = fmt::format("{} - {}", pathToUtf8(path), problem);
        spdlog::warn("Cannot remove {}", text);
        sharedWrapper.sendException(title, text);
    } catch (...) {  // out of memory: nothing more can be told
    }
}

void clearAwayAfterFailure(const fs::path& folder) noexcept {
    try {
        clearAway(folder);
    } catch (const std::exception& e) {
        reportLeftover("Error removing folder", folder, e.what());
    }
}

void removeArchiveAfterFailure(const fs::path& archive) noexcept {
    if (std::error_code ec; !fs::remove(archive, ec) && ec) {
        reportLeftover("Error removing file", archive, std::strerror(ec.value()));
    }
}

// Removes a folder inside the unpacked version; failing, the version is not ready.
void removeInside(const fs::path& folder) {
    if (const std::error_code ec = removal::removeTree(folder)) {
        throw fs::filesystem_error{"cannot remove", folder, ec};
    }
}

[[noreturn]] void refuse(const std::string& reason) {
    throw std::runtime_error{fmt::format("The update cannot be installed: {}", reason)};
}

// What may take the place of a working "last": a bundle of the version the answer announced
// (the name of its folder; "0.0.0" asks for whatever the archive holds) whose program can start.
void checkUnpacked(const fs::path& newDir) {
    const install::BundleCheck checked = install::checkBundle(newDir);
    if (!checked.problem.empty()) {
        refuse(checked.problem);
    }
    const std::string announced = pathToUtf8(newDir.filename());
    if (announced == "0.0.0") {
        return;
    }
    try {
        if (checked.version != semver::version::from_string(announced)) {
            refuse(fmt::format("it holds version {} instead of {}", checked.version.to_string(),
                               announced));
        }
    } catch (const std::invalid_argument&) {
        refuse(fmt::format("the announced version '{}' is not a version", announced));
    }
}

}  // namespace

void Updater::installUpdate(const fs::path& archive, const fs::path& newDir,
                            const fs::path& lastDir, const fs::path& oldDir) const {
    milestone("About to uncompress files");
    if (!stopped()) {
        // A folder left by an earlier, interrupted run may hold anything: start clean. What
        // earlier runs could not remove goes now where it can.
        if (const std::error_code ec = removal::removeDiscarded(newDir.parent_path())) {
            spdlog::warn("Cannot remove a set-aside folder in {}: {}",
                         pathToUtf8(newDir.parent_path()), ec.message());
        }
        clearAway(newDir);
        try {
            unpackFile(archive, newDir);
        } catch (const std::exception& e) {
            spdlog::error("Uncompress failed: {}", e.what());
            clearAwayAfterFailure(newDir);
            removeArchiveAfterFailure(archive);
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
        removeInside(arm);
    }
    milestone("About to check AVX compatibility");
    if (const fs::path legacy = newDir / "Legacy"; fs::exists(legacy)) {
        if (!system::isARM64Processor() && !system::isAVXCompatible()) {
            milestone("Setting Legacy architecture");
            fs::copy_file(legacy / "Zentravo.exe", newDir / "Zentravo.exe",
                          fs::copy_options::overwrite_existing);
        }
        milestone("About to remove Legacy folder");
        removeInside(legacy);
    }

    try {
        checkUnpacked(newDir);
    } catch (const std::exception&) {
        clearAwayAfterFailure(newDir);
        throw;
    }

    if (!oldDir.empty() && oldDir != lastDir && oldDir != newDir) {
        clearAway(oldDir);
    }
    milestone("About to rename version directory");
    if (const std::error_code leftover = install::replaceFolder(newDir, lastDir); leftover) {
        reportLeftover("Error removing folder", newDir, leftover.message());
    }
}

}  // namespace zentravo
