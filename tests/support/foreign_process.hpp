#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace fixture {

// The user another local user's processes run as in these tests.
inline constexpr uid_t kNobody = 65534;

// Makes the calling process (a child of the test) user kNobody where it runs as root, for whom
// every permission check passes; a process of another user stays as it is. False where that
// failed.
inline bool dropRootToNobody() {
    return ::geteuid() != 0 ||
           (::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
            ::setresuid(kNobody, kNobody, kNobody) == 0);
}

// A process of user `uid` (and group `uid`) in a network namespace of its own, so that nothing
// it could listen on answers here, running `argv` until it is dropped (killed and reaped then).
// `argv[0]` is only the name it shows; `program` is what runs. Starting needs root: check
// `started()` and skip where it is not allowed.
class ForeignProcess {
  public:
    ForeignProcess(const std::string& program, std::vector<std::string> argv, uid_t uid) {
        std::vector<char*> pointers;
        for (auto& argument : argv) {
            pointers.push_back(argument.data());
        }
        pointers.push_back(nullptr);
        int input[2];
        int report[2];
        if (::pipe2(input, O_CLOEXEC) != 0) {
            return;
        }
        if (::pipe2(report, O_CLOEXEC) != 0) {
            ::close(input[0]);
            ::close(input[1]);
            return;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            // Only system calls from here: the parent may run other threads.
            int error = 0;
            if (::unshare(CLONE_NEWNET) != 0 || ::setgroups(0, nullptr) != 0 ||
                ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0 ||
                ::dup2(input[0], STDIN_FILENO) < 0) {
                error = errno;
            } else {
                ::execv(program.c_str(), pointers.data());
                error = errno;
            }
            (void)!::write(report[1], &error, sizeof error);
            ::_exit(127);
        }
        ::close(input[0]);
        ::close(report[1]);
        holdOpen_ = input[1];
        if (pid < 0) {
            ::close(report[0]);
            return;
        }
        pid_ = pid;
        // The report pipe closes on exec: nothing read means the program runs.
        int error = 0;
        ssize_t got = 0;
        do {
            got = ::read(report[0], &error, sizeof error);
        } while (got < 0 && errno == EINTR);
        ::close(report[0]);
        started_ = got == 0;
    }
    ~ForeignProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (holdOpen_ >= 0) {
            ::close(holdOpen_);
        }
    }
    ForeignProcess(const ForeignProcess&) = delete;
    ForeignProcess& operator=(const ForeignProcess&) = delete;

    [[nodiscard]] bool started() const { return started_; }
    [[nodiscard]] pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int holdOpen_ = -1;  // its standard input: it runs until this closes or it is killed
    bool started_ = false;
};

// The shell, shown as a main application started by the launcher ("Zentravo --launcher" on its
// command line), waiting on its standard input.
inline std::vector<std::string> taggedMainApplicationCommand() {
    return {"Zentravo", "-c", "read line", "Zentravo", "--launcher"};
}

}  // namespace fixture
