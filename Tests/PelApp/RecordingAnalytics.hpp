#pragma once

#include "PelApp/Telemetry/AnalyticsClient.hpp"
#include "PelKit/Telemetry.hpp"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace pelapptest {

// An analytics client that records what it is given (from any thread).
class RecordingAnalytics final : public pelapp::AnalyticsClient {
public:
    struct Signal {
        std::string name;
        pelapp::SignalParameters parameters;
        bool operator==(const Signal&) const = default;
    };

    void initialize(const std::string& appID) override {
        std::lock_guard lock(mutex_);
        appIDs_.push_back(appID);
    }
    void signal(const std::string& name, const pelapp::SignalParameters& parameters) override {
        std::lock_guard lock(mutex_);
        signals_.push_back({name, parameters});
    }

    std::vector<std::string> appIDs() const {
        std::lock_guard lock(mutex_);
        return appIDs_;
    }
    std::vector<Signal> signals() const {
        std::lock_guard lock(mutex_);
        return signals_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> appIDs_;
    std::vector<Signal> signals_;
};

// A telemetry sink that records the errors and breadcrumbs it is given.
class RecordingSink final : public pelkit::TelemetrySink {
public:
    struct Error {
        pelkit::ErrorCode code;
        pelkit::Tags tags;
    };
    void captureError(const pelkit::PelError& error, const pelkit::Tags& tags) override {
        std::lock_guard lock(mutex_);
        errors_.push_back({error.code(), tags});
    }
    void breadcrumb(const std::string& category, const std::string& message, const pelkit::Json&) override {
        std::lock_guard lock(mutex_);
        breadcrumbs_.emplace_back(category, message);
    }
    std::vector<Error> errors() const {
        std::lock_guard lock(mutex_);
        return errors_;
    }
    std::vector<std::pair<std::string, std::string>> breadcrumbs() const {
        std::lock_guard lock(mutex_);
        return breadcrumbs_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Error> errors_;
    std::vector<std::pair<std::string, std::string>> breadcrumbs_;
};

} // namespace pelapptest
