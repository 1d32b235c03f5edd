// The owner of a loopback connection's other end, read from the kernel.
#include "platform/peer_owner.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "foreign_listener.hpp"
#include "foreign_process.hpp"
#include "loopback.hpp"
#include "no_netlink.hpp"

namespace zentravo::system {

// Verdicts printed in gtest's messages.
void PrintTo(const RowOwner& verdict, std::ostream* out) {
    switch (verdict.kind) {
        case RowOwner::Kind::owner:
            *out << "owner " << verdict.uid;
            break;
        case RowOwner::Kind::unknown:
            *out << "unknown";
            break;
        case RowOwner::Kind::notFound:
            *out << "not found";
            break;
    }
}

}  // namespace zentravo::system

namespace {

using namespace std::chrono_literals;
using zentravo::system::connectedPeerOwner;
using zentravo::system::ownerFromRows;
using zentravo::system::parseProcNetTcpRow;
using zentravo::system::RowOwner;
using zentravo::system::SocketAddress;
using zentravo::system::SocketRow;
using Clock = std::chrono::steady_clock;

// "127.0.0.1", "::ffff:127.0.0.1", "::" as a row gives them.
SocketAddress at(const char* text, std::uint16_t port) {
    in6_addr address6{};
    in_addr address4{};
    if (::inet_pton(AF_INET, text, &address4) == 1) {
        return zentravo::system::socketAddress(AF_INET, &address4, port);
    }
    if (::inet_pton(AF_INET6, text, &address6) != 1) {
        throw std::invalid_argument{text};
    }
    return zentravo::system::socketAddress(AF_INET6, &address6, port);
}

constexpr uid_t kMe = 1000;
constexpr uid_t kOther = 65534;
constexpr std::uint16_t kPort = 39998;

SocketRow listening(const char* address, uid_t uid, std::optional<bool> v6only = std::nullopt,
                    std::uint16_t port = kPort) {
    SocketRow row;
    row.local = at(address, port);
    row.remote = at(row.local.family == AF_INET ? "0.0.0.0" : "::", 0);
    row.state = TCP_LISTEN;
    row.uid = uid;
    row.inode = 4242;
    row.v6only = v6only;
    return row;
}

// The other end of a connection from 127.0.0.1:50000 (or the given address) to port 39998.
SocketRow connection(int state, uid_t uid, std::uint64_t inode, const char* local = "127.0.0.1",
                     const char* remote = "127.0.0.1") {
    SocketRow row;
    row.local = at(local, kPort);
    row.remote = at(remote, 50000);
    row.state = state;
    row.uid = uid;
    row.inode = inode;
    return row;
}

RowOwner owner(uid_t uid) {
    return {RowOwner::Kind::owner, uid};
}
const RowOwner kUnknown{RowOwner::Kind::unknown};
const RowOwner kNotFound{RowOwner::Kind::notFound};

// Rows as older kernels give them (a connection not accepted yet: uid 0, inode 0) and as newer
// ones do (its listener's uid, inode 0).
TEST(PeerOwnerRule, RowsOfOldAndNewKernels) {
    const struct {
        const char* name;
        SocketRow connection;
        std::vector<SocketRow> listeners;
        RowOwner expected;
    } cases[] = {
        {"accepted", connection(TCP_ESTABLISHED, kMe, 77), {}, owner(kMe)},
        {"accepted by another user",
         connection(TCP_ESTABLISHED, kOther, 77),
         {listening("127.0.0.1", kMe)},
         owner(kOther)},
        {"waiting, old kernel",
         connection(TCP_ESTABLISHED, 0, 0),
         {listening("127.0.0.1", kMe)},
         owner(kMe)},
        {"waiting, new kernel",
         connection(TCP_ESTABLISHED, kMe, 0),
         {listening("127.0.0.1", kMe)},
         owner(kMe)},
        // Root's own uid is no answer for a connection another user's listener holds.
        {"waiting at another user's, old kernel",
         connection(TCP_ESTABLISHED, 0, 0),
         {listening("127.0.0.1", kOther)},
         owner(kOther)},
        {"waiting at another user's, new kernel",
         connection(TCP_ESTABLISHED, kOther, 0),
         {listening("127.0.0.1", kOther)},
         owner(kOther)},
        {"half open, old kernel",
         connection(TCP_SYN_RECV, 0, 0),
         {listening("127.0.0.1", kMe)},
         owner(kMe)},
        {"waiting, no listener", connection(TCP_ESTABLISHED, 0, 0), {}, kUnknown},
        {"waiting, listener gone to its end",
         connection(TCP_ESTABLISHED, 0, 0),
         {[] {
             auto closing = listening("127.0.0.1", 0);
             closing.inode = 0;
             return closing;
         }()},
         kUnknown},
        {"waiting at the wildcard",
         connection(TCP_ESTABLISHED, 0, 0),
         {listening("0.0.0.0", kMe)},
         owner(kMe)},
        {"waiting at a dual-stack ::",
         connection(TCP_ESTABLISHED, 0, 0, "::ffff:127.0.0.1", "::ffff:127.0.0.1"),
         {listening("::", kMe, false)},
         owner(kMe)},
        {"waiting at :: of unknown kind",
         connection(TCP_ESTABLISHED, 0, 0),
         {listening("::", kMe)},
         owner(kMe)},
        {"waiting at ::ffff:127.0.0.1",
         connection(TCP_ESTABLISHED, 0, 0),
         {listening("::ffff:127.0.0.1", kMe, false)},
         owner(kMe)},
        {"listeners of two users could have taken it",
         connection(TCP_ESTABLISHED, kMe, 0),
         {listening("127.0.0.1", kMe), listening("0.0.0.0", kOther)},
         kUnknown},
        {"another user's :: may be dual-stack",
         connection(TCP_ESTABLISHED, kMe, 0),
         {listening("127.0.0.1", kMe), listening("::", kOther)},
         kUnknown},
        {"another user's :: is IPv6 only",
         connection(TCP_ESTABLISHED, 0, 0),
         {listening("127.0.0.1", kMe), listening("::", kOther, true)},
         owner(kMe)},
        {"other addresses and ports do not count",
         connection(TCP_ESTABLISHED, 0, 0),
         {listening("127.0.0.2", kOther), listening("::1", kOther, false),
          listening("0.0.0.0", kOther, std::nullopt, 39999), listening("127.0.0.1", kMe)},
         owner(kMe)},
        {"IPv6 connection",
         connection(TCP_ESTABLISHED, 0, 0, "::1", "::1"),
         {listening("::", kMe, true), listening("0.0.0.0", kOther)},
         owner(kMe)},
        {"closed", connection(TCP_TIME_WAIT, 0, 0), {listening("127.0.0.1", kMe)}, kNotFound},
        {"the port's listener instead", listening("127.0.0.1", kMe), {}, kNotFound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ownerFromRows(c.connection, c.listeners), c.expected);
    }
}

// /proc/net/tcp and tcp6 lines in the kernel's layout.
TEST(PeerOwnerRule, ProcNetTcpRows) {
    const auto waiting = parseProcNetTcpRow(
        "   3: 0100007F:9C3E 0100007F:C350 01 00000000:00000000 00:00000000 00000000     0     "
        "   0 0 1 0000000000000000 20 4 30 10 -1",
        AF_INET);
    ASSERT_TRUE(waiting);
    EXPECT_EQ(waiting->local, at("127.0.0.1", 39998));
    EXPECT_EQ(waiting->remote, at("127.0.0.1", 50000));
    EXPECT_EQ(waiting->state, TCP_ESTABLISHED);
    EXPECT_EQ(waiting->uid, 0u);
    EXPECT_EQ(waiting->inode, 0u);

    // A dual-stack listener and the IPv4 connection it accepted.
    const auto listener = parseProcNetTcpRow(
        "   0: 00000000000000000000000000000000:9C3E 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000  1000        0 912345 1 0000000000000000 100 0 "
        "0 10 0",
        AF_INET6);
    ASSERT_TRUE(listener);
    EXPECT_EQ(listener->local, at("::", 39998));
    EXPECT_EQ(listener->state, TCP_LISTEN);
    EXPECT_EQ(listener->uid, 1000u);
    EXPECT_EQ(listener->inode, 912345u);
    const auto mapped = parseProcNetTcpRow(
        "   1: 0000000000000000FFFF00000100007F:9C3E 0000000000000000FFFF00000100007F:C350 01 "
        "00000000:00000000 00:00000000 00000000  1000        0 912399 1 0000000000000000 20 4 "
        "30 10 -1",
        AF_INET6);
    ASSERT_TRUE(mapped);
    EXPECT_EQ(mapped->local, at("127.0.0.1", 39998));
    EXPECT_EQ(mapped->remote, at("127.0.0.1", 50000));

    for (const char* line :
         {"  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
          "timeout inode",
          "   3: 0100007F:9C3E 0100007F:C350 01 00000000:00000000 00:00000000 00000000",
          "   3: 0100007F 0100007F:C350 01 00000000:00000000 00:00000000 00000000 0 0 0", ""}) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(parseProcNetTcpRow(line, AF_INET));
    }
}

