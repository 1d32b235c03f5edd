#pragma once

// Helpers for the file, resource and localisation tests: a scratch folder, a capture of the
// default logger, the working-directory layout of an installed launcher, and running tools.

#include <fcntl.h>
#include <spawn.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace files_test {

class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "launcher-files-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error{"mkdtemp failed"};
        }
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out{path, std::ios::binary | std::ios::trunc};
    out << content;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in{path, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, std::istreambuf_iterator<char>{}};
}

struct LogRecord {
    spdlog::level::level_enum level;
    std::string text;
};

// Makes a recording logger the default one for the object's lifetime.
class LogCapture {
  public:
    LogCapture() : sink_{std::make_shared<Sink>()}, previous_{spdlog::default_logger()} {
        auto logger = std::make_shared<spdlog::logger>("capture", sink_);
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    [[nodiscard]] std::vector<LogRecord> records() const {
        std::lock_guard lock{sink_->recordsMutex};
        return sink_->records;
    }
    [[nodiscard]] std::vector<std::string> texts(spdlog::level::level_enum level) const {
        std::vector<std::string> out;
        for (const auto& r : records()) {
            if (r.level == level) {
                out.push_back(r.text);
            }
        }
        return out;
    }

  private:
    struct Sink : spdlog::sinks::base_sink<std::mutex> {
        void sink_it_(const spdlog::details::log_msg& msg) override {
            std::lock_guard lock{recordsMutex};
            records.push_back({msg.level, std::string{msg.payload.begin(), msg.payload.end()}});
        }
        void flush_() override {}
        mutable std::mutex recordsMutex;
        std::vector<LogRecord> records;
    };
    std::shared_ptr<Sink> sink_;
    std::shared_ptr<spdlog::logger> previous_;
};

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
