#pragma once
// Side-by-side measurement of our code against a peer doing the same work: a warm-up pair whose
// values are dropped, then at least kMinRuns measured pairs with the side that goes first
// alternating, so that warm caches and the machine's load treat both alike. Every value is a cost
// (time, memory): lower is better, and every ratio reads ours / peer.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

inline constexpr int kMinRuns = 5;

// One run of one side: its measured costs, one per metric, in the comparison's metric order.
// A run that cannot do its work throws; the comparison then fails instead of dropping the run.
using Run = std::function<std::vector<double>()>;

struct Side {
    std::string name;
    Run run;
};

struct Spread {
    double median = 0;
    double min = 0;
    double max = 0;
};

[[nodiscard]] Spread spreadOf(std::vector<double> values);

// How a metric's values are shown: value * scale, in `unit`, with `decimals` places.
struct Unit {
    const char* name;
    double scale = 1;
    int decimals = 2;
};
inline constexpr Unit kMilliseconds{"ms", 1e3, 2};
inline constexpr Unit kSeconds{"s", 1, 3};
inline constexpr Unit kMebibytes{"MiB", 1.0 / (1024 * 1024), 1};

class Comparison {
  public:
    // Runs the warm-up pair and then max(runs, kMinRuns) measured pairs.
    Comparison(Side ours, Side peer, int runs);

    [[nodiscard]] int runs() const { return static_cast<int>(ours_.size()); }
    [[nodiscard]] Spread ours(std::size_t metric) const;
    [[nodiscard]] Spread peer(std::size_t metric) const;
    // Of the per-pair ratios ours / peer.
    [[nodiscard]] Spread ratio(std::size_t metric) const;

    // One line: both sides' median [min-max] and the ratio's.
    void print(std::size_t metric, std::string_view label, const Unit& unit) const;

  private:
    [[nodiscard]] std::vector<double> column(const std::vector<std::vector<double>>& runs,
                                             std::size_t metric) const;

    Side oursSide_;
    Side peerSide_;
    std::vector<std::vector<double>> ours_;
    std::vector<std::vector<double>> peer_;
};

// Seconds `work` took.
[[nodiscard]] double seconds(const std::function<void()>& work);

// The number of runs asked for on the command line (`text` may be null), at least kMinRuns.
[[nodiscard]] int runsArgument(const char* text, int fallback);

// How the numbers read, printed once before a benchmark's lines.
void printLegend(int runs);

}  // namespace bench
