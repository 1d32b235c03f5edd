#include "messageloop.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
namespace messageloop = vela::messageloop;

namespace {

// Counts live copies of itself, so a test sees when a posted function's storage is freed.
struct Tracker {
    explicit Tracker(std::atomic<int>& liveCount) : live(&liveCount) { ++*live; }
    Tracker(const Tracker& other) : live(other.live) { ++*live; }
    Tracker& operator=(const Tracker&) = delete;
    ~Tracker() { --*live; }
    std::atomic<int>* live;
};

// run() bounded by a watchdog, so a broken stop fails the test instead of hanging it.
std::chrono::milliseconds runWithWatchdog(std::chrono::seconds limit = 10s) {
    std::atomic<bool> returned = false;
    std::thread watchdog([&] {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!returned && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(5ms);
        }
        if (!returned) {
            ADD_FAILURE() << "run() did not return";
            messageloop::stop();
        }
    });
    const auto start = std::chrono::steady_clock::now();
    messageloop::run();
    returned = true;
    watchdog.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

}  // namespace

TEST(MessageLoop, FunctionsPostedFromAnotherThreadRunOnTheMainThreadInOrder) {
    constexpr int kCount = 2000;
    std::vector<int> order;
    std::atomic<int> offMainThread = 0;
    const pthread_t mainThread = pthread_self();

    std::thread poster([&] {
        for (int i = 0; i < kCount; ++i) {
            messageloop::postMessage([&order, &offMainThread, mainThread, i] {
                if (pthread_equal(pthread_self(), mainThread) == 0) {
                    ++offMainThread;
                }
                order.push_back(i);
            });
        }
        messageloop::stop();
    });
    runWithWatchdog();
    poster.join();

    EXPECT_EQ(offMainThread, 0);
    ASSERT_EQ(order.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(order[i], i);
    }
    EXPECT_TRUE(pthread_equal(messageloop::getMainThreadIDRef(), mainThread));
}

TEST(MessageLoop, EachPostedFunctionIsFreedExactlyOnceAfterItRan) {
    std::atomic<int> live = 0;
    int ran = 0;
    bool aliveWhileRunning = true;
    constexpr int kCount = 100;
    for (int i = 0; i < kCount; ++i) {
        messageloop::postMessage([tracker = Tracker(live), &ran, &live, &aliveWhileRunning] {
            (void)tracker;
            aliveWhileRunning = aliveWhileRunning && live > 0;
            ++ran;
        });
    }
    EXPECT_EQ(live, kCount);  // queued, owned by the queue, not yet run
    messageloop::stop();
    runWithWatchdog();

    EXPECT_EQ(ran, kCount);
    EXPECT_TRUE(aliveWhileRunning);
    EXPECT_EQ(live, 0);  // a double free would drive it below zero (and trip the sanitizer)
}

TEST(MessageLoop, StopEndsRunAtOnceWithoutFurtherEvents) {
    std::thread stopper([] {
        std::this_thread::sleep_for(100ms);
        messageloop::stop();
    });
    const auto took = runWithWatchdog();
    stopper.join();
    EXPECT_GE(took, 90ms);
    EXPECT_LT(took, 1000ms);

    // Posted on the main thread before run(): takes effect as soon as the loop serves it.
    messageloop::stop();
    EXPECT_LT(runWithWatchdog(), 1000ms);
}

TEST(MessageLoop, StopRunsAfterEarlierWorkAndLeavesLaterWorkQueued) {
    std::vector<std::string> trace;
    messageloop::postMessage([&] { trace.push_back("before"); });
    messageloop::postMessage([&] {
        messageloop::stop();  // posted behind "after": still runs it first
        messageloop::postMessage([&] { trace.push_back("behind the stop"); });
    });
    messageloop::postMessage([&] { trace.push_back("after"); });
    runWithWatchdog();
    EXPECT_EQ(trace, (std::vector<std::string>{"before", "after"}));

    // What was queued behind the stop waits for the loop to run again.
    messageloop::stop();
    runWithWatchdog();
    EXPECT_EQ(trace, (std::vector<std::string>{"before", "after", "behind the stop"}));
}
