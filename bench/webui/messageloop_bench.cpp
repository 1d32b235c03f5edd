#include "messageloop.hpp"

#include <benchmark/benchmark.h>

#include <string>
#include <thread>

namespace messageloop = vela::messageloop;

namespace {

// Another thread posts n functions (each holding a text, as page calls do) and the stop; the
// main thread serves them all.
void BM_PostFromAnotherThread(benchmark::State& state) {
    const auto count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        std::size_t served = 0;
        std::thread poster([&] {
            for (int i = 0; i < count; ++i) {
                messageloop::postMessage([&served, text = std::string("window.setProgress(42);")] {
                    served += text.size();
                });
            }
            messageloop::stop();
        });
        messageloop::run();
        poster.join();
        benchmark::DoNotOptimize(served);
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_PostFromAnotherThread)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Posting and serving on the main thread alone: the cost of one queue round trip.
void BM_PostOnMainThread(benchmark::State& state) {
    const auto count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        int served = 0;
        for (int i = 0; i < count; ++i) {
            messageloop::postMessage([&served] { ++served; });
        }
        messageloop::stop();
        messageloop::run();
        benchmark::DoNotOptimize(served);
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_PostOnMainThread)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
