#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace zentravo {

// Decides, for each progress report of a transfer, whether the page hears about it (at most one
// update per interval) and whether a quarter mark was crossed since the last one reported.
class DownloadProgress {
  public:
    using Clock = std::chrono::system_clock;

    struct Decision {
        bool updatePage = false;
        // Set when the page is updated at a new multiple of 25 %.
        std::optional<int> milestone;
    };

    explicit DownloadProgress(
        std::chrono::duration<double> interval = std::chrono::milliseconds{50})
        : interval_{interval} {}

    // The first report only starts the clock; it never updates the page.
    [[nodiscard]] Decision report(Clock::time_point now, std::int64_t total,
                                  std::int64_t downloaded);

  private:
    std::chrono::duration<double> interval_;
    std::optional<Clock::time_point> lastUpdate_;
    int lastPercentage_ = 0;
};

}  // namespace zentravo
