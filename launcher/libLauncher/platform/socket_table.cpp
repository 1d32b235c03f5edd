// The kernel's TCP socket table, from socket diagnostics or /proc/net.
#include "platform/socket_table.hpp"

#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <string>

namespace zentravo::system {
namespace {

using Clock = std::chrono::steady_clock;

// The kernel answers while the request is sent; the wait only bounds a misbehaving one.
constexpr std::chrono::milliseconds kAnswerWait{1000};
// Listeners on one port: a handful normally; more than this is nobody's main application.
constexpr std::size_t kMostListeners = 1024;
// /proc/net/tcp grows with every socket on the machine: past this it is not read to its end.
constexpr std::size_t kMostProcBytes = 16U << 20U;
constexpr std::size_t kLongestProcLine = 512;

constexpr std::array<std::uint8_t, 12> kMappedPrefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

}  // namespace

SocketAddress socketAddress(sa_family_t family, const void* address, std::uint16_t port) noexcept {
    SocketAddress result;
    result.port = port;
    if (family == AF_INET) {
        result.family = AF_INET;
        std::memcpy(result.bytes.data(), address, 4);
    } else if (family == AF_INET6) {
        std::array<std::uint8_t, 16> bytes{};
        std::memcpy(bytes.data(), address, bytes.size());
        if (std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), bytes.begin())) {
            result.family = AF_INET;
            std::copy(bytes.begin() + 12, bytes.end(), result.bytes.begin());
        } else {
            result.family = AF_INET6;
            result.bytes = bytes;
        }
    }
    return result;
}

bool isWildcard(const SocketAddress& address) noexcept {
    const std::size_t size = address.family == AF_INET ? 4 : 16;
    return (address.family == AF_INET || address.family == AF_INET6) &&
           std::all_of(address.bytes.begin(), address.bytes.begin() + static_cast<long>(size),
                       [](std::uint8_t byte) { return byte == 0; });
}

namespace {

// "0100007F:9C3E": the address words as the kernel holds them, printed as native integers,
// and the port in host order.
bool parseProcAddress(std::string_view text, sa_family_t family, SocketAddress& address) noexcept {
    const std::size_t words = family == AF_INET ? 1 : 4;
    if (text.size() != words * 8 + 5 || text[words * 8] != ':') {
        return false;
    }
    std::array<std::uint32_t, 4> raw{};
    for (std::size_t i = 0; i < words; ++i) {
        const char* begin = text.data() + i * 8;
        if (const auto [end, error] = std::from_chars(begin, begin + 8, raw[i], 16);
            error != std::errc{} || end != begin + 8) {
            return false;
        }
    }
    std::uint16_t port = 0;
    const char* begin = text.data() + words * 8 + 1;
    if (const auto [end, error] = std::from_chars(begin, begin + 4, port, 16);
        error != std::errc{} || end != begin + 4) {
        return false;
    }
    address = socketAddress(family, raw.data(), port);
    return true;
}

template <typename Number>
bool parseNumber(std::string_view text, Number& number, int base = 10) noexcept {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number, base);
    return error == std::errc{} && end == text.data() + text.size() && !text.empty();
}

}  // namespace

std::optional<SocketRow> parseProcNetTcpRow(std::string_view line, sa_family_t family) noexcept {
    // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...
    std::array<std::string_view, 10> fields;
    std::size_t count = 0;
    while (count < fields.size()) {
        const auto start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos) {
            break;
        }
        line.remove_prefix(start);
        const auto end = std::min(line.find_first_of(" \t"), line.size());
        fields[count++] = line.substr(0, end);
        line.remove_prefix(end);
    }
    SocketRow row;
    if (count < fields.size() || fields[0].empty() || fields[0].back() != ':' ||
        !parseProcAddress(fields[1], family, row.local) ||
        !parseProcAddress(fields[2], family, row.remote) ||
        !parseNumber(fields[3], row.state, 16) || !parseNumber(fields[7], row.uid) ||
        !parseNumber(fields[9], row.inode)) {
        return std::nullopt;
    }
    return row;
}

SocketTable::SocketTable() noexcept
    : netlink_{::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)} {}

