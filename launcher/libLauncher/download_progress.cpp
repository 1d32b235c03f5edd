#include "download_progress.hpp"

namespace zentravo {

DownloadProgress::Decision DownloadProgress::report(Clock::time_point now, std::int64_t total,
                                                    std::int64_t downloaded) {
    if (!lastUpdate_) {
        lastUpdate_ = now;
    }
    Decision decision;
    if (total < 1 || std::chrono::duration<double>{now - *lastUpdate_} < interval_) {
        return decision;
    }
    lastUpdate_ = now;
    decision.updatePage = true;
    const int percentage =
        static_cast<int>(static_cast<float>(downloaded) / static_cast<float>(total) * 100.0F);
    if (percentage % 25 == 0 && percentage != lastPercentage_) {
        lastPercentage_ = percentage;
        decision.milestone = percentage;
    }
    return decision;
}

}  // namespace zentravo
