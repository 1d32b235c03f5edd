#include <gtest/gtest.h>

#include "download_progress.hpp"

namespace {

using zentravo::DownloadProgress;
using namespace std::chrono_literals;

const DownloadProgress::Clock::time_point t0{std::chrono::seconds{1'700'000'000}};

TEST(DownloadProgressTest, FirstReportOnlyStartsTheClock) {
    DownloadProgress progress;
    EXPECT_FALSE(progress.report(t0, 1000, 500).updatePage);
    EXPECT_FALSE(progress.report(t0 + 49ms, 1000, 600).updatePage);
    const auto d = progress.report(t0 + 50ms, 1000, 750);
    EXPECT_TRUE(d.updatePage);
    EXPECT_EQ(d.milestone, 75);
}

TEST(DownloadProgressTest, UnknownTotalNeverUpdatesThePage) {
    DownloadProgress progress;
    for (int i = 0; i < 10; ++i) {
        EXPECT_FALSE(progress.report(t0 + i * 1s, 0, i * 100).updatePage);
    }
}

TEST(DownloadProgressTest, AtMostOneUpdatePerInterval) {
    DownloadProgress progress;
    (void)progress.report(t0, 100, 0);
    int updates = 0;
    for (int ms = 1; ms <= 1000; ++ms) {
        updates += progress.report(t0 + std::chrono::milliseconds{ms}, 100'000, ms).updatePage;
    }
    EXPECT_EQ(updates, 20);
}

TEST(DownloadProgressTest, QuarterMarksOnceAndOnlyWhenHit) {
    DownloadProgress progress;
    (void)progress.report(t0, 1000, 0);
    struct Step {
        std::int64_t downloaded;
        std::optional<int> milestone;
    };
    const Step steps[] = {
        {0, std::nullopt},    // 0 % is where it starts: no crumb
        {250, 25},            // 25 % once
        {255, std::nullopt},  // still 25 %
        {490, std::nullopt},  // 49 %
        {510, std::nullopt},  // 51 %: 50 % fell between two updates
        {750, 75},           {1000, 100}, {1000, std::nullopt},
    };
    auto now = t0;
    for (const Step& s : steps) {
        now += 60ms;
        const auto d = progress.report(now, 1000, s.downloaded);
        EXPECT_TRUE(d.updatePage);
        EXPECT_EQ(d.milestone, s.milestone) << s.downloaded;
    }
}

TEST(DownloadProgressTest, PercentageIsTruncatedNotRounded) {
    DownloadProgress progress;
    (void)progress.report(t0, 4, 0);
    // 2499/10000 = 24.99 % -> 24, no crumb; then exactly 25 %.
    EXPECT_EQ(progress.report(t0 + 1s, 10'000, 2'499).milestone, std::nullopt);
    EXPECT_EQ(progress.report(t0 + 2s, 10'000, 2'500).milestone, 25);
}

}  // namespace
