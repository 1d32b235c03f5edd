#pragma once
// Test access to the main-application stand-in (tests/fixtures/mainapp): building its bundle
// archive, unpacking it, starting its program, and reading what it recorded.

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fixture {

inline std::filesystem::path mainAppDirectory() {
    return std::filesystem::path{LAUNCHER_BINARY_DIR} / "tests" / "fixtures" / "mainapp";
}
// The stand-in program itself (named like the real executable, "Zentravo").
inline std::filesystem::path mainAppProgram() {
    return mainAppDirectory() / "Zentravo";
}
inline std::filesystem::path mainAppBundleTool() {
    return mainAppDirectory() / "mainapp_bundle";
}

// How a child is started beyond its arguments.
struct SpawnOptions {
    // False: the given entries are the child's whole environment.
    bool inheritEnvironment = true;
    // When set: standard input from /dev/null, standard output and error appended here.
    std::filesystem::path output{};
    // Descriptors closed in the child after the above (a start by a helper that closed them).
    std::vector<int> closed{};
    // When set: the child's file-size limit (RLIMIT_FSIZE, soft and hard), in bytes.
    std::optional<rlim_t> fileSizeLimit{};
};

// A child started with posix_spawn (no shell); killed and reaped when dropped.
class ChildProcess {
  public:
    // `environment` entries ("KEY=value") are added to this process's environment.
    ChildProcess(const std::vector<std::string>& argv,
                 const std::vector<std::string>& environment = {},
                 const SpawnOptions& options = {}) {
        std::vector<std::string> env;
        if (options.inheritEnvironment) {
            for (char** item = environ; *item != nullptr; ++item) {
                env.emplace_back(*item);
            }
        }
        env.insert(env.end(), environment.begin(), environment.end());
        auto pointers = [](std::vector<std::string>& texts) {
            std::vector<char*> result;
            for (auto& text : texts) {
                result.push_back(text.data());
            }
            result.push_back(nullptr);
            return result;
        };
        std::vector<std::string> args = argv;
        auto argvPointers = pointers(args);
        auto envPointers = pointers(env);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (!options.output.empty()) {
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_addopen(&actions, 1, options.output.c_str(),
                                             O_WRONLY | O_CREAT | O_APPEND, 0644);
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        }
        for (const int fd : options.closed) {
            posix_spawn_file_actions_addclose(&actions, fd);
        }
        const int rc = options.fileSizeLimit
                           ? forkWithLimit(options, argvPointers.data(), envPointers.data())
                           : posix_spawn(&pid_, args.front().c_str(), &actions, nullptr,
                                         argvPointers.data(), envPointers.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            throw std::runtime_error{"cannot start " + args.front()};
        }
    }
    ~ChildProcess() {
        if (!exitStatus_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }

    // The exit code once the child has ended within `timeout`; -signal when killed by one.
    std::optional<int> waitExit(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!exitStatus_) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds{20});
        }
        return exitStatus_;
    }

    void terminate() { ::kill(pid_, SIGTERM); }

  private:
    // posix_spawn cannot set a resource limit: the child is forked, does what the options ask
    // with system calls only (the parent may run other threads) and executes argv[0]. 0 once
    // it runs, else the error number.
    int forkWithLimit(const SpawnOptions& options, char* const* argv, char* const* envp) {
        int report[2];
        if (::pipe2(report, O_CLOEXEC) != 0) {
            return errno;
        }
        const std::string output = options.output.string();
        const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
        const pid_t pid = ::fork();
        if (pid == 0) {
            const auto put = [](int fd, const char* file, int flags) {
                const int opened = ::open(file, flags, 0644);
                if (opened < 0 || (opened != fd && ::dup2(opened, fd) != fd)) {
                    return false;
                }
                if (opened != fd) {
                    ::close(opened);
                }
                return true;
            };
            const bool ready =
                output.empty() ||
                (put(0, "/dev/null", O_RDONLY) &&
                 put(1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND) && ::dup2(1, 2) == 2);
            for (const int fd : options.closed) {
                ::close(fd);
            }
            if (ready && ::setrlimit(RLIMIT_FSIZE, &limit) == 0) {
                ::execve(argv[0], argv, envp);
            }
            const int error = errno;
            (void)!::write(report[1], &error, sizeof error);
            ::_exit(127);
        }
        const int forkError = errno;
        ::close(report[1]);
        if (pid < 0) {
            ::close(report[0]);
            return forkError;
        }
        pid_ = pid;
        // The report pipe closes on exec: nothing read means the program runs.
        int error = 0;
        ssize_t got = 0;
        do {
            got = ::read(report[0], &error, sizeof error);
        } while (got < 0 && errno == EINTR);
        ::close(report[0]);
        if (got != 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            exitStatus_ = 127;
            return error != 0 ? error : EIO;
        }
        return 0;
    }

    pid_t pid_ = -1;
    std::optional<int> exitStatus_;
};

