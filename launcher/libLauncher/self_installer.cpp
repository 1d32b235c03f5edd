#include "self_installer.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "app_start.hpp"
#include "file_helpers.hpp"
#include "install_folder.hpp"
#include "paths.hpp"
#include "platform/instance_lock.hpp"
#include "rest.hpp"

namespace zentravo::selfinstall {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBundleName = "Zentravo.app";

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error{message};
}

}  // namespace

Installation locate(const fs::path& executable) {
    if (executable.empty()) {
        fail("The launcher's own executable is unknown");
    }
    const fs::path program = fs::weakly_canonical(executable);
    const fs::path bundle = program.parent_path().parent_path().parent_path();
    if (bundle.filename() != kBundleName || program.parent_path().filename() != "MacOS" ||
        program.parent_path().parent_path().filename() != "Contents") {
        fail(fmt::format("The launcher at {} is not installed in a {} bundle", pathToUtf8(program),
                         kBundleName));
    }
    return Installation{bundle, program};
}

StagingFolder::StagingFolder(const Installation& installation) {
    std::string pattern =
        pathToUtf8(installation.bundle.parent_path() / ".Zentravo.app.update-XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error{errno, std::generic_category(),
                                "Cannot make a folder beside " + pathToUtf8(installation.bundle)};
    }
    path_ = pathFromUtf8(pattern);
}

StagingFolder::~StagingFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

Transfer download(const appcast::Item& item, const fs::path& file, const std::atomic<bool>& cancel,
                  const std::function<void(std::int64_t, std::int64_t)>& progress) {
    bool answered = false;
    try {
        answered = rest::downloadRequest(
            item.url, file,
            [&](std::int64_t total, std::int64_t received, std::int64_t, std::int64_t) {
                if (cancel.load()) {
                    return false;
                }
                progress(received, total > 0 ? total : item.length);
                return true;
            });
    } catch (const std::exception& e) {
        if (cancel.load()) {
            return Transfer::cancelled;
        }
        fail(fmt::format("Download of {} failed: {}", item.url, e.what()));
    }
    if (cancel.load()) {
        return Transfer::cancelled;
    }
    if (!answered) {
        fail(fmt::format("Download of {} was refused by the server", item.url));
    }
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec || static_cast<std::int64_t>(size) != item.length) {
        fail(fmt::format("Download of {} has {} bytes instead of {}", item.url, ec ? 0 : size,
                         item.length));
    }
    return Transfer::complete;
}

void verify(const fs::path& archive, const appcast::Item& item, const signature::PublicKey& key) {
    if (!signature::verifyFile(archive, item.length, item.signature, key)) {
        fail(fmt::format("The update {} is not signed by the launcher's key",
                         item.displayVersion()));
    }
}

void install(const fs::path& archive, const Installation& installation,
             const semver::version& current, const fs::path& staging) {
    const fs::path unpacked = staging / "unpacked";
    unpackFile(archive, unpacked);
    const fs::path bundle = unpacked / kBundleName;
    if (!fs::is_directory(fs::symlink_status(bundle))) {
        fail(fmt::format("The update holds no {} folder", kBundleName));
    }
    const semver::version offered = getCurrentVersion(unpacked);
    if (offered <= current) {
        fail(fmt::format("The update's bundle has version {}, not newer than {}",
                         offered.to_string(), current.to_string()));
    }
    const fs::path program =
        bundle / installation.executable.lexically_relative(installation.bundle);
    const auto status = fs::symlink_status(program);
    if (!fs::is_regular_file(status) ||
        (status.permissions() & fs::perms::owner_exec) == fs::perms::none) {
        fail(fmt::format("The update has no launcher program at {}", pathToUtf8(program)));
    }
    const std::error_code leftOver = install::replaceFolder(bundle, installation.bundle);
    (void)leftOver;  // the previous bundle lay in the staging folder, which goes away anyway
}

pid_t relaunch(const fs::path& executable, const std::vector<std::string>& arguments) {
    // The old launcher still holds the lock while it ends: the new one is to wait for it.
    return system::startDetached(executable, arguments,
                                 {std::string{system::kRelaunchVariable} + "=1"});
}

std::vector<std::string> processArguments() {
    std::ifstream in{"/proc/self/cmdline", std::ios::binary};
    const std::string all{std::istreambuf_iterator<char>{in}, {}};
    std::vector<std::string> arguments;
    std::size_t start = 0;
    while (start < all.size()) {
        const auto end = all.find('\0', start);
        arguments.push_back(all.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    if (!arguments.empty()) {
        arguments.erase(arguments.begin());
    }
    return arguments;
}

}  // namespace zentravo::selfinstall
