// The owner of a local TCP connection's other end, from the kernel's socket diagnostics.
#include "platform/peer_owner.hpp"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>

#include "file_descriptor.hpp"

namespace zentravo::system {
namespace {

using Clock = std::chrono::steady_clock;

// One end of a connection as the diagnostics interface spells it: network byte order, an IPv4
// address in the first word.
struct Endpoint {
    std::uint8_t family = AF_UNSPEC;
    std::array<std::uint32_t, 4> address{};
    std::uint16_t port = 0;
};

std::optional<Endpoint> endpointFrom(const sockaddr_storage& storage, socklen_t length) noexcept {
    Endpoint endpoint;
    if (storage.ss_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in in{};
        std::memcpy(&in, &storage, sizeof in);
        endpoint.family = AF_INET;
        endpoint.address[0] = in.sin_addr.s_addr;
        endpoint.port = in.sin_port;
        return endpoint;
    }
    if (storage.ss_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, &storage, sizeof in6);
        endpoint.family = AF_INET6;
        std::memcpy(endpoint.address.data(), &in6.sin6_addr, sizeof in6.sin6_addr);
        endpoint.port = in6.sin6_port;
        return endpoint;
    }
    return std::nullopt;
}

template <typename Call>
std::optional<Endpoint> endpointOf(int fd, Call call) noexcept {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (call(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        return std::nullopt;
    }
    return endpointFrom(storage, length);
}

bool isTcp(int fd) noexcept {
    int protocol = 0;
    socklen_t length = sizeof protocol;
    return ::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) == 0 &&
           protocol == IPPROTO_TCP;
}

bool sameAddress(const Endpoint& endpoint, const __be32 (&address)[4]) noexcept {
    const std::size_t words = endpoint.family == AF_INET ? 1 : 4;
    return std::memcmp(endpoint.address.data(), address, words * sizeof address[0]) == 0;
}

enum class Lookup { found, absent, failed };

struct Request {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

// One exact lookup of the socket whose local end is `local` and whose remote end is `remote`.
Lookup lookUp(int netlink, const Endpoint& local, const Endpoint& remote, std::uint32_t sequence,
              std::chrono::milliseconds wait, uid_t& owner) noexcept {
    Request request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof request.body);
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = sequence;
    request.body.sdiag_family = local.family;
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0U;
    request.body.id.idiag_sport = local.port;
    request.body.id.idiag_dport = remote.port;
    std::memcpy(request.body.id.idiag_src, local.address.data(), sizeof request.body.id.idiag_src);
    std::memcpy(request.body.id.idiag_dst, remote.address.data(), sizeof request.body.id.idiag_dst);
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(netlink, &request, request.header.nlmsg_len, MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0) {
        return Lookup::failed;
    }

    alignas(nlmsghdr) std::array<char, 8192> buffer{};
    const auto giveUp = Clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(giveUp - Clock::now());
        pollfd entry{netlink, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long>(left.count(), 0)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready != 1) {
            return Lookup::failed;
        }
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        const auto got = ::recvfrom(netlink, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                    reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            return Lookup::failed;
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
            if (message->nlmsg_type == NLMSG_ERROR) {
                if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
                    return Lookup::failed;
                }
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
                return error->error == -ENOENT ? Lookup::absent : Lookup::failed;
            }
            if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                message->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                return Lookup::failed;
            }
            const auto* row = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
            // The lookup falls back to the port's listener while the connection's own row is
            // not there yet: only the exact connection counts. A half-open or closed one
            // (request or time-wait row) is reported with uid 0, which is nobody's word for
            // its owner.
            if (row->idiag_state == TCP_SYN_RECV || row->idiag_state == TCP_TIME_WAIT ||
                row->idiag_state == TCP_LISTEN || row->idiag_family != local.family ||
                row->id.idiag_sport != local.port || row->id.idiag_dport != remote.port ||
                !sameAddress(local, row->id.idiag_src) || !sameAddress(remote, row->id.idiag_dst)) {
                return Lookup::absent;
            }
            owner = row->idiag_uid;
            return Lookup::found;
        }
    }
}

}  // namespace

std::optional<uid_t> connectedPeerOwner(int fd, std::chrono::milliseconds patience) noexcept {
    if (!isTcp(fd)) {
        return std::nullopt;
    }
    const auto ours = endpointOf(fd, ::getsockname);
    const auto theirs = endpointOf(fd, ::getpeername);
    if (!ours || !theirs || ours->family != theirs->family) {
        return std::nullopt;
    }
    const FileDescriptor netlink{
        ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)};
    if (!netlink) {
        return std::nullopt;
    }
    // The kernel answers while the request is sent; the wait only bounds a misbehaving one.
    constexpr std::chrono::milliseconds kAnswerWait{1000};
    const auto giveUp = Clock::now() + patience;
    auto pause = std::chrono::milliseconds{1};
    for (std::uint32_t sequence = 1;; ++sequence) {
        uid_t owner = 0;
        // The other end's socket: its local end is our peer, its remote end is us.
        switch (lookUp(netlink.get(), *theirs, *ours, sequence, kAnswerWait, owner)) {
            case Lookup::found:
                return owner;
            case Lookup::failed:
                return std::nullopt;
            case Lookup::absent:
                break;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(giveUp - Clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::min(pause, left));
        pause = std::min(pause * 2, std::chrono::milliseconds{20});
    }
}

}  // namespace zentravo::system
