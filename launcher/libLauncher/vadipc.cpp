#include "vadipc.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/peer_owner.hpp"

namespace zentravo::vadipc {

namespace socket {

int socket(int domain, int type, int protocol) noexcept {
    // Close-on-exec: the launcher starts other programs, which must not inherit its sockets.
    return ::socket(domain, type | SOCK_CLOEXEC, protocol);
}

int setsockopt(int fd, int level, int name, const void* value, unsigned int length) noexcept {
    return ::setsockopt(fd, level, name, value, static_cast<socklen_t>(length));
}

int bind(int fd, const sockaddr* address, int length) noexcept {
    return ::bind(fd, address, static_cast<socklen_t>(length));
}

int connect(int fd, const sockaddr* address, int length) noexcept {
    return ::connect(fd, address, static_cast<socklen_t>(length));
}

int listen(int fd, int backlog) noexcept {
    return ::listen(fd, backlog);
}

int accept(int fd, sockaddr* address, unsigned int* length) noexcept {
    return ::accept4(fd, address, length, SOCK_CLOEXEC);
}

long recv(int fd, char* buffer, unsigned long length, int flags) noexcept {
    return ::recv(fd, buffer, length, flags);
}

long send(int fd, const char* data, unsigned long length, int flags) noexcept {
    return ::send(fd, data, length, flags);
}

int shutdown(int fd, int how) noexcept {
    return ::shutdown(fd, how);
}

int close(int fd) noexcept {
    return ::close(fd);
}

SocketResult setSocketNonBlocking(int fd, bool on) noexcept {
    if (fd == -1) {
        return SocketResult::NoSocket;
    }
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags == -1) {
        return SocketResult::Failure;
    }
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, wanted) != 0 ? SocketResult::Failure : SocketResult::Success;
}

bool isServerReady(int fd) noexcept {
    if (fd == -1) {
        return false;
    }
    pollfd entry{fd, POLLIN, 0};
    const int pending = ::poll(&entry, 1, 0);
    if (pending == 1) {
        return (entry.revents & POLLHUP) == 0;
    }
    return pending == 0;
}

std::optional<uid_t> peerOwner(int fd, std::chrono::milliseconds patience) noexcept {
    if (fd == -1) {
        return std::nullopt;
    }
    return system::connectedPeerOwner(fd, patience);
}

SocketResult convertError(int code) noexcept {
    switch (code) {
        case 0:
            return SocketResult::Success;
        case EADDRINUSE:
            return SocketResult::AddressInUse;
        case ENOTCONN:
            return SocketResult::NotConnected;
        default:
            return SocketResult::Failure;
    }
}

SocketResult handleErrors() noexcept {
    return convertError(errno);
}

}  // namespace socket

namespace {

constexpr int kInvalidDescriptor = socket::getInvalidSocketDescriptorValue();
constexpr int kSocketError = socket::getSocketErrorValue();

sockaddr_in ipv4Address(unsigned short port, in_addr_t host) noexcept {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(host);
    return address;
}

}  // namespace

SocketIPC::SocketIPC() noexcept : accepted{false}, fd{kInvalidDescriptor} {}

SocketIPC::SocketIPC(int descriptor) noexcept : accepted{true}, fd{descriptor} {}

SocketIPC::SocketIPC(SocketIPC&& other) noexcept : accepted{other.accepted}, fd{other.fd.load()} {
    other.accepted = false;
    other.fd.store(kInvalidDescriptor);
}

SocketIPC& SocketIPC::operator=(SocketIPC&& other) noexcept {
    if (this != &other) {
        release();
        accepted = other.accepted;
        fd.store(other.fd.load());
        other.accepted = false;
        other.fd.store(kInvalidDescriptor);
    }
    return *this;
}

SocketIPC::~SocketIPC() {
    release();
}

void SocketIPC::release() noexcept {
    const int descriptor = fd.load();
    if (descriptor != kInvalidDescriptor) {
        if (socket::shutdown(descriptor, SHUT_RDWR) == kSocketError) {
            (void)socket::handleErrors();
        }
        if (socket::close(descriptor) == kSocketError) {
            (void)socket::handleErrors();
        }
    }
    accepted = false;
    fd.store(kInvalidDescriptor);
}

SocketResult SocketIPC::create() noexcept {
    if (fd.load() != kInvalidDescriptor) {
        return SocketResult::AlreadyCreated;
    }
    const int descriptor = socket::socket(AF_INET, SOCK_STREAM, 0);
    if (descriptor == kInvalidDescriptor) {
        return socket::handleErrors();
    }
    fd.store(descriptor);
    const int reuse = 1;
    socket::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    return SocketResult::Success;
}

