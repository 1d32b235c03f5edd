#pragma once

// Events to a running main application over the loopback socket: one connection per event, one
// compact JSON object out, one answer back.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace zentravo::SocketComm {

inline constexpr unsigned short kPort = 39998;
inline constexpr std::size_t kAnswerBufferSize = 2560;
inline constexpr std::string_view kAcceptedAnswer = "CorvantaV3_OK";
inline constexpr std::string_view kClientStarted = "kClientStarted";
inline constexpr std::string_view kClientAdded = "kClientAdded";
// Connect, send and receive together; a main application that accepts and never answers must
// not hold up the launcher.
inline constexpr std::chrono::milliseconds kExchangeTimeLimit{2000};

struct ClientEvent {
    std::string clientName;
    std::string subType;
    std::int32_t processId = 0;
    std::uint32_t clientId = 0;
    bool isRunning = false;
};

void to_json(nlohmann::json& json, const ClientEvent& event);

// True only when the main application answered exactly kAcceptedAnswer. Throws
// nlohmann::json::type_error when the event holds text that is not valid UTF-8.
[[nodiscard]] bool connectAndSendEvent(const nlohmann::json& event);
// Always false on arm64, without touching a socket.
[[nodiscard]] bool isClientAppRunning();
[[nodiscard]] bool sendDeeplink(const std::string& link);

}  // namespace zentravo::SocketComm
