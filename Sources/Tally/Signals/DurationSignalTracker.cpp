#include "Tally/Signals/DurationSignalTracker.hpp"
#include "Tally/Signals/DefaultSignalPayload.hpp"

#include "Tally/Runtime.hpp"
#include "Tally/Tally.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace tally {
namespace {

const std::string kDurationKey = "Tally.Signal.durationInSeconds";

double secondsBetween(platform::TimePoint from, platform::TimePoint to) {
    return std::chrono::duration<double>(to - from).count();
}

// The inactive part of a timer's life: counted from whichever came later, its start or the resign, so a
// timer started while inactive loses only the time since its own start.
platform::TimePoint::duration inactiveTime(platform::TimePoint startTime,
                                           platform::TimePoint lastEnteredBackground,
                                           platform::TimePoint now) {
    return std::max(platform::TimePoint::duration::zero(), now - std::max(startTime, lastEnteredBackground));
}

} // namespace

DurationSignalTracker& DurationSignalTracker::shared() {
    static auto* instance =
        new ProcessWide<DurationSignalTracker>([] { return new DurationSignalTracker(); });
    return instance->get();
}

DurationSignalTracker::DurationSignalTracker() {
    auto& events = *runtime().appEvents;
    didResignActive_ =
        events.subscribe(AppEvent::didResignActive, [this] { handleDidEnterBackgroundNotification(); });
    willBecomeActive_ =
        events.subscribe(AppEvent::willBecomeActive, [this] { handleWillEnterForegroundNotification(); });
}

void DurationSignalTracker::startTracking(const std::string& signalName, const Parameters& parameters,
                                          bool includeBackgroundTime) {
    const auto now = runtime().clock->now();
    std::lock_guard lock(mutex_);
    startedSignals_.insert_or_assign(signalName, CachedData{now, parameters, includeBackgroundTime});
}

std::optional<DurationSignalTracker::Stopped>
DurationSignalTracker::stopTracking(const std::string& signalName) {
    const auto now = runtime().clock->now();
    std::lock_guard lock(mutex_);
    auto found = startedSignals_.find(signalName);
    if (found == startedSignals_.end()) return std::nullopt;
    CachedData entry = std::move(found->second);
    startedSignals_.erase(found);
    double duration = secondsBetween(entry.startTime, now);
    // Stopped while inactive: the open inactive period is not over yet, but it is inactive time all the same.
    if (!entry.includeBackgroundTime && lastEnteredBackground_) {
        duration -= std::chrono::duration<double>(inactiveTime(entry.startTime, *lastEnteredBackground_, now))
                        .count();
    }
    return Stopped{std::max(0.0, duration), std::move(entry.parameters)};
}

void DurationSignalTracker::handleDidEnterBackgroundNotification() {
    const auto now = runtime().clock->now();
    std::lock_guard lock(mutex_);
    lastEnteredBackground_ = now;
}

void DurationSignalTracker::handleWillEnterForegroundNotification() {
    const auto now = runtime().clock->now();
    std::lock_guard lock(mutex_);
    if (!lastEnteredBackground_) return;
    for (auto& [name, entry] : startedSignals_) {
        if (entry.includeBackgroundTime) continue;
        entry.startTime += inactiveTime(entry.startTime, *lastEnteredBackground_, now);
    }
    lastEnteredBackground_.reset();
}

std::string durationText(double seconds) {
    // Whole milliseconds, in the payload's one decimal form.
    return decimalText(std::floor(seconds * 1000) / 1000);
}

void Tally::startDurationSignal(const std::string& signalName, const Parameters& parameters,
                                bool includeBackgroundTime) {
    DurationSignalTracker::shared().startTracking(signalName, parameters, includeBackgroundTime);
}

void Tally::cancelDurationSignal(const std::string& signalName) {
    DurationSignalTracker::shared().stopTracking(signalName);
}

void Tally::stopAndSendDurationSignal(const std::string& signalName, const Parameters& parameters,
                                      std::optional<double> floatValue,
                                      const std::optional<std::string>& customUserID) {
    auto stopped = DurationSignalTracker::shared().stopTracking(signalName);
    if (!stopped) return;
    Parameters merged{{kDurationKey, durationText(stopped->duration)}};
    merged = applying(applying(std::move(merged), stopped->parameters), parameters);
    internalSignal(signalName, merged, floatValue, customUserID);
}

} // namespace tally
