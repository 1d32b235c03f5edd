#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace zentravo::system {

// Receives one error report (title, detail).
using Reporter = std::function<void(std::string_view title, std::string_view detail)>;

// The report sink used by the process-wide queries: the shared error-report wrapper.
[[nodiscard]] Reporter wrapperReporter();

// The machine facts behind the free queries in system.hpp. Everything is read below `root`
// (normally "/"), so a fixture folder can stand in for /proc, /sys and /etc.
class SystemInfo {
  public:
    explicit SystemInfo(std::filesystem::path root = "/", Reporter reporter = wrapperReporter());

    [[nodiscard]] std::string_view osVersion();
    [[nodiscard]] std::string_view machineUUID();
    [[nodiscard]] std::string_view cpuName();
    [[nodiscard]] std::string_view gpuName();
    [[nodiscard]] int cpuCores();
    // The running executable (proc/self/exe); empty on failure, which is logged and reported.
    [[nodiscard]] std::filesystem::path executable() const;

  private:
    [[nodiscard]] std::filesystem::path under(std::string_view relative) const;
    [[nodiscard]] std::string lookUpCpuName() const;
    [[nodiscard]] std::string lookUpGpuName() const;

    std::filesystem::path root_;
    Reporter report_;
    std::mutex mutex_;
    std::optional<std::string> osVersion_;
    std::string machineUUID_;
    // Both names are looked up once per process, found or not: a machine whose processor list
    // names no model (ARM servers) or without a display device (most virtual machines, systems on
    // a chip) would otherwise read and report again at every event.
    std::optional<std::string> cpuName_;
    std::optional<std::string> gpuName_;
    int cpuCores_ = 0;
};

// The process-wide facts, read from the real root.
[[nodiscard]] SystemInfo& machine();

// "6.1.0-18-amd64" -> "6.1.0", "5.10" -> "5.10.0"; "0.0.0" when no number leads the text.
[[nodiscard]] std::string osVersionFromRelease(std::string_view release);

// 32 hex digits -> 8-4-4-4-12; empty for anything else.
[[nodiscard]] std::string uuidFromMachineId(std::string_view machineId);

// The language code from LANGUAGE, LC_ALL, LC_MESSAGES and LANG (first one set wins); "en" when
// none names a language ("C" and "POSIX" do not).
[[nodiscard]] std::string defaultLanguageFrom(
    const std::function<const char*(const char*)>& getenv);

}  // namespace zentravo::system