// The owner as connectedPeerOwner tells it in a child process that may not open netlink
// sockets; the child's exit status says whether the filter could be set.
struct Sandboxed {
    bool filtered = false;
    std::optional<uid_t> owner;
};

Sandboxed ownerWithoutNetlink(int fd) {
    int result[2];
    if (::pipe2(result, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(result[0]);
        if (!fixture::refuseNetlink()) {
            ::_exit(1);
        }
        const auto owner = connectedPeerOwner(fd, 1s);
        const std::int64_t answer = owner ? static_cast<std::int64_t>(*owner) : -1;
        (void)!::write(result[1], &answer, sizeof answer);
        ::_exit(0);
    }
    ::close(result[1]);
    std::int64_t answer = -1;
    const bool read = pid > 0 && ::read(result[0], &answer, sizeof answer) == sizeof answer;
    ::close(result[0]);
    int status = 0;
    if (pid > 0) {
        ::waitpid(pid, &status, 0);
    }
    Sandboxed seen;
    seen.filtered = read && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (answer >= 0) {
        seen.owner = static_cast<uid_t>(answer);
    }
    return seen;
}

enum class Table { diagnostics, procNet };

std::optional<uid_t> ownerThrough(Table table, int fd) {
    if (table == Table::diagnostics) {
        return connectedPeerOwner(fd, 1s);
    }
    const auto seen = ownerWithoutNetlink(fd);
    if (!seen.filtered) {
        ADD_FAILURE() << "netlink sockets could not be refused";
    }
    return seen.owner;
}

std::string tableName(Table table) {
    return table == Table::diagnostics ? "Diagnostics" : "ProcNet";
}

enum class Listen { loopback, wildcard, dualStack, mappedLoopback };

struct OwnListenerCase {
    Listen listen;
    Table table;
};

// A listener of this user, bound as the case says; empty where IPv6 is missing.
loopback::UniqueFd ownListener(Listen listen, unsigned short& port) {
    const bool six = listen == Listen::dualStack || listen == Listen::mappedLoopback;
    loopback::UniqueFd fd{::socket(six ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (!fd) {
        return {};
    }
    sockaddr_storage storage{};
    socklen_t length = sizeof(sockaddr_in);
    if (six) {
        const int no = 0;
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
        in6.sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, listen == Listen::dualStack ? "::" : "::ffff:127.0.0.1",
                    &in6.sin6_addr);
        length = sizeof in6;
    } else {
        auto& in = reinterpret_cast<sockaddr_in&>(storage);
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(listen == Listen::wildcard ? INADDR_ANY : INADDR_LOOPBACK);
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        ::listen(fd.get(), 16) != 0) {
        return {};
    }
    length = sizeof storage;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&storage), &length);
    port = ntohs(six ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port
                     : reinterpret_cast<sockaddr_in&>(storage).sin_port);
    return fd;
}

