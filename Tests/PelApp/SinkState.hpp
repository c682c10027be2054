#pragma once

#include "PelApp/Telemetry/SentryBridge.hpp"
#include "PelKit/Telemetry.hpp"

#include <memory>

namespace pelapptest {

// Puts back the process-wide sink and analytics flag that launch code writes.
struct SinkStateGuard {
    SinkStateGuard() { reset(); }
    ~SinkStateGuard() { reset(); }
    SinkStateGuard(const SinkStateGuard&) = delete;
    SinkStateGuard& operator=(const SinkStateGuard&) = delete;

    static void reset() {
        pelkit::Telemetry::setImpl(std::make_shared<pelkit::NoopTelemetry>());
        pelapp::ProductAnalytics::enabled = true;
    }
};

} // namespace pelapptest
