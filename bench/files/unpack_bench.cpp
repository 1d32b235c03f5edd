// Builds a 200 MB tree of 2,000 files, archives it with GNU tar (plain and gzip), then extracts
// each archive with unpackFile and with `tar -xf`, side by side, checks that both made the same
// tree (names, kinds, modes, contents, link targets), and prints the time ratio unpackFile / tar.
// Run it on a RAM disk (the default is /dev/shm) so that the disk does not hide the difference.
// Usage: bench_unpack [scratch folder] [runs]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "file_helpers.hpp"
#include "side_by_side.hpp"

extern char** environ;
namespace fs = std::filesystem;

namespace {

int run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// 2,000 files of 100 KB in 40 folders: half incompressible, half repetitive text.
void makeTree(const fs::path& root) {
    std::mt19937_64 random{42};
    std::string block(100 * 1024, '\0');
    for (int d = 0; d < 40; ++d) {
        const fs::path dir =
            root / "Zentravo.app/Contents/Resources" / ("pack" + std::to_string(d));
        fs::create_directories(dir);
        for (int f = 0; f < 50; ++f) {
            if (f % 2 == 0) {
                for (std::size_t i = 0; i < block.size(); i += 8) {
                    const std::uint64_t v = random();
                    std::memcpy(block.data() + i, &v, 8);
                }
            } else {
                for (std::size_t i = 0; i < block.size(); ++i) {
                    block[i] = "the quick brown fox jumps over the lazy dog\n"[i % 44];
                }
            }
            std::ofstream{dir / ("asset" + std::to_string(f) + ".bin"), std::ios::binary}.write(
                block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
}

std::string contents(const fs::path& file) {
    std::ifstream in{file, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, {}};
}

// The first difference between two unpacked trees (names, kinds, modes, contents, link
// targets); empty when they are the same.
std::string difference(const fs::path& ours, const fs::path& theirs) {
    std::vector<fs::path> names;
    for (const auto& entry : fs::recursive_directory_iterator{theirs}) {
        names.push_back(entry.path().lexically_relative(theirs));
    }
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::recursive_directory_iterator{ours}) {
        ++count;
    }
    if (count != names.size()) {
        return std::to_string(count) + " entries instead of " + std::to_string(names.size());
    }
    for (const auto& name : names) {
        const auto a = fs::symlink_status(ours / name);
        const auto b = fs::symlink_status(theirs / name);
        if (a.type() != b.type() || a.permissions() != b.permissions()) {
            return name.string() + ": kind or mode differs";
        }
        if (fs::is_regular_file(a) && contents(ours / name) != contents(theirs / name)) {
            return name.string() + ": contents differ";
        }
        if (fs::is_symlink(a) && fs::read_symlink(ours / name) != fs::read_symlink(theirs / name)) {
            return name.string() + ": link target differs";
        }
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const fs::path scratch = argc > 1 ? fs::path{argv[1]}
                                 : fs::is_directory("/dev/shm")
                                     ? fs::path{"/dev/shm/launcher-unpack-bench"}
                                     : fs::temp_directory_path() / "launcher-unpack-bench";
        const int runs = bench::runsArgument(argc > 2 ? argv[2] : nullptr, 5);
        fs::remove_all(scratch);
        fs::create_directories(scratch);
        makeTree(scratch / "tree");

        // As root, tar also gives every file the owner recorded in the archive (a chown each),
        // which unpackFile never does: then tar is measured without that too.
        const bool root = ::geteuid() == 0;
        std::vector<std::vector<std::string>> peers{{"tar", "-xf"}};
        if (root) {
            peers.push_back({"tar", "--no-same-owner", "-xf"});
        }
        bench::printLegend(runs);
        if (root) {
            std::printf(
                "running as root: GNU tar -xf also chowns every file, "
                "tar --no-same-owner -xf does not (nor does unpackFile)\n");
        }
        struct Kind {
            const char* name;
            const char* flag;
        };
        for (const Kind kind : {Kind{"tar", ""}, Kind{"tar.gz", "--gzip"}}) {
            const fs::path archive = scratch / (std::string{"update."} + kind.name);
            std::vector<std::string> create{
                "tar", "-cf", archive.string(), "-C", (scratch / "tree").string(), "Zentravo.app"};
            if (*kind.flag != '\0') {
                create.insert(create.begin() + 1, kind.flag);
            }
            if (run(create) != 0) {
                throw std::runtime_error{"creating " + archive.string() + " failed"};
            }
            std::printf("%s: %.1f MB, 2000 files\n", kind.name,
                        static_cast<double>(fs::file_size(archive)) / 1e6);
            const fs::path ours = scratch / "out-unpack";
            const fs::path theirs = scratch / "out-tar";
            for (const auto& peer : peers) {
                std::string peerName;
                for (const auto& word : peer) {
                    peerName += (peerName.empty() ? "" : " ") + word;
                }
                const bench::Comparison comparison{
                    {"unpackFile",
                     [&] {
                         fs::remove_all(ours);
                         return std::vector<double>{
                             bench::seconds([&] { zentravo::unpackFile(archive, ours); })};
                     }},
                    {peerName,
                     [&] {
                         fs::remove_all(theirs);
                         fs::create_directories(theirs);
                         std::vector<std::string> command = peer;
                         command.insert(command.end(), {archive.string(), "-C", theirs.string()});
                         return std::vector<double>{bench::seconds([&] {
                             if (run(command) != 0) {
                                 throw std::runtime_error{peerName + " failed"};
                             }
                         })};
                     }},
                    runs};
                // The last run of each side is still on disk.
                if (const std::string diff = difference(ours, theirs); !diff.empty()) {
                    throw std::runtime_error{std::string{kind.name} +
                                             ": unpacked trees differ: " + diff};
                }
                comparison.print(0, "  unpack (same tree)", bench::kSeconds);
            }
        }
        fs::remove_all(scratch);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_unpack: %s\n", e.what());
        return 1;
    }
}
