#include "vadipc.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "loopback.hpp"

using zentravo::vadipc::SocketIPC;
using zentravo::vadipc::SocketResult;
namespace vsocket = zentravo::vadipc::socket;

namespace {

using namespace std::chrono_literals;

// A SocketIPC client connected to a raw listener, plus the raw server end.
struct ConnectedPair {
    loopback::UniqueFd listener = loopback::listener();
    SocketIPC client;
    loopback::UniqueFd server;

    ConnectedPair() {
        EXPECT_EQ(client.create(), SocketResult::Success);
        EXPECT_EQ(client.connect(loopback::localPort(listener.get())), SocketResult::Success);
        server = loopback::acceptOne(listener.get());
    }
};

// Sends through `from` and checks that the raw peer reads exactly that.
void expectDelivered(SocketIPC& from, int peer, const std::string& data) {
    EXPECT_EQ(from.send(data.data(), data.size()), SocketResult::Success);
    EXPECT_EQ(loopback::readUpTo(peer, data.size()), data);
}

// A SocketIPC server listening on a free port.
SocketIPC listeningServer(unsigned short& port) {
    SocketIPC server;
    EXPECT_EQ(server.create(), SocketResult::Success);
    port = loopback::freePort();
    EXPECT_EQ(server.bind(port), SocketResult::Success);
    EXPECT_EQ(server.listen(4), SocketResult::Success);
    return server;
}

}  // namespace

TEST(SocketLayer, ConvertsSystemErrorsToResultCodes) {
    const std::pair<int, SocketResult> cases[] = {
        {0, SocketResult::Success},
        {EADDRINUSE, SocketResult::AddressInUse},
        {ENOTCONN, SocketResult::NotConnected},
        {ECONNREFUSED, SocketResult::Failure},
        {EAGAIN, SocketResult::Failure},
        {EBADF, SocketResult::Failure},
    };
    for (const auto& [code, expected] : cases) {
        EXPECT_EQ(vsocket::convertError(code), expected) << "errno " << code;
        errno = code;
        EXPECT_EQ(vsocket::handleErrors(), expected) << "errno " << code;
    }
    EXPECT_EQ(vsocket::getInvalidSocketDescriptorValue(), -1);
    EXPECT_EQ(vsocket::getSocketErrorValue(), -1);
    EXPECT_EQ(vsocket::setSocketNonBlocking(-1, true), SocketResult::NoSocket);
    EXPECT_FALSE(vsocket::isServerReady(-1));
}

TEST(SocketIPC, EveryOperationOnAnEmptyObjectAnswersNoSocket) {
    SocketIPC empty;
    SocketIPC target;
    char buffer[8];
    long received = 42;
    EXPECT_EQ(empty.connect(1), SocketResult::NoSocket);
    EXPECT_EQ(empty.bind(0), SocketResult::NoSocket);
    EXPECT_EQ(empty.listen(1), SocketResult::NoSocket);
    EXPECT_EQ(empty.accept(&target), SocketResult::NoSocket);
    EXPECT_EQ(empty.send("x", 1), SocketResult::NoSocket);
    EXPECT_EQ(empty.receive(buffer, sizeof buffer, received), SocketResult::NoSocket);
    EXPECT_EQ(received, -1);
    EXPECT_EQ(empty.setSocketNonBlocking(true), SocketResult::NoSocket);
    EXPECT_EQ(empty.setTimeout(100ms), SocketResult::NoSocket);
    EXPECT_EQ(empty.close(), SocketResult::NoSocket);
    EXPECT_FALSE(empty.isServerReady());
    EXPECT_FALSE(empty.isAccepted());
}

TEST(SocketIPC, CreateTwiceAnswersAlreadyCreatedAndKeepsTheFirstSocket) {
    loopback::UniqueFd listener = loopback::listener();
    SocketIPC socket;
    ASSERT_EQ(socket.create(), SocketResult::Success);
    const int descriptors = loopback::openDescriptorCount();
    EXPECT_EQ(socket.create(), SocketResult::AlreadyCreated);
    EXPECT_EQ(loopback::openDescriptorCount(), descriptors);

    ASSERT_EQ(socket.connect(loopback::localPort(listener.get())), SocketResult::Success);
    const loopback::UniqueFd server = loopback::acceptOne(listener.get());
    expectDelivered(socket, server.get(), "still the first socket");
}

