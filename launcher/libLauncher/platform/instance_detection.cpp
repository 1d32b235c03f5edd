// Finding a running main application in the process table.
#include "platform/instance_detection.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

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

std::vector<std::string> argumentsOf(const std::filesystem::path& processFolder) {
    std::ifstream in{processFolder / "cmdline", std::ios::binary};
    const std::string raw{std::istreambuf_iterator<char>{in}, std::istreambuf_iterator<char>{}};
    std::vector<std::string> arguments;
    std::string::size_type start = 0;
    while (start < raw.size()) {
        const auto end = std::min(raw.find('\0', start), raw.size());
        arguments.emplace_back(raw, start, end - start);
        start = end + 1;
    }
    return arguments;
}

bool isMainAppExecutable(const std::string& argv0) {
    return std::filesystem::path{argv0}.filename() == kMainAppExecutable;
}

}  // namespace

std::string commandLineOf(const std::filesystem::path& processFolder) {
    std::string joined;
    for (const auto& argument : argumentsOf(processFolder)) {
        if (!joined.empty()) {
            joined += ' ';
        }
        joined += argument;
    }
    return joined;
}

std::vector<pid_t> findTaggedMainApplications(const std::filesystem::path& procRoot, pid_t ownPid) {
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
    for (const auto& [pid, folder] : processes) {
        // A process that ends while it is read leaves an empty command line: not running.
        const auto arguments = argumentsOf(folder);
        if (arguments.empty() || !isMainAppExecutable(arguments.front())) {
            continue;
        }
        if (commandLineOf(folder).find(kLauncherTag) != std::string::npos) {
            found.push_back(pid);
        }
    }
    return found;
}

bool isV3AlreadyRunning() {
    const auto found = findTaggedMainApplications("/proc", ::getpid());
    if (found.empty()) {
        return false;
    }
    bringWindowForward(found.front());
    return true;
}

}  // namespace zentravo::system