SocketResult SocketIPC::connect(unsigned short port) noexcept {
    const int descriptor = fd.load();
    if (descriptor == kInvalidDescriptor) {
        return SocketResult::NoSocket;
    }
    if (accepted) {
        return SocketResult::AcceptedSocket;
    }
    const sockaddr_in address = ipv4Address(port, INADDR_LOOPBACK);
    if (socket::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
        kSocketError) {
        return socket::handleErrors();
    }
    return SocketResult::Success;
}

SocketResult SocketIPC::bind(unsigned short port) noexcept {
    const int descriptor = fd.load();
    if (descriptor == kInvalidDescriptor) {
        return SocketResult::NoSocket;
    }
    const sockaddr_in address = ipv4Address(port, INADDR_ANY);
    if (socket::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
        kSocketError) {
        return socket::handleErrors();
    }
    return SocketResult::Success;
}

SocketResult SocketIPC::listen(int backlog) noexcept {
    const int descriptor = fd.load();
    if (descriptor == kInvalidDescriptor) {
        return SocketResult::NoSocket;
    }
    if (socket::listen(descriptor, backlog) == kSocketError) {
        return socket::handleErrors();
    }
    return SocketResult::Success;
}

SocketResult SocketIPC::accept(SocketIPC* target) noexcept {
    const int descriptor = fd.load();
    if (descriptor == kInvalidDescriptor) {
        return SocketResult::NoSocket;
    }
    if (target == nullptr || target == this) {
        // Nowhere to put the connection: accepting would only leak it.
        return SocketResult::Failure;
    }
    const int connection = socket::accept(descriptor, nullptr, nullptr);
    if (connection == kInvalidDescriptor) {
        return socket::handleErrors();
    }
    target->release();
    target->accepted = true;
    target->fd.store(connection);
    return SocketResult::Success;
}

SocketResult SocketIPC::send(const char* data, unsigned long size) noexcept {
    const int descriptor = fd.load();
    if (descriptor == kInvalidDescriptor) {
        return SocketResult::NoSocket;
    }
    // MSG_NOSIGNAL: a peer that has gone away is an error code here, not a SIGPIPE that ends the
    // whole process.
    if (socket::send(descriptor, data, size, MSG_NOSIGNAL) == kSocketError) {
        return socket::handleErrors();
    }
    return SocketResult::Success;
}

SocketResult SocketIPC::receive(char* buffer, unsigned long capacity, long& received) noexcept {
    received = -1;
    const int descriptor = fd.load();
    if (descriptor == kInvalidDescriptor) {
        return SocketResult::NoSocket;
    }
    received = socket::recv(descriptor, buffer, capacity, 0);
    if (received < 1) {
        return socket::handleErrors();
    }
    return SocketResult::Success;
}

SocketResult SocketIPC::close() noexcept {
    const int descriptor = fd.load();
    if (descriptor == kInvalidDescriptor) {
        return SocketResult::NoSocket;
    }
    SocketResult result = SocketResult::Success;
    if (socket::shutdown(descriptor, SHUT_RDWR) == kSocketError) {
        result = socket::handleErrors();
    }
    if (socket::close(descriptor) == kSocketError) {
        const SocketResult closeResult = socket::handleErrors();
        if (result == SocketResult::Success) {
            result = closeResult;
        }
    }
    accepted = false;
    fd.store(kInvalidDescriptor);
    return result;
}

bool SocketIPC::isServerReady() const noexcept {
    return socket::isServerReady(fd.load());
}

std::optional<uid_t> SocketIPC::peerOwner(std::chrono::milliseconds patience) const noexcept {
    return socket::peerOwner(fd.load(), patience);
}

SocketResult SocketIPC::setSocketNonBlocking(bool on) noexcept {
    return socket::setSocketNonBlocking(fd.load(), on);
}

SocketResult SocketIPC::setTimeout(std::chrono::milliseconds limit) noexcept {
    const int descriptor = fd.load();
    if (descriptor == kInvalidDescriptor) {
        return SocketResult::NoSocket;
    }
    // A zero time-out would mean "wait forever" to the system.
    const auto ms = std::max<std::chrono::milliseconds::rep>(limit.count(), 1);
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    if (socket::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == kSocketError ||
        socket::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == kSocketError) {
        return socket::handleErrors();
    }
    return SocketResult::Success;
}

}  // namespace zentravo::vadipc