namespace {

struct ExactRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

void fillAddress(const SocketAddress& address, sa_family_t family, __be32 (&out)[4]) noexcept {
    std::memset(out, 0, sizeof out);
    auto* bytes = reinterpret_cast<std::uint8_t*>(out);
    if (family == AF_INET6 && address.family == AF_INET) {
        std::copy(kMappedPrefix.begin(), kMappedPrefix.end(), bytes);
        std::copy(address.bytes.begin(), address.bytes.begin() + 4, bytes + 12);
    } else {
        std::copy(address.bytes.begin(), address.bytes.end(), bytes);
    }
}

SocketRow rowFrom(const nlmsghdr* message) noexcept {
    const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
    SocketRow row;
    const auto family = static_cast<sa_family_t>(diag->idiag_family);
    row.local = socketAddress(family, diag->id.idiag_src, ntohs(diag->id.idiag_sport));
    row.remote = socketAddress(family, diag->id.idiag_dst, ntohs(diag->id.idiag_dport));
    row.state = diag->idiag_state;
    row.uid = diag->idiag_uid;
    row.inode = diag->idiag_inode;
    row.cookie =
        diag->id.idiag_cookie[0] | (static_cast<std::uint64_t>(diag->id.idiag_cookie[1]) << 32U);
    int left = static_cast<int>(message->nlmsg_len) -
               static_cast<int>(NLMSG_LENGTH(sizeof(inet_diag_msg)));
    for (auto* attribute = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(diag) +
                                                           NLMSG_ALIGN(sizeof(inet_diag_msg)));
         RTA_OK(attribute, left); attribute = RTA_NEXT(attribute, left)) {
        if (attribute->rta_type == INET_DIAG_SKV6ONLY && RTA_PAYLOAD(attribute) >= 1) {
            row.v6only = *static_cast<const std::uint8_t*>(RTA_DATA(attribute)) != 0;
        }
    }
    return row;
}

enum class Answer { more, done, failed };

// Sends `request` and hands each answer message of its sequence to `take` until `take` says it
// is done; false when the exchange fails or `take` finds the answer wrong.

template <typename Take>
bool exchange(int netlink, const void* request, std::size_t size, std::uint32_t sequence,
              Take take) noexcept {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(netlink, request, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
        return false;
    }
    alignas(nlmsghdr) std::array<char, 16384> buffer{};
    const auto giveUp = Clock::now() + kAnswerWait;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(giveUp - Clock::now());
        pollfd entry{netlink, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long>(left.count(), 0)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready != 1) {
            return false;
        }
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        // MSG_TRUNC: the whole datagram's size, so that a cut one is seen as such.
        const auto got = ::recvfrom(netlink, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                                    reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0 || static_cast<std::size_t>(got) > buffer.size()) {
            return false;
        }
        if (from.nl_pid != 0) {
            continue;  // only the kernel answers
        }
        auto size = static_cast<unsigned int>(got);
        for (auto* message = reinterpret_cast<const nlmsghdr*>(buffer.data());
             NLMSG_OK(message, size); message = NLMSG_NEXT(message, size)) {
            if (message->nlmsg_seq != sequence) {
                continue;
            }
            switch (take(message)) {
                case Answer::more:
                    break;
                case Answer::done:
                    return true;
                case Answer::failed:
                    return false;
            }
        }
    }
}

bool isDiagRow(const nlmsghdr* message) noexcept {
    return message->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
           message->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg));
}

}  // namespace

SocketTable::Lookup SocketTable::connectionFromDiagnostics(const SocketAddress& local,
                                                           const SocketAddress& remote,
                                                           SocketRow& row) {
    const auto family = local.family;
    ExactRequest request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof request.body);
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = ++sequence_;
    request.body.sdiag_family = static_cast<std::uint8_t>(family);
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0U;
    request.body.id.idiag_sport = htons(local.port);
    request.body.id.idiag_dport = htons(remote.port);
    fillAddress(local, family, request.body.id.idiag_src);
    fillAddress(remote, family, request.body.id.idiag_dst);
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    Lookup result = Lookup::failed;
    const bool answered = exchange(
        netlink_.get(), &request, request.header.nlmsg_len, request.header.nlmsg_seq,
        [&](const nlmsghdr* message) {
            if (message->nlmsg_type == NLMSG_ERROR) {
                // No such socket, or no inet_diag to ask: only /proc/net can tell.
                result = Lookup::failed;
                return Answer::done;
            }
            if (!isDiagRow(message)) {
                return Answer::failed;
            }
            row = rowFrom(message);
            // Without the exact connection the kernel answers with the port's
            // listener: that is no row of this connection.
            result = row.local == local && row.remote == remote ? Lookup::found : Lookup::absent;
            return Answer::done;
        });
    if (!answered) {
        return Lookup::failed;
    }
    return result;
}

