#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zentravo::system {

// The main application's executable name and the tag its command line carries when the launcher
// started it with only "--launcher".
inline constexpr std::string_view kMainAppExecutable = "Zentravo";
inline constexpr std::string_view kLauncherTag = "Zentravo --launcher";

// A process's argv joined with single blanks, as a process list shows its command; empty when
// the process is gone or unreadable.
[[nodiscard]] std::string commandLineOf(const std::filesystem::path& processFolder);

// Whether the process of `processFolder` (a /proc/PID folder) runs with real uid `user`.
[[nodiscard]] bool isProcessOf(const std::filesystem::path& processFolder, uid_t user);

// The processes below `procRoot` (a /proc tree), in pid order, that run with real uid `user`,
// whose executable is the main application's and whose command line carries the launcher's tag;
// `ownPid` is never one. Other users' processes are passed over before anything else of them is
// read.
[[nodiscard]] std::vector<pid_t> findTaggedMainApplications(const std::filesystem::path& procRoot,
                                                            pid_t ownPid, uid_t user);

// Raises the top-level window of process `pid` where an X display is reachable and the process
// is this user's own; false when no display, no such window, or another user's process.
bool bringWindowForward(pid_t pid);

}  // namespace zentravo::system
