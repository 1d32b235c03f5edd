// vela::json against nlohmann::json reading and writing the same documents: a flat one of
// bridge-like messages (1 MB by default), deep ones that nest objects and arrays 61, 241 and 481
// levels (the reader takes up to 512), and wide objects of 10,000 and 90,000 members. Both
// writers' output must read back as the same document, whichever reader reads it.
//
//   value_json_bench [flat megabytes] [runs]

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "json.hpp"
#include "side_by_side.hpp"

namespace {

// Messages as the page posts them, and replies as the host writes them: ids, binding names,
// links, mixed parameter arrays, nested option objects, non-ASCII text.
std::string makeFlatDocument(std::size_t targetBytes) {
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

// `depth` levels: objects with a few members and an array holding the next level, alternating,
// so that both kinds of container nest.
std::string makeDeepDocument(int depth) {
    std::string document;
    for (int level = 0; level < depth; ++level) {
        if (level % 2 == 0) {
            document += R"({"level":)" + std::to_string(level) + R"(,"name":"step \u00e4 )" +
                        std::to_string(level) + R"(","ok":true,"next":)";
        } else {
            document += "[" + std::to_string(level) + ",\"x\",";
        }
    }
    document += "null";
    for (int level = depth - 1; level >= 0; --level) {
        document += level % 2 == 0 ? "}" : "]";
    }
    return document;
}

// One object of `members` members, numbers, texts and flags in turn, as a page may post one: the
// names count in base 62, so that 90,000 members stay under the page message bound of 1 MiB.
std::string makeWideDocument(int members) {
    constexpr std::string_view kDigits =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string document = "{";
    for (int i = 0; i < members; ++i) {
        std::string name;
        for (int rest = i;; rest /= 62) {
            name.insert(name.begin(), kDigits[rest % 62]);
            if (rest < 62) {
                break;
            }
        }
        document += (i == 0 ? "\"" : ",\"") + name + "\":";
        document += i % 3 == 0 ? std::to_string(i % 10) : i % 3 == 1 ? "\"v\"" : "true";
    }
    return document + "}";
}

// Reads and writes `document` with both libraries `runs` times (after a warm-up), checks that
// both writers' output reads back as the same document, and prints one line per direction.
void compareOn(const std::string& label, const std::string& document, int runs) {
    std::string velaText;
    std::string nlohmannText;
    std::size_t sink = 0;
    const bench::Comparison comparison{
        {"vela",
         [&] {
             vela::value::Value value;
             const double parse = bench::seconds([&] { value = vela::json::parse(document); });
             const double write = bench::seconds([&] { velaText = vela::json::toString(value); });
             sink += value.size();
             return std::vector<double>{parse, write, parse + write};
         }},
        {"nlohmann",
         [&] {
             nlohmann::json value;
             const double parse = bench::seconds([&] { value = nlohmann::json::parse(document); });
             const double write = bench::seconds([&] { nlohmannText = value.dump(); });
             sink += value.size();
             return std::vector<double>{parse, write, parse + write};
         }},
        runs};
    // Each writer's output, read by either reader, is the same document. nlohmann compares the
    // values (its objects keep their members sorted, vela's in document order, so the texts
    // differ); what vela reads from the peer's text is compared through vela's own output.
    const nlohmann::json original = nlohmann::json::parse(document);
    if (nlohmann::json::parse(velaText) != original ||
        nlohmann::json::parse(nlohmannText) != original ||
        nlohmann::json::parse(vela::json::toString(vela::json::parse(nlohmannText))) != original) {
        throw std::runtime_error{label + ": the two writers' output reads back differently"};
    }
    if (sink == 0) {
        throw std::runtime_error{label + ": nothing read"};
    }
    std::printf("%s: %.1f KB, same document read back from both writers\n", label.c_str(),
                static_cast<double>(document.size()) / 1024);
    comparison.print(0, "  parse", bench::kMilliseconds);
    comparison.print(1, "  write", bench::kMilliseconds);
    comparison.print(2, "  parse+write", bench::kMilliseconds);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const double megabytes = argc > 1 ? std::atof(argv[1]) : 1.0;
        const int runs = bench::runsArgument(argc > 2 ? argv[2] : nullptr, 7);
        bench::printLegend(runs);
        compareOn("flat", makeFlatDocument(static_cast<std::size_t>(megabytes * 1024 * 1024)),
                  runs);
        for (const int depth : {61, 241, 481}) {
            compareOn("deep " + std::to_string(depth), makeDeepDocument(depth), runs);
        }
        for (const int members : {10000, 90000}) {
            compareOn("wide " + std::to_string(members), makeWideDocument(members), runs);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "value_json_bench: %s\n", e.what());
        return 1;
    }
}
