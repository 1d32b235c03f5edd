// Finding a running main application in the process table.
#include "platform/instance_detection.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "file_descriptor.hpp"
#include "system.hpp"

namespace zentravo::system {
namespace {

std::optional<pid_t> pidFromName(const std::string& name) {
    pid_t pid = 0;
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec != std::errc{} || end != name.data() + name.size() || pid <= 0) {
        return std::nullopt;
    }
    return pid;
}

// Longer command lines are cut here: the tag sits near the start of a main application's.
constexpr std::size_t kMaxCommandLine = 64 * 1024;
// The Uid line comes early in a status file; a process name cannot push it past this.
constexpr std::size_t kMaxStatusHead = 4096;

// Up to `limit` bytes of `name` inside the process folder `folder` (an open descriptor).
std::string readBounded(int folder, const char* name, std::size_t limit) {
    const FileDescriptor fd{::openat(folder, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW)};
    std::string content;
    if (!fd) {
        return content;
    }
    std::array<char, 4096> buffer{};
    while (content.size() < limit) {
        const auto got =
            ::read(fd.get(), buffer.data(), std::min(buffer.size(), limit - content.size()));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        content.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return content;
}

// The real uid from a status file's "Uid:" line; empty when the file holds none.
std::optional<uid_t> realUidOf(const std::string& status) {
    constexpr std::string_view kUidLine = "\nUid:";
    const auto at = status.find(kUidLine);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    auto first = at + kUidLine.size();
    while (first < status.size() && (status[first] == '\t' || status[first] == ' ')) {
        ++first;
    }
    uid_t uid = 0;
    const char* end = status.data() + status.size();
    const auto [next, ec] = std::from_chars(status.data() + first, end, uid);
    if (ec != std::errc{} || next == status.data() + first) {
        return std::nullopt;
    }
    return uid;
}

std::vector<std::string> splitArguments(const std::string& raw) {
    std::vector<std::string> arguments;
    std::string::size_type start = 0;
    while (start < raw.size()) {
        const auto end = std::min(raw.find('\0', start), raw.size());
        arguments.emplace_back(raw, start, end - start);
        start = end + 1;
    }
    return arguments;
}

std::vector<std::string> argumentsOf(int folder) {
    return splitArguments(readBounded(folder, "cmdline", kMaxCommandLine));
}

std::string joined(const std::vector<std::string>& arguments) {
    std::string line;
    for (const auto& argument : arguments) {
        if (!line.empty()) {
            line += ' ';
        }
        line += argument;
    }
    return line;
}

bool isMainAppExecutable(const std::string& argv0) {
    return std::filesystem::path{argv0}.filename() == kMainAppExecutable;
}

}  // namespace

std::string commandLineOf(const std::filesystem::path& processFolder) {
    const FileDescriptor folder{::open(processFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    return folder ? joined(argumentsOf(folder.get())) : std::string{};
}

bool isProcessOf(const std::filesystem::path& processFolder, uid_t user) {
    const FileDescriptor folder{::open(processFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    return folder && realUidOf(readBounded(folder.get(), "status", kMaxStatusHead)) == user;
}

std::vector<pid_t> findTaggedMainApplications(const std::filesystem::path& procRoot, pid_t ownPid,
                                              uid_t user) {
    std::vector<std::pair<pid_t, std::filesystem::path>> processes;
    std::error_code ec;
    for (std::filesystem::directory_iterator it{procRoot, ec}, end; !ec && it != end;
         it.increment(ec)) {
        if (const auto pid = pidFromName(it->path().filename().string()); pid && *pid != ownPid) {
            processes.emplace_back(*pid, it->path());
        }
    }
    std::sort(processes.begin(), processes.end());
    std::vector<pid_t> found;
    for (const auto& [pid, path] : processes) {
        // One descriptor for all reads of a process: a pid reused meanwhile reads as ended.
        const FileDescriptor folder{::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
        if (!folder) {
            continue;
        }
        // The owner first: another user's processes do not count, and reading their command
        // line can block while they hold their memory map.
        if (realUidOf(readBounded(folder.get(), "status", kMaxStatusHead)) != user) {
            continue;
        }
        // A process that ends while it is read leaves an empty command line: not running.
        const auto arguments = argumentsOf(folder.get());
        if (arguments.empty() || !isMainAppExecutable(arguments.front())) {
            continue;
        }
        if (joined(arguments).find(kLauncherTag) != std::string::npos) {
            found.push_back(pid);
        }
    }
    return found;
}

bool isV3AlreadyRunning() {
    const auto found = findTaggedMainApplications("/proc", ::getpid(), ::getuid());
    if (found.empty()) {
        return false;
    }
    bringWindowForward(found.front());
    return true;
}

}  // namespace zentravo::system
