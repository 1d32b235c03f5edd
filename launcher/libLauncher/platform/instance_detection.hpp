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

// The processes below `procRoot` (a /proc tree), in pid order, whose executable is the main
// application's and whose command line carries the launcher's tag; `ownPid` is never one.
[[nodiscard]] std::vector<pid_t> findTaggedMainApplications(const std::filesystem::path& procRoot,
                                                            pid_t ownPid);

// Raises the top-level window of process `pid` where an X display is reachable; false when no
// display or no such window.
bool bringWindowForward(pid_t pid);

}  // namespace zentravo::system
