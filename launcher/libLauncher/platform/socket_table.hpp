#pragma once

// The kernel's table of TCP sockets, one row per socket, read from socket diagnostics (netlink)
// or, where those cannot be used, from /proc/net/tcp and /proc/net/tcp6.

#include <sys/socket.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "file_descriptor.hpp"

namespace zentravo::system {

// An address and port as a row gives them. An IPv4 address held by an IPv6 socket
// (::ffff:a.b.c.d) is the IPv4 address it stands for.
struct SocketAddress {
    sa_family_t family = AF_UNSPEC;
    std::array<std::uint8_t, 16> bytes{};  // network order; an IPv4 address in the first four
    std::uint16_t port = 0;                // host order

    friend bool operator==(const SocketAddress&, const SocketAddress&) = default;
};

// `address` points to an in_addr (AF_INET) or in6_addr (AF_INET6); `port` is in host order.
[[nodiscard]] SocketAddress socketAddress(sa_family_t family, const void* address,
                                          std::uint16_t port) noexcept;
// 0.0.0.0 or ::
[[nodiscard]] bool isWildcard(const SocketAddress& address) noexcept;

struct SocketRow {
    SocketAddress local;
    SocketAddress remote;
    int state = 0;  // TCP_ESTABLISHED, TCP_LISTEN, ... (netinet/tcp.h)
    uid_t uid = 0;
    // 0 while the socket has no file of its own: a connection its listener has not accepted yet.
    // Such a row's uid is nobody's word (older kernels give 0, newer ones copy the listener's).
    std::uint64_t inode = 0;
    std::uint64_t cookie = 0;    // 0 where the source gives none
    std::optional<bool> v6only;  // listening IPv6 sockets, where the source tells
};

// One line of /proc/net/tcp (`family` AF_INET) or /proc/net/tcp6 (AF_INET6); empty for the
// heading or a line that is not a row.
[[nodiscard]] std::optional<SocketRow> parseProcNetTcpRow(std::string_view line,
                                                          sa_family_t family) noexcept;

// Looks rows up from one source: socket diagnostics while they answer, /proc/net once they do
// not (no netlink socket allowed, no inet_diag in the kernel).
class SocketTable {
  public:
    enum class Lookup { found, absent, failed };

    SocketTable() noexcept;

    // The row of the socket whose local end is `local` and remote end `remote`.
    [[nodiscard]] Lookup connection(const SocketAddress& local, const SocketAddress& remote,
                                    SocketRow& row);
    // The listening sockets on `local`'s port that a connection to `local` may have reached
    // (and maybe others on that port). False when they cannot be read.
    [[nodiscard]] bool listeners(const SocketAddress& local, std::vector<SocketRow>& rows);

  private:
    [[nodiscard]] Lookup connectionFromDiagnostics(const SocketAddress& local,
                                                   const SocketAddress& remote, SocketRow& row);
    [[nodiscard]] bool listenersFromDiagnostics(sa_family_t family, std::uint16_t port,
                                                std::vector<SocketRow>& rows);
    [[nodiscard]] Lookup readProc(const SocketAddress& local, const SocketAddress& remote,
                                  SocketRow& row);

    FileDescriptor netlink_;
    std::uint32_t sequence_ = 0;
    // From /proc/net: the listeners seen by the last read, which read every row at once.
    std::vector<SocketRow> procListeners_;
    std::uint16_t procListenersPort_ = 0;
    bool procListenersRead_ = false;
};

}  // namespace zentravo::system
