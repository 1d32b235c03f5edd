#include "socket_comm.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foreign_listener.hpp"
#include "foreign_process.hpp"
#include "log_capture.hpp"
#include "loopback.hpp"
#include "system.hpp"

namespace comm = zentravo::SocketComm;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// How the stand-in main application answers each event.
struct Reply {
    std::vector<std::string> parts;  // written one after another; none: close without answering
    std::chrono::milliseconds gap{0};
    bool silent = false;  // never answer, keep the connection open until the launcher leaves
};

// A main application on 127.0.0.1:39998 that records, per connection, every byte the launcher
// wrote before closing.
class MainAppStandIn {
  public:
    explicit MainAppStandIn(Reply reply)
        : listener_{loopback::listener(comm::kPort)}, thread_{[this, reply] { serve(reply); }} {}
    ~MainAppStandIn() { finish(); }

    // Stops accepting and returns what each connection carried.
    std::vector<std::string> finish() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        const std::lock_guard lock{mutex_};
        return connections_;
    }

  private:
    void serve(const Reply& reply) {
        while (!stop_) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (::poll(&p, 1, 20) != 1) {
                continue;
            }
            loopback::UniqueFd connection{::accept4(listener_.get(), nullptr, nullptr, 0)};
            if (!connection) {
                continue;
            }
            std::string request = readRequest(connection.get());
            if (!reply.silent) {
                for (std::size_t i = 0; i < reply.parts.size(); ++i) {
                    if (i > 0) {
                        std::this_thread::sleep_for(reply.gap);
                    }
                    loopback::sendAll(connection.get(), reply.parts[i]);
                }
                if (reply.parts.empty()) {
                    connection.reset();
                }
            }
            if (connection) {
                // Whatever else the launcher writes before it closes.
                request += loopback::readUpTo(connection.get(), 1 << 20, 10s);
            }
            const std::lock_guard lock{mutex_};
            connections_.push_back(std::move(request));
        }
    }

    static std::string readRequest(int fd) {
        std::string request;
        const auto giveUp = Clock::now() + 3s;
        while (!nlohmann::json::accept(request) && Clock::now() < giveUp) {
            const std::string more = loopback::readUpTo(fd, 1, 100ms);
            if (more.empty() && loopback::peerClosed(fd, 0ms)) {
                break;
            }
            request += more;
        }
        return request;
    }

    loopback::UniqueFd listener_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> connections_;
    std::thread thread_;
};

constexpr auto kStartedEvent =
    R"({"clientId":0,"clientName":"ZentravoLauncher","isRunning":true,"processId":0,"subType":"kClientStarted"})";

Reply accepted() {
    return Reply{{std::string{comm::kAcceptedAnswer}}};
}

// The exchange gives up once its time is used up, not earlier and not much later.
void expectTimeLimitReachedWhile(std::string_view step, const LogCapture& log) {
    const auto start = Clock::now();
    EXPECT_FALSE(comm::sendDeeplink("zentravo://x"));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, comm::kExchangeTimeLimit - 100ms);
    EXPECT_LT(took, comm::kExchangeTimeLimit + 1s);
    EXPECT_TRUE(
        log.contains("error Socket exchange timed out after 2000 ms while " + std::string{step}));
}

}  // namespace

TEST(ClientEvent, WritesAllFiveKeysInByteOrderWithTheirTypes) {
    const comm::ClientEvent event{"name", "sub", -5, 4294967295u, false};
    const nlohmann::json json = event;
    EXPECT_EQ(
        json.dump(),
        R"({"clientId":4294967295,"clientName":"name","isRunning":false,"processId":-5,"subType":"sub"})");
    EXPECT_TRUE(json["clientId"].is_number_unsigned());
    EXPECT_TRUE(json["processId"].is_number_integer());
    EXPECT_FALSE(json["processId"].is_number_unsigned());
}

