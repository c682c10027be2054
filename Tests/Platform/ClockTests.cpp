#include "Platform/Clock.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using platform::TimePoint;

TEST(ClockSeconds, ConvertWithinRangeAndSaturateOutside) {
    using namespace std::chrono;
    constexpr double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double seconds;
        TimePoint expected;
    };
    const Case cases[] = {
        {0, TimePoint{}},
        {1769903998.7, TimePoint{nanoseconds{1769903998700000000}}},
        {-0.5, TimePoint{nanoseconds{-500000000}}},
        {9.2e9, TimePoint{seconds{9'200'000'000}}},
        {9.3e9, TimePoint::max()}, // past the 64-bit nanosecond range
        {1e300, TimePoint::max()},
        {inf, TimePoint::max()},
        {-9.3e9, TimePoint::min()},
        {-inf, TimePoint::min()},
        {std::nan(""), TimePoint{}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::fromSeconds(c.seconds).time_since_epoch().count(),
                  c.expected.time_since_epoch().count())
            << c.seconds;
    }
    EXPECT_EQ(platform::toSeconds(platform::fromSeconds(1'700'000'000)), 1'700'000'000);
}
