#pragma once

#include "Platform/HttpTransport.hpp"
#include "Platform/Url.hpp"
#include "Tally/Helpers/Dictionary.hpp"
#include "Tally/Helpers/LogHandler.hpp"
#include "Tally/Signals/SignalManageable.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tally {

// The client's settings, shared by std::shared_ptr between the host, the manager and its pipeline.
// Every accessor is thread-safe: the mutable fields sit behind the object's own mutex, and values
// leave it as copies (defaultParameters and the log handler are called by their users, outside it).
class TelemetryManagerConfiguration {
public:
    using DefaultParameters = std::function<Parameters()>;

    // The ingest host used when no base URL is given.
    static const platform::Url& defaultBaseURL();

    // `appID` is kept unchanged, without any check; no salt means "".
    explicit TelemetryManagerConfiguration(std::string appID, std::optional<std::string> salt = std::nullopt,
                                           std::optional<platform::Url> baseURL = std::nullopt,
                                           std::optional<std::string> namespace_ = std::nullopt);
    TelemetryManagerConfiguration(const TelemetryManagerConfiguration&) = delete;
    TelemetryManagerConfiguration& operator=(const TelemetryManagerConfiguration&) = delete;

    const std::string& telemetryAppID() const { return telemetryAppID_; }
    const platform::Url& apiBaseURL() const { return apiBaseURL_; }
    // The optional ingest namespace (the trailing underscore keeps clear of the keyword).
    const std::optional<std::string>& namespace_() const { return ingestNamespace_; }
    const std::string& salt() const { return salt_; }

    std::optional<std::string> defaultUser() const { return get(defaultUser_); }
    void setDefaultUser(std::optional<std::string> value) { set(defaultUser_, std::move(value)); }
    std::optional<std::string> defaultSignalPrefix() const { return get(defaultSignalPrefix_); }
    void setDefaultSignalPrefix(std::optional<std::string> value) {
        set(defaultSignalPrefix_, std::move(value));
    }
    std::optional<std::string> defaultParameterPrefix() const { return get(defaultParameterPrefix_); }
    void setDefaultParameterPrefix(std::optional<std::string> value) {
        set(defaultParameterPrefix_, std::move(value));
    }
    // Called once per signal, by the sender, outside this object's lock.
    DefaultParameters defaultParameters() const { return get(defaultParameters_); }
    // An empty function counts as one returning no parameters.
    void setDefaultParameters(DefaultParameters value);
    bool sendNewSessionBeganSignal() const { return get(sendNewSessionBeganSignal_); }
    void setSendNewSessionBeganSignal(bool value) { set(sendNewSessionBeganSignal_, value); }

    // The current session: 36 upper-case characters.
    std::string sessionID() const { return get(sessionID_); }
    // Starts a new session: stores the value, then (on the main executor; posted there when called on
    // another thread) starts the session statistics when sessionStatsEnabled, and sends
    // "Tally.Session.started" when sendNewSessionBeganSignal.
    void setSessionID(std::string value);

    // Carries the uploads; initially the runtime's transport.
    std::shared_ptr<platform::HttpTransport> urlSession() const { return get(urlSession_); }
    void setUrlSession(std::shared_ptr<platform::HttpTransport> value) { set(urlSession_, std::move(value)); }
    std::int64_t cacheLimit() const { return get(cacheLimit_); }
    void setCacheLimit(std::int64_t value) { set(cacheLimit_, value); }
    double transmitInterval() const { return get(transmitInterval_); }
    void setTransmitInterval(double value) { set(transmitInterval_, value); }
    double maxBackoffInterval() const { return get(maxBackoffInterval_); }
    void setMaxBackoffInterval(double value) { set(maxBackoffInterval_, value); }
    // Stored only; telemetryAllowDebugBuilds is a second name for the same value.
    bool sendSignalsInDebugConfiguration() const { return get(sendSignalsInDebugConfiguration_); }
    void setSendSignalsInDebugConfiguration(bool value) { set(sendSignalsInDebugConfiguration_, value); }
    bool telemetryAllowDebugBuilds() const { return sendSignalsInDebugConfiguration(); }
    void setTelemetryAllowDebugBuilds(bool value) { setSendSignalsInDebugConfiguration(value); }

    // Unset reads as false.
    bool testMode() const { return get(testMode_).value_or(false); }
    void setTestMode(bool value) { set(testMode_, std::optional<bool>(value)); }
    // The stored value, else whether "XCODE_RUNNING_FOR_PREVIEWS" is "1" in the runtime's environment
    // (read afresh on every access, never stored).
    bool swiftUIPreviewMode() const;
    void setSwiftUIPreviewMode(bool value) { set(swiftUIPreviewMode_, std::optional<bool>(value)); }

    bool analyticsDisabled() const { return get(analyticsDisabled_); }
    void setAnalyticsDisabled(bool value) { set(analyticsDisabled_, value); }
    bool reservedParameterWarningsEnabled() const { return get(reservedParameterWarningsEnabled_); }
    void setReservedParameterWarningsEnabled(bool value) { set(reservedParameterWarningsEnabled_, value); }
    bool sessionStatsEnabled() const { return get(sessionStatsEnabled_); }
    void setSessionStatsEnabled(bool value) { set(sessionStatsEnabled_, value); }
    // Stored only.
    bool showDebugLogs() const { return get(showDebugLogs_); }
    void setShowDebugLogs(bool value) { set(showDebugLogs_, value); }
    // Absent: nothing is logged.
    std::optional<LogHandler> logHandler() const { return get(logHandler_); }
    void setLogHandler(std::optional<LogHandler> value) { set(logHandler_, std::move(value)); }
    std::vector<std::shared_ptr<SignalEnricher>> metadataEnrichers() const { return get(metadataEnrichers_); }
    void setMetadataEnrichers(std::vector<std::shared_ptr<SignalEnricher>> value) {
        set(metadataEnrichers_, std::move(value));
    }

private:
    friend class TelemetryManager;

    template <class T> T get(const T& field) const {
        std::lock_guard lock(mutex_);
        return field;
    }
    template <class T> void set(T& field, T value) {
        std::lock_guard lock(mutex_);
        field = std::move(value);
    }

    const std::string telemetryAppID_;
    const platform::Url apiBaseURL_;
    const std::optional<std::string> ingestNamespace_;
    const std::string salt_;

    mutable std::mutex mutex_;
    std::optional<std::string> defaultUser_;
    std::optional<std::string> defaultSignalPrefix_;
    std::optional<std::string> defaultParameterPrefix_;
    DefaultParameters defaultParameters_;
    bool sendNewSessionBeganSignal_ = true;
    std::string sessionID_;
    std::shared_ptr<platform::HttpTransport> urlSession_;
    std::int64_t cacheLimit_ = 10000;
    double transmitInterval_ = 10.0;
    double maxBackoffInterval_ = 300.0;
    bool sendSignalsInDebugConfiguration_ = false;
    std::optional<bool> testMode_;
    std::optional<bool> swiftUIPreviewMode_;
    bool analyticsDisabled_ = false;
    bool reservedParameterWarningsEnabled_ = true;
    bool sessionStatsEnabled_ = true;
    bool showDebugLogs_ = false;
    std::optional<LogHandler> logHandler_;
    std::vector<std::shared_ptr<SignalEnricher>> metadataEnrichers_;
    // The inert manager's configuration: a new session is stored, nothing else happens.
    bool detached_ = false;
};

} // namespace tally
