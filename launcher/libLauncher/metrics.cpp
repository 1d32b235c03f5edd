#include "metrics.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <uuid/uuid.h>

#include <array>
#include <chrono>
#include <mutex>

#include "build_config.hpp"
#include "http_session.hpp"
#include "log_text.hpp"
#include "sentry_wrapper.hpp"
#include "system.hpp"
#include "user_ip.hpp"
#include "utils.hpp"
#include "version.hpp"

namespace zentravo::metrics {
namespace amplitude {

const std::int64_t sessionStartTime = utils::getCurrentTime();

namespace {

constexpr std::string_view kTag = "[Metrics::sendEventsToAmplitude]";
constexpr std::chrono::milliseconds kTimeout{10000};
constexpr std::int64_t kMaxAnswerBytes = 64 * 1024;

const std::string_view osName = system::getOSName();
const std::string_view osVersion = system::getOSVersion();

// Touched by the checker thread during the run and by the main thread after it has been
// joined; the lock only makes that hand-over explicit.
std::mutex missedMutex;
std::vector<model::AmplitudeMetricsEvent> missedAmplitudeEvents;

const std::string& machineUuid() {
    static const std::string uuid{system::getMachineUUID()};
    return uuid;
}

const std::string& apiKey() {
    static const std::string key = config::kAnalyticsApiKey.reveal();
    return key;
}

// The body as it may be logged: the API key is a secret and the log is not.
std::string withoutApiKey(std::string body) {
    const std::string& key = apiKey();
    for (auto at = key.empty() ? std::string::npos : body.find(key); at != std::string::npos;
         at = body.find(key, at + 3)) {
        body.replace(at, key.size(), "***");
    }
    return body;
}

std::string newInsertId() {
    uuid_t id;
    uuid_generate_random(id);
    std::array<char, 37> text{};
    uuid_unparse_lower(id, text.data());
    return std::string{text.data()};
}

std::string joinTypes(const std::vector<model::AmplitudeMetricsEvent>& events) {
    std::string joined;
    for (const auto& event : events) {
        if (!joined.empty()) {
            joined += ',';
        }
        joined += event.event_type;
    }
    return joined;
}

void setIfPresent(nlohmann::json& json, const char* key, const std::optional<std::string>& value) {
    if (value && !value->empty()) {
        json[key] = *value;
    }
}

}  // namespace

namespace model {

void to_json(nlohmann::json& json, const AmplitudeEventProperties& p) {
    json = nlohmann::json{{"zentravo_system", p.zentravo_system},
                          {"operating_system", p.operating_system},
                          {"operating_system_version", p.operating_system_version},
                          {"vc_redist_version", p.vc_redist_version},
                          {"app_version", p.app_version},
                          {"launcher_version", p.launcher_version},
                          {"cpu_name", p.cpu_name},
                          {"gpu_name", p.gpu_name},
                          {"download_id", p.download_id},
                          {"cpu_cores", p.cpu_cores}};
    if (p.partner_name && !p.partner_name->empty()) {
        json["partner_name"] = *p.partner_name;
        setIfPresent(json, "partner_tracking_id", p.partner_tracking_id);
    }
    setIfPresent(json, "reason", p.reason);
    setIfPresent(json, "app_version_installed", p.app_version_installed);
    setIfPresent(json, "app_version_to_update", p.app_version_to_update);
    setIfPresent(json, "launcher_version_installed", p.launcher_version_installed);
    setIfPresent(json, "launcher_version_to_update", p.launcher_version_to_update);
}

void to_json(nlohmann::json& json, const AmplitudeMetricsEvent& e) {
    json = nlohmann::json{{"device_id", e.device_id},
                          {"user_id", e.user_id},
                          {"event_type", e.event_type},
                          {"time", e.time},
                          {"app_version", e.app_version},
                          {"platform", e.platform},
                          {"os_name", e.os_name},
                          {"os_version", e.os_version},
                          {"insert_id", e.insert_id},
                          {"session_id", e.session_id},
                          {"event_properties", e.event_properties},
                          {"user_properties", e.user_properties},
                          {"language", e.language},
                          {"ip", e.ip}};
}

void to_json(nlohmann::json& json, const AmplitudeRequestBody& body) {
    json = nlohmann::json{{"api_key", body.api_key}, {"events", body.events}};
}

}  // namespace model

model::AmplitudeMetricsEvent buildAmplitudeEvent(const std::string& eventType) {
    const std::string& deviceId = machineUuid();
    const std::int64_t now = utils::getCurrentTime();
    const std::string ip = getUserIp();

    model::AmplitudeEventProperties properties;
    properties.zentravo_system = fmt::format("zentravo-v3-{}", toLower(osName));
    properties.operating_system = osName;
    properties.operating_system_version = osVersion;
    properties.vc_redist_version = system::getVCRedistVersionInstalled();
    properties.app_version = kLauncherVersion;
    properties.launcher_version = kLauncherVersion;
    properties.cpu_name = system::getCPUName();
    properties.gpu_name = system::getGPUName();
    properties.download_id = system::getDownloadId();
    properties.cpu_cores = system::getCPUCores();

    model::AmplitudeMetricsEvent event;
    event.device_id = deviceId;
    event.event_type = eventType;
    event.time = now;
    event.app_version = kLauncherVersion;
    event.platform = osName;
    event.os_name = osName;
    event.os_version = osVersion;
    event.insert_id = newInsertId();
    event.language = system::getDefaultLanguage();
    event.session_id = sessionStartTime;
    event.event_properties = std::move(properties);
    addPartnerInfo(event);
    event.ip = ip;
    return event;
}

void addPartnerInfo(model::AmplitudeMetricsEvent& event) {
    const system::PartnerInfo partner = system::getPartnerInfo();
    if (partner.name.empty()) {
        return;
    }
    event.user_properties["partner_name"] = partner.name;
    if (partner.trackingId.empty()) {
        return;
    }
    event.user_properties["partner_tracking_id"] = partner.trackingId;
}

void buildRequestBody(nlohmann::json& json, const model::AmplitudeRequestBody& body) {
    json = body;
}

void sendEventsToAmplitude(const std::vector<model::AmplitudeMetricsEvent>& events) {
    const model::AmplitudeRequestBody request{apiKey(), events};
    nlohmann::json json;
    buildRequestBody(json, request);
    // A stray invalid byte in a machine fact must not cost the event.
    const std::string body = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);

