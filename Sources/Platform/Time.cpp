#include "Platform/Time.hpp"

#include <fmt/format.h>

#include <ctime>

namespace platform {
namespace {

std::tm utcFields(TimePoint t) {
    auto secs = std::chrono::floor<std::chrono::seconds>(t).time_since_epoch().count();
    std::time_t tt = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    return tm;
}

} // namespace

std::string iso8601UTC(TimePoint t) {
    std::tm tm = utcFields(t);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                       tm.tm_hour, tm.tm_min, tm.tm_sec);
}

std::string utcDay(TimePoint t) {
    std::tm tm = utcFields(t);
    return fmt::format("{:04}-{:02}-{:02}", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

} // namespace platform
