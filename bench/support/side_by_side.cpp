#include "side_by_side.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace bench {

Spread spreadOf(std::vector<double> values) {
    if (values.empty()) {
        return {};
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    const double median =
        values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    return {median, values.front(), values.back()};
}

namespace {

std::vector<double> measured(const Side& side, std::size_t metrics) {
    std::vector<double> values = side.run();
    if (metrics != 0 && values.size() != metrics) {
        throw std::logic_error{side.name + " measured " + std::to_string(values.size()) +
                               " values instead of " + std::to_string(metrics)};
    }
    return values;
}

}  // namespace

Comparison::Comparison(Side ours, Side peer, int runs)
    : oursSide_{std::move(ours)}, peerSide_{std::move(peer)} {
    const int wanted = std::max(runs, kMinRuns);
    // Pair 0 is the warm-up: both sides once, values dropped.
    std::size_t metrics = 0;
    for (int pair = 0; pair <= wanted; ++pair) {
        std::vector<double> a;
        std::vector<double> b;
        if (pair % 2 == 0) {
            a = measured(oursSide_, metrics);
            b = measured(peerSide_, a.size());
        } else {
            b = measured(peerSide_, metrics);
            a = measured(oursSide_, b.size());
        }
        metrics = a.size();
        if (pair > 0) {
            ours_.push_back(std::move(a));
            peer_.push_back(std::move(b));
        }
    }
}

std::vector<double> Comparison::column(const std::vector<std::vector<double>>& runs,
                                       std::size_t metric) const {
    std::vector<double> values;
    for (const auto& run : runs) {
        values.push_back(run.at(metric));
    }
    return values;
}

Spread Comparison::ours(std::size_t metric) const {
    return spreadOf(column(ours_, metric));
}

Spread Comparison::peer(std::size_t metric) const {
    return spreadOf(column(peer_, metric));
}

Spread Comparison::ratio(std::size_t metric) const {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < ours_.size(); ++i) {
        ratios.push_back(ours_[i].at(metric) / peer_[i].at(metric));
    }
    return spreadOf(std::move(ratios));
}

void Comparison::print(std::size_t metric, std::string_view label, const Unit& unit) const {
    const auto side = [&unit](const std::string& name, const Spread& s) {
        std::printf("  %s %.*f %s [%.*f-%.*f]", name.c_str(), unit.decimals, s.median * unit.scale,
                    unit.name, unit.decimals, s.min * unit.scale, unit.decimals,
                    s.max * unit.scale);
    };
    std::printf("%-22.*s", static_cast<int>(label.size()), label.data());
    side(oursSide_.name, ours(metric));
    side(peerSide_.name, peer(metric));
    const Spread r = ratio(metric);
    std::printf("  ours/peer %.2f [%.2f-%.2f]\n", r.median, r.min, r.max);
    std::fflush(stdout);
}

double seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int runsArgument(const char* text, int fallback) {
    const int asked = text != nullptr ? std::atoi(text) : fallback;
    return std::max(asked, kMinRuns);
}

void printLegend(int runs) {
    std::printf(
        "median [min-max] of %d runs after a warm-up run, the side that goes first alternating; "
        "ours/peer is the median [min-max] of the per-run ratios, lower is better\n",
        std::max(runs, kMinRuns));
    std::fflush(stdout);
}

}  // namespace bench