struct BundleOptions {
    std::string version = "1.0.0";
    bool arm64ec = false;
    bool legacy = false;
    bool gzip = false;
};

// Writes a bundle archive of the stand-in to `output`; throws when the tool fails.
inline void buildMainAppArchive(const std::filesystem::path& output,
                                const BundleOptions& options = {}) {
    std::vector<std::string> argv{mainAppBundleTool().string(), "--output", output.string(),
                                  "--version", options.version};
    if (options.arm64ec) {
        argv.emplace_back("--arm64ec");
    }
    if (options.legacy) {
        argv.emplace_back("--legacy");
    }
    if (options.gzip) {
        argv.emplace_back("--gzip");
    }
    ChildProcess tool{argv};
    if (tool.waitExit(std::chrono::seconds{30}) != 0) {
        throw std::runtime_error{"mainapp_bundle failed for " + output.string()};
    }
}

// Unpacks any archive libarchive reads into `destination` (created when missing).
inline void extractArchive(const std::filesystem::path& file,
                           const std::filesystem::path& destination) {
    std::filesystem::create_directories(destination);
    struct Free {
        void operator()(archive* handle) const { archive_read_free(handle); }
    };
    struct WriteFree {
        void operator()(archive* handle) const { archive_write_free(handle); }
    };
    const std::unique_ptr<archive, Free> reader{archive_read_new()};
    archive_read_support_filter_all(reader.get());
    archive_read_support_format_all(reader.get());
    const std::unique_ptr<archive, WriteFree> writer{archive_write_disk_new()};
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_PERM |
                                                     ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                     ARCHIVE_EXTRACT_SECURE_SYMLINKS);
    if (archive_read_open_filename(reader.get(), file.c_str(), 65536) != ARCHIVE_OK) {
        throw std::runtime_error{archive_error_string(reader.get())};
    }
    archive_entry* entry = nullptr;
    while (archive_read_next_header(reader.get(), &entry) == ARCHIVE_OK) {
        const std::filesystem::path name{archive_entry_pathname(entry)};
        if (name.is_absolute()) {
            throw std::runtime_error{"absolute entry " + name.string()};
        }
        const std::string target = (destination / name).string();
        archive_entry_set_pathname(entry, target.c_str());
        if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) {
            throw std::runtime_error{archive_error_string(writer.get())};
        }
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        while (archive_read_data_block(reader.get(), &block, &size, &offset) == ARCHIVE_OK) {
            archive_write_data_block(writer.get(), block, size, offset);
        }
        archive_write_finish_entry(writer.get());
    }
}

// The JSON lines recorded so far ("start" with pid and argv, "listening" with the port, then one
// "event" per event received).
inline std::vector<nlohmann::json> readRecord(const std::filesystem::path& record) {
    std::vector<nlohmann::json> entries;
    std::ifstream in{record};
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            entries.push_back(nlohmann::json::parse(line, nullptr, false));
        }
    }
    return entries;
}

// Waits until the record holds an entry of `type`; returns it.
inline std::optional<nlohmann::json> waitForRecord(const std::filesystem::path& record,
                                                   const std::string& type,
                                                   std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        for (const auto& entry : readRecord(record)) {
            if (entry.is_object() && entry.value("type", "") == type) {
                return entry;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{20});
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

}  // namespace fixture
