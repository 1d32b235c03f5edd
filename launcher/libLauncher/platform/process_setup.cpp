#include "platform/process_setup.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace zentravo::system {
namespace {

// Puts `target`, which is closed, on /dev/null. Without close-on-exec: a started program finds
// the same there.
bool openOnNullDevice(int target) {
    int fd = -1;
    do {
        fd = ::open("/dev/null", (target == STDIN_FILENO ? O_RDONLY : O_WRONLY) | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
    // The lowest free number is taken; the lower standard ones are open by now, so that is
    // `target` unless something else is amiss.
    if (fd != target) {
        const bool moved = ::dup2(fd, target) == target;
        ::close(fd);
        if (!moved) {
            return false;
        }
    }
    struct stat status {};
    return ::fstat(target, &status) == 0 && S_ISCHR(status.st_mode);
}

}  // namespace

bool prepareProcess() {
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF && !openOnNullDevice(fd)) {
            return false;
        }
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return ::sigaction(SIGXFSZ, &ignore, nullptr) == 0;
}

}  // namespace zentravo::system
