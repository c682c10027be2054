#include "PelApp/Launch/AppDelegate.hpp"

#include "PelKit/Config.hpp"
#include "Platform/Files.hpp"

#include <filesystem>

namespace pelapp {

platform::Defaults appDefaults() {
    const std::filesystem::path dir = pelkit::PelPaths::stateDir().filePath();
    try {
        platform::createDirectories(dir, 0700);
    } catch (const std::exception&) {
        // The store still works in memory; its writes are dropped until the folder exists.
    }
    return platform::Defaults::file(dir / "preferences.json");
}

Consent readConsent(const platform::Defaults& defaults) {
    return {defaults.boolean(kTelemetryConsentKey).value_or(true),
            defaults.boolean(kAnalyticsConsentKey).value_or(true)};
}

AppDelegate::AppDelegate(platform::Defaults defaults, AppInfo appInfo,
                         std::shared_ptr<AnalyticsClient> analytics, SentryInitOptions crashReporting)
    : defaults_(std::move(defaults)), appInfo_(std::move(appInfo)), analytics_(std::move(analytics)),
      crashReporting_(std::move(crashReporting)) {}

void AppDelegate::applicationDidFinishLaunching() {
    const Consent consent = readConsent(defaults_);
    SentryInit::start(consent.telemetry, appInfo_, crashReporting_);
    ProductAnalytics::enabled = consent.analytics;
    if (consent.analytics && analytics_) {
        analytics_->initialize(kAnalyticsAppID);
        std::shared_ptr<pelkit::TelemetrySink> inner =
            consent.telemetry ? pelkit::Telemetry::impl() : std::make_shared<pelkit::NoopTelemetry>();
        pelkit::Telemetry::setImpl(std::make_shared<AnalyticsTelemetry>(std::move(inner), analytics_));
    }
    if (analytics_)
        ProductAnalytics::send(*analytics_, "app.launched",
                               {{"version", appInfo_.shortVersion.value_or("?")}});
}

} // namespace pelapp
