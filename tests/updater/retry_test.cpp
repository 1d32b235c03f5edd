#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "exceptions.hpp"
#include "retry.hpp"

namespace {

using namespace std::chrono_literals;
using zentravo::except::GenericException;
using zentravo::except::RetryableException;
using zentravo::except::UnrecoverableException;

constexpr std::array<int, 8> kDelays{1, 2, 3, 4, 5, 15, 30, 30};

// Records what the engine shows, as one line per notice.
struct Page {
    std::vector<std::string> lines;
    zentravo::retry::Notices notices() {
        return {.failed = [this] { lines.emplace_back("close"); },
                .counting = [this](int s) { lines.push_back(std::to_string(s)); },
                .retrying = [this] { lines.emplace_back("retry"); }};
    }
};

TEST(RetryTest, SuccessAtOnceShowsNothing) {
    Page page;
    std::atomic<bool> stop{false};
    int runs = 0;
    zentravo::retry::run([&] { ++runs; }, kDelays, stop, 1ms, page.notices());
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(page.lines.empty());
}

TEST(RetryTest, StopBeforeTheCallRunsNothing) {
    Page page;
    std::atomic<bool> stop{true};
    int runs = 0;
    zentravo::retry::run([&] { ++runs; }, kDelays, stop, 1ms, page.notices());
    EXPECT_EQ(runs, 0);
    EXPECT_TRUE(page.lines.empty());
}

TEST(RetryTest, EmptyTableIsAnError) {
    Page page;
    std::atomic<bool> stop{false};
    try {
        zentravo::retry::run([] {}, {}, stop, 1ms, page.notices());
        FAIL();
    } catch (const GenericException& e) {
        EXPECT_EQ(e.describe(), "Unexpected error: Failed to execute runChecker");
    }
}

TEST(RetryTest, CountsDownEachDelayThenRetries) {
    Page page;
    std::atomic<bool> stop{false};
    int runs = 0;
    zentravo::retry::run(
        [&] {
            if (++runs < 4)
                throw std::runtime_error{"not yet"};
        },
        kDelays, stop, 1ms, page.notices());
    EXPECT_EQ(runs, 4);
    const std::vector<std::string> expected{"close", "1",     "retry", "close", "2", "1",
                                            "retry", "close", "3",     "2",     "1", "retry"};
    EXPECT_EQ(page.lines, expected);
}

TEST(RetryTest, UnrecoverableLeavesAtOnce) {
    Page page;
    std::atomic<bool> stop{false};
    int runs = 0;
    EXPECT_THROW(zentravo::retry::run(
                     [&] {
                         if (++runs == 3)
                             throw UnrecoverableException{"SSL", "pin"};
                         throw RetryableException{"CONNECTION_FAILURE", "refused"};
                     },
                     kDelays, stop, 1ms, page.notices()),
                 UnrecoverableException);
    EXPECT_EQ(runs, 3);
    const std::vector<std::string> expected{"close", "1", "retry", "close",
                                            "2",     "1", "retry", "close"};
    EXPECT_EQ(page.lines, expected);
}

TEST(RetryTest, EighthFailureLeavesUnchangedWithoutCountdown) {
    Page page;
    std::atomic<bool> stop{false};
    int runs = 0;
    try {
        zentravo::retry::run(
            [&] {
                ++runs;
                throw RetryableException{"OPERATION_TIMEDOUT", "attempt " + std::to_string(runs)};
            },
            kDelays, stop, 1ms, page.notices());
        FAIL();
    } catch (const RetryableException& e) {
        EXPECT_STREQ(e.what(), "attempt 8");
    }
    EXPECT_EQ(runs, 8);
    EXPECT_EQ(std::count(page.lines.begin(), page.lines.end(), "close"), 8);
    EXPECT_EQ(std::count(page.lines.begin(), page.lines.end(), "retry"), 7);
    // 1+2+3+4+5+15+30 countdown seconds, and nothing after the last failure.
    EXPECT_EQ(page.lines.size(), 8U + 7U + 60U);
    EXPECT_EQ(page.lines.back(), "close");
}

TEST(RetryTest, StopDuringCountdownEndsWithinASecond) {
    Page page;
    std::atomic<bool> stop{false};
    int runs = 0;
    std::thread stopper{[&] {
        std::this_thread::sleep_for(300ms);
        stop = true;
    }};
    const auto started = std::chrono::steady_clock::now();
    // Real one-second countdown steps: the 15 s countdown after five failures is cut short.
    zentravo::retry::run(
        [&] {
            ++runs;
            throw std::runtime_error{"down"};
        },
        std::array<int, 2>{15, 15}, stop, 1000ms, page.notices());
    const auto took = std::chrono::steady_clock::now() - started;
    stopper.join();
    EXPECT_EQ(runs, 1);
    EXPECT_LT(took, 1000ms);
    const std::vector<std::string> expected{"close", "15"};
    EXPECT_EQ(page.lines, expected);
}

}  // namespace
