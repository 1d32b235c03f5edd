#pragma once

// A small TCP socket library for talking to other processes on the same machine. Every failure is
// a result code; nothing here throws.

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <optional>

namespace zentravo::vadipc {

enum class SocketResult : int {
    Success = 0,
    Failure = 1,         // any other system error, or the non-blocking switch failed
    AlreadyCreated = 2,  // create on an object that already holds a socket
    NoSocket = 3,        // operation on an object that holds no socket
    NotConnected = 4,    // ENOTCONN
    AcceptedSocket = 5,  // connect on an accepted connection
    AddressInUse = 6,    // EADDRINUSE
};

// Thin wrappers over the BSD calls, so that SocketIPC never talks to the system directly.
namespace socket {

// constexpr so that SocketIPC objects with static storage never see them uninitialised.
[[nodiscard]] constexpr int getInvalidSocketDescriptorValue() noexcept {
    return -1;
}
[[nodiscard]] constexpr int getSocketErrorValue() noexcept {
    return -1;
}

[[nodiscard]] int socket(int domain, int type, int protocol) noexcept;
int setsockopt(int fd, int level, int name, const void* value, unsigned int length) noexcept;
[[nodiscard]] int bind(int fd, const sockaddr* address, int length) noexcept;
[[nodiscard]] int connect(int fd, const sockaddr* address, int length) noexcept;
[[nodiscard]] int listen(int fd, int backlog) noexcept;
[[nodiscard]] int accept(int fd, sockaddr* address, unsigned int* length) noexcept;
[[nodiscard]] long recv(int fd, char* buffer, unsigned long length, int flags) noexcept;
[[nodiscard]] long send(int fd, const char* data, unsigned long length, int flags) noexcept;
int shutdown(int fd, int how) noexcept;
int close(int fd) noexcept;

[[nodiscard]] SocketResult setSocketNonBlocking(int fd, bool on) noexcept;
// True when the descriptor is open and its peer has not hung up; never waits.
[[nodiscard]] bool isServerReady(int fd) noexcept;
// The user owning the connected peer's socket; empty when it cannot be established.
[[nodiscard]] std::optional<uid_t> peerOwner(int fd, std::chrono::milliseconds patience) noexcept;

[[nodiscard]] SocketResult convertError(int code) noexcept;
// convertError(errno), for use right after a failed call.
[[nodiscard]] SocketResult handleErrors() noexcept;

}  // namespace socket

// Owns one socket descriptor (or none). Not copyable; a move leaves the source empty.
class SocketIPC {
  public:
    SocketIPC() noexcept;
    // Takes over an already accepted connection.
    explicit SocketIPC(int descriptor) noexcept;
    SocketIPC(SocketIPC&& other) noexcept;
    // Releases this object's own socket, if any, before taking over the other's.
    SocketIPC& operator=(SocketIPC&& other) noexcept;
    SocketIPC(const SocketIPC&) = delete;
    SocketIPC& operator=(const SocketIPC&) = delete;
    ~SocketIPC();

    [[nodiscard]] SocketResult create() noexcept;
    // Connects to 127.0.0.1:port.
    [[nodiscard]] SocketResult connect(unsigned short port) noexcept;
    // Binds to port on every IPv4 interface.
    [[nodiscard]] SocketResult bind(unsigned short port) noexcept;
    [[nodiscard]] SocketResult listen(int backlog) noexcept;
    // Hands the next connection to target; a socket target already holds is released first.
    [[nodiscard]] SocketResult accept(SocketIPC* target) noexcept;
    // One send call: a partial write still counts as success.
    [[nodiscard]] SocketResult send(const char* data, unsigned long size) noexcept;
    // One recv call. received is the byte count (0 at end of stream, -1 on error or no socket).
    [[nodiscard]] SocketResult receive(char* buffer, unsigned long capacity,
                                       long& received) noexcept;
    // Always leaves the object empty; reports the first failure of shutdown and close.
    SocketResult close() noexcept;
    [[nodiscard]] bool isServerReady() const noexcept;
    // The user whose socket is at the other end of this connection, as the kernel records it;
    // empty when that cannot be established within `patience` (or no connection).
    [[nodiscard]] std::optional<uid_t> peerOwner(std::chrono::milliseconds patience) const noexcept;
    [[nodiscard]] SocketResult setSocketNonBlocking(bool on) noexcept;
    [[nodiscard]] bool isAccepted() const noexcept { return accepted; }

    // Caps how long each blocking connect, send or receive may wait (at least 1 ms). A call
    // that runs out of time fails with Failure.
    [[nodiscard]] SocketResult setTimeout(std::chrono::milliseconds limit) noexcept;

  private:
    void release() noexcept;

    bool accepted;
    std::atomic<int> fd;
};

}  // namespace zentravo::vadipc
