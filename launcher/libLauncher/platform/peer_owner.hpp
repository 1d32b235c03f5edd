#pragma once

// Who is at the other end of a local TCP connection, as the kernel records it.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <span>

#include "platform/socket_table.hpp"

namespace zentravo::system {

// The uid of the socket at the other end of the connected TCP socket `fd` (IPv4 or IPv6), read
// from the kernel's socket table for the connection's exact addresses and ports (see
// ownerFromRows). Empty when it cannot be established: not a connected TCP socket, no socket
// table to read, owner not to be told, or no row of the other end within `patience` (it can
// appear a moment after connect returns).
[[nodiscard]] std::optional<uid_t> connectedPeerOwner(int fd,
                                                      std::chrono::milliseconds patience) noexcept;

// What the socket table tells of the owner of a connection's other end.
struct RowOwner {
    enum class Kind {
        owner,     // `uid` holds the other end
        unknown,   // the rows do not tell
        notFound,  // `connection` is no row of a live connection (yet)
    };
    Kind kind = Kind::unknown;
    uid_t uid = 0;

    friend bool operator==(const RowOwner&, const RowOwner&) = default;
};

// `connection` is the row found for the connection's other end, `listeners` the listening rows
// on its port. An owner is only read from a row that has its socket: the connection's own once
// accepted; while it waits to be accepted, the listener's that holds it, and where several
// listeners could have taken it (the address itself, the wildcard, a dual-stack ::) all of them
// must be the same user's.
[[nodiscard]] RowOwner ownerFromRows(const SocketRow& connection,
                                     std::span<const SocketRow> listeners) noexcept;

}  // namespace zentravo::system
