#pragma once

#include "Platform/Executor.hpp"
#include "Platform/HttpTransport.hpp"
#include "Platform/Url.hpp"
#include "Tally/AppEvents.hpp"
#include "Tally/Signals/SignalCache.hpp"
#include "Tally/Signals/SignalManageable.hpp"
#include "Tally/Signals/SignalPostBody.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tally {

class TelemetryManagerConfiguration;

// The signal pipeline of one manager. Each signal becomes a record in two stages (the default payload on
// the main executor, the rest on the utility executor) and waits in the cache. A one-shot timer on the
// ".SignalTimer" queue makes an upload attempt every transmit interval: up to 100 records posted as one
// JSON array; the answer decides whether they are forgotten, dropped, or queued again with the interval
// doubled (up to the configured maximum). Uploads run one at a time on their own ".SignalUpload" queue,
// so a slow ingest server never holds up signal processing. At will-terminate the queue is written to
// the disk backup.
class SignalManager final : public SignalManageable, public std::enable_shared_from_this<SignalManager> {
public:
    // Loads the previous run's backup, subscribes to will-terminate, makes the first upload attempt on
    // the calling thread and then starts the timer.
    static std::shared_ptr<SignalManager>
    create(std::shared_ptr<TelemetryManagerConfiguration> configuration);
    ~SignalManager() override;
    SignalManager(const SignalManager&) = delete;
    SignalManager& operator=(const SignalManager&) = delete;

    void processSignal(const std::string& signalName, const Parameters& parameters,
                       std::optional<double> floatValue, const std::optional<std::string>& customUserID,
                       const std::shared_ptr<TelemetryManagerConfiguration>& configuration) override;
    void attemptToSendNextBatchOfCachedSignals() override;
    // The configuration's defaultUser, else the one stored in Tally::customDefaults, else a new random
    // identifier (stored there when the suite exists).
    std::string defaultUserIdentifier() override;

    // The ingest endpoint: the base URL's text, "/" when it lacks one, then "v2/" or
    // "v2/namespace/<namespace>/". Absent when that does not parse.
    static std::optional<platform::Url> getServiceUrl(const platform::Url& baseURL,
                                                      const std::optional<std::string>& namespace_);

    // Records waiting for upload.
    std::size_t pendingCount() const { return signalCache_.count(); }

    // The most of an answer's body kept for the debug line; the rest is discarded as it arrives.
    static constexpr std::size_t answerPrefixLimit = 4096;

private:
    // How the attempt ended: the answer's status and the start of its body, or an error text when no
    // answer arrived.
    struct SendOutcome {
        std::optional<int> status;
        std::string bodyPrefix;
        std::optional<std::string> error;
    };
    using Completion = std::function<void(SendOutcome)>;

    explicit SignalManager(std::shared_ptr<TelemetryManagerConfiguration> configuration);

    void sendCachedSignalsRepeatedly();
    void scheduleNextTransmission();
    void send(std::string data, Completion completion);
    void complete(const std::vector<SignalPostBody>& batch, const SendOutcome& outcome);
    void handleSendSuccess();
    void handleSendFailure(std::vector<SignalPostBody> requeue);
    void appWillTerminate();
    void processStageTwo(const std::string& signalName, const Parameters& parameters,
                         std::optional<double> floatValue, const std::optional<std::string>& customUserID,
                         const std::shared_ptr<TelemetryManagerConfiguration>& configuration,
                         const std::string& defaultUser, Parameters defaultPayload);
    std::optional<LogHandler> logHandler() const;

    SignalCache<SignalPostBody> signalCache_;
    const std::shared_ptr<TelemetryManagerConfiguration> configuration_;
    const std::shared_ptr<platform::Executor> timerQueue_;
    // Each queued upload holds the queue too, so releasing the pipeline never waits for an upload.
    const std::shared_ptr<platform::Executor> uploadQueue_;
    AppEvents::Subscription willTerminate_;
    // timerQueue_ only.
    platform::TaskHandle sendTimerSource_;
    int consecutiveFailures_ = 0;
};

// The runtime's pipeline factory of the hosts.
std::shared_ptr<SignalManageable>
makeSignalManager(const std::shared_ptr<TelemetryManagerConfiguration>& configuration);

// Why stage 2 turns a signal away: a non-finite float value, or text that is not valid UTF-8 in its name,
// custom user, parameters or identifiers. Such a record would fail every batch and backup it joined.
std::optional<std::string> refusalReason(const SignalPostBody& record,
                                         const std::optional<std::string>& customUserID);

// "SignalPostBody(receivedAt: …, appID: "…", …)": the record with each field, for the debug log.
std::string describe(const SignalPostBody& record);

} // namespace tally
