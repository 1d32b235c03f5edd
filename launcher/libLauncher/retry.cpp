#include "retry.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <thread>

#include "exceptions.hpp"

namespace zentravo::retry {
namespace {

// Sleeps for `length` in short slices so that a stop is seen well within the second.
void sleepWatching(std::chrono::milliseconds length, const std::atomic<bool>& stop) {
    constexpr std::chrono::milliseconds kSlice{50};
    const auto until = std::chrono::steady_clock::now() + length;
    for (auto now = std::chrono::steady_clock::now(); now < until && !stop.load();
         now = std::chrono::steady_clock::now()) {
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(kSlice, until - now));
    }
}

}  // namespace

void run(const std::function<void()>& step, std::span<const int> delays,
         const std::atomic<bool>& stop, std::chrono::milliseconds second, const Notices& notices) {
    if (delays.empty()) {
        throw except::GenericException{"Unexpected error", "Failed to execute runChecker"};
    }
    for (std::size_t attempt = 0; attempt < delays.size(); ++attempt) {
        if (stop.load()) {
            return;
        }
        try {
            step();
            return;
        } catch (const except::UnrecoverableException& e) {
            notices.failed();
            spdlog::error("Unrecoverable error executing checker [{}]", e.describe());
            throw;
        } catch (...) {
            notices.failed();
            spdlog::error("Retriable error executing checker");
            if (attempt + 1 == delays.size()) {
                throw;
            }
        }
        for (int s = delays[attempt]; s >= 0; --s) {
            if (stop.load()) {
                break;
            }
            if (s > 0) {
                notices.counting(s);
                sleepWatching(second, stop);
            } else {
                notices.retrying();
            }
        }
    }
}

}  // namespace zentravo::retry
