#pragma once

// Plain POSIX sockets on 127.0.0.1 for the socket tests: the other end of what the launcher's own
// socket code does, written without it.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace loopback {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_{fd} {}
    UniqueFd(UniqueFd&& other) noexcept : fd_{std::exchange(other.fd_, -1)} {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    ~UniqueFd() { reset(); }
    void reset(int fd = -1) {
        if (fd_ != -1) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ != -1; }

  private:
    int fd_ = -1;
};

inline sockaddr_in address(unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline UniqueFd tcpSocket() {
    UniqueFd fd{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (!fd) {
        throw std::runtime_error("socket failed");
    }
    return fd;
}

inline unsigned short localPort(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        throw std::runtime_error("getsockname failed");
    }
    return ntohs(a.sin_port);
}

// Binds to 127.0.0.1:port (0 = any free port). With reuse, retries for up to `patience` while the
// port is taken (another test run on this machine may hold a fixed port for a moment).
inline UniqueFd boundSocket(unsigned short port, bool reuse = true,
                            std::chrono::milliseconds patience = std::chrono::seconds{20}) {
    const auto giveUp = std::chrono::steady_clock::now() + patience;
    for (;;) {
        UniqueFd fd = tcpSocket();
        const int one = 1;
        if (reuse) {
            ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        }
        const sockaddr_in a = address(port);
        if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
            return fd;
        }
        if (errno != EADDRINUSE || std::chrono::steady_clock::now() >= giveUp) {
            throw std::runtime_error("bind to port " + std::to_string(port) + " failed");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{50});
    }
}

inline UniqueFd listener(unsigned short port = 0, int backlog = 16) {
    UniqueFd fd = boundSocket(port);
    if (::listen(fd.get(), backlog) != 0) {
        throw std::runtime_error("listen failed");
    }
    return fd;
}

// A port on which nothing listens: held bound (not listening) for the object's lifetime, so
// connects to it are refused.
struct ClosedPort {
    UniqueFd holder = boundSocket(0);
    unsigned short port = localPort(holder.get());
};

// A port that was free a moment ago, for code that insists on binding by number itself.
inline unsigned short freePort() {
    return localPort(boundSocket(0).get());
}

inline UniqueFd connectTo(unsigned short port) {
    UniqueFd fd = tcpSocket();
    const sockaddr_in a = address(port);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        throw std::runtime_error("connect failed");
    }
    return fd;
}

inline UniqueFd acceptOne(int listenFd, std::chrono::milliseconds wait = std::chrono::seconds{5}) {
    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) != 1) {
        throw std::runtime_error("no connection to accept");
    }
    UniqueFd fd{::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC)};
    if (!fd) {
        throw std::runtime_error("accept failed");
    }
    return fd;
}

inline void sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            throw std::runtime_error("send failed");
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Reads until `size` bytes arrived, the peer closed, or `wait` passed.
inline std::string readUpTo(int fd, std::size_t size,
                            std::chrono::milliseconds wait = std::chrono::seconds{5}) {
    std::string out;
    const auto giveUp = std::chrono::steady_clock::now() + wait;
    while (out.size() < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            giveUp - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) {
            break;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, size - out.size()), 0);
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

// True when the peer has closed its end (end of stream within `wait`).
inline bool peerClosed(int fd, std::chrono::milliseconds wait = std::chrono::seconds{2}) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) != 1) {
        return false;
    }
    char byte;
    return ::recv(fd, &byte, 1, MSG_PEEK) == 0;
}

inline int openDescriptorCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ++count;
            }
        }
        ::closedir(dir);
    }
    return count - 1;  // the directory stream itself
}

}  // namespace loopback
