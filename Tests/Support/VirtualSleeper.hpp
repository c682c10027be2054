#pragma once

// A sleeper for tests: every wait is recorded and moves a ManualClock forward instead of taking
// real time (apart from a millisecond, so that a thread polling in a loop lets others run).
//
//     platform::ManualClock clock;
//     pelsupport::VirtualSleeper sleeper(clock);
//     pelkit::HTTPOptions options;
//     options.clock = &clock;
//     options.sleeper = &sleeper;
//     ...
//     EXPECT_EQ(sleeper.waits(), (std::vector<double>{2, 8}));   // seconds

#include "Platform/Clock.hpp"
#include "Platform/Sleeper.hpp"

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace pelsupport {

class VirtualSleeper final : public platform::Sleeper {
public:
    explicit VirtualSleeper(platform::ManualClock& clock) : clock_(clock) {}

    bool sleepFor(std::chrono::nanoseconds duration, std::stop_token stop = {}) override {
        if (stop.stop_requested()) return false;
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex_);
            waits_.push_back(std::chrono::duration<double>(duration).count());
            hook = onSleep_;
        }
        if (hook) hook();
        clock_.advance(duration);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return !stop.stop_requested();
    }

    // Every wait so far, in seconds, in order.
    std::vector<double> waits() const {
        std::lock_guard lock(mutex_);
        return waits_;
    }
    // Called at the start of every wait (for example to request a stop during a back-off).
    void onSleep(std::function<void()> hook) {
        std::lock_guard lock(mutex_);
        onSleep_ = std::move(hook);
    }

private:
    platform::ManualClock& clock_;
    mutable std::mutex mutex_;
    std::vector<double> waits_;
    std::function<void()> onSleep_;
};

} // namespace pelsupport
