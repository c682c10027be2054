#include "PelApp/Model/RelativeDateFormatter.hpp"

#include <fmt/format.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string_view>

namespace pelapp {

namespace {

struct Unit {
    std::int64_t seconds;
    std::string_view one;
    std::string_view many;
};

constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;
constexpr std::int64_t kWeek = 7 * kDay;
// Calendar months and years vary; these averages only pick the unit and its count.
constexpr std::int64_t kMonth = 2'629'746;
constexpr std::int64_t kYear = 31'556'952;

// Largest first.
constexpr std::array<Unit, 7> kUnits{{
    {kYear, "yr.", "yr."},
    {kMonth, "mo.", "mo."},
    {kWeek, "wk.", "wk."},
    {kDay, "day", "days"},
    {kHour, "hr.", "hr."},
    {kMinute, "min.", "min."},
    {1, "sec.", "sec."},
}};

} // namespace

std::string RelativeDateFormatter::describe(platform::TimePoint date, platform::TimePoint reference) {
    const auto delta = std::chrono::duration_cast<std::chrono::seconds>(date - reference).count();
    const bool future = delta > 0;
    const std::int64_t magnitude = future ? delta : -delta;
    const Unit* unit = &kUnits.back();
    for (const Unit& u : kUnits) {
        if (magnitude >= u.seconds) {
            unit = &u;
            break;
        }
    }
    const std::int64_t count = magnitude / unit->seconds;
    const std::string_view name = count == 1 ? unit->one : unit->many;
    return future ? fmt::format("in {} {}", count, name) : fmt::format("{} {} ago", count, name);
}

} // namespace pelapp
