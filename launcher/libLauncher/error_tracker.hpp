#pragma once

// The launcher's own error-tracker client: events and breadcrumbs in the tracker's JSON form, sent
// as envelopes from one background thread, with crash reports caught by crash_handler and sent at
// the next start.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace zentravo::tracker {

// scheme://publickey@host[:port][/path]/projectid
struct Dsn {
    std::string scheme;
    std::string publicKey;
    std::string host;
    std::string port;        // empty: the scheme's default
    std::string pathPrefix;  // "" or "/path", never a trailing slash
    std::string projectId;

    [[nodiscard]] static std::optional<Dsn> parse(std::string_view text);
    [[nodiscard]] std::string envelopeUrl() const;
    // Value of the X-Sentry-Auth header.
    [[nodiscard]] std::string authHeader() const;
};

// Runs on a crash report's event ahead of any crash (a signal handler cannot build JSON); what it
// returns is what a crash report carries. `context` is always null: the machine state of a crash
// that has not happened yet does not exist.
using CrashHook = nlohmann::json (*)(const void* context, nlohmann::json event,
                                     const void* closure);

struct Options {
    std::string dsn;
    std::string release;
    std::string environment;
    std::filesystem::path databasePath;
    // Names the out-of-process crash handler where there is one. Here crashes are caught in
    // process, so it is kept only for the report's context.
    std::filesystem::path handlerPath;
    bool debug = false;
    std::size_t maxBreadcrumbs = 100;
    // After the report, hand the crash on to the default action (core dump, coredumpd).
    bool systemCrashReporter = false;
    std::chrono::milliseconds shutdownTimeout{2000};
    CrashHook onCrash = nullptr;
    const void* onCrashClosure = nullptr;
    // Extra CA trusted besides the system store; empty or missing: the system store only.
    std::filesystem::path caFile;
    // The same as PEM text; when set it is used instead of caFile.
    std::string caPem;
};

enum class Level { debug, info, warning, error, fatal };

// Every operation is thread-safe and never throws to its caller.
class Client {
  public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Starts sending (and crash capture). False when the DSN is missing or invalid: events are
    // then dropped. A database folder that cannot be made leaves sending on but without crash
    // capture and without keeping unsent events. Only the first call counts.
    bool start(Options options) noexcept;
    // Waits up to the shutdown timeout for queued events, then keeps what is left in the database
    // folder for the next start. Idempotent.
    void close() noexcept;
    [[nodiscard]] bool started() const noexcept;

    void setUserId(std::string_view id) noexcept;
    void removeUser() noexcept;
    void setTag(std::string_view key, std::string_view value) noexcept;
    void addBreadcrumb(std::string_view type, std::string_view message) noexcept;

    void captureMessage(Level level, std::string_view logger, std::string_view message) noexcept;
    // Attaches the calling thread's stack to the exception, as raw addresses with the list of
    // loaded images (the service symbolicates them). The stack starts at the frame that returns
    // to `returnAddress` (a reporting function's __builtin_return_address(0), so that its frame
    // is left out too); null: at this function's caller.
    [[gnu::noinline]] void captureException(std::string_view type, std::string_view value,
                                            const void* returnAddress = nullptr) noexcept;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Exposed for tests and benchmarks.
namespace detail {
[[nodiscard]] std::string newEventId();
[[nodiscard]] std::string isoTimestamp(std::chrono::system_clock::time_point time);
[[nodiscard]] std::string makeEnvelope(const nlohmann::json& event, std::string_view dsn);
// The stored crash report `file` as an event; nullopt when it is not a readable report.
[[nodiscard]] std::optional<nlohmann::json> crashReportToEvent(const std::filesystem::path& file);
}  // namespace detail

}  // namespace zentravo::tracker
