#pragma once

#include "Platform/Clock.hpp"

#include <string>

namespace pelapp {

// Short English descriptions of a moment relative to now ("5 min. ago", "in 2 hr."): the largest
// unit that fits whole, counted towards zero.
class RelativeDateFormatter {
public:
    explicit RelativeDateFormatter(const platform::Clock& clock) : clock_(clock) {}

    // `date` described against the clock's now.
    std::string localizedString(platform::TimePoint date) const { return describe(date, clock_.now()); }

    static std::string describe(platform::TimePoint date, platform::TimePoint reference);

private:
    const platform::Clock& clock_;
};

} // namespace pelapp
