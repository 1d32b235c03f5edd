#pragma once

// Helpers for the file, resource, localisation and analytics tests: log lines by level, the
// working-directory layout of an installed launcher, and running tools.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "log_capture.hpp"
#include "scratch_folder.hpp"

extern char** environ;

namespace files_test {

using ScratchDir = fixture::ScratchFolder;

inline void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out{path, std::ios::binary | std::ios::trunc};
    out << content;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in{path, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, std::istreambuf_iterator<char>{}};
}

// The texts a LogCapture recorded at one level ("error", "warning", "info", "debug").
inline std::vector<std::string> linesAt(const LogCapture& logs, std::string_view level) {
    std::vector<std::string> out;
    const std::string prefix = std::string{level} + " ";
    for (const auto& line : logs.lines()) {
        if (line.rfind(prefix, 0) == 0) {
            out.push_back(line.substr(prefix.size()));
        }
    }
    return out;
}

// Sets the working directory for the object's lifetime (each test runs in its own process).
class WorkingDirectory {
  public:
    explicit WorkingDirectory(const std::filesystem::path& path)
        : previous_{std::filesystem::current_path()} {
        std::filesystem::current_path(path);
    }
    ~WorkingDirectory() {
        std::error_code ec;
        std::filesystem::current_path(previous_, ec);
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  private:
    std::filesystem::path previous_;
};

// An installed layout: <root>/bin is the working directory, <root>/resources beside it, filled
// with the shipped page and translations.
inline std::filesystem::path installShippedResources(const std::filesystem::path& root) {
    std::filesystem::create_directories(root / "bin");
    std::filesystem::copy(std::filesystem::path{LAUNCHER_SOURCE_DIR} / "resources",
                          root / "resources", std::filesystem::copy_options::recursive);
    return root / "bin";
}

// Runs a program with its arguments (no shell) and returns its exit code; output is discarded
// unless it goes to a file the arguments name.
inline int run(const std::vector<std::string>& argv,
               const std::filesystem::path& workingDirectory = {}) {
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (!workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    }
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return -1;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace files_test
