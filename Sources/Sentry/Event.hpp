#pragma once

#include "Platform/Clock.hpp"
#include "Platform/Json.hpp"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sentry {

using Tags = std::map<std::string, std::string>;

enum class Level { debug, info, warning, error, fatal };

// "debug", "info", "warning", "error" or "fatal": the level as the ingest endpoint spells it.
std::string_view levelName(Level level);

struct Breadcrumb {
    std::string category{};
    std::string message{};
    Level level = Level::info;
    platform::Json data = platform::Json::object(); // string keys, any JSON values
    // Stamped by the client when added without one.
    std::optional<platform::TimePoint> timestamp{};
};

// One crash-report event. The client fills what is left empty when it captures the event:
// the identifier, the time, the release and environment of its options, and its breadcrumbs.
struct Event {
    std::string eventId; // 32 lower-case hexadecimal digits
    std::optional<platform::TimePoint> timestamp;
    Level level = Level::error;
    std::optional<std::string> message; // the formatted text; absent for an event without one
    Tags tags;
    std::vector<std::string> fingerprint; // grouping key; empty: the service groups by itself
    std::string release;
    std::string environment;
    std::vector<Breadcrumb> breadcrumbs; // oldest first
};

// A fresh event identifier: 32 random lower-case hexadecimal digits.
std::string newEventId();

} // namespace sentry
