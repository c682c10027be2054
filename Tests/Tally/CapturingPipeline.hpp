#pragma once

#include "Tally/Runtime.hpp"
#include "Tally/Signals/SignalManageable.hpp"
#include "Tally/TelemetryManagerConfiguration.hpp"

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tallytest {

// One processSignal call with the configuration's values at the call.
struct CapturedSignal {
    std::string name;
    tally::Parameters parameters;
    std::optional<double> floatValue;
    std::optional<std::string> customUserID;
    std::string appID;
    std::string sessionID;
    bool testMode = false;
};

// A stand-in for the signal pipeline: records every signal of every pipeline it builds, and counts the
// pipelines built and the upload attempts asked of them.
class CapturingPipelines {
public:
    tally::Runtime::PipelineFactory factory() {
        return [state = state_](const std::shared_ptr<tally::TelemetryManagerConfiguration>&) {
            std::lock_guard lock(state->mutex);
            ++state->creations;
            return std::make_shared<Pipeline>(state);
        };
    }

    // Called with each signal before it is recorded, on the sending thread and outside the lock, so a test
    // can hold a sender there.
    void setHook(std::function<void(const CapturedSignal&)> hook) {
        std::lock_guard lock(state_->mutex);
        state_->hook = std::move(hook);
    }

    int creations() const {
        std::lock_guard lock(state_->mutex);
        return state_->creations;
    }
    int attempts() const {
        std::lock_guard lock(state_->mutex);
        return state_->attempts;
    }
    std::vector<CapturedSignal> signals() const {
        std::lock_guard lock(state_->mutex);
        return state_->signals;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& signal : signals()) {
            out.push_back(signal.name);
        }
        return out;
    }
    std::size_t count(const std::string& name) const {
        const auto all = names();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), name));
    }

private:
    struct State {
        mutable std::mutex mutex;
        int creations = 0;
        int attempts = 0;
        std::vector<CapturedSignal> signals;
        std::function<void(const CapturedSignal&)> hook;
    };

    class Pipeline final : public tally::SignalManageable {
    public:
        explicit Pipeline(std::shared_ptr<State> state) : state_(std::move(state)) {}
        void
        processSignal(const std::string& name, const tally::Parameters& parameters,
                      std::optional<double> floatValue, const std::optional<std::string>& customUserID,
                      const std::shared_ptr<tally::TelemetryManagerConfiguration>& configuration) override {
            CapturedSignal signal{name,
                                  parameters,
                                  floatValue,
                                  customUserID,
                                  configuration->telemetryAppID(),
                                  configuration->sessionID(),
                                  configuration->testMode()};
            std::function<void(const CapturedSignal&)> hook;
            {
                std::lock_guard lock(state_->mutex);
                hook = state_->hook;
            }
            if (hook) hook(signal);
            std::lock_guard lock(state_->mutex);
            state_->signals.push_back(std::move(signal));
        }
        void attemptToSendNextBatchOfCachedSignals() override {
            std::lock_guard lock(state_->mutex);
            ++state_->attempts;
        }
        std::string defaultUserIdentifier() override { return "default-user"; }

    private:
        std::shared_ptr<State> state_;
    };

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

} // namespace tallytest
