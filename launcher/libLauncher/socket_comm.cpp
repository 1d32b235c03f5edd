#include "socket_comm.hpp"

#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <optional>

#include "log_text.hpp"
#include "system.hpp"
#include "vadipc.hpp"

namespace zentravo::SocketComm {

namespace {

using Clock = std::chrono::steady_clock;
using vadipc::SocketResult;

// The kernel counts socket time-outs in ticks, so a call may give up a tick before our own clock
// says the time is up.
constexpr std::chrono::milliseconds kTimerSlack{50};

class ExchangeClock {
  public:
    ExchangeClock() : deadline_{Clock::now() + kExchangeTimeLimit} {}

    [[nodiscard]] std::chrono::milliseconds remaining() const {
        return std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
    }
    [[nodiscard]] bool expired() const { return Clock::now() + kTimerSlack >= deadline_; }

  private:
    Clock::time_point deadline_;
};

// Gives the next blocking step only what is left of the exchange's time.
[[nodiscard]] bool limitNextStep(vadipc::SocketIPC& socket, const ExchangeClock& clock) {
    const auto left = clock.remaining();
    return left.count() > 0 && socket.setTimeout(left) == SocketResult::Success;
}

// A blocking step failed: tell a step that ran out of time from one that failed on its own.
void logStepFailure(const ExchangeClock& clock, std::string_view step,
                    spdlog::level::level_enum level, std::string_view failure) {
    if (clock.expired()) {
        spdlog::error("Socket exchange timed out after {} ms while {}", kExchangeTimeLimit.count(),
                      step);
    } else {
        spdlog::log(level, failure);
    }
}

// The other end's row can appear a moment after connect returns.
constexpr std::chrono::milliseconds kOwnerLookupPatience{250};

// Another user can listen on the port first; only a peer of this user (the real uid) is taken
// for the main application. Warned once per process: the wait after a start asks many times.
[[nodiscard]] bool peerIsThisUsers(const vadipc::SocketIPC& socket, const ExchangeClock& clock) {
    const auto owner = socket.peerOwner(std::min(clock.remaining(), kOwnerLookupPatience));
    if (owner && *owner == ::getuid()) {
        return true;
    }
    static std::atomic<bool> warned{false};
    if (!warned.exchange(true)) {
        if (owner) {
            spdlog::warn(
                "Port {} is held by another user's process (uid {}); it is not taken for "
                "the main application",
                kPort, *owner);
        } else {
            spdlog::warn(
                "Port {} is held by a process whose owner cannot be established; it is "
                "not taken for the main application",
                kPort);
        }
    } else {
        spdlog::debug("Socket peer is not this user's: nothing sent");
    }
    return false;
}

}  // namespace

void to_json(nlohmann::json& json, const ClientEvent& event) {
    json = nlohmann::json{{"clientName", event.clientName},
                          {"subType", event.subType},
                          {"processId", event.processId},
                          {"clientId", event.clientId},
                          {"isRunning", event.isRunning}};
}

bool connectAndSendEvent(const nlohmann::json& event) {
    // Written first: an event that is not valid UTF-8 throws before any connection.
    const std::string payload = event.dump();
    spdlog::debug("Preparing socket event -> '{}'", logtext::dump(event, 4));
    const ExchangeClock clock;

    vadipc::SocketIPC socket;
    if (socket.create() != SocketResult::Success) {
        spdlog::warn("Unable to create socket");
        return false;
    }

    if (!limitNextStep(socket, clock) || socket.connect(kPort) != SocketResult::Success) {
        logStepFailure(clock, "connecting", spdlog::level::warn, "Unable to connect to socket");
        socket.close();
        return false;
    }

    // Before anything is sent: a deep link carries the user's token.
    if (!peerIsThisUsers(socket, clock)) {
        socket.close();
        return false;
    }

    if (!socket.isServerReady()) {
        spdlog::error("Socket server is not ready");
        socket.close();
        return false;
    }

    if (!limitNextStep(socket, clock) ||
        socket.send(payload.data(), payload.size()) != SocketResult::Success) {
        logStepFailure(clock, "sending", spdlog::level::err,
                       "There was an error sending the socket event");
        socket.close();
        return false;
    }

    std::array<char, kAnswerBufferSize> buffer{};
    long received = -1;
    if (!limitNextStep(socket, clock) ||
        socket.receive(buffer.data(), buffer.size(), received) != SocketResult::Success) {
        logStepFailure(clock, "receiving", spdlog::level::err,
                       "There was an error receiving the socket response");
        socket.close();
        return false;
    }

    const std::string_view answer{buffer.data(), static_cast<std::size_t>(received)};
    spdlog::debug("Received socket response -> '{}'", logtext::escape(answer));
    if (answer == kAcceptedAnswer) {
        socket.close();
        return true;
    }
    spdlog::error("Unexpected socket response '{}'", logtext::escape(answer));
    socket.close();
    return false;
}

bool isClientAppRunning() {
    if (system::isARM64Processor()) {
        return false;
    }
    const ClientEvent event{"ZentravoLauncher", std::string{kClientStarted}, 0, 0, true};
    return connectAndSendEvent(event);
}

bool sendDeeplink(const std::string& link) {
    const ClientEvent event{link, std::string{kClientAdded}, 0, 0, true};
    return connectAndSendEvent(event);
}

}  // namespace zentravo::SocketComm
