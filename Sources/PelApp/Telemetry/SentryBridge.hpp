#pragma once

#include "PelApp/Model/AppInfo.hpp"
#include "PelApp/Telemetry/AnalyticsClient.hpp"
#include "PelApp/Telemetry/Scrubbing.hpp"
#include "PelKit/Telemetry.hpp"
#include "Sentry/Client.hpp"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {
class HttpTransport;
}

// What the application plugs into the core library's error sink, and what it sends with consent.
namespace pelapp {

// The crash-report project of this build ("" when the build has none: nothing is sent).
std::string defaultSentryDsn();

// Everything a test may replace when crash reporting starts; the defaults are the production ones.
struct SentryInitOptions {
    std::string dsn = defaultSentryDsn();
    // The home folder and login name removed from messages, read for every event.
    std::function<std::filesystem::path()> home;  // default: pelkit::PelPaths::home()
    std::function<std::string()> loginName;       // default: currentLoginName()
    std::optional<std::filesystem::path> caFile;  // trust only this CA
    platform::HttpTransport* transport = nullptr; // default: the process's transport
};

// "pelloran@<short>+build.<build>", "0" for each missing version.
std::string sentryReleaseName(const AppInfo& info);

// The before-send hook: the message with the home folder and the login name removed (see
// scrubPersonalText); everything else, and an event without a message, passes unchanged.
sentry::BeforeSend makeScrubbingHook(std::function<std::filesystem::path()> home,
                                     std::function<std::string()> loginName);

// The crash client's options for this application.
sentry::Options sentryOptions(const AppInfo& info, const SentryInitOptions& options);

struct SentryInit {
    SentryInit() = delete;
    // With true, starts the process-wide crash client and installs SentryTelemetry as the core
    // library's sink; with false, starts nothing and installs NoopTelemetry. Once, at launch.
    static void start(bool enabled, const AppInfo& info = AppInfo::current(),
                      const SentryInitOptions& options = {});
};

// Core-library errors as crash-report events: level error for the safety class, warning otherwise;
// the message of the error, its tags (also on the capture scope), fingerprint [code, bundle
// identifier or "unknown"]. Stateless: safe from any thread.
class SentryTelemetry final : public pelkit::TelemetrySink {
public:
    void captureError(const pelkit::PelError& error, const pelkit::Tags& tags) override;
    void breadcrumb(const std::string& category, const std::string& message,
                    const pelkit::Json& data) override;
};

// The consent flag of analytics and the one way the application sends a signal.
struct ProductAnalytics {
    ProductAnalytics() = delete;
    // Written at launch from the consent flag, read by every send.
    static inline std::atomic<bool> enabled{true};
    // Sends nothing while `enabled` is false; removes "path", "url", "message", "bundleID" and
    // "sourceToken" from the parameters before handing the signal to `client`.
    static void send(AnalyticsClient& client, const std::string& name, SignalParameters parameters);
};

// Passes everything to `inner`, first and always, and also counts each error as the analytics
// signal "error" with "code", "class" and "source" ("unknown" without a source tag).
class AnalyticsTelemetry final : public pelkit::TelemetrySink {
public:
    AnalyticsTelemetry(std::shared_ptr<pelkit::TelemetrySink> inner, std::shared_ptr<AnalyticsClient> client);

    const std::shared_ptr<pelkit::TelemetrySink>& inner() const { return inner_; }

    void captureError(const pelkit::PelError& error, const pelkit::Tags& tags) override;
    void breadcrumb(const std::string& category, const std::string& message,
                    const pelkit::Json& data) override;

private:
    const std::shared_ptr<pelkit::TelemetrySink> inner_;
    const std::shared_ptr<AnalyticsClient> client_;
};

} // namespace pelapp
