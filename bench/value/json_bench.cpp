// Reads and writes a 1 MB document of bridge-like messages with vela::json and with
// nlohmann::json, and prints the throughput of each and their ratio.
//
//   value_json_bench [megabytes] [rounds]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <nlohmann/json.hpp>

#include "json.hpp"

namespace {

// Messages as the page posts them, and replies as the host writes them: ids, binding names,
// links, mixed parameter arrays, nested option objects, non-ASCII text.
std::string makeDocument(std::size_t targetBytes) {
    const char* functions[] = {"getCurrentOS", "closeLauncher", "checkForUpdates", "restartApp",
                               "openLink"};
    std::mt19937 random(2026);
    std::string document = "[";
    for (int id = 2; document.size() < targetBytes; ++id) {
        if (id > 2) {
            document += ',';
        }
        const char* fn = functions[random() % 5];
        document += R"({"id":)" + std::to_string(id) + R"(,"fn":")" + fn + R"(","params":[)";
        switch (random() % 4) {
            case 0:
                break;
            case 1:
                document += R"("https://example.org/download?build=)" +
                            std::to_string(random() % 100000) + R"(&lang=de")";
                break;
            case 2:
                document += std::to_string(random() % 1000) + "," +
                            std::to_string((random() % 100000) / 7.0) + ",true,null";
                break;
            default:
                document += R"({"status":"downloading","progress":)" +
                            std::to_string((random() % 1000) / 10.0) +
                            R"(,"text":"Herunterladen \u00fcber Proxy \u2026 )" +
                            std::to_string(id) + R"(","retry":{"attempt":)" +
                            std::to_string(random() % 8) + R"(,"delays":[1,2,3,4,5,15,30]}})";
                break;
        }
        document += "]}";
    }
    document += "]";
    return document;
}

template <typename F>
double bestSeconds(int rounds, F&& work) {
    double best = 1e9;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const double megabytes = argc > 1 ? std::atof(argv[1]) : 1.0;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 10;
    const std::string document = makeDocument(static_cast<std::size_t>(megabytes * 1024 * 1024));
    const double size = static_cast<double>(document.size()) / (1024.0 * 1024.0);

    std::size_t sink = 0;
    const double velaParse =
        bestSeconds(rounds, [&] { sink += vela::json::parse(document).size(); });
    const vela::value::Value velaValue = vela::json::parse(document);
    std::string velaText;
    const double velaWrite =
        bestSeconds(rounds, [&] { velaText = vela::json::toString(velaValue); });

    const double nlohmannParse =
        bestSeconds(rounds, [&] { sink += nlohmann::json::parse(document).size(); });
    const nlohmann::json nlohmannValue = nlohmann::json::parse(document);
    std::string nlohmannText;
    const double nlohmannWrite = bestSeconds(rounds, [&] { nlohmannText = nlohmannValue.dump(); });

    // Both must have read the same document.
    if (nlohmann::json::parse(velaText) != nlohmannValue) {
        std::fprintf(stderr, "the two readers disagree about the document\n");
        return 1;
    }

    std::printf("document: %.2f MB, %u messages, best of %d rounds\n", size,
                static_cast<unsigned>(velaValue.size()), rounds);
    std::printf("%-10s %12s %12s %12s\n", "", "parse MB/s", "write MB/s", "both MB/s");
    const auto row = [size](const char* name, double parse, double write) {
        std::printf("%-10s %12.1f %12.1f %12.1f\n", name, size / parse, size / write,
                    size / (parse + write));
    };
    row("vela", velaParse, velaWrite);
    row("nlohmann", nlohmannParse, nlohmannWrite);
    std::printf("ratio vela/nlohmann: parse %.2f, write %.2f, both %.2f\n",
                nlohmannParse / velaParse, nlohmannWrite / velaWrite,
                (nlohmannParse + nlohmannWrite) / (velaParse + velaWrite));
    return sink == 0 ? 1 : 0;
}
