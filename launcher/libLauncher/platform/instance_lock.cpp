#include "platform/instance_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

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

}  // namespace

fs::path InstanceLock::defaultFile() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); privateRuntimeFolder(runtime)) {
        return fs::path{runtime} / kRuntimeLockName;
    }
    const fs::path data = path::applicationSupport();
    if (data.empty()) {
        return {};
    }
    return data / "ZentravoV3" / kDataLockName;
}

InstanceLock InstanceLock::tryAcquire(const fs::path& file) {
    if (file.empty()) {
        return InstanceLock{FileDescriptor{}, State::unavailable};
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
        return InstanceLock{FileDescriptor{}, State::unavailable};
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != ::geteuid()) {
        return InstanceLock{FileDescriptor{}, State::unavailable};
    }
    InstanceLock lock{std::move(fd), State::busy};
    lock.tryLock();
    return lock;
}

bool InstanceLock::tryLock() {
    if (state_ != State::busy) {
        return state_ == State::held;
    }
    int rc = 0;
    do {
        rc = ::flock(fd_.get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        return false;
    }
    state_ = State::held;
    // Who holds it, for a later launcher that wants to bring this one's window forward.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_.get(), 0) == 0) {
        [[maybe_unused]] const auto written = ::pwrite(fd_.get(), pid.data(), pid.size(), 0);
    }
    return true;
}

std::optional<pid_t> InstanceLock::holder() const {
    if (!fd_) {
        return std::nullopt;
    }
    char buffer[32] = {};
    const ssize_t length = ::pread(fd_.get(), buffer, sizeof buffer - 1, 0);
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
    while (!tryLock()) {
        if (state_ != State::busy || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{50});
    }
    return true;
}

}  // namespace zentravo::system
