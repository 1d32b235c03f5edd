#include "self_installer.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <vector>

#include "app_start.hpp"
#include "file_descriptor.hpp"
#include "file_helpers.hpp"
#include "install_folder.hpp"
#include "log_text.hpp"
#include "paths.hpp"
#include "platform/instance_lock.hpp"
#include "rest.hpp"
#include "tree_removal.hpp"

namespace zentravo::selfinstall {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBundleName = "Zentravo.app";
// A staging folder's name: this prefix and the six letters or digits mkdtemp puts for "XXXXXX".
constexpr std::string_view kStagingPrefix = ".Zentravo.app.update-";
constexpr std::size_t kStagingSuffixLength = 6;

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error{message};
}

bool isStagingName(std::string_view name) {
    if (name.size() != kStagingPrefix.size() + kStagingSuffixLength ||
        !name.starts_with(kStagingPrefix)) {
        return false;
    }
    return std::all_of(
        name.begin() + static_cast<std::ptrdiff_t>(kStagingPrefix.size()), name.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        });
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
        pathToUtf8(installation.bundle.parent_path() / (std::string{kStagingPrefix} + "XXXXXX"));
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error{errno, std::generic_category(),
                                "Cannot make a folder beside " + pathToUtf8(installation.bundle)};
    }
    path_ = pathFromUtf8(pattern);
}

StagingFolder::~StagingFolder() {
    if (const std::error_code ec = removal::removeTree(path_)) {
        spdlog::warn("Cannot remove {}: {}", pathToUtf8(path_), ec.message());
    }
}

std::size_t removeStagingLeftovers(const Installation& installation) noexcept {
    std::size_t removed = 0;
    try {
        const fs::path holder = installation.bundle.parent_path();
        const FileDescriptor dir{::open(holder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
        std::error_code listed;
        std::vector<std::string> names;
        if (dir) {
            for (fs::directory_iterator it{holder, listed}, end; !listed && it != end;
                 it.increment(listed)) {
                names.push_back(it->path().filename().native());
            }
        } else {
            listed = {errno, std::generic_category()};
        }
        if (listed) {
            spdlog::warn("Cannot look for leftovers of launcher updates in '{}': {}",
                         logtext::escape(pathToUtf8(holder)), listed.message());
        }
        for (const std::string& name : names) {
            if (!isStagingName(name)) {
                continue;
            }
            const std::string shown = logtext::escape(pathToUtf8(holder / name));
            // A link or a file of that name fails here, and whatever mode a folder has, its owner
            // is told; the removal then goes ahead only on that very folder, so swapping the name
            // afterwards changes nothing.
            const FileDescriptor leftover{
                ::openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
            struct stat status {};
            if (!leftover || ::fstat(leftover.get(), &status) != 0 || !S_ISDIR(status.st_mode) ||
                status.st_uid != ::geteuid()) {
                spdlog::warn("Left '{}' alone: not a folder of this user's own", shown);
                continue;
            }
            if (const std::error_code ec = removal::removeFolderAt(dir.get(), name, status)) {
                if (ec == std::errc::permission_denied) {
                    spdlog::warn(
                        "Cannot remove the leftover of an interrupted launcher update '{}': "
                        "permission denied on a folder that is not this user's own",
                        shown);
                } else {
                    spdlog::warn(
                        "Cannot remove the leftover of an interrupted launcher update '{}': {}",
                        shown, ec.message());
                }
                continue;
            }
            ++removed;
            spdlog::info("Removed the leftover of an interrupted launcher update: '{}'", shown);
        }
    } catch (const std::exception& e) {
        spdlog::warn("Looking for leftovers of launcher updates failed: {}", e.what());
    }
    return removed;
}

namespace {

Transfer transfer(const appcast::Item& item, const fs::path& file, const std::atomic<bool>& cancel,
                  const std::function<void(std::int64_t, std::int64_t)>& progress) {
    if (item.length > kMaxArchiveBytes) {
        fail(fmt::format("The update {} announces {} bytes, more than a launcher archive may have",
                         item.displayVersion(), item.length));
    }
    const std::int64_t limit = item.length >= 0 ? item.length : kMaxArchiveBytes;
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
            },
            limit);
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

}  // namespace

Transfer download(const appcast::Item& item, const fs::path& file, const std::atomic<bool>& cancel,
                  const std::function<void(std::int64_t, std::int64_t)>& progress) {
    std::error_code ignored;
    try {
        const Transfer result = transfer(item, file, cancel, progress);
        if (result != Transfer::complete) {
            fs::remove(file, ignored);
        }
        return result;
    } catch (...) {
        fs::remove(file, ignored);
        throw;
    }
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
