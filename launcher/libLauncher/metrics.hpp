#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Usage events sent to the analytics service (Amplitude HTTP API v2).
namespace zentravo::metrics {
namespace amplitude::model {

struct AmplitudeEventProperties {
    std::string zentravo_system;
    // Views of texts that live for the whole process (cached system facts, constants).
    std::string_view operating_system;
    std::string_view operating_system_version;
    std::string_view vc_redist_version;
    std::string_view app_version;
    std::string_view launcher_version;
    std::string_view cpu_name;
    std::string_view gpu_name;
    std::string_view download_id;
    std::int32_t cpu_cores = 0;
    // Written only when set and not empty.
    std::optional<std::string> partner_name;
    std::optional<std::string> partner_tracking_id;
    std::optional<std::string> reason;
    std::optional<std::string> app_version_installed;
    std::optional<std::string> app_version_to_update;
    std::optional<std::string> launcher_version_installed;
    std::optional<std::string> launcher_version_to_update;
};

struct AmplitudeMetricsEvent {
    std::string device_id;
    std::string user_id;
    std::string event_type;
    std::int64_t time = 0;
    std::string app_version;
    std::string platform;
    std::string os_name;
    std::string os_version;
    std::string insert_id;
    std::int64_t session_id = -1;
    AmplitudeEventProperties event_properties;
    nlohmann::json user_properties;  // null unless partner members are added
    std::string language;
    std::string ip;
};

struct AmplitudeRequestBody {
    std::string api_key;
    std::vector<AmplitudeMetricsEvent> events;
};

// nlohmann's default object keeps keys in byte order, which is the order on the wire.
void to_json(nlohmann::json& json, const AmplitudeEventProperties& properties);
void to_json(nlohmann::json& json, const AmplitudeMetricsEvent& event);
void to_json(nlohmann::json& json, const AmplitudeRequestBody& body);

}  // namespace amplitude::model

namespace amplitude {

// Taken during static initialisation: the session id of every event of this run.
extern const std::int64_t sessionStartTime;

// A new event of the given type, filled from this machine's facts; optional properties unset.
[[nodiscard]] model::AmplitudeMetricsEvent buildAmplitudeEvent(const std::string& eventType);
void addPartnerInfo(model::AmplitudeMetricsEvent& event);
void buildRequestBody(nlohmann::json& json, const model::AmplitudeRequestBody& body);
// One POST for the whole list. A failure is logged and reported; a failed list of exactly one
// event is remembered for sendPendingEvents.
void sendEventsToAmplitude(const std::vector<model::AmplitudeMetricsEvent>& events);
[[nodiscard]] std::vector<model::AmplitudeMetricsEvent> getMissedAmplitudeEvents();

}  // namespace amplitude

void sendMetricsEvents(const std::vector<amplitude::model::AmplitudeMetricsEvent>& events);
// Sends the remembered events once, as one list, and forgets them whatever the outcome.
void sendPendingEvents();

}  // namespace zentravo::metrics
