#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "file_descriptor.hpp"

namespace zentravo::system {

// Set in the environment of a launcher that the running one starts to take its place (after a
// self-update): that launcher waits for the lock instead of ending. Read and cleared at start.
inline constexpr const char* kRelaunchVariable = "ZENTRAVO_LAUNCHER_RELAUNCH";

// One launcher per install folder and per session: exclusive flocks on files of the user's own,
// held for the whole life of the process (the kernel lets go when it ends, however it ends).
// Works without a session bus.
class InstanceLock {
  public:
    enum class State {
        held,         // this process is the one launcher
        busy,         // another process holds a lock
        unavailable,  // a lock file could not be made: not all is known
    };

    // The lock files, in the order they are taken. First the one beside the install folder, in
    // the data folder's "ZentravoV3": every launcher that works on that folder takes it, whatever
    // its session. Then one in XDG_RUNTIME_DIR when that is an absolute folder of this user's
    // own with mode 0700, for the launchers of one session. Either is left out where its folder
    // is unknown.
    [[nodiscard]] static std::vector<std::filesystem::path> defaultFiles();

    // Tries each once, in order, without waiting. Files are created 0600, never through a link.
    [[nodiscard]] static InstanceLock tryAcquire(const std::vector<std::filesystem::path>& files);
    [[nodiscard]] static InstanceLock tryAcquire(const std::filesystem::path& file);

    // Busy when another process holds one of the locks; unavailable when one could not be made
    // (those that could are held) or none was named.
    [[nodiscard]] State state() const;
    // The process that holds the lock this one waits for (else the first), as it wrote itself
    // into the file; empty when unknown.
    [[nodiscard]] std::optional<pid_t> holder() const;
    // While busy, tries again until no lock is busy or `patience` has passed; true when held.
    bool waitUntilHeld(std::chrono::milliseconds patience);

  private:
    struct Part {
        FileDescriptor fd;  // none: the file could not be made
        bool held = false;
    };
    explicit InstanceLock(std::vector<Part> parts) : parts_{std::move(parts)} {}
    // Takes the parts in order up to the first that another process holds.
    void tryLock();
    [[nodiscard]] const Part* waitingFor() const;

    std::vector<Part> parts_;
};

}  // namespace zentravo::system
