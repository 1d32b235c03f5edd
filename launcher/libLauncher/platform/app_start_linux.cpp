// Starting the main application without `open`: its bundle's executable is spawned directly.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "app_start.hpp"
#include "file_helpers.hpp"

extern char** environ;

namespace zentravo::system {
namespace {

namespace fs = std::filesystem;

class SpawnAttributes {
  public:
    SpawnAttributes() {
        if (const int rc = posix_spawnattr_init(&attributes_); rc != 0) {
            throw std::system_error{rc, std::generic_category(), "posix_spawnattr_init"};
        }
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

  private:
    posix_spawnattr_t attributes_{};
};

class FileActions {
  public:
    FileActions() {
        if (const int rc = posix_spawn_file_actions_init(&actions_); rc != 0) {
            throw std::system_error{rc, std::generic_category(), "posix_spawn_file_actions_init"};
        }
    }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_{};
};

void check(int rc, const char* what) {
    if (rc != 0) {
        throw std::system_error{rc, std::generic_category(), what};
    }
}

}  // namespace

fs::path bundleExecutable(const fs::path& bundle) {
    const fs::path infoPlist = bundle / "Contents" / "Info.plist";
    const BundleInfo info = readBundleInfo(infoPlist);
    switch (info.status) {
        case BundleInfo::Status::ok:
            break;
        case BundleInfo::Status::missing:
            throw std::runtime_error{"Cannot read " + infoPlist.string()};
        case BundleInfo::Status::unusable:
            throw std::runtime_error{"Cannot read " + info.problem};
        case BundleInfo::Status::malformed:
            throw std::runtime_error{"Not a property list: " + infoPlist.string()};
    }
    if (!info.executable) {
        throw std::runtime_error{"No CFBundleExecutable in " + infoPlist.string()};
    }
    const std::string& program = *info.executable;
    if (program.empty() || program == "." || program == ".." ||
        program.find('/') != std::string::npos) {
        throw std::runtime_error{"Unusable CFBundleExecutable '" + program + "' in " +
                                 infoPlist.string()};
    }
    return bundle / "Contents" / "MacOS" / program;
}

pid_t startDetached(const fs::path& program, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment) {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view variable{*entry};
        const auto name = variable.substr(0, variable.find('='));
        const bool replaced =
            std::any_of(environment.begin(), environment.end(), [&](const std::string& added) {
                return added.starts_with(name) && added.size() > name.size() &&
                       added[name.size()] == '=';
            });
        if (!replaced) {
            variables.emplace_back(variable);
        }
    }
    variables.insert(variables.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (std::string& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);

    std::vector<char*> argv;
    std::string name = program.string();
    argv.push_back(name.data());
    std::vector<std::string> copies = arguments;
    for (std::string& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    SpawnAttributes attributes;
    check(posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                                         POSIX_SPAWN_SETSIGDEF),
          "posix_spawnattr_setflags");
    sigset_t none;
    sigemptyset(&none);
    check(posix_spawnattr_setsigmask(attributes.get(), &none), "posix_spawnattr_setsigmask");
    // SIGXFSZ is ignored by the launcher only (system::prepareProcess): what it starts gets
    // the default back, as it would have had without the launcher in between.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGXFSZ);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    check(posix_spawnattr_setsigdefault(attributes.get(), &defaults),
          "posix_spawnattr_setsigdefault");

    FileActions actions;
    check(posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0),
          "posix_spawn_file_actions_addopen");
    // Nothing else goes along: not the log, not the instance lock (a child holding it would keep
    // every later launcher out), not what a library opened without close-on-exec.
    check(posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1),
          "posix_spawn_file_actions_addclosefrom_np");

    pid_t child = -1;
    check(posix_spawn(&child, name.c_str(), actions.get(), attributes.get(), argv.data(),
                      envp.data()),
          "posix_spawn");
    return child;
}

bool isUnexecutable(const std::error_code& failure) {
    if (failure.category() != std::generic_category() &&
        failure.category() != std::system_category()) {
        return false;
    }
    switch (failure.value()) {
        case ENOEXEC:
        case ELIBBAD:
        case ENOENT:
        case EACCES:
            return true;
        default:
            return false;
    }
}

std::optional<int> reapIfEnded(pid_t child) {
    int status = 0;
    pid_t rc = 0;
    do {
        rc = ::waitpid(child, &status, WNOHANG);
    } while (rc < 0 && errno == EINTR);
    if (rc == child) {
        return status;
    }
    return std::nullopt;
}

}  // namespace zentravo::system
