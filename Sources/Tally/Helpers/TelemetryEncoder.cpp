#include "Tally/Helpers/TelemetryEncoder.hpp"

#include "Platform/Time.hpp"

#include <chrono>
#include <cmath>

namespace tally {

double secondsSinceReferenceDate(platform::TimePoint t) {
    // Subtract in whole clock ticks first: the double then carries the fraction of the recent date.
    const auto sinceReference = t.time_since_epoch() - std::chrono::seconds(kReferenceDateSince1970);
    return std::chrono::duration<double>(sinceReference).count();
}

std::string telemetryDateText(double secondsSinceReference) {
    if (!std::isfinite(secondsSinceReference)) throw EncodingError("date is not a finite number");
    const double since1970 = std::floor(secondsSinceReference) + static_cast<double>(kReferenceDateSince1970);
    // The clock's nanosecond ticks reach about 292 years either side of 1970.
    constexpr double limit = 9'200'000'000.0;
    if (since1970 <= -limit || since1970 >= limit) throw EncodingError("date is out of range");
    const platform::TimePoint t{std::chrono::seconds(static_cast<std::int64_t>(since1970))};
    std::string text = platform::iso8601UTC(t);
    text.pop_back(); // the "Z"
    text += "+0000";
    return text;
}

std::string encodeJson(const platform::Json& document) {
    try {
        return document.dump();
    } catch (const platform::Json::type_error&) {
        throw EncodingError("text is not valid UTF-8");
    }
}

} // namespace tally
