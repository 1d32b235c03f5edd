// Cost of one launcher-to-main-application exchange: the event's JSON, a bare loopback round trip
// through SocketIPC, and the whole connectAndSendEvent against a stand-in on port 39998.

#include <benchmark/benchmark.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <string>
#include <thread>

#include "loopback.hpp"
#include "socket_comm.hpp"
#include "vadipc.hpp"

namespace {

using zentravo::vadipc::SocketIPC;
using zentravo::vadipc::SocketResult;

// Answers every connection with the accepted answer after reading one chunk.
class Answerer {
  public:
    explicit Answerer(loopback::UniqueFd listener)
        : listener_{std::move(listener)}, thread_{[this] { run(); }} {}
    ~Answerer() {
        stop_ = true;
        thread_.join();
    }
    [[nodiscard]] unsigned short port() const { return loopback::localPort(listener_.get()); }

  private:
    void run() {
        while (!stop_) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (::poll(&p, 1, 20) != 1) {
                continue;
            }
            loopback::UniqueFd connection{::accept4(listener_.get(), nullptr, nullptr, 0)};
            char buffer[4096];
            if (connection && ::recv(connection.get(), buffer, sizeof buffer, 0) > 0) {
                loopback::sendAll(connection.get(), zentravo::SocketComm::kAcceptedAnswer);
            }
        }
    }

    loopback::UniqueFd listener_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void BM_ClientEventJson(benchmark::State& state) {
    const zentravo::SocketComm::ClientEvent event{"zentravo://open/item?id=42", "kClientAdded", 0,
                                                  0, true};
    for (auto _ : state) {
        const nlohmann::json json = event;
        benchmark::DoNotOptimize(json.dump());
    }
}
BENCHMARK(BM_ClientEventJson);

void BM_SocketIPCRoundTrip(benchmark::State& state) {
    const Answerer answerer{loopback::listener(0, 128)};
    const std::string event = R"({"clientId":0})";
    char buffer[2560];
    for (auto _ : state) {
        SocketIPC socket;
        long received = 0;
        if (socket.create() != SocketResult::Success ||
            socket.connect(answerer.port()) != SocketResult::Success ||
            socket.send(event.data(), event.size()) != SocketResult::Success ||
            socket.receive(buffer, sizeof buffer, received) != SocketResult::Success) {
            state.SkipWithError("exchange failed");
            break;
        }
        socket.close();
    }
}
BENCHMARK(BM_SocketIPCRoundTrip)->Unit(benchmark::kMicrosecond);

void BM_ConnectAndSendEvent(benchmark::State& state) {
    loopback::UniqueFd listener;
    try {
        listener = loopback::listener(zentravo::SocketComm::kPort, 128);
    } catch (const std::exception&) {
        state.SkipWithError("port 39998 is taken");
        return;
    }
    const Answerer answerer{std::move(listener)};
    spdlog::set_default_logger(
        std::make_shared<spdlog::logger>("bench", std::make_shared<spdlog::sinks::null_sink_mt>()));
    for (auto _ : state) {
        if (!zentravo::SocketComm::sendDeeplink("zentravo://open/item?id=42")) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
}
BENCHMARK(BM_ConnectAndSendEvent)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
