// Throughput of rest::downloadRequest against the curl command-line tool on the same 500 MB
// answer of the local update-service fixture, in the same run. Prints both rates and their
// ratio (goal: at least 0.95).
//
//   rest_download_bench [size in MB, default 500] [rounds, default 3]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "rest.hpp"
#include "scratch_folder.hpp"
#include "update_service.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

bool runCurl(const std::string& url, const std::filesystem::path& out) {
    std::vector<std::string> args{"/usr/bin/curl",
                                  "-sS",
                                  "--fail",
                                  "--cacert",
                                  std::string{LAUNCHER_CERT_DIR} + "/ca.pem",
                                  "-o",
                                  out.string(),
                                  url};
    return launcher_test::waitChild(launcher_test::spawnChild(std::move(args))) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const long long megabytes = argc > 1 ? std::atoll(argv[1]) : 500;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const long long size = megabytes * 1024 * 1024;

    launcher_test::UpdateService service;
    fixture::ScratchFolder folder;
    const std::string url = service.url("/blob/" + std::to_string(size));
    const auto target = folder / "download.bin";

    std::vector<double> ours, theirs;
    for (int round = 0; round < rounds; ++round) {
        // Alternate the order so neither side always gets the warmer cache.
        for (int side = 0; side < 2; ++side) {
            const bool oursFirst = round % 2 == 0;
            const bool runOurs = (side == 0) == oursFirst;
            std::filesystem::remove(target);
            const auto start = Clock::now();
            bool ok = false;
            if (runOurs) {
                std::int64_t seen = 0;
                ok = zentravo::rest::downloadRequest(
                    url, target, [&](std::int64_t, std::int64_t now, std::int64_t, std::int64_t) {
                        seen = now;
                        return true;
                    });
                ok = ok && seen == size;
            } else {
                ok = runCurl(url, target);
            }
            const double took = seconds(Clock::now() - start);
            if (!ok || static_cast<long long>(std::filesystem::file_size(target)) != size) {
                std::fprintf(stderr, "%s download failed\n", runOurs ? "downloadRequest" : "curl");
                return 1;
            }
            (runOurs ? ours : theirs).push_back(megabytes / took);
        }
    }
    const double best = *std::max_element(ours.begin(), ours.end());
    const double bestCurl = *std::max_element(theirs.begin(), theirs.end());
    std::printf("download of %lld MB over loopback TLS, best of %d rounds\n", megabytes, rounds);
    std::printf("  downloadRequest: %8.1f MB/s\n", best);
    std::printf("  curl CLI:        %8.1f MB/s\n", bestCurl);
    std::printf("  ratio:           %8.3f (goal >= 0.95)\n", best / bestCurl);
    return 0;
}
