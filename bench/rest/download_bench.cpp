// rest::downloadRequest against the curl command-line tool fetching the same answer of the local
// update-service fixture (256 MB by default) over loopback TLS. After every run the file's
// contents are checked byte for byte against what the service sends, on both sides.
//
//   rest_download_bench [size in MB, default 256] [runs, default 5]
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "rest.hpp"
#include "scratch_folder.hpp"
#include "side_by_side.hpp"
#include "update_service.hpp"

namespace {

namespace fs = std::filesystem;

void runCurl(const std::string& url, const fs::path& out) {
    std::vector<std::string> args{"/usr/bin/curl",
                                  "-sS",
                                  "--fail",
                                  "--cacert",
                                  std::string{LAUNCHER_CERT_DIR} + "/ca.pem",
                                  "-o",
                                  out.string(),
                                  url};
    if (launcher_test::waitChild(launcher_test::spawnChild(std::move(args))) != 0) {
        throw std::runtime_error{"curl failed"};
    }
}

// The file must hold exactly the service's /blob/{size} answer.
void checkContents(const fs::path& file, long long size, const char* side) {
    std::ifstream in{file, std::ios::binary};
    std::vector<char> block(1 << 20);
    long long offset = 0;
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        for (std::size_t i = 0; i < got; ++i) {
            if (static_cast<unsigned char>(block[i]) !=
                launcher_test::UpdateService::blobByte(static_cast<std::uint64_t>(offset) + i)) {
                throw std::runtime_error{std::string{side} + ": byte " +
                                         std::to_string(offset + static_cast<long long>(i)) +
                                         " differs from what the service sent"};
            }
        }
        offset += static_cast<long long>(got);
    }
    if (offset != size) {
        throw std::runtime_error{std::string{side} + ": " + std::to_string(offset) +
                                 " bytes instead of " + std::to_string(size)};
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const long long megabytes = argc > 1 ? std::atoll(argv[1]) : 256;
        const int runs = bench::runsArgument(argc > 2 ? argv[2] : nullptr, 5);
        const long long size = megabytes * 1024 * 1024;

        launcher_test::UpdateService service;
        const fixture::ScratchFolder folder;
        const std::string url = service.url("/blob/" + std::to_string(size));
        const auto ours = folder / "downloadRequest.bin";
        const auto theirs = folder / "curl.bin";

        bench::printLegend(runs);
        const bench::Comparison comparison{
            {"downloadRequest",
             [&] {
                 fs::remove(ours);
                 std::int64_t seen = 0;
                 bool ok = false;
                 const double took = bench::seconds([&] {
                     ok = zentravo::rest::downloadRequest(
                         url, ours,
                         [&](std::int64_t, std::int64_t now, std::int64_t, std::int64_t) {
                             seen = now;
                             return true;
                         });
                 });
                 if (!ok || seen != size) {
                     throw std::runtime_error{"downloadRequest failed"};
                 }
                 checkContents(ours, size, "downloadRequest");
                 return std::vector<double>{took};
             }},
            {"curl",
             [&] {
                 fs::remove(theirs);
                 const double took = bench::seconds([&] { runCurl(url, theirs); });
                 checkContents(theirs, size, "curl");
                 return std::vector<double>{took};
             }},
            runs};
        std::printf("download of %lld MB over loopback TLS to %s, same contents on both sides\n",
                    megabytes, folder.path().c_str());
        comparison.print(0, "download time", bench::kSeconds);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rest_download_bench: %s\n", e.what());
        return 1;
    }
}
