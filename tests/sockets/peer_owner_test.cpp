// The owner of a loopback connection's other end, read from the kernel.
#include "platform/peer_owner.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>

#include "foreign_listener.hpp"
#include "foreign_process.hpp"
#include "loopback.hpp"

namespace {

using namespace std::chrono_literals;
using zentravo::system::connectedPeerOwner;
using Clock = std::chrono::steady_clock;

TEST(PeerOwner, BothEndsOfAConnectionOfThisUserAreThisUsers) {
    const loopback::UniqueFd listener = loopback::listener();
    const loopback::UniqueFd client = loopback::connectTo(loopback::localPort(listener.get()));
    const loopback::UniqueFd accepted = loopback::acceptOne(listener.get());
    EXPECT_EQ(connectedPeerOwner(client.get(), 1s), ::geteuid());
    EXPECT_EQ(connectedPeerOwner(accepted.get(), 1s), ::geteuid());
}

TEST(PeerOwner, ConnectionNotYetAcceptedIsTheListeningUsers) {
    const loopback::UniqueFd listener = loopback::listener();
    const loopback::UniqueFd client = loopback::connectTo(loopback::localPort(listener.get()));
    EXPECT_EQ(connectedPeerOwner(client.get(), 1s), ::geteuid());
}

TEST(PeerOwner, IPv6LoopbackConnection) {
    loopback::UniqueFd server{::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof address;
    if (!server ||
        ::bind(server.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(server.get(), 4) != 0 ||
        ::getsockname(server.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    loopback::UniqueFd client{::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(connectedPeerOwner(client.get(), 1s), ::geteuid());
}

TEST(PeerOwner, ListenerOfAnotherUserIsThatUsers) {
    if (::geteuid() == fixture::kNobody) {
        GTEST_SKIP() << "runs as the other user itself";
    }
    fixture::ForeignListener foreign{0, fixture::kNobody, "hello"};
    if (!foreign.started()) {
        GTEST_SKIP() << "a listener of another user needs root: " << std::strerror(foreign.error());
    }
    // Before and after the other user's process takes the connection.
    const loopback::UniqueFd waiting = loopback::connectTo(foreign.port());
    EXPECT_EQ(connectedPeerOwner(waiting.get(), 1s), fixture::kNobody);
    loopback::sendAll(waiting.get(), "x");
    EXPECT_EQ(loopback::readUpTo(waiting.get(), 5), "hello");
    EXPECT_EQ(connectedPeerOwner(waiting.get(), 1s), fixture::kNobody);
}

TEST(PeerOwner, NoConnectedTcpSocketHasNoOwnerAndIsAnsweredAtOnce) {
    const loopback::UniqueFd unconnected = loopback::tcpSocket();
    const loopback::UniqueFd listening = loopback::listener();
    loopback::UniqueFd udp{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    const loopback::UniqueFd udpServer{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    sockaddr_in address = loopback::address(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(udpServer.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(udpServer.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_EQ(::connect(udp.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const loopback::UniqueFd local{pair[0]};
    const loopback::UniqueFd other{pair[1]};
    const loopback::UniqueFd file{::open("/dev/null", O_RDONLY | O_CLOEXEC)};

    const struct {
        const char* name;
        int fd;
    } cases[] = {{"unconnected", unconnected.get()},
                 {"listening", listening.get()},
                 {"udp", udp.get()},
                 {"unix", local.get()},
                 {"file", file.get()},
                 {"closed", -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = Clock::now();
        EXPECT_EQ(connectedPeerOwner(c.fd, 5s), std::nullopt);
        EXPECT_LT(Clock::now() - start, 1s);
    }
}

}  // namespace
