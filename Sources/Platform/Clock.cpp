#include "Platform/Clock.hpp"

#include <cmath>

namespace platform {

double Clock::nowSeconds() const { return toSeconds(now()); }

Clock& systemClock() {
    static auto* clock = new SystemClock();  // never destroyed: workers may read it at exit
    return *clock;
}

void ManualClock::setSeconds(double secondsSinceEpoch) { set(fromSeconds(secondsSinceEpoch)); }

double toSeconds(TimePoint t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

TimePoint fromSeconds(double secondsSinceEpoch) {
    // Stored times can be anything (a damaged database); a value outside the clock's range
    // saturates instead of overflowing the integer conversion. NaN counts as the epoch.
    using Ticks = std::chrono::duration<double, TimePoint::period>;
    const double ticks = Ticks(std::chrono::duration<double>(secondsSinceEpoch)).count();
    if (std::isnan(ticks)) return TimePoint{};
    constexpr double limit = 0x1p63; // 2^63: the first value past the 64-bit tick count
    if (ticks >= limit) return TimePoint::max();
    if (ticks < -limit) return TimePoint::min();
    return TimePoint{TimePoint::duration{static_cast<TimePoint::rep>(ticks)}};
}

}  // namespace platform