void PrintTo(const OwnListenerCase& c, std::ostream* out) {
    *out << static_cast<int>(c.listen) << '/' << tableName(c.table);
}

class OwnListener : public ::testing::TestWithParam<OwnListenerCase> {};

// This user's listener, however it listens, before it accepts (held back until the test
// accepts) and after; an IPv4 connection to 127.0.0.1 each time.
TEST_P(OwnListener, IsThisUsersBeforeAndAfterItAccepts) {
    unsigned short port = 0;
    const loopback::UniqueFd listener = ownListener(GetParam().listen, port);
    if (!listener) {
        GTEST_SKIP() << "no IPv6 here";
    }
    const loopback::UniqueFd client = loopback::connectTo(port);
    EXPECT_EQ(ownerThrough(GetParam().table, client.get()), ::geteuid()) << "not accepted yet";
    const loopback::UniqueFd accepted = loopback::acceptOne(listener.get());
    EXPECT_EQ(ownerThrough(GetParam().table, client.get()), ::geteuid()) << "accepted";
    EXPECT_EQ(ownerThrough(GetParam().table, accepted.get()), ::geteuid()) << "accepting end";
}

std::string ownListenerName(const ::testing::TestParamInfo<OwnListenerCase>& info) {
    const char* names[] = {"Loopback", "Wildcard", "DualStack", "MappedLoopback"};
    return std::string{names[static_cast<int>(info.param.listen)]} + tableName(info.param.table);
}

