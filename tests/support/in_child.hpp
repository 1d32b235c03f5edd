#pragma once
// Runs a piece of a test in a forked child, so that what it changes of its own process (limits,
// mounts, namespaces) goes with it.

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace fixture {

// The exit code of `body` run in a child process; 128 + the signal when a signal ended it.
inline int inChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body());
    }
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace fixture
