#include "Tally/Helpers/TelemetryEncoder.hpp"

#include <fmt/format.h>

#include <chrono>
#include <cmath>
#include <optional>

namespace tally {

double secondsSinceReferenceDate(platform::TimePoint t) {
    // Subtract in whole clock ticks first: the double then carries the fraction of the recent date.
    const auto sinceReference = t.time_since_epoch() - std::chrono::seconds(kReferenceDateSince1970);
    return std::chrono::duration<double>(sinceReference).count();
}

namespace {

// 0001-01-01T00:00:00 and 9999-12-31T23:59:59 UTC, in seconds since 1970.
constexpr std::int64_t kFirstSecond = -62'135'596'800;
constexpr std::int64_t kLastSecond = 253'402'300'799;

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

struct CivilDate {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

// The proleptic Gregorian date of a day count since 1970-01-01, in 400-year eras of 146097 days that
// begin on 1 March, so the leap day falls at the end of each year of the era.
CivilDate civilFromDays(std::int64_t days) {
    const std::int64_t z = days + 719'468; // from 0000-03-01
    const std::int64_t era = floorDiv(z, 146'097);
    const auto dayOfEra = static_cast<unsigned>(z - era * 146'097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153; // 0 is March
    const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

std::optional<std::int64_t> wholeSecondsSince1970(double secondsSinceReference) {
    if (!std::isfinite(secondsSinceReference)) return std::nullopt;
    const double since1970 = std::floor(secondsSinceReference) + static_cast<double>(kReferenceDateSince1970);
    if (since1970 < static_cast<double>(kFirstSecond) || since1970 > static_cast<double>(kLastSecond))
        return std::nullopt;
    return static_cast<std::int64_t>(since1970);
}

} // namespace

bool isTelemetryDateEncodable(double secondsSinceReference) {
    return wholeSecondsSince1970(secondsSinceReference).has_value();
}

std::string telemetryDateText(double secondsSinceReference) {
    if (!std::isfinite(secondsSinceReference)) throw EncodingError("date is not a finite number");
    const auto since1970 = wholeSecondsSince1970(secondsSinceReference);
    if (!since1970) throw EncodingError("date is out of range");
    const std::int64_t days = floorDiv(*since1970, 86'400);
    const std::int64_t secondOfDay = *since1970 - days * 86'400;
    const CivilDate date = civilFromDays(days);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}+0000", date.year, date.month, date.day,
                       secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60);
}

std::string encodeJson(const platform::Json& document) {
    try {
        return document.dump();
    } catch (const platform::Json::type_error&) {
        throw EncodingError("text is not valid UTF-8");
    }
}

} // namespace tally
