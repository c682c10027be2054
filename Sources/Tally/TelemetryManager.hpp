#pragma once

#include "Platform/Clock.hpp"
#include "Tally/Helpers/Dictionary.hpp"
#include "Tally/Signals/SignalManageable.hpp"
#include "Tally/TelemetryManagerConfiguration.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tally {

// One configuration with its signal pipeline. The process-wide holder keeps the installed manager;
// a replaced or removed manager lives on only while something else holds it.
class TelemetryManager : public std::enable_shared_from_this<TelemetryManager> {
public:
    // Builds the pipeline through the runtime's factory and schedules the run's first session on the
    // main executor 0.5 s later. That step holds the manager weakly and assigns this manager's session.
    static std::shared_ptr<TelemetryManager>
    create(std::shared_ptr<TelemetryManagerConfiguration> configuration);

    TelemetryManager(const TelemetryManager&) = delete;
    TelemetryManager& operator=(const TelemetryManager&) = delete;

    const std::shared_ptr<SignalManageable>& signalManager() const { return signalManager_; }
    std::shared_ptr<TelemetryManagerConfiguration> configuration() const;
    // Absent: the distant past.
    std::optional<platform::TimePoint> lastTimeImmediateSyncRequested() const;
    void setLastTimeImmediateSyncRequested(platform::TimePoint date);
    // Whether this is the stand-in that `shared` hands out while nothing is installed.
    bool isInert() const { return inert_; }

    // The installed manager. While none is installed: one inert manager, built once and never installed,
    // with a pipeline that discards; it touches no disk or network and has no timer or session step.
    static std::shared_ptr<TelemetryManager> shared();
    // The installed manager, or null.
    static std::shared_ptr<TelemetryManager> installed();
    static bool isInitialized();
    // Installs a new manager for `configuration`, replacing any installed one.
    static void initialize(std::shared_ptr<TelemetryManagerConfiguration> with);
    static void terminate();

    // The legacy sends and operations. Called through an instance they act on the installed manager,
    // not on that instance.
    static void send(const std::string& signalName, const Parameters& with = {});
    static void send(const std::string& signalName, const std::optional<std::string>& customUserID,
                     std::optional<double> floatValue, const Parameters& with);
    static void requestImmediateSync();
    static void updateDefaultUser(std::optional<std::string> to);
    static void generateNewSession();

    // SHA-256 of this manager's pipeline's default user identifier with this manager's salt.
    std::string hashedDefaultUser() const;

    // Activity handlers that a host may call; nothing registers them. Coming back after more than 300 s
    // in the background starts a new session of the installed manager.
    void willEnterForeground();
    void didEnterBackground();

private:
    TelemetryManager(std::shared_ptr<TelemetryManagerConfiguration> configuration,
                     std::shared_ptr<SignalManageable> signalManager, bool inert);
    static std::shared_ptr<TelemetryManager> makeInert();

    const std::shared_ptr<SignalManageable> signalManager_;
    const bool inert_;
    mutable std::mutex mutex_;
    std::shared_ptr<TelemetryManagerConfiguration> configuration_;
    std::optional<platform::TimePoint> lastTimeImmediateSyncRequested_;
    std::optional<platform::TimePoint> lastDateAppEnteredBackground_;
};

} // namespace tally
