#pragma once

#include "PelKit/Models.hpp"

#include <map>
#include <memory>
#include <string>

namespace pelkit {

using Tags = std::map<std::string, std::string>;

// Where the library's error reports go. Sinks must accept calls from any thread.
class TelemetrySink {
public:
    virtual ~TelemetrySink() = default;
    virtual void captureError(const PelError& error, const Tags& tags) = 0;
    virtual void breadcrumb(const std::string& category, const std::string& message, const Json& data) = 0;
};

class NoopTelemetry final : public TelemetrySink {
public:
    void captureError(const PelError&, const Tags&) override {}
    void breadcrumb(const std::string&, const std::string&, const Json&) override {}
};

class Telemetry {
public:
    Telemetry() = delete;

    // The sink in force for the process; a NoopTelemetry until the application installs its own.
    static std::shared_ptr<TelemetrySink> impl();
    static void setImpl(std::shared_ptr<TelemetrySink> sink);

    // Adds "code", "class" and, when the error carries them, "source" and "bundleID" (these win over
    // the caller's tags of the same key), then hands the error to the sink in force.
    static void captureError(const PelError& error, const Tags& extra = {});
    static void breadcrumb(const std::string& category, const std::string& message, const Json& data);
};

}  // namespace pelkit
