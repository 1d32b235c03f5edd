#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace zentravo::system {

// The program inside an application bundle: bundle/Contents/MacOS/<CFBundleExecutable of
// bundle/Contents/Info.plist>. Throws std::runtime_error when the bundle names no usable program.
[[nodiscard]] std::filesystem::path bundleExecutable(const std::filesystem::path& bundle);

// Starts `program` with `arguments` (each one argv entry, passed as is: no shell) in a session of
// its own, with standard input from /dev/null, this process's standard output and error, and no
// other descriptor, no signal blocked and SIGXFSZ, SIGPIPE, SIGCHLD, SIGINT and SIGTERM at their
// default action. Its environment is this process's, with the "NAME=value" entries of
// `environment` added (replacing variables of the same name). Throws std::system_error when it
// cannot start.
[[nodiscard]] pid_t startDetached(const std::filesystem::path& program,
                                  const std::vector<std::string>& arguments,
                                  const std::vector<std::string>& environment = {});

// Whether `failure`, as thrown by startDetached, says the program itself cannot be executed here:
// it is no program this system runs (cut short, overwritten), or it names an interpreter that is
// missing or no program, or the system refuses to execute it.
[[nodiscard]] bool isUnexecutable(const std::error_code& failure);

// Collects the exit status of a child started by startDetached once it has ended, so it leaves no
// zombie behind; empty while it still runs (or when it is not this process's child).
[[nodiscard]] std::optional<int> reapIfEnded(pid_t child);

}  // namespace zentravo::system
