#pragma once

#include <map>
#include <string>

namespace pelapp {

using SignalParameters = std::map<std::string, std::string>;

// The anonymous-analytics client as the application uses it. Implementations queue and send on
// their own threads, never throw and may be called from any thread.
class AnalyticsClient {
public:
    virtual ~AnalyticsClient() = default;
    // Installs the process-wide client for the application `appID`.
    virtual void initialize(const std::string& appID) = 0;
    // Queues one signal.
    virtual void signal(const std::string& name, const SignalParameters& parameters) = 0;
};

} // namespace pelapp
