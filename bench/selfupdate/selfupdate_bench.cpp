// Costs of the launcher's self-update that the user waits for: checking an archive's signature
// (streamed, so memory stays flat whatever the size) and reading a long update feed.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "appcast.hpp"
#include "scratch_folder.hpp"
#include "signing.hpp"
#include "update_signature.hpp"

namespace {

void SignatureCheck(benchmark::State& state) {
    fixture::ScratchFolder dir;
    const auto file = dir / "archive";
    const auto size = static_cast<std::int64_t>(state.range(0)) << 20;
    {
        std::ofstream out{file, std::ios::binary};
        std::string block(1 << 20, '\0');
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>(i * 31 % 251);
        }
        for (std::int64_t written = 0; written < size; written += block.size()) {
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    const std::string signature = signing::signFile(file, signing::demoKey());
    const auto key = zentravo::signature::launcherUpdateKey();
    for (auto _ : state) {
        benchmark::DoNotOptimize(zentravo::signature::verifyFile(file, size, signature, key));
    }
    state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(SignatureCheck)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond);

void FeedParseAndChoice(benchmark::State& state) {
    std::string feed =
        "<rss version=\"2.0\" xmlns:zentravo=\"https://zentravo.app/xml/launcher-feed\">"
        "<channel><title>Zentravo launcher</title>";
    for (int i = 0; i < state.range(0); ++i) {
        const std::string version = "1." + std::to_string(i / 100) + "." + std::to_string(i % 100);
        feed += "<item><title>Launcher " + version + "</title><description><![CDATA[<p>Notes " +
                std::string(200, 'x') + "</p>]]></description><zentravo:shortVersionString>" +
                version + "</zentravo:shortVersionString><enclosure url=\"https://cdn.example/" +
                version + ".tar.gz\" length=\"12345678\" zentravo:signature=\"" +
                std::string(86, 'A') + "==\"/></item>";
    }
    feed += "</channel></rss>";
    const semver::version current{1, 6, 24};
    for (auto _ : state) {
        const auto items = zentravo::appcast::parse(feed);
        benchmark::DoNotOptimize(zentravo::appcast::choose(items, current, std::nullopt, "x86_64"));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(feed.size()));
}
BENCHMARK(FeedParseAndChoice)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
