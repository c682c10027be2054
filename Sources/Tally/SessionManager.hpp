#pragma once

#include "Platform/Clock.hpp"
#include "Platform/Defaults.hpp"
#include "Platform/Executor.hpp"
#include "Tally/AppEvents.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tally {

// One stored session: JSON {"st": whole seconds since 1970, "dn": active seconds}.
struct StoredSession {
    platform::TimePoint startedAt;
    std::int64_t durationInSeconds = 0;
    bool operator==(const StoredSession&) const = default;
};

// The session list's JSON. Starts are written as whole seconds since 1970, truncated toward zero;
// reading accepts fractions. Absent when the text is not such a list.
std::string encodeStoredSessions(const std::vector<StoredSession>& sessions);
std::optional<std::vector<StoredSession>> decodeStoredSessions(std::string_view data);

// The local calendar day "yyyy-MM-dd" of `t` in the process's time zone.
std::string localDay(platform::TimePoint t);

// Active-use time and the retention statistics of the default payload, kept in the defaults suite
// across runs. Sessions, their timer and the activity handlers run on the main executor; the session
// list changes only under its lock, and every write to the store goes through one serial queue in order.
class SessionManager {
public:
    // The process-wide instance, made on first use, without a store of its own.
    static SessionManager& shared();

    // Loads and prunes the stored sessions of `defaults`, else of Tally::customDefaults (looked up on
    // every access), records today among the days used and subscribes to the runtime's activity events.
    explicit SessionManager(std::optional<platform::Defaults> defaults = std::nullopt);
    ~SessionManager();
    SessionManager(const SessionManager&) = delete;
    SessionManager& operator=(const SessionManager&) = delete;

    // Starts a new session of duration 0 with a 1 s repeating timer; without any stored session this is a
    // new install ("firstSessionDate", "Tally.Acquisition.newInstallDetected").
    void startNewSession();
    // Adds the active time since the last update; stores the session once it has lasted 1 s.
    void updateSessionDuration();

    // Sessions in the list plus those pruned over the years.
    std::int64_t totalSessionsCount() const;
    // The mean length of every listed session but the last, truncated; the only one's length; -1 for none.
    std::int64_t averageSessionSeconds() const;
    std::vector<std::string> distinctDaysUsed() const;
    // A copy of the list, oldest first.
    std::vector<StoredSession> recentSessions() const;
    // The store in use now: the given one, else the installed manager's suite.
    std::optional<platform::Defaults> store() const;

    // Each setter hands its write to the persistence queue and returns at once.
    void setFirstSessionDate(std::string day);
    void setDistinctDaysUsed(std::vector<std::string> days);
    void setDeletedSessionsCount(std::int64_t count);

    // How many of `dates` are not less than `cutoffISODate` as text.
    static std::int64_t countISODatesOnOrAfter(const std::vector<std::string>& dates,
                                               std::string_view cutoffISODate);

private:
    struct State;

    void persist(std::function<void(platform::Defaults&)> write);
    void persistCurrentSessionIfNeeded();
    void updateDistinctDaysUsed();
    void stopSessionTimer();
    void startSessionTimer();
    void handleDidEnterBackgroundNotification();
    void handleWillEnterForegroundNotification();

    std::shared_ptr<State> state_;
    // Main executor only.
    std::optional<platform::TimePoint> currentSessionStartedAt_;
    double currentSessionDuration_ = 0;
    std::optional<platform::RepeatingTimer> sessionDurationUpdater_;
    std::optional<platform::TimePoint> sessionDurationLastUpdatedAt_;
    AppEvents::Subscription didResignActive_;
    AppEvents::Subscription willBecomeActive_;
};

} // namespace tally
