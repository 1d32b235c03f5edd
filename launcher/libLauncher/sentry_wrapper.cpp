#include "sentry_wrapper.hpp"

#include <chrono>
#include <new>
#include <system_error>

#include <nlohmann/json.hpp>

#include "build_config.hpp"
#include "error_tracker.hpp"

namespace zentravo::utils::sentry {

namespace {
constexpr const char* kCrashFingerprint = "crash-error";
}  // namespace

Wrapper sharedWrapper;

nlohmann::json onCrash(const void* /*context*/, nlohmann::json event, const void* closure) {
    nlohmann::json fingerprint = nlohmann::json::array();
    fingerprint.push_back(static_cast<const char*>(closure));
    event["fingerprint"] = std::move(fingerprint);
    return event;
}

Wrapper::Wrapper()
    : options_(std::make_unique<tracker::Options>()), client_(std::make_unique<tracker::Client>()) {
    options_->maxBreadcrumbs = 25;
    // After the report the signal goes on with its default action: core dump, coredumpd.
    options_->systemCrashReporter = true;
    options_->onCrash = onCrash;
    options_->onCrashClosure = kCrashFingerprint;
    // Process end never waits for the network; what is unsent waits on disk for the next start.
    options_->shutdownTimeout = std::chrono::milliseconds{0};
    options_->caPem = std::string{config::kExtraCaPem};
}

// Closes once: whatever is still queued is kept in the database folder for the next start.
Wrapper::~Wrapper() {
    client_->close();
}

void Wrapper::close() {
    client_->close();
}

// Setters after initOptions find no options object and change nothing, as the library would.
void Wrapper::setDsnOption(std::string_view dsn) {
    if (options_) {
        options_->dsn = std::string(dsn);
    }
}

void Wrapper::setVersionOption(std::string_view release) {
    if (options_) {
        options_->release = std::string(release);
    }
}

void Wrapper::setEnvironmentOption(std::string_view environment) {
    if (options_) {
        options_->environment = std::string(environment);
    }
}

void Wrapper::setDebugOption(bool debug) {
    if (options_) {
        options_->debug = debug;
    }
}

// Crashes are caught in process on this system, so no handler executable is started; the path is
// kept with the options all the same so that the start-up sequence stays one for every system.
void Wrapper::setCrashpadHandlerPathOption(const std::filesystem::path& path) {
    if (options_) {
        options_->handlerPath = path;
    }
}

void Wrapper::setPathToDatabaseOption(const std::filesystem::path& path) {
    if (options_) {
        options_->databasePath = path;
    }
}

void Wrapper::initOptions() {
    if (!options_) {
        return;
    }
    const std::unique_ptr<tracker::Options> options = std::move(options_);
    (void)client_->start(std::move(*options));
}

void Wrapper::setUser(std::string_view id) {
    client_->setUserId(id);
}

void Wrapper::removeUser() {
    client_->removeUser();
}

void Wrapper::setTag(std::string_view key, std::string_view value) {
    client_->setTag(key, value);
}

void Wrapper::sendMessage(std::string_view message) {
    client_->captureMessage(tracker::Level::info, "custom", message);
}

void Wrapper::setBreadcrumb(std::string_view message) {
    client_->addBreadcrumb("default", message);
}

// Not inlined: the report's stack starts at the frame this returns to, the caller's.
[[gnu::noinline]] void Wrapper::sendException(std::string_view type, std::string_view value) {
    client_->captureException(type, value, __builtin_return_address(0));
}

}  // namespace zentravo::utils::sentry
