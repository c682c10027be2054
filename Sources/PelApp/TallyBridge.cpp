#include "PelApp/TallyBridge.hpp"

#include "Tally/Tally.hpp"

#include <memory>

namespace pelapp {

void TallyAnalyticsClient::initialize(const std::string& appID) {
    tally::Tally::initialize(std::make_shared<tally::TelemetryManagerConfiguration>(appID));
}

void TallyAnalyticsClient::signal(const std::string& name, const SignalParameters& parameters) {
    tally::Tally::signal(name, parameters);
}

} // namespace pelapp
