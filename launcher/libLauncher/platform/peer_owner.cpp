// The owner of a local TCP connection's other end, from the kernel's socket table.
#include "platform/peer_owner.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace zentravo::system {
namespace {

using Clock = std::chrono::steady_clock;

std::optional<SocketAddress> addressFrom(const sockaddr_storage& storage,
                                         socklen_t length) noexcept {
    if (storage.ss_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in in{};
        std::memcpy(&in, &storage, sizeof in);
        return socketAddress(AF_INET, &in.sin_addr, ntohs(in.sin_port));
    }
    if (storage.ss_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, &storage, sizeof in6);
        return socketAddress(AF_INET6, &in6.sin6_addr, ntohs(in6.sin6_port));
    }
    return std::nullopt;
}

template <typename Call>
std::optional<SocketAddress> addressOf(int fd, Call call) noexcept {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (call(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        return std::nullopt;
    }
    return addressFrom(storage, length);
}

bool isTcp(int fd) noexcept {
    int protocol = 0;
    socklen_t length = sizeof protocol;
    return ::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) == 0 &&
           protocol == IPPROTO_TCP;
}

// A listener that a connection to `target` may have reached.
bool couldHaveTaken(const SocketRow& listener, const SocketAddress& target) noexcept {
    if (listener.state != TCP_LISTEN || listener.local.port != target.port) {
        return false;
    }
    if (listener.local.family == target.family) {
        return listener.local == target || isWildcard(listener.local);
    }
    // An IPv6 wildcard takes IPv4 connections unless it is IPv6-only; where the source does not
    // tell, it may.
    return target.family == AF_INET && listener.local.family == AF_INET6 &&
           isWildcard(listener.local) && listener.v6only != true;
}

RowOwner ownerIs(uid_t uid) noexcept {
    return {RowOwner::Kind::owner, uid};
}

}  // namespace

RowOwner ownerFromRows(const SocketRow& connection, std::span<const SocketRow> listeners) noexcept {
    // A listener, or a connection that is closing or closed: nothing is there to talk to.
    if (connection.state == TCP_LISTEN || connection.state == TCP_TIME_WAIT ||
        connection.state == TCP_CLOSE) {
        return {RowOwner::Kind::notFound};
    }
    if (connection.inode != 0) {
        return ownerIs(connection.uid);
    }
    std::optional<uid_t> agreed;
    for (const auto& listener : listeners) {
        if (!couldHaveTaken(listener, connection.local)) {
            continue;
        }
        if (listener.inode == 0 || (agreed && *agreed != listener.uid)) {
            return {RowOwner::Kind::unknown};
        }
        agreed = listener.uid;
    }
    return agreed ? ownerIs(*agreed) : RowOwner{RowOwner::Kind::unknown};
}

namespace {

bool sameSocket(const SocketRow& before, const SocketRow& after) noexcept {
    return before.cookie == 0 || after.cookie == 0 || before.cookie == after.cookie;
}

// One reading of the table: the owner, unknown, or no row of the connection yet.
RowOwner readOwner(SocketTable& table, const SocketAddress& theirs, const SocketAddress& ours) {
    // The other end's socket: its local end is our peer, its remote end is us.
    SocketRow connection;
    switch (table.connection(theirs, ours, connection)) {
        case SocketTable::Lookup::failed:
            return {RowOwner::Kind::unknown};
        case SocketTable::Lookup::absent:
            return {RowOwner::Kind::notFound};
        case SocketTable::Lookup::found:
            break;
    }
    const RowOwner accepted = ownerFromRows(connection, {});
    if (accepted.kind != RowOwner::Kind::unknown) {
        return accepted;
    }
    std::vector<SocketRow> listeners;
    if (!table.listeners(connection.local, listeners)) {
        return {RowOwner::Kind::unknown};
    }
    // Still the same waiting connection after the listeners were read: one of them held it all
    // along (a listener that closes drops what it holds). Accepted meanwhile: its own row tells.
    SocketRow again;
    if (table.connection(theirs, ours, again) != SocketTable::Lookup::found ||
        !sameSocket(connection, again)) {
        return {RowOwner::Kind::notFound};
    }
    return ownerFromRows(again, listeners);
}

}  // namespace

std::optional<uid_t> connectedPeerOwner(int fd, std::chrono::milliseconds patience) noexcept {
    if (!isTcp(fd)) {
        return std::nullopt;
    }
    const auto ours = addressOf(fd, ::getsockname);
    const auto theirs = addressOf(fd, ::getpeername);
    if (!ours || !theirs || ours->family != theirs->family) {
        return std::nullopt;
    }
    try {
        SocketTable table;
        const auto giveUp = Clock::now() + patience;
        auto pause = std::chrono::milliseconds{1};
        for (;;) {
            const RowOwner found = readOwner(table, *theirs, *ours);
            if (found.kind == RowOwner::Kind::owner) {
                return found.uid;
            }
            if (found.kind == RowOwner::Kind::unknown) {
                return std::nullopt;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(giveUp - Clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::min(pause, left));
            pause = std::min(pause * 2, std::chrono::milliseconds{20});
        }
    } catch (const std::exception&) {
        return std::nullopt;  // out of memory
    }
}

}  // namespace zentravo::system
