#pragma once

// A TCP listener on 127.0.0.1 (or a dual-stack ::) run by a process of another user (a forked child
// that drops to that user), in this network namespace, answering every connection's first data with
// a given answer: another local user holding a port before this user's program. It reports to the
// test each connection it accepted, the bytes each carried, and when each ended.

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace fixture {

class ForeignListener {
  public:
    // What the listener saw, connection by connection, in the order it accepted them.
    struct Connection {
        std::string received;
        bool ended = false;  // the other end closed (or the connection failed)
    };

    // Where it listens: 127.0.0.1, or every address of both families (a dual-stack ::).
    enum class Address { loopback, dualStack };

    // Listens on `port` (0: a free one, see port()) as user and group `uid`. Needs root for
    // another user: check started() and skip where it is not allowed.
    ForeignListener(unsigned short port, uid_t uid, std::string answer,
                    Address where = Address::loopback) {
        int status[2];
        int events[2];
        if (::pipe2(status, O_CLOEXEC) != 0) {
            return;
        }
        if (::pipe2(events, O_CLOEXEC) != 0) {
            ::close(status[0]);
            ::close(status[1]);
            return;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(status[0]);
            ::close(events[0]);
            serve(port, uid, answer, where, status[1], events[1]);
        }
        ::close(status[1]);
        ::close(events[1]);
        if (pid < 0) {
            ::close(status[0]);
            ::close(events[0]);
            return;
        }
        pid_ = pid;
        events_ = events[0];
        ::fcntl(events_, F_SETFL, O_NONBLOCK);
        // Zero and the port once it listens; an errno and nothing else when it cannot.
        std::int32_t report[2] = {-1, 0};
        std::size_t got = 0;
        while (got < sizeof report) {
            const auto n =
                ::read(status[0], reinterpret_cast<char*>(report) + got, sizeof report - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        ::close(status[0]);
        if (got == sizeof report && report[0] == 0) {
            port_ = static_cast<unsigned short>(report[1]);
        } else {
            error_ = got >= sizeof report[0] ? report[0] : 0;
        }
    }
    ~ForeignListener() { stop(); }
    ForeignListener(const ForeignListener&) = delete;
    ForeignListener& operator=(const ForeignListener&) = delete;

    [[nodiscard]] bool started() const { return port_ != 0; }
    [[nodiscard]] unsigned short port() const { return port_; }
    // Why it did not start (errno of the failed step), 0 when unknown.
    [[nodiscard]] int error() const { return error_; }

    // Ends the listener; what it reported until then stays readable.
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        drain();
        if (events_ >= 0) {
            ::close(events_);
            events_ = -1;
        }
    }

    [[nodiscard]] std::vector<Connection> connections() {
        drain();
        return connections_;
    }

    // Until at least `count` connections were accepted and have ended, or `wait` passed.
    bool waitForEndedConnections(std::size_t count, std::chrono::milliseconds wait) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (;;) {
            std::size_t ended = 0;
            for (const auto& connection : connections()) {
                ended += connection.ended;
            }
            if (ended >= count) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds{10});
        }
    }

  private:
    // Reports on the events pipe: 'A' accepted, 'D' + 4-byte length + bytes, 'E' ended.
    static void report(int fd, char kind, const char* data = nullptr, std::uint32_t size = 0) {
        char frame[1 + sizeof size + 4096];
        frame[0] = kind;
        std::memcpy(frame + 1, &size, sizeof size);
        if (size > 0) {
            std::memcpy(frame + 1 + sizeof size, data, size);
        }
        // At most PIPE_BUF bytes: written whole.
        (void)!::write(fd, frame, 1 + sizeof size + size);
    }

    // The child: system calls only (the test may run other threads), never returns.
    [[noreturn]] static void serve(unsigned short port, uid_t uid, const std::string& answer,
                                   Address where, int status, int events) {
        std::int32_t result[2] = {0, 0};
        const bool dualStack = where == Address::dualStack;
        sockaddr_in6 address{};
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        if (dualStack) {
            address.sin6_family = AF_INET6;
            address.sin6_port = htons(port);
            address.sin6_addr = in6addr_any;
        } else {
            in->sin_family = AF_INET;
            in->sin_port = htons(port);
            in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        }
        const int yes = 1;
        const int no = 0;
        socklen_t length = dualStack ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        // Ends with the test, however the test ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The socket is made after the switch, so the kernel records it as that user's.
        if (uid != ::getuid() && (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
                                  ::setresuid(uid, uid, uid) != 0)) {
            result[0] = errno;
        }
        int server = -1;
        if (result[0] == 0) {
            server = ::socket(dualStack ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (server < 0 ||
                ::setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
                (dualStack &&
                 ::setsockopt(server, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no) != 0) ||
                ::bind(server, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
                ::listen(server, 16) != 0 ||
                ::getsockname(server, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
                result[0] = errno != 0 ? errno : EINVAL;
            }
        }
        result[1] = ntohs(dualStack ? address.sin6_port : in->sin_port);
        (void)!::write(status, result, result[0] == 0 ? sizeof result : sizeof result[0]);
        ::close(status);
        if (result[0] != 0) {
            ::_exit(1);
        }
        for (;;) {
            const int connection = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) {
                continue;
            }
            report(events, 'A');
            bool answered = false;
            for (;;) {
                pollfd entry{connection, POLLIN, 0};
                if (::poll(&entry, 1, 10000) != 1) {
                    break;
                }
                char buffer[4096];
                const auto got = ::recv(connection, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    break;
                }
                report(events, 'D', buffer, static_cast<std::uint32_t>(got));
                if (!answered) {
                    answered = true;
                    (void)!::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
                }
            }
            ::close(connection);
            report(events, 'E');
        }
    }

    void drain() {
        if (events_ < 0) {
            return;
        }
        char buffer[8192];
        for (;;) {
            const auto got = ::read(events_, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            pending_.append(buffer, static_cast<std::size_t>(got));
        }
        constexpr std::size_t kHeader = 1 + sizeof(std::uint32_t);
        while (pending_.size() >= kHeader) {
            std::uint32_t size = 0;
            std::memcpy(&size, pending_.data() + 1, sizeof size);
            if (pending_.size() < kHeader + size) {
                break;
            }
            const char kind = pending_[0];
            if (kind == 'A') {
                connections_.emplace_back();
            } else if (!connections_.empty() && kind == 'D') {
                connections_.back().received.append(pending_, kHeader, size);
            } else if (!connections_.empty() && kind == 'E') {
                connections_.back().ended = true;
            }
            pending_.erase(0, kHeader + size);
        }
    }

    pid_t pid_ = -1;
    int events_ = -1;
    unsigned short port_ = 0;
    int error_ = 0;
    std::string pending_;
    std::vector<Connection> connections_;
};

}  // namespace fixture
