#pragma once

#include "Platform/Clock.hpp"
#include "Platform/Json.hpp"

#include <stdexcept>
#include <string>

namespace tally {

// Dates are held as seconds since 2001-01-01 00:00:00 UTC, the number the disk backup stores, so a
// backup round trip is exact. This is that moment in seconds since 1970.
inline constexpr std::int64_t kReferenceDateSince1970 = 978'307'200;

double secondsSinceReferenceDate(platform::TimePoint t);

// A record that cannot be written as JSON: a non-finite number, a date out of range, text that is not
// valid UTF-8. Encoding never writes an altered record instead.
class EncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The wire form of a date: "yyyy-MM-dd'T'HH:mm:ssZ" in UTC, e.g. "2024-05-01T12:34:56+0000", fractions
// of a second dropped (towards the past, before 1970 too), whatever the machine's time zone and locale.
// Every date of the years 1 to 9999 (proleptic Gregorian) has one; any other date, or one that is not
// finite, throws EncodingError.
std::string telemetryDateText(double secondsSinceReference);
// Whether telemetryDateText writes this date rather than throwing.
bool isTelemetryDateEncodable(double secondsSinceReference);

// Compact JSON text with the encoder's default settings (no pretty printing). Throws EncodingError for
// text that is not valid UTF-8 (callers check their numbers before building the document).
std::string encodeJson(const platform::Json& document);

// The JSON array of `items`, each turned into a document by `toJson`: the same bytes as encoding the
// whole array at once, without holding every element's document at the same time.
template <class Range, class ToJson> std::string encodeJsonArray(const Range& items, ToJson&& toJson) {
    std::string out = "[";
    for (const auto& item : items) {
        if (out.size() > 1) out += ',';
        out += encodeJson(toJson(item));
    }
    out += ']';
    return out;
}

} // namespace tally