bool SocketTable::listenersFromDiagnostics(sa_family_t family, std::uint16_t port,
                                           std::vector<SocketRow>& rows) {
    ExactRequest request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof request.body);
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = ++sequence_;
    request.body.sdiag_family = static_cast<std::uint8_t>(family);
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = 1U << TCP_LISTEN;
    // The kernel keeps only the listeners on this port.
    request.body.id.idiag_sport = htons(port);
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    bool whole = false;
    const bool answered = exchange(netlink_.get(), &request, request.header.nlmsg_len,
                                   request.header.nlmsg_seq, [&](const nlmsghdr* message) {
                                       if (message->nlmsg_type == NLMSG_DONE) {
                                           whole = true;
                                           return Answer::done;
                                       }
                                       if (!isDiagRow(message) || rows.size() >= kMostListeners) {
                                           return Answer::failed;
                                       }
                                       SocketRow row = rowFrom(message);
                                       if (row.state == TCP_LISTEN && row.local.port == port) {
                                           rows.push_back(row);
                                       }
                                       return Answer::more;
                                   });
    return answered && whole;
}

namespace {

// Every row of one /proc/net table handed to `take`, the heading skipped; false when the file
// cannot be read whole, is longer than the bound or holds a line that is not a row.
template <typename Take>
bool forEachProcRow(const char* path, sa_family_t family, Take take) {
    const FileDescriptor file{::open(path, O_RDONLY | O_CLOEXEC)};
    if (!file) {
        // A kernel without IPv6 has no tcp6 table, and so no IPv6 sockets.
        return family == AF_INET6 && errno == ENOENT;
    }
    std::array<char, 16384> buffer{};
    std::string pending;
    std::size_t total = 0;
    bool heading = true;
    for (;;) {
        const auto got = ::read(file.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return pending.empty();
        }
        total += static_cast<std::size_t>(got);
        if (total > kMostProcBytes) {
            return false;
        }
        pending.append(buffer.data(), static_cast<std::size_t>(got));
        std::size_t start = 0;
        for (auto end = pending.find('\n'); end != std::string::npos;
             end = pending.find('\n', start)) {
            const std::string_view line{pending.data() + start, end - start};
            start = end + 1;
            if (heading) {
                heading = false;
                continue;
            }
            const auto row = parseProcNetTcpRow(line, family);
            if (!row) {
                return false;
            }
            take(*row);
        }
        pending.erase(0, start);
        if (pending.size() > kLongestProcLine) {
            return false;
        }
    }
}

}  // namespace

SocketTable::Lookup SocketTable::readProc(const SocketAddress& local, const SocketAddress& remote,
                                          SocketRow& row) {
    procListeners_.clear();
    procListenersRead_ = false;
    bool found = false;
    bool tooMany = false;
    const auto take = [&](const SocketRow& candidate) {
        if (candidate.local == local && candidate.remote == remote &&
            candidate.state != TCP_LISTEN) {
            row = candidate;
            found = true;
        } else if (candidate.state == TCP_LISTEN && candidate.local.port == local.port) {
            if (procListeners_.size() >= kMostListeners) {
                tooMany = true;
            } else {
                procListeners_.push_back(candidate);
            }
        }
    };
    // An IPv4 connection can be held by an IPv6 socket too (listed in tcp6, v4-mapped).
    if ((local.family == AF_INET && !forEachProcRow("/proc/net/tcp", AF_INET, take)) ||
        !forEachProcRow("/proc/net/tcp6", AF_INET6, take) || tooMany) {
        return Lookup::failed;
    }
    procListenersPort_ = local.port;
    procListenersRead_ = true;
    return found ? Lookup::found : Lookup::absent;
}

SocketTable::Lookup SocketTable::connection(const SocketAddress& local, const SocketAddress& remote,
                                            SocketRow& row) {
    if (netlink_) {
        const auto result = connectionFromDiagnostics(local, remote, row);
        if (result != Lookup::failed) {
            return result;
        }
        // Not answered, or no socket at all, which is also the answer of a kernel without
        // inet_diag: from now on the same rows are read from /proc/net.
        netlink_ = FileDescriptor{};
    }
    return readProc(local, remote, row);
}

bool SocketTable::listeners(const SocketAddress& local, std::vector<SocketRow>& rows) {
    rows.clear();
    if (netlink_) {
        // A dual-stack IPv6 socket can take IPv4 connections as well.
        if ((local.family != AF_INET || listenersFromDiagnostics(AF_INET, local.port, rows)) &&
            listenersFromDiagnostics(AF_INET6, local.port, rows)) {
            return true;
        }
        rows.clear();
        netlink_ = FileDescriptor{};
        procListenersRead_ = false;
    }
    if (!procListenersRead_ || procListenersPort_ != local.port) {
        SocketRow unused;
        if (readProc(local, SocketAddress{}, unused) == Lookup::failed) {
            return false;
        }
    }
    rows = procListeners_;
    return true;
}

}  // namespace zentravo::system
