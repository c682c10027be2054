#pragma once

#include "Sentry/Dsn.hpp"
#include "Sentry/Event.hpp"

#include <string>
#include <string_view>

// The bytes that leave the machine for one event.
namespace sentry {

// Identifies this client in the auth header.
inline constexpr std::string_view clientName = "pelloran-crash";
inline constexpr std::string_view clientVersion = "0.1.0";

// The event as its JSON document: event_id, timestamp, platform "native", level, message
// ({"formatted": text}, left out without one), tags, fingerprint (left out when empty), release
// and environment (each left out when empty), breadcrumbs ({"values": [...]}).
platform::Json eventJson(const Event& event);

// Three lines: {"event_id":…,"dsn":…,"sent_at":…}, {"type":"event","length":N} with N the byte
// length of the event JSON, then the event JSON itself, each ended by "\n".
std::string envelope(const Event& event, const Dsn& dsn, platform::TimePoint sentAt);

// "Sentry sentry_version=7, sentry_key=<key>, sentry_client=<name>/<version>"
std::string authHeader(const Dsn& dsn);

} // namespace sentry