    http::Session session;
    // Unlike the update service the analytics host is not pinned, so its certificate is
    // verified against the system store and the services' CA.
    session.setVerifySsl(true);
    session.setExtraCaPem(config::kExtraCaPem);
    session.setUrl(config::kAnalyticsUrl.reveal() + "/2/httpapi");
    session.setTimeout(kTimeout);
    session.setHeaders({{"content-type", "application/json"}});
    session.setVerbose(true);
    session.setMaxBodySize(kMaxAnswerBytes);
    const http::Response response = session.post(body);

    spdlog::debug("{} Request body -> {}", kTag, withoutApiKey(body));
    spdlog::debug("{} Response status code -> {}", kTag, response.status_code);
    spdlog::debug("{} Response message -> {}", kTag, logtext::excerpt(response.text));
    if (response.status_code == 200) {
        return;
    }

    if (events.size() == 1) {
        const std::lock_guard lock{missedMutex};
        missedAmplitudeEvents.push_back(events.front());
    }
    // With no answer at all there is no response text; the transfer error says what happened.
    const std::string& detail = response.text.empty() && response.error.code != CURLE_OK
                                    ? response.error.message
                                    : response.text;
    const std::string message = fmt::format("Failed to send [{}] events to Amplitude: {}",
                                            joinTypes(events), logtext::excerpt(detail));
    spdlog::error(message);
    utils::sentry::sharedWrapper.sendException("Metric Failed", message);
}

std::vector<model::AmplitudeMetricsEvent> getMissedAmplitudeEvents() {
    const std::lock_guard lock{missedMutex};
    return missedAmplitudeEvents;
}

}  // namespace amplitude

void sendMetricsEvents(const std::vector<amplitude::model::AmplitudeMetricsEvent>& events) {
    amplitude::sendEventsToAmplitude(events);
}

void sendPendingEvents() {
    const std::vector<amplitude::model::AmplitudeMetricsEvent> pending =
        amplitude::getMissedAmplitudeEvents();
    if (pending.empty()) {
        return;
    }
    amplitude::sendEventsToAmplitude(pending);
    {
        const std::lock_guard lock{amplitude::missedMutex};
        amplitude::missedAmplitudeEvents.clear();
    }
    utils::sentry::sharedWrapper.setBreadcrumb("Missed Amplitude Metrics events sent");
}

}  // namespace zentravo::metrics
