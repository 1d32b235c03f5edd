#include "platform/instance_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "paths.hpp"
#include "private_folder.hpp"

namespace zentravo::system {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRuntimeLockName = "zentravo-launcher.lock";
constexpr const char* kDataLockName = "launcher.lock";

// The XDG rules ask for a folder owned by the user with access for the user only.
bool privateRuntimeFolder(const char* value) {
    if (value == nullptr || value[0] != '/') {
        return false;
    }
    struct stat status {};
    return ::lstat(value, &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::geteuid() && (status.st_mode & 0077) == 0;
}

// The lock file at `file`, a regular file of this user's own that only this user may use; none
// where there is something else.
FileDescriptor openLockFile(const fs::path& file) {
    if (file.empty()) {
        return {};
    }
    try {
        folders::createMissing(file.parent_path());
    } catch (const std::exception&) {  // the open below tells
    }
    FileDescriptor fd;
    do {
        fd = FileDescriptor{
            ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600)};
    } while (!fd && errno == EINTR);
    if (!fd) {
        return {};
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != ::geteuid()) {
        return {};
    }
    // Others could write a false holder into a file left open to them.
    if ((status.st_mode & 07077) != 0 && ::fchmod(fd.get(), 0600) != 0) {
        return {};
    }
    return fd;
}

}  // namespace

std::vector<fs::path> InstanceLock::defaultFiles() {
    std::vector<fs::path> files;
    if (const fs::path data = path::applicationSupport(); !data.empty()) {
        files.push_back(data / "ZentravoV3" / kDataLockName);
    }
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); privateRuntimeFolder(runtime)) {
        files.push_back(fs::path{runtime} / kRuntimeLockName);
    }
    return files;
}

InstanceLock InstanceLock::tryAcquire(const std::vector<fs::path>& files) {
    std::vector<Part> parts;
    for (const fs::path& file : files) {
        parts.push_back(Part{openLockFile(file)});
    }
    InstanceLock lock{std::move(parts)};
    lock.tryLock();
    return lock;
}

InstanceLock InstanceLock::tryAcquire(const fs::path& file) {
    return tryAcquire(std::vector<fs::path>{file});
}

InstanceLock::State InstanceLock::state() const {
    if (waitingFor() != nullptr) {
        return State::busy;
    }
    const bool all = !parts_.empty() && std::all_of(parts_.begin(), parts_.end(),
                                                    [](const Part& part) { return part.held; });
    return all ? State::held : State::unavailable;
}

const InstanceLock::Part* InstanceLock::waitingFor() const {
    for (const Part& part : parts_) {
        if (part.fd && !part.held) {
            return &part;
        }
    }
    return nullptr;
}

void InstanceLock::tryLock() {
    // Always in the same order, so that two launchers never each hold what the other waits for.
    for (Part& part : parts_) {
        if (!part.fd || part.held) {
            continue;
        }
        int rc = 0;
        do {
            rc = ::flock(part.fd.get(), LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            return;
        }
        part.held = true;
        // Who holds it, for a later launcher that wants to bring this one's window forward.
        const std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(part.fd.get(), 0) == 0) {
            [[maybe_unused]] const auto written =
                ::pwrite(part.fd.get(), pid.data(), pid.size(), 0);
        }
    }
}

std::optional<pid_t> InstanceLock::holder() const {
    const Part* part = waitingFor();
    if (part == nullptr) {
        const auto first = std::find_if(parts_.begin(), parts_.end(),
                                        [](const Part& one) { return bool{one.fd}; });
        part = first == parts_.end() ? nullptr : &*first;
    }
    if (part == nullptr) {
        return std::nullopt;
    }
    char buffer[32] = {};
    const ssize_t length = ::pread(part->fd.get(), buffer, sizeof buffer - 1, 0);
    if (length <= 0) {
        return std::nullopt;
    }
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(buffer, buffer + length, pid);
    if (error != std::errc{} || pid <= 0 || (end != buffer + length && *end != '\n')) {
        return std::nullopt;
    }
    return pid;
}

bool InstanceLock::waitUntilHeld(std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (tryLock(); state() == State::busy; tryLock()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{50});
    }
    return state() == State::held;
}

}  // namespace zentravo::system
