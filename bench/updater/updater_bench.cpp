// The download progress callback runs for every chunk libcurl receives; it has to stay far cheaper
// than the transfer itself. The page-call texts are built on every status change.
#include <benchmark/benchmark.h>

#include <chrono>

#include "download_progress.hpp"
#include "page_calls.hpp"

namespace {

void BM_ProgressReportThrottled(benchmark::State& state) {
    zentravo::DownloadProgress progress;
    auto now = zentravo::DownloadProgress::Clock::now();
    std::int64_t downloaded = 0;
    for (auto _ : state) {
        now += std::chrono::microseconds{100};  // a chunk every 0.1 ms: 1 in 500 reaches the page
        downloaded += 16384;
        benchmark::DoNotOptimize(progress.report(now, 1LL << 40, downloaded));
    }
}
BENCHMARK(BM_ProgressReportThrottled);

void BM_ProgressCallText(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            zentravo::page::progressCall("Téléchargement de la mise à jour…", 1048576, 4194304));
    }
}
BENCHMARK(BM_ProgressCallText);

void BM_EscapeTranslation(benchmark::State& state) {
    const std::string text =
        "Impossible de se connecter au serveur. Vérifiez votre connexion et réessayez l'opération.";
    for (auto _ : state) {
        benchmark::DoNotOptimize(zentravo::page::escapeForScript(text));
    }
}
BENCHMARK(BM_EscapeTranslation);

}  // namespace

BENCHMARK_MAIN();