TEST(SocketIPC, ConnectWhereNothingListensFails) {
    const loopback::ClosedPort closed;
    SocketIPC socket;
    ASSERT_EQ(socket.create(), SocketResult::Success);
    EXPECT_EQ(socket.connect(closed.port), SocketResult::Failure);
}

TEST(SocketIPC, ConnectOnAnAcceptedDescriptorIsRefusedWithoutTouchingIt) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const loopback::UniqueFd peer{pair[1]};
    SocketIPC accepted{pair[0]};
    EXPECT_TRUE(accepted.isAccepted());
    EXPECT_EQ(accepted.connect(1), SocketResult::AcceptedSocket);
    // A real connect attempt would have broken the connected descriptor.
    expectDelivered(accepted, peer.get(), "intact");
}

TEST(SocketIPC, ServerSideBindListenAcceptAndExchange) {
    unsigned short port = 0;
    SocketIPC server = listeningServer(port);

    SocketIPC client;
    ASSERT_EQ(client.create(), SocketResult::Success);
    ASSERT_EQ(client.connect(port), SocketResult::Success);
    EXPECT_FALSE(client.isAccepted());
    EXPECT_TRUE(client.isServerReady());

    SocketIPC connection;
    ASSERT_EQ(server.accept(&connection), SocketResult::Success);
    EXPECT_TRUE(connection.isAccepted());
    EXPECT_EQ(connection.connect(port), SocketResult::AcceptedSocket);

    const std::string tenBytes = "0123456789";
    ASSERT_EQ(client.send(tenBytes.data(), tenBytes.size()), SocketResult::Success);
    char buffer[64] = {};
    long received = 0;
    ASSERT_EQ(connection.receive(buffer, sizeof buffer, received), SocketResult::Success);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(received)), tenBytes);

    ASSERT_EQ(connection.send("pong", 4), SocketResult::Success);
    ASSERT_EQ(client.receive(buffer, sizeof buffer, received), SocketResult::Success);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(received)), "pong");
}

TEST(SocketIPC, BindToAPortWithAListenerAnswersAddressInUse) {
    const loopback::UniqueFd listener = loopback::listener();
    SocketIPC socket;
    ASSERT_EQ(socket.create(), SocketResult::Success);
    EXPECT_EQ(socket.bind(loopback::localPort(listener.get())), SocketResult::AddressInUse);
}

TEST(SocketIPC, CloseOfAnUnconnectedSocketReportsNotConnectedAndStillReleasesIt) {
    const int before = loopback::openDescriptorCount();
    SocketIPC socket;
    ASSERT_EQ(socket.create(), SocketResult::Success);
    EXPECT_EQ(loopback::openDescriptorCount(), before + 1);
    EXPECT_EQ(socket.close(), SocketResult::NotConnected);
    EXPECT_EQ(loopback::openDescriptorCount(), before);
    EXPECT_FALSE(socket.isServerReady());
    EXPECT_EQ(socket.close(), SocketResult::NoSocket);
    // An emptied object can be used again.
    EXPECT_EQ(socket.create(), SocketResult::Success);
}

TEST(SocketIPC, ReceiveAfterThePeerSentAndClosed) {
    ConnectedPair pair;
    loopback::sendAll(pair.server.get(), "hello");
    pair.server.reset();

    char buffer[64];
    long received = -1;
    ASSERT_EQ(pair.client.receive(buffer, sizeof buffer, received), SocketResult::Success);
    EXPECT_EQ(received, 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");

    // End of stream is not an error of its own: the code comes from whatever errno holds.
    errno = 0;
    EXPECT_EQ(pair.client.receive(buffer, sizeof buffer, received), SocketResult::Success);
    EXPECT_EQ(received, 0);
    errno = ENOTCONN;
    EXPECT_EQ(pair.client.receive(buffer, sizeof buffer, received), SocketResult::NotConnected);
    EXPECT_EQ(received, 0);
}

TEST(SocketIPC, SendToAPeerThatHasGoneAwayFailsWithoutEndingTheProcess) {
    ConnectedPair pair;
    pair.server.reset();
    // The first write may still be taken; the ones after it hit the reset connection, which
    // would raise SIGPIPE without MSG_NOSIGNAL.
    const std::string data(4096, 'x');
    SocketResult last = SocketResult::Success;
    for (int i = 0; i < 50 && last == SocketResult::Success; ++i) {
        last = pair.client.send(data.data(), data.size());
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(last, SocketResult::Failure);
}

TEST(SocketIPC, NonBlockingSwitchAndTimeout) {
    ConnectedPair pair;
    char buffer[16];
    long received = 0;

    ASSERT_EQ(pair.client.setSocketNonBlocking(true), SocketResult::Success);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pair.client.receive(buffer, sizeof buffer, received), SocketResult::Failure);
    EXPECT_EQ(received, -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);

    ASSERT_EQ(pair.client.setSocketNonBlocking(false), SocketResult::Success);
    ASSERT_EQ(pair.client.setTimeout(200ms), SocketResult::Success);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(pair.client.receive(buffer, sizeof buffer, received), SocketResult::Failure);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 150ms);
    EXPECT_LT(waited, 1s);

    // The connection is still usable after a timed-out receive.
    loopback::sendAll(pair.server.get(), "late");
    ASSERT_EQ(pair.client.receive(buffer, sizeof buffer, received), SocketResult::Success);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(received)), "late");
}

