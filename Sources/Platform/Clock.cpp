#include "Platform/Clock.hpp"

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
    return TimePoint{std::chrono::duration_cast<TimePoint::duration>(std::chrono::duration<double>(secondsSinceEpoch))};
}

}  // namespace platform
