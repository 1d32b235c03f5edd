#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <span>

namespace zentravo::retry {

// What the engine tells the page while it works.
struct Notices {
    std::function<void()> failed;               // after every failed attempt
    std::function<void(int seconds)> counting;  // each second of a countdown
    std::function<void()> retrying;             // when a countdown has run out
};

// Runs `step` until it returns, a stop is requested or the attempts (one per entry of `delays`)
// are used up. After a retryable failure it counts down the attempt's delay, one `second` at a
// time, watching `stop`. An UnrecoverableException, and the last attempt's failure, leave
// unchanged. Returns normally on success and on a stop; the caller reads `stop` to tell them apart.
void run(const std::function<void()>& step, std::span<const int> delays,
         const std::atomic<bool>& stop, std::chrono::milliseconds second, const Notices& notices);

}  // namespace zentravo::retry
