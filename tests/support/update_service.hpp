// Starts the update-service fixture (tests/fixtures/update-service) as a child process for one
// test, changes its faults and reads back the requests it recorded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "child_process.hpp"

namespace launcher_test {

// A complete update answer naming `version` and <service>/<file> for every processor.
inline nlohmann::json updateAnswer(const std::string& version,
                                   const std::string& file = "app.tar") {
    const nlohmann::json files = {{"file", "{base}/" + file}, {"appCast", "{base}/cast.xml"}};
    return {{"appVersion", version},
            {"version",
             {{"appVersion", version},
              {"majorBaseVersion", version.substr(0, 1)},
              {"update",
               {{"arm64", files}, {"x86_64", files}, {"windows", nlohmann::json::object()}}}}}};
}

// A loopback port nobody listens on: bound once to learn a free number, then closed.
inline int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("cannot find a free loopback port");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

class UpdateService {
  public:
    struct Options {
        // 0 picks a free port; LAUNCHER_FIXTURE_PORT where the compiled-in address is used (the
        // test must then hold the "port39443" lock).
        int port = 0;
        std::filesystem::path root;  // served folder (archives, feeds, update.json ...)
        nlohmann::json config = nlohmann::json::object();
        std::string cert = std::string{LAUNCHER_CERT_DIR} + "/server.pem";
        std::string key = std::string{LAUNCHER_CERT_DIR} + "/server.key";
    };

    UpdateService() : UpdateService(Options{}) {}

    explicit UpdateService(Options options) {
        auto pattern = (std::filesystem::temp_directory_path() / "update-service-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        dir_ = pattern;
        writeConfig(options.config);
        std::vector<std::string> args{executable().string(),
                                      "--port",
                                      std::to_string(options.port),
                                      "--cert",
                                      options.cert,
                                      "--key",
                                      options.key,
                                      "--record",
                                      recordFile().string(),
                                      "--config",
                                      configFile().string(),
                                      "--ready-file",
                                      readyFile().string(),
                                      "--release-file",
                                      releaseFile().string()};
        if (!options.root.empty()) {
            args.insert(args.end(), {"--root", options.root.string()});
        }
        pid_ = spawnChild(args, (dir_ / "stdout.log").string(), (dir_ / "stderr.log").string());
        if (pid_ <= 0) {
            cleanup();
            throw std::runtime_error("cannot start " + args[0]);
        }
        waitForGeneration(1);
    }

    ~UpdateService() { cleanup(); }
    UpdateService(const UpdateService&) = delete;
    UpdateService& operator=(const UpdateService&) = delete;

    static std::filesystem::path executable() {
        return std::filesystem::path{LAUNCHER_BINARY_DIR} / "tests/fixtures/update-service" /
               "update-service";
    }

    // Byte `i` of every /blob/{size} answer.
    static unsigned char blobByte(std::uint64_t i) { return static_cast<unsigned char>(i % 251); }

    [[nodiscard]] int port() const { return port_; }
    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] std::string baseUrl() const {
        return "https://127.0.0.1:" + std::to_string(port_);
    }
    [[nodiscard]] std::string url(std::string_view path) const {
        return baseUrl() + std::string{path};
    }
    [[nodiscard]] const std::filesystem::path& workDir() const { return dir_; }

    // Replaces the faults and answers, every "hold" holding again; in force when this returns.
    void setConfig(const nlohmann::json& config) {
        std::ofstream{releaseFile(), std::ios::trunc};
        writeConfig(config);
        const long next = generation() + 1;
        ::kill(pid_, SIGHUP);
        waitForGeneration(next);
    }

    // Lets the answers held by the config's "hold" of path key `key` ("*" included) go, those
    // waiting now and all later ones until the next setConfig; in force when this returns.
    void release(const std::string& key) {
        std::ofstream{releaseFile(), std::ios::app} << key << "\n";
        const long next = generation() + 1;
        ::kill(pid_, SIGUSR1);
        waitForGeneration(next);
    }

    // Every request recorded so far, oldest first.
    [[nodiscard]] std::vector<nlohmann::json> records() const {
        std::vector<nlohmann::json> out;
        std::ifstream in{recordFile()};
        for (std::string line; std::getline(in, line);) {
            auto j = nlohmann::json::parse(line, nullptr, false);
            if (!j.is_discarded()) {
                out.push_back(std::move(j));
            }
        }
        return out;
    }

    [[nodiscard]] std::vector<nlohmann::json> recordsFor(std::string_view path) const {
        std::vector<nlohmann::json> out;
        for (auto& r : records()) {
            if (r.at("path") == path) {
                out.push_back(std::move(r));
            }
        }
        return out;
    }

    void clearRecords() { std::filesystem::resize_file(recordFile(), 0); }

    // What the service wrote on standard error (one line per answered request).
    [[nodiscard]] std::string log() const {
        std::ifstream in{dir_ / "stderr.log"};
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

  private:
    [[nodiscard]] std::filesystem::path recordFile() const { return dir_ / "records.jsonl"; }
    [[nodiscard]] std::filesystem::path configFile() const { return dir_ / "config.json"; }
    [[nodiscard]] std::filesystem::path readyFile() const { return dir_ / "ready"; }
    [[nodiscard]] std::filesystem::path releaseFile() const { return dir_ / "released"; }

    void writeConfig(const nlohmann::json& config) const {
        const auto tmp = dir_ / "config.json.tmp";
        std::ofstream{tmp} << config.dump();
        std::filesystem::rename(tmp, configFile());
    }

    [[nodiscard]] long generation() {
        std::ifstream in{readyFile()};
        long gen = 0;
        in >> port_ >> gen;
        return in ? gen : 0;
    }

    void waitForGeneration(long wanted) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{15};
        while (generation() < wanted) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                const auto text = log();
                cleanup();
                throw std::runtime_error("update-service exited: " + text);
            }
            if (std::chrono::steady_clock::now() > deadline) {
                const auto text = log();
                cleanup();
                throw std::runtime_error("update-service did not become ready: " + text);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds{5});
        }
    }

    void cleanup() noexcept {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            for (int i = 0; i < 1000 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds{5});
            }
            if (::waitpid(pid_, &status, WNOHANG) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
            pid_ = -1;
        }
        std::error_code ec;
        if (!dir_.empty()) {
            std::filesystem::remove_all(dir_, ec);
        }
    }

    std::filesystem::path dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace launcher_test
