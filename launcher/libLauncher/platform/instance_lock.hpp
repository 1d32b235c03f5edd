#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <utility>

#include "file_descriptor.hpp"

namespace zentravo::system {

// Set in the environment of a launcher that the running one starts to take its place (after a
// self-update): that launcher waits for the lock instead of ending. Read and cleared at start.
inline constexpr const char* kRelaunchVariable = "ZENTRAVO_LAUNCHER_RELAUNCH";

// One launcher per user: an exclusive flock on a file of the user's own, held for the whole life
// of the process (the kernel lets go when it ends, however it ends). Works without a session bus.
class InstanceLock {
  public:
    enum class State {
        held,         // this process is the one launcher
        busy,         // another process holds the lock
        unavailable,  // no lock file could be made: nothing is known
    };

    // The lock file: in XDG_RUNTIME_DIR when that is an absolute folder of this user's own with
    // mode 0700, else in the data folder's "ZentravoV3"; empty when there is neither.
    [[nodiscard]] static std::filesystem::path defaultFile();

    // Tries once, without waiting. The file is created 0600, never through a link.
    [[nodiscard]] static InstanceLock tryAcquire(const std::filesystem::path& file);

    [[nodiscard]] State state() const { return state_; }
    // The process that holds the lock, as it wrote itself into the file; empty when unknown.
    [[nodiscard]] std::optional<pid_t> holder() const;
    // While busy, tries again until the lock is held or `patience` has passed; true when held.
    bool waitUntilHeld(std::chrono::milliseconds patience);

  private:
    InstanceLock(FileDescriptor fd, State state) : fd_{std::move(fd)}, state_{state} {}
    bool tryLock();

    FileDescriptor fd_;
    State state_ = State::unavailable;
};

}  // namespace zentravo::system
