#pragma once
// A process that may not open netlink sockets, as in a sandbox that allows only unix and inet
// sockets: a seccomp filter answers socket(AF_NETLINK, ...) with EAFNOSUPPORT.

#include <seccomp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/netlink.h>
#include <cerrno>

namespace fixture {

// Sets the filter on this process and all it starts from now on; true once netlink sockets are
// refused here.
inline bool refuseNetlink() {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (filter == nullptr) {
        return false;
    }
    const bool set = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EAFNOSUPPORT), SCMP_SYS(socket), 1,
                                      SCMP_A0(SCMP_CMP_EQ, AF_NETLINK)) == 0 &&
                     seccomp_load(filter) == 0;
    seccomp_release(filter);
    if (!set) {
        return false;
    }
    const int probe = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (probe >= 0) {
        ::close(probe);
        return false;
    }
    return errno == EAFNOSUPPORT;
}

}  // namespace fixture
