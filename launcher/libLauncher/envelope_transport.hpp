#pragma once

// The error tracker's one request: POST an envelope. A transfer can be cut short at once from
// another thread, so that closing never waits for the network.

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

namespace zentravo::tracker {

struct PostResult {
    long status = 0;  // 0: no HTTP answer (see error)
    std::string error;
};

class EnvelopeTransport {
  public:
    EnvelopeTransport();
    ~EnvelopeTransport();
    EnvelopeTransport(const EnvelopeTransport&) = delete;
    EnvelopeTransport& operator=(const EnvelopeTransport&) = delete;

    // Blocks the calling thread until answered, failed or interrupted. `caFile` is trusted in
    // addition to the system store when not empty.
    [[nodiscard]] PostResult post(const std::string& url, const std::string& authHeader,
                                  const std::string& body, const std::filesystem::path& caFile);
    // Ends the running post (and every later one) at once. Callable from any thread.
    void interrupt() noexcept;

  private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
    std::atomic<bool> interrupted_{false};
};

}  // namespace zentravo::tracker
