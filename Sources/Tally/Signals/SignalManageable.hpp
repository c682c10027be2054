#pragma once

#include "Tally/Helpers/Dictionary.hpp"

#include <memory>
#include <optional>
#include <string>

namespace tally {

class TelemetryManagerConfiguration;

// Adds parameters to every signal's payload; the host's own providers go in the configuration's
// metadataEnrichers. Called on a background thread.
class SignalEnricher {
public:
    virtual ~SignalEnricher() = default;
    // `customUserID` as the caller gave it, not hashed.
    virtual Parameters enrichSignal(const std::string& signalName,
                                    const std::optional<std::string>& customUserID,
                                    std::optional<double> floatValue) = 0;
};

// What a manager needs of its signal pipeline.
class SignalManageable {
public:
    virtual ~SignalManageable() = default;
    // Returns at once; the signal is processed later, with the configuration's values current then.
    virtual void processSignal(const std::string& signalName, const Parameters& parameters,
                               std::optional<double> floatValue,
                               const std::optional<std::string>& customUserID,
                               const std::shared_ptr<TelemetryManagerConfiguration>& configuration) = 0;
    // One upload attempt; callable from any thread.
    virtual void attemptToSendNextBatchOfCachedSignals() = 0;
    // The user identifier of signals without a custom user. Read on the main thread.
    virtual std::string defaultUserIdentifier() = 0;
};

// A pipeline that drops every signal and never uploads; its default user is the configuration's
// defaultUser, else a new random identifier on each read. Touches no disk and no network.
std::shared_ptr<SignalManageable>
makeDiscardingPipeline(std::shared_ptr<TelemetryManagerConfiguration> configuration);

} // namespace tally
