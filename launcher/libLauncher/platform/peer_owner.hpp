#pragma once

// Who is at the other end of a local TCP connection, as the kernel records it.

#include <sys/types.h>

#include <chrono>
#include <optional>

namespace zentravo::system {

// The uid of the socket at the other end of the connected TCP socket `fd` (IPv4 or IPv6), read
// from the kernel's socket table (sock_diag) for the connection's exact addresses and ports: for
// an accepted connection that is the listening process's user. Empty when it cannot be
// established: not a connected TCP socket, no diagnostics interface, or no such row within
// `patience` (the other end's row can appear a moment after connect returns).
[[nodiscard]] std::optional<uid_t> connectedPeerOwner(int fd,
                                                      std::chrono::milliseconds patience) noexcept;

}  // namespace zentravo::system
