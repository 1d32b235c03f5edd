#include "bundle_check.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

#include "app_start.hpp"
#include "file_helpers.hpp"
#include "paths.hpp"
#include "private_folder.hpp"

namespace zentravo::install {
namespace {

namespace fs = std::filesystem;

BundleCheck refused(std::string problem) {
    return {.problem = std::move(problem), .version = {}};
}

// What is started must be this user's, and no other user may change it, link or target: a
// program another user placed or may change would run as this user. Names the first that is not.
std::string changeableByOthers(const std::vector<fs::path>& paths) {
    for (const fs::path& path : paths) {
        struct stat own {};
        struct stat target {};
        if (::lstat(path.c_str(), &own) != 0 || ::stat(path.c_str(), &target) != 0 ||
            own.st_uid != ::geteuid() || !folders::ownedAlone(target)) {
            return fmt::format("{} is another user's or others may change it", pathToUtf8(path));
        }
    }
    return {};
}

}  // namespace

BundleCheck checkBundle(const fs::path& folder) {
    const fs::path bundle = folder / "Zentravo.app";
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(bundle, ec))) {
        return refused("it holds no Zentravo.app folder");
    }
    const BundleInfo info = readBundleInfo(bundle / "Contents" / "Info.plist");
    if (info.status != BundleInfo::Status::ok) {
        return refused(info.status == BundleInfo::Status::missing ? "Zentravo.app has no Info.plist"
                                                                  : info.problem);
    }
    if (!info.version) {
        return refused("its Info.plist names no version");
    }
    BundleCheck result;
    try {
        result.version = semver::version::from_string(*info.version);
    } catch (const std::invalid_argument&) {
        return refused(fmt::format("its version '{}' is not a version", *info.version));
    }
    fs::path program;
    try {
        program = system::bundleExecutable(bundle);
    } catch (const std::runtime_error& e) {
        return refused(e.what());
    }
    // Root may execute a file that has any execute bit; access() knows who may.
    const fs::file_status status = fs::symlink_status(program, ec);
    if (!fs::is_regular_file(status) || fs::file_size(program, ec) == 0 || ec ||
        ::faccessat(AT_FDCWD, program.c_str(), X_OK, AT_EACCESS) != 0) {
        return refused(
            fmt::format("its program {} is not an executable file", pathToUtf8(program)));
    }
    const fs::path contents = bundle / "Contents";
    if (std::string problem = changeableByOthers(
            {folder, bundle, contents, contents / "Info.plist", program.parent_path(), program});
        !problem.empty()) {
        return refused(std::move(problem));
    }
    return result;
}

}  // namespace zentravo::install