TEST(SocketComm, SendDeeplinkIsAcknowledgedAndSendsOneCompactEvent) {
    const LogCapture log;
    MainAppStandIn app{accepted()};
    EXPECT_TRUE(comm::sendDeeplink("zentravo://open/item?id=42"));
    const auto seen = app.finish();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(
        seen[0],
        R"({"clientId":0,"clientName":"zentravo://open/item?id=42","isRunning":true,"processId":0,"subType":"kClientAdded"})");
    EXPECT_TRUE(log.contains("debug Received socket response -> 'CorvantaV3_OK'"));
    EXPECT_TRUE(log.containsPrefix("debug Preparing socket event -> '{\n    \"clientId\": 0,\n"));
}

TEST(SocketComm, IsClientAppRunningAsksWithTheStartedEvent) {
    const LogCapture log;
    MainAppStandIn app{accepted()};
    if (zentravo::system::isARM64Processor()) {
        EXPECT_FALSE(comm::isClientAppRunning());
        EXPECT_TRUE(app.finish().empty());
        return;
    }
    EXPECT_TRUE(comm::isClientAppRunning());
    const auto seen = app.finish();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], kStartedEvent);
    EXPECT_TRUE(log.contains(R"(debug Preparing socket event -> '{
    "clientId": 0,
    "clientName": "ZentravoLauncher",
    "isRunning": true,
    "processId": 0,
    "subType": "kClientStarted"
}')"));
}

