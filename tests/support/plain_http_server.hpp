#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>

namespace fixture {

// A plain-HTTP server on a free loopback port that counts every request it gets. It serves the
// files under `root`, or "{}" to every GET when no root is given.
class PlainHttpServer {
  public:
    explicit PlainHttpServer(const std::filesystem::path& root = {}) {
        server_.set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
            ++requests_;
            return httplib::Server::HandlerResponse::Unhandled;
        });
        if (root.empty()) {
            server_.Get(".*", [](const httplib::Request&, httplib::Response& res) {
                res.set_content("{}", "application/json");
            });
        } else {
            server_.set_mount_point("/", root.string());
        }
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread{[this] { server_.listen_after_bind(); }};
        while (!server_.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds{1});
        }
    }
    ~PlainHttpServer() {
        server_.stop();
        thread_.join();
    }
    PlainHttpServer(const PlainHttpServer&) = delete;
    PlainHttpServer& operator=(const PlainHttpServer&) = delete;

    [[nodiscard]] std::string url(std::string_view path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + std::string{path};
    }
    [[nodiscard]] int requests() const { return requests_; }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::atomic<int> requests_{0};
    std::thread thread_;
};

}  // namespace fixture
