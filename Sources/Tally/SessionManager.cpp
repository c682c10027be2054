#include "Tally/SessionManager.hpp"

#include "Platform/Json.hpp"
#include "Tally/Helpers/TelemetryEncoder.hpp"
#include "Tally/Runtime.hpp"
#include "Tally/Tally.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <ctime>

namespace tally {
namespace {

using namespace std::chrono_literals;

constexpr auto kRetention = std::chrono::seconds{7'776'000}; // 90 days
// Starts beyond this many seconds from 1970 do not fit a time point; such a list is not ours.
constexpr double kLargestStart = 9.0e9;

const std::string kRecentSessions = "recentSessions";
const std::string kDeletedSessionsCount = "deletedSessionsCount";
const std::string kDistinctDaysUsed = "distinctDaysUsed";
const std::string kFirstSessionDate = "firstSessionDate";

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

std::optional<platform::TimePoint> startFromJson(const platform::Json& value) {
    if (value.is_number_integer()) {
        const auto seconds = value.get<std::int64_t>();
        if (std::abs(static_cast<double>(seconds)) > kLargestStart) return std::nullopt;
        return platform::TimePoint{std::chrono::seconds{seconds}};
    }
    if (value.is_number_float()) {
        const double seconds = value.get<double>();
        if (!std::isfinite(seconds) || std::abs(seconds) > kLargestStart) return std::nullopt;
        // Whole seconds and the fraction apart, so the whole part stays exact.
        const double whole = std::floor(seconds);
        const auto fraction =
            std::chrono::round<platform::TimePoint::duration>(std::chrono::duration<double>(seconds - whole));
        return platform::TimePoint{std::chrono::seconds{static_cast<std::int64_t>(whole)}} + fraction;
    }
    return std::nullopt;
}

} // namespace

std::string encodeStoredSessions(const std::vector<StoredSession>& sessions) {
    return encodeJsonArray(sessions, [](const StoredSession& session) {
        const auto start =
            std::chrono::duration_cast<std::chrono::seconds>(session.startedAt.time_since_epoch());
        return platform::Json{{"st", start.count()}, {"dn", session.durationInSeconds}};
    });
}

std::optional<std::vector<StoredSession>> decodeStoredSessions(std::string_view data) {
    const auto document = platform::Json::parse(data, nullptr, false);
    if (!document.is_array()) return std::nullopt;
    std::vector<StoredSession> sessions;
    for (const auto& element : document) {
        if (!element.is_object() || !element.contains("st") || !element.contains("dn")) return std::nullopt;
        const auto start = startFromJson(element["st"]);
        const auto& duration = element["dn"];
        if (!start || !duration.is_number_integer()) return std::nullopt;
        if (duration.is_number_unsigned() && duration.get<std::uint64_t>() > INT64_MAX) return std::nullopt;
        sessions.push_back({*start, duration.get<std::int64_t>()});
    }
    return sessions;
}

std::string localDay(platform::TimePoint t) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    return fmt::format("{:04d}-{:02d}-{:02d}", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

struct SessionManager::State {
    std::optional<platform::Defaults> defaultsOverride;
    std::shared_ptr<platform::Executor> persistenceQueue;
    mutable std::mutex sessionsLock;
    std::vector<StoredSession> unsafeRecentSessions;

    std::optional<platform::Defaults> store() const {
        if (defaultsOverride) return defaultsOverride;
        return Tally::customDefaults();
    }
    std::vector<StoredSession> sessions() const {
        std::lock_guard lock(sessionsLock);
        return unsafeRecentSessions;
    }
    // Encoded outside the lock; a list that cannot be encoded is not written.
    void writeSessions(platform::Defaults& store) const {
        std::string data;
        try {
            data = encodeStoredSessions(sessions());
        } catch (const std::exception&) {
            return;
        }
        store.setBytes(kRecentSessions, bytesOf(data));
    }
};

SessionManager& SessionManager::shared() {
    static auto* instance = new ProcessWide<SessionManager>([] { return new SessionManager(); });
    return instance->get();
}

SessionManager::SessionManager(std::optional<platform::Defaults> defaults)
    : state_(std::make_shared<State>()) {
    state_->defaultsOverride = std::move(defaults);
    state_->persistenceQueue = makeSerialQueue("sessionmanager.persistence");
    if (auto store = state_->store()) {
        std::optional<std::vector<StoredSession>> stored;
        if (const auto data = store->bytes(kRecentSessions)) {
            stored = decodeStoredSessions(
                std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
        }
        if (stored) {
            const auto cutoff = runtime().clock->now() - kRetention;
            const auto before = stored->size();
            std::erase_if(*stored,
                          [&](const StoredSession& session) { return !(session.startedAt > cutoff); });
            const auto dropped = static_cast<std::int64_t>(before - stored->size());
            const std::int64_t deleted = store->integer(kDeletedSessionsCount).value_or(0) + dropped;
            state_->unsafeRecentSessions = std::move(*stored);
            // The pruned list goes with the new count, so the next start does not count the same sessions
            // again.
            persist([state = std::weak_ptr(state_), dropped, deleted](platform::Defaults& target) {
                if (auto strong = state.lock(); strong && dropped > 0) strong->writeSessions(target);
                target.setInteger(kDeletedSessionsCount, deleted);
            });
        }
        updateDistinctDaysUsed();
    }
    auto& events = *runtime().appEvents;
    didResignActive_ =
        events.subscribe(AppEvent::didResignActive, [this] { handleDidEnterBackgroundNotification(); });
    willBecomeActive_ =
        events.subscribe(AppEvent::willBecomeActive, [this] { handleWillEnterForegroundNotification(); });
}

SessionManager::~SessionManager() {
    didResignActive_.reset();
    willBecomeActive_.reset();
    stopSessionTimer();
}

void SessionManager::persist(std::function<void(platform::Defaults&)> write) {
    state_->persistenceQueue->post([state = state_, write = std::move(write)] {
        if (auto store = state->store()) write(*store);
    });
}

void SessionManager::updateDistinctDaysUsed() {
    const std::string today = localDay(runtime().clock->now());
    auto days = distinctDaysUsed();
    if (!days.empty() && days.back() == today) return;
    days.push_back(today);
    setDistinctDaysUsed(std::move(days));
}

void SessionManager::startNewSession() {
    stopSessionTimer();
    bool firstSession = false;
    {
        std::lock_guard lock(state_->sessionsLock);
        firstSession = state_->unsafeRecentSessions.empty();
    }
    if (firstSession) {
        const std::string today = localDay(runtime().clock->now());
        setFirstSessionDate(today);
        Tally::internalSignal("Tally.Acquisition.newInstallDetected",
                              {{"Tally.Acquisition.firstSessionDate", today}});
    }
    currentSessionStartedAt_ = runtime().clock->now();
    currentSessionDuration_ = 0;
    updateSessionDuration();
    startSessionTimer();
}

void SessionManager::startSessionTimer() {
    sessionDurationUpdater_.emplace(*runtime().main, 1s, [this] { updateSessionDuration(); });
}

void SessionManager::stopSessionTimer() {
    sessionDurationUpdater_.reset(); // cancels
    sessionDurationLastUpdatedAt_.reset();
}

void SessionManager::updateSessionDuration() {
    const auto now = runtime().clock->now();
    if (sessionDurationLastUpdatedAt_) {
        currentSessionDuration_ +=
            std::chrono::duration<double>(now - *sessionDurationLastUpdatedAt_).count();
    }
    sessionDurationLastUpdatedAt_ = now;
    persistCurrentSessionIfNeeded();
}

void SessionManager::persistCurrentSessionIfNeeded() {
    if (currentSessionDuration_ < 1.0 || !currentSessionStartedAt_) return;
    const StoredSession captured{*currentSessionStartedAt_,
                                 static_cast<std::int64_t>(currentSessionDuration_)};
    state_->persistenceQueue->post([state = state_, captured] {
        {
            std::lock_guard lock(state->sessionsLock);
            auto& sessions = state->unsafeRecentSessions;
            auto found = std::find_if(sessions.rbegin(), sessions.rend(), [&](const StoredSession& session) {
                return session.startedAt == captured.startedAt;
            });
            if (found != sessions.rend()) {
                found->durationInSeconds = captured.durationInSeconds;
            } else {
                sessions.push_back(captured);
            }
        }
        if (auto store = state->store()) state->writeSessions(*store);
    });
}

void SessionManager::handleDidEnterBackgroundNotification() {
    updateSessionDuration();
    stopSessionTimer();
}

void SessionManager::handleWillEnterForegroundNotification() {
    // Before the first session there is nothing to time.
    if (!currentSessionStartedAt_) return;
    sessionDurationUpdater_.reset(); // a timer still running would keep ticking beside the new one
    updateSessionDuration();
    startSessionTimer();
}

std::int64_t SessionManager::totalSessionsCount() const {
    const auto listed = static_cast<std::int64_t>(recentSessions().size());
    const auto store = state_->store();
    return listed + (store ? store->integer(kDeletedSessionsCount).value_or(0) : 0);
}

std::int64_t SessionManager::averageSessionSeconds() const {
    const auto sessions = recentSessions();
    if (sessions.empty()) return -1;
    if (sessions.size() == 1) return sessions.front().durationInSeconds;
    std::int64_t sum = 0;
    for (std::size_t i = 0; i + 1 < sessions.size(); ++i) {
        sum += sessions[i].durationInSeconds;
    }
    return sum / static_cast<std::int64_t>(sessions.size() - 1);
}

std::vector<std::string> SessionManager::distinctDaysUsed() const {
    const auto store = state_->store();
    if (!store) return {};
    return store->stringList(kDistinctDaysUsed).value_or(std::vector<std::string>{});
}

std::vector<StoredSession> SessionManager::recentSessions() const {
    return state_->sessions();
}

std::optional<platform::Defaults> SessionManager::store() const {
    return state_->store();
}

void SessionManager::setFirstSessionDate(std::string day) {
    persist([day = std::move(day)](platform::Defaults& store) { store.setString(kFirstSessionDate, day); });
}

void SessionManager::setDistinctDaysUsed(std::vector<std::string> days) {
    persist([days = std::move(days)](platform::Defaults& store) {
        store.setStringList(kDistinctDaysUsed, days);
    });
}

void SessionManager::setDeletedSessionsCount(std::int64_t count) {
    persist([count](platform::Defaults& store) { store.setInteger(kDeletedSessionsCount, count); });
}

std::int64_t SessionManager::countISODatesOnOrAfter(const std::vector<std::string>& dates,
                                                    std::string_view cutoffISODate) {
    return static_cast<std::int64_t>(std::count_if(
        dates.begin(), dates.end(), [&](const std::string& date) { return date >= cutoffISODate; }));
}

} // namespace tally