std::vector<OwnListenerCase> ownListenerCases() {
    std::vector<OwnListenerCase> cases;
    for (const auto table : {Table::diagnostics, Table::procNet}) {
        for (const auto listen :
             {Listen::loopback, Listen::wildcard, Listen::dualStack, Listen::mappedLoopback}) {
            cases.push_back({listen, table});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Listeners, OwnListener, ::testing::ValuesIn(ownListenerCases()),
                         ownListenerName);

struct ForeignCase {
    fixture::ForeignListener::Address address;
    Table table;
};

void PrintTo(const ForeignCase& c, std::ostream* out) {
    *out << static_cast<int>(c.address) << '/' << tableName(c.table);
}

class ForeignListenerOwner : public ::testing::TestWithParam<ForeignCase> {};

// Another user's listener is that user's, whether the connection waits to be accepted (the
// listener serves one connection at a time: a second one waits while the first is open) or
// was accepted.
TEST_P(ForeignListenerOwner, IsThatUsersWaitingAndAccepted) {
    if (::geteuid() == fixture::kNobody) {
        GTEST_SKIP() << "runs as the other user itself";
    }
    fixture::ForeignListener foreign{0, fixture::kNobody, "hello", GetParam().address};
    if (!foreign.started()) {
        GTEST_SKIP() << "a listener of another user needs root: " << std::strerror(foreign.error());
    }
    const loopback::UniqueFd served = loopback::connectTo(foreign.port());
    loopback::sendAll(served.get(), "x");
    ASSERT_EQ(loopback::readUpTo(served.get(), 5), "hello");
    const loopback::UniqueFd waiting = loopback::connectTo(foreign.port());
    EXPECT_EQ(ownerThrough(GetParam().table, waiting.get()), fixture::kNobody) << "waiting";
    EXPECT_EQ(ownerThrough(GetParam().table, served.get()), fixture::kNobody) << "accepted";
    EXPECT_EQ(foreign.connections().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Listeners, ForeignListenerOwner,
    ::testing::Values(ForeignCase{fixture::ForeignListener::Address::loopback, Table::diagnostics},
                      ForeignCase{fixture::ForeignListener::Address::dualStack, Table::diagnostics},
                      ForeignCase{fixture::ForeignListener::Address::loopback, Table::procNet},
                      ForeignCase{fixture::ForeignListener::Address::dualStack, Table::procNet}),
    [](const auto& info) {
        return std::string{info.param.address == fixture::ForeignListener::Address::loopback
                               ? "Loopback"
                               : "DualStack"} +
               tableName(info.param.table);
    });

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
