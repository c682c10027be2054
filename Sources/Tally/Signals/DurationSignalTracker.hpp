#pragma once

#include "Platform/Clock.hpp"
#include "Tally/AppEvents.hpp"
#include "Tally/Helpers/Dictionary.hpp"

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace tally {

// The running duration timers, one per signal name, kept in memory only. Timers that leave out
// inactive time are moved forward by each period between a resign-active and the next become-active
// event of the runtime's hub. All operations are thread-safe and call nothing out under the lock.
class DurationSignalTracker {
public:
    struct Stopped {
        // Elapsed seconds, never below zero.
        double duration = 0;
        Parameters parameters;
    };

    // The process-wide instance, made on first use; it subscribes to the runtime's activity events.
    static DurationSignalTracker& shared();

    DurationSignalTracker();
    DurationSignalTracker(const DurationSignalTracker&) = delete;
    DurationSignalTracker& operator=(const DurationSignalTracker&) = delete;

    // Starts (or restarts, dropping the earlier parameters) the timer of `signalName` now.
    void startTracking(const std::string& signalName, const Parameters& parameters,
                       bool includeBackgroundTime);
    // Ends the timer of `signalName`; absent when none runs.
    std::optional<Stopped> stopTracking(const std::string& signalName);

    void handleDidEnterBackgroundNotification();
    void handleWillEnterForegroundNotification();

private:
    struct CachedData {
        platform::TimePoint startTime;
        Parameters parameters;
        bool includeBackgroundTime = false;
    };

    std::mutex mutex_;
    std::map<std::string, CachedData> startedSignals_;
    std::optional<platform::TimePoint> lastEnteredBackground_;
    AppEvents::Subscription didResignActive_;
    AppEvents::Subscription willBecomeActive_;
};

// The duration as sent: floored to whole milliseconds, in the shortest text that reads back as the same
// double, with at least one digit after the point ("12.0", "3.257", "0.0").
std::string durationText(double seconds);

} // namespace tally
