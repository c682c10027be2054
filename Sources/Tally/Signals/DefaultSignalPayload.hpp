#pragma once

#include "Platform/Clock.hpp"
#include "Tally/Helpers/Dictionary.hpp"
#include "Tally/HostInfo.hpp"

#include <optional>
#include <string>

namespace tally {

// The standard parameters added to every signal: application, device, run context, client, user
// preferences, calendar, accessibility, acquisition and retention. Rebuilt from scratch on every read,
// on the main executor (the host information is read there).
struct DefaultSignalPayload {
    // The runtime's host information, clock and time zone, and SessionManager::shared().
    static Parameters parameters();
    // The same over the given host information and moment.
    static Parameters parameters(const HostInfo& host, platform::TimePoint now);

    // "Tally.Calendar.*" of `now` in the Gregorian calendar and the process's time zone. The week of the
    // year is the ISO 8601 week (weeks start on Monday; week 1 holds the year's first Thursday).
    static Parameters calendarParameters(platform::TimePoint now);
    // "Tally.Accessibility.*": empty when the host has no universal-access domain.
    static Parameters accessibilityParameters(const HostInfo& host);
    // "UTC", the sign, the whole hours, and ":MM" when the offset is not a whole number of hours.
    static std::string timeZone(platform::TimePoint now);
    // Whether a store receipt says this is a test build: the receipt path's last component is
    // "sandboxReceipt", or the path contains it.
    static bool isTestFlight(const HostInfo& host);
    // Whether this copy came from the store: a receipt file exists and is not a test build's.
    static bool isAppStore(const HostInfo& host);
    // The model identifier, else uname's machine.
    static std::string modelName(const HostInfo& host);
};

// A double as its shortest round-trip decimal text, a whole number keeping ".0" ("982.0", "2.5");
// "N/A" when it is not finite.
std::string decimalText(double value);

} // namespace tally