TEST(SocketComm, OnlyTheExactAnswerIsAccepted) {
    struct Case {
        const char* name;
        Reply reply;
        std::vector<std::string> anyOfLines;  // one of these must have been logged
    };
    const std::vector<Case> cases = {
        // Control characters are logged escaped: a reply cannot end the record or start another.
        {"trailing line break",
         {{"CorvantaV3_OK\n"}},
         {"error Unexpected socket response 'CorvantaV3_OK\\n'"}},
        {"trailing NUL",
         {{std::string("CorvantaV3_OK\0", 14)}},
         {"error Unexpected socket response 'CorvantaV3_OK\\x00'"}},
        {"forged log record",
         {{"no\r\n[2026-01-01 00:00:00.000] [launcher] [info] V3 App running detected"}},
         {"error Unexpected socket response 'no\\r\\n[2026-01-01 00:00:00.000] [launcher] [info] "
          "V3 "
          "App running detected'"}},
        {"OK", {{"OK"}}, {"error Unexpected socket response 'OK'"}},
        {"split over two writes",
         {{"Corvanta", "V3_OK"}, 300ms},
         {"error Unexpected socket response 'Corvanta'"}},
        {"closed without answering",
         {{}},
         {"error Unexpected socket response ''",
          "error There was an error receiving the socket response"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const LogCapture log;
        MainAppStandIn app{c.reply};
        const auto start = Clock::now();
        EXPECT_FALSE(comm::sendDeeplink("zentravo://x"));
        EXPECT_LT(Clock::now() - start, comm::kExchangeTimeLimit);
        EXPECT_EQ(app.finish().size(), 1u);
        bool logged = false;
        for (const auto& line : c.anyOfLines) {
            logged = logged || log.contains(line);
        }
        EXPECT_TRUE(logged);
    }
}

TEST(SocketComm, SilentMainApplicationTimesOut) {
    const LogCapture log;
    MainAppStandIn app{Reply{{}, 0ms, true}};
    expectTimeLimitReachedWhile("receiving", log);
    EXPECT_FALSE(log.contains("error There was an error receiving the socket response"));
    // The launcher closed its end: the stand-in saw the event and then the end of the stream.
    const auto seen = app.finish();
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(nlohmann::json::accept(seen.back()));
}

TEST(SocketComm, MainApplicationThatNeverAcceptsTimesOutWhileConnecting) {
    // A listener that never accepts and whose queue is full: the kernel drops further SYNs, so a
    // connect would otherwise wait for minutes.
    const loopback::UniqueFd listener = loopback::listener(comm::kPort, 0);
    std::vector<loopback::UniqueFd> fillers;
    for (int i = 0; i < 4; ++i) {
        loopback::UniqueFd filler = loopback::tcpSocket();
        ::fcntl(filler.get(), F_SETFL, O_NONBLOCK);
        const sockaddr_in a = loopback::address(comm::kPort);
        ::connect(filler.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a);
        fillers.push_back(std::move(filler));
    }
    std::this_thread::sleep_for(100ms);

    const LogCapture log;
    expectTimeLimitReachedWhile("connecting", log);
}

TEST(SocketComm, NothingListeningIsFalseAtOnce) {
    // Held bound but not listening, so no other process can answer on the port meanwhile.
    const loopback::UniqueFd holder = loopback::boundSocket(comm::kPort);
    const LogCapture log;
    const auto start = Clock::now();
    EXPECT_FALSE(comm::sendDeeplink("zentravo://x"));
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_TRUE(log.contains("warning Unable to connect to socket"));
}

TEST(SocketComm, DeeplinkTextArrivesJsonEscaped) {
    const std::string link = "zentravo://open?q=\"a\\b\"&name=Zoë\n";
    MainAppStandIn app{accepted()};
    EXPECT_TRUE(comm::sendDeeplink(link));
    const auto seen = app.finish();
    ASSERT_EQ(seen.size(), 1u);
    // Quotes, backslash and line break escaped; non-ASCII text left as UTF-8.
    EXPECT_NE(seen[0].find(R"("clientName":"zentravo://open?q=\"a\\b\"&name=Zoë\n")"),
              std::string::npos)
        << seen[0];
    EXPECT_EQ(nlohmann::json::parse(seen[0]).at("clientName"), link);
}

TEST(SocketComm, InvalidUtf8DeeplinkThrowsBeforeAnyConnection) {
    MainAppStandIn app{accepted()};
    EXPECT_THROW((void)comm::sendDeeplink("zentravo://\xff\xfe"), nlohmann::json::type_error);
    EXPECT_TRUE(app.finish().empty());
}

// Another local user can listen on the port first and answer as the main application would: only
// a listener of this user (the real uid) is taken for it, and another user's gets nothing, not
// even the deep link's token. Its warning is logged once, however often it is met.
TEST(SocketComm, OnlyAListenerOfThisUserIsTheMainApplication) {
    struct Case {
        const char* name;
        uid_t uid;
        bool isMainApplication;
    };
    if (::getuid() == fixture::kNobody) {
        GTEST_SKIP() << "runs as the other user itself";
    }
    const std::vector<Case> cases = {{"this user's", ::getuid(), true},
                                     {"another user's", fixture::kNobody, false}};
    const std::string link = "zentravo://open?token=7f3a-secret";
    const std::string warning =
        "warning Port 39998 is held by another user's process (uid 65534); it is not taken for "
        "the main application";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fixture::ForeignListener listener{comm::kPort, c.uid, std::string{comm::kAcceptedAnswer}};
        if (!listener.started()) {
            GTEST_SKIP() << "cannot listen as uid " << c.uid << ": "
                         << std::strerror(listener.error());
        }
        const LogCapture log;
        // Several exchanges, as the wait after a start makes.
        std::size_t exchanges = 0;
        for (int i = 0; i < 3; ++i, ++exchanges) {
            EXPECT_EQ(comm::sendDeeplink(link), c.isMainApplication);
        }
        if (!zentravo::system::isARM64Processor()) {
            EXPECT_EQ(comm::isClientAppRunning(), c.isMainApplication);
            ++exchanges;
        }
        ASSERT_TRUE(listener.waitForEndedConnections(exchanges, 10s));
        const auto seen = listener.connections();
        ASSERT_EQ(seen.size(), exchanges);
        for (std::size_t i = 0; i < seen.size(); ++i) {
            if (c.isMainApplication) {
                EXPECT_TRUE(nlohmann::json::accept(seen[i].received)) << seen[i].received;
            } else {
                EXPECT_EQ(seen[i].received, "") << "connection " << i;
            }
        }
        EXPECT_EQ(c.isMainApplication, seen[0].received.find(link) != std::string::npos);
        const auto lines = log.lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), warning), c.isMainApplication ? 0 : 1);
        EXPECT_EQ(log.contains("debug Received socket response -> 'CorvantaV3_OK'"),
                  c.isMainApplication);
    }
}
