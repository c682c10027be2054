#include "Sentry/Envelope.hpp"

#include "Platform/Time.hpp"

#include <fmt/format.h>

namespace sentry {

namespace {

using platform::Json;

Json breadcrumbJson(const Breadcrumb& crumb) {
    Json j = Json::object();
    if (crumb.timestamp) j["timestamp"] = platform::iso8601UTC(*crumb.timestamp);
    j["category"] = crumb.category;
    j["message"] = crumb.message;
    j["level"] = levelName(crumb.level);
    if (crumb.data.is_object() && !crumb.data.empty()) j["data"] = crumb.data;
    return j;
}

} // namespace

Json eventJson(const Event& event) {
    Json j = Json::object();
    j["event_id"] = event.eventId;
    if (event.timestamp) j["timestamp"] = platform::iso8601UTC(*event.timestamp);
    j["platform"] = "native";
    j["level"] = levelName(event.level);
    if (event.message) j["message"] = Json{{"formatted", *event.message}};
    j["tags"] = event.tags;
    if (!event.fingerprint.empty()) j["fingerprint"] = event.fingerprint;
    if (!event.release.empty()) j["release"] = event.release;
    if (!event.environment.empty()) j["environment"] = event.environment;
    Json values = Json::array();
    for (const auto& crumb : event.breadcrumbs)
        values.push_back(breadcrumbJson(crumb));
    j["breadcrumbs"] = Json{{"values", std::move(values)}};
    return j;
}

std::string envelope(const Event& event, const Dsn& dsn, platform::TimePoint sentAt) {
    // Invalid UTF-8 from a message or tag is replaced rather than thrown: the report still goes.
    auto dump = [](const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); };
    std::string payload = dump(eventJson(event));
    // The header keys keep this order, which a sorted JSON object would not.
    return fmt::format("{{\"event_id\":{},\"dsn\":{},\"sent_at\":{}}}\n"
                       "{{\"type\":\"event\",\"length\":{}}}\n"
                       "{}\n",
                       dump(event.eventId), dump(dsn.text), dump(platform::iso8601UTC(sentAt)),
                       payload.size(), payload);
}

std::string authHeader(const Dsn& dsn) {
    return fmt::format("Sentry sentry_version=7, sentry_key={}, sentry_client={}/{}", dsn.publicKey,
                       clientName, clientVersion);
}

} // namespace sentry