TEST(SocketIPC, DestructorClosesTheConnection) {
    const int before = loopback::openDescriptorCount();
    loopback::UniqueFd server;
    {
        ConnectedPair pair;
        server = std::move(pair.server);
    }
    EXPECT_TRUE(loopback::peerClosed(server.get()));
    server.reset();
    EXPECT_EQ(loopback::openDescriptorCount(), before);
}

TEST(SocketIPC, MoveConstructionHandsOverTheSocketAndEmptiesTheSource) {
    ConnectedPair pair;
    std::optional<SocketIPC> source{std::move(pair.client)};
    SocketIPC target{std::move(*source)};

    EXPECT_FALSE(source->isServerReady());
    EXPECT_FALSE(source->isAccepted());
    EXPECT_EQ(source->send("x", 1), SocketResult::NoSocket);
    source.reset();  // must not close what target now owns

    EXPECT_TRUE(target.isServerReady());
    expectDelivered(target, pair.server.get(), "moved");
    EXPECT_FALSE(loopback::peerClosed(pair.server.get(), 50ms));
}

TEST(SocketIPC, MoveKeepsTheAcceptedFlag) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    const loopback::UniqueFd peer{fds[1]};
    SocketIPC accepted{fds[0]};
    SocketIPC target;
    target = std::move(accepted);
    EXPECT_TRUE(target.isAccepted());
    EXPECT_FALSE(accepted.isAccepted());
    EXPECT_EQ(target.connect(1), SocketResult::AcceptedSocket);
    EXPECT_EQ(accepted.connect(1), SocketResult::NoSocket);
}

TEST(SocketIPC, MoveAssignmentReleasesTheTargetsOwnSocket) {
    ConnectedPair first;
    ConnectedPair second;
    const int before = loopback::openDescriptorCount();

    first.client = std::move(second.client);

    EXPECT_TRUE(loopback::peerClosed(first.server.get()));
    EXPECT_EQ(loopback::openDescriptorCount(), before - 1);
    expectDelivered(first.client, second.server.get(), "second connection");
    EXPECT_EQ(second.client.close(), SocketResult::NoSocket);
}

TEST(SocketIPC, AcceptIntoAnOccupiedTargetReleasesItsOldSocket) {
    unsigned short port = 0;
    SocketIPC server = listeningServer(port);

    ConnectedPair occupant;
    const loopback::UniqueFd client = loopback::connectTo(port);
    const int before = loopback::openDescriptorCount();
    ASSERT_EQ(server.accept(&occupant.client), SocketResult::Success);

    EXPECT_EQ(loopback::openDescriptorCount(), before);
    EXPECT_TRUE(loopback::peerClosed(occupant.server.get()));
    EXPECT_TRUE(occupant.client.isAccepted());
    ASSERT_EQ(occupant.client.send("hi", 2), SocketResult::Success);
    EXPECT_EQ(loopback::readUpTo(client.get(), 2), "hi");
}

TEST(SocketIPC, AcceptWithoutATargetLeavesTheConnectionPending) {
    unsigned short port = 0;
    SocketIPC server = listeningServer(port);
    const loopback::UniqueFd client = loopback::connectTo(port);

    EXPECT_EQ(server.accept(nullptr), SocketResult::Failure);
    EXPECT_EQ(server.accept(&server), SocketResult::Failure);
    SocketIPC connection;
    EXPECT_EQ(server.accept(&connection), SocketResult::Success);
    EXPECT_TRUE(connection.isAccepted());
}
