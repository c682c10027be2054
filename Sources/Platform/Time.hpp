#pragma once

#include "Platform/Clock.hpp"

#include <string>

namespace platform {

// ISO-8601 internet date-time in UTC with whole seconds: "2026-01-31T23:59:59Z".
// Fractions are dropped (rounded towards the past).
std::string iso8601UTC(TimePoint t);

// The UTC calendar day "yyyy-MM-dd" (Gregorian, whatever the user's calendar or locale).
std::string utcDay(TimePoint t);

} // namespace platform
