#pragma once

// In-process capture of fatal signals (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT). The handler runs
// on an alternate stack and uses async-signal-safe calls only: it writes the event rendered ahead
// of time (setScope), the signal, the crashing thread's return addresses and the memory map into a
// report file, then hands the signal on. Signal dispositions are process-wide, so this unit keeps
// the one process-wide handler state.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zentravo::tracker::crash {

inline constexpr std::string_view kReportExtension = ".crash";

// Installs the handlers, writing reports into `directory` (which must exist). With `reraise` the
// signal goes on with its default action (core dump, the system's crash reporter); without it the
// process ends with status 128 + signal. Replaces an earlier installation. False when the folder
// name does not fit or a handler cannot be set.
[[nodiscard]] bool install(const std::filesystem::path& directory, bool reraise);
// Restores the dispositions found by install. Safe to call when not installed.
void uninstall();
[[nodiscard]] bool installed();

// The event text a report carries. Longer texts are cut to the last breadcrumbs that fit by the
// caller; here a text over the buffer size is dropped in favour of the previous one.
void setScope(std::string_view eventJson);
inline constexpr std::size_t kMaxScopeBytes = 64 * 1024;

struct Report {
    int signal = 0;
    std::uint64_t faultAddress = 0;
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;
    std::string scope;
    std::vector<std::uint64_t> frames;  // innermost first
    std::string maps;                   // /proc/self/maps of the crashed process
};

// nullopt when `file` is not a complete report, or not one that may be read (see
// store::readFile).
[[nodiscard]] std::optional<Report> readReport(const std::filesystem::path& file);
// The same for a report's content.
[[nodiscard]] std::optional<Report> parseReport(const std::string& content);

}  // namespace zentravo::tracker::crash
