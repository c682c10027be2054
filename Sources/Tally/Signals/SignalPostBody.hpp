#pragma once

#include "Platform/Json.hpp"
#include "Tally/Helpers/Dictionary.hpp"

#include <optional>
#include <string>
#include <vector>

namespace tally {

// One analytics signal as it is queued, backed up and uploaded.
struct SignalPostBody {
    // Seconds since 2001-01-01 00:00:00 UTC (secondsSinceReferenceDate of the clock's reading).
    double receivedAt = 0;
    std::string appID;
    std::string clientUser;
    std::string sessionID;
    std::string type;
    std::optional<double> floatValue;
    Parameters payload;
    std::string isTestMode; // "true" or "false"

    bool operator==(const SignalPostBody&) const = default;
};

// How "receivedAt" is written: as the date text of the upload body, or as the number of seconds since
// 2001-01-01 UTC in the disk backup. A record is decoded with the rule that encoded it; only the backup
// form is ever read back.
enum class DateRule { wire, backup };

// The record's JSON object: eight keys, "floatValue" left out when absent. Throws EncodingError (see
// TelemetryEncoder.hpp) for a non-finite number; text that is not UTF-8 fails when the document is dumped.
platform::Json toJson(const SignalPostBody& body, DateRule rule);

// Decodes the backup form. Seven keys are required with their JSON types ("receivedAt" a number, the
// others strings, "payload" an object of strings); "floatValue" missing or null is absent, another type
// fails; unknown keys are ignored. Throws platform::JsonDecodeError.
SignalPostBody signalPostBodyFromJson(const platform::Json& json, const std::string& path = "");

// Whether "receivedAt" has a wire form: the backup accepts any finite number, the upload only the years
// 1 to 9999.
bool hasSendableDate(const SignalPostBody& body);

// A batch as one JSON array text, oldest first. Throws EncodingError.
std::string encodeSignals(const std::vector<SignalPostBody>& bodies, DateRule rule);

// The codec that SignalCache uses for its disk backup.
template <class T> struct BackupCodec;
template <> struct BackupCodec<SignalPostBody> {
    static platform::Json encode(const SignalPostBody& body) { return toJson(body, DateRule::backup); }
    static SignalPostBody decode(const platform::Json& json, const std::string& path) {
        return signalPostBodyFromJson(json, path);
    }
    static bool sendable(const SignalPostBody& body) { return hasSendableDate(body); }
};

} // namespace tally
