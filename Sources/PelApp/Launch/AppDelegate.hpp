#pragma once

#include "PelApp/Model/AppInfo.hpp"
#include "PelApp/Telemetry/AnalyticsClient.hpp"
#include "PelApp/Telemetry/SentryBridge.hpp"
#include "Platform/Defaults.hpp"

#include <memory>
#include <string>

namespace pelapp {

// The two consent preferences; each is read once, at launch.
inline constexpr const char* kTelemetryConsentKey = "pel.telemetry.enabled";
inline constexpr const char* kAnalyticsConsentKey = "pel.analytics.enabled";
// The application as the analytics service knows it.
inline constexpr const char* kAnalyticsAppID = "com.pelloran";

// The application's preferences: "preferences.json" in the state folder (created when missing),
// shared by every caller in the process.
platform::Defaults appDefaults();

struct Consent {
    bool telemetry = true;
    bool analytics = true;
};
// A missing or non-boolean value counts as consent.
Consent readConsent(const platform::Defaults& defaults);

// The launch work of the application: consent, crash reporting, analytics and the launch signal.
class AppDelegate {
public:
    AppDelegate(platform::Defaults defaults, AppInfo appInfo, std::shared_ptr<AnalyticsClient> analytics,
                SentryInitOptions crashReporting = {});

    // In order: reads the consent, starts crash reporting (or installs NoopTelemetry), sets
    // ProductAnalytics::enabled; with analytics, initialises the client and wraps the sink in force
    // (or a fresh NoopTelemetry without crash reporting) in AnalyticsTelemetry; then sends
    // "app.launched" {"version": short version or "?"} by the send rule. Showing and activating the
    // window is the caller's next step.
    void applicationDidFinishLaunching();
    // Closing the last window quits the application.
    static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }

private:
    platform::Defaults defaults_;
    AppInfo appInfo_;
    std::shared_ptr<AnalyticsClient> analytics_;
    SentryInitOptions crashReporting_;
};

} // namespace pelapp
