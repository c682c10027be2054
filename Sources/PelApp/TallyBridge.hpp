#pragma once

#include "PelApp/AnalyticsClient.hpp"

namespace pelapp {

// The analytics client library behind the application's AnalyticsClient.
class TallyAnalyticsClient final : public AnalyticsClient {
public:
    // Installs the library's process-wide manager with the configuration of `appID` (no salt, base
    // URL or namespace; every other setting at its default).
    void initialize(const std::string& appID) override;
    // One signal without float value or custom user identifier.
    void signal(const std::string& name, const SignalParameters& parameters) override;
};

} // namespace pelapp
