#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace zentravo::tracker {
struct Options;
class Client;
}  // namespace zentravo::tracker

namespace zentravo::utils::sentry {

// The launcher's one door to error and crash reporting.
class Wrapper {
  public:
    Wrapper();
    ~Wrapper();
    Wrapper(const Wrapper&) = delete;
    Wrapper& operator=(const Wrapper&) = delete;

    void setDsnOption(std::string_view dsn);
    void setVersionOption(std::string_view release);
    void setEnvironmentOption(std::string_view environment);
    void setDebugOption(bool debug);
    void setCrashpadHandlerPathOption(const std::filesystem::path& path);
    void setPathToDatabaseOption(const std::filesystem::path& path);
    void initOptions();

    void setUser(std::string_view id);
    void removeUser();
    void setTag(std::string_view key, std::string_view value);
    void sendMessage(std::string_view message);
    void setBreadcrumb(std::string_view message);
    void sendException(std::string_view type, std::string_view value);
    // Ends reporting for a process that ends without running destructors: what is still queued
    // is written to the database folder for the next start. Idempotent.
    void close();

  private:
    std::unique_ptr<tracker::Options> options_;  // held until initOptions hands it on
    std::unique_ptr<tracker::Client> client_;
};

extern Wrapper sharedWrapper;

// Crash hook: marks every crash report with the fingerprint [closure text].
nlohmann::json onCrash(const void* context, nlohmann::json event, const void* closure);

}  // namespace zentravo::utils::sentry
