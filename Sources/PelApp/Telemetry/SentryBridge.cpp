#include "PelApp/Telemetry/SentryBridge.hpp"

#include "PelApp/Model/AppInfoBuild.hpp"
#include "PelKit/Config.hpp"

#include <utility>

namespace pelapp {

std::string defaultSentryDsn() {
    return PEL_SENTRY_DSN;
}

std::string sentryReleaseName(const AppInfo& info) {
    return "pelloran@" + info.shortVersion.value_or("0") + "+build." + info.buildVersion.value_or("0");
}

sentry::BeforeSend makeScrubbingHook(std::function<std::filesystem::path()> home,
                                     std::function<std::string()> loginName) {
    return [home = std::move(home), loginName = std::move(loginName)](sentry::Event event) {
        if (event.message) {
            const std::string homeText = home ? home().string() : pelkit::PelPaths::home().string();
            const std::string login = loginName ? loginName() : currentLoginName();
            event.message = scrubPersonalText(*event.message, homeText, login);
        }
        return std::optional<sentry::Event>(std::move(event));
    };
}

sentry::Options sentryOptions(const AppInfo& info, const SentryInitOptions& options) {
    sentry::Options o;
    o.dsn = options.dsn;
    o.releaseName = sentryReleaseName(info);
    o.environment = "release";
    o.debug = false;
    o.sendDefaultPii = false;
    o.attachStacktrace = true;
    o.enableAutoBreadcrumbTracking = true;
    o.tracesSampleRate = 0.1;
    o.enableCaptureFailedRequests = false;
    o.beforeSend = makeScrubbingHook(options.home, options.loginName);
    o.caFile = options.caFile;
    o.transport = options.transport;
    return o;
}

void SentryInit::start(bool enabled, const AppInfo& info, const SentryInitOptions& options) {
    if (!enabled) {
        pelkit::Telemetry::setImpl(std::make_shared<pelkit::NoopTelemetry>());
        return;
    }
    sentry::SDK::start(sentryOptions(info, options));
    pelkit::Telemetry::setImpl(std::make_shared<SentryTelemetry>());
}

void SentryTelemetry::captureError(const pelkit::PelError& error, const pelkit::Tags& tags) {
    sentry::Event event;
    event.level = pelkit::klass(error.code()) == pelkit::ErrorClass::safety ? sentry::Level::error
                                                                            : sentry::Level::warning;
    event.message = error.message();
    event.tags = tags;
    event.fingerprint = {std::string(pelkit::rawValue(error.code())), error.bundleID().value_or("unknown")};
    sentry::SDK::capture(std::move(event), [&tags](sentry::Scope& scope) {
        for (const auto& [key, value] : tags)
            scope.setTag(key, value);
    });
}

void SentryTelemetry::breadcrumb(const std::string& category, const std::string& message,
                                 const pelkit::Json& data) {
    sentry::Breadcrumb crumb;
    crumb.category = category;
    crumb.message = message;
    if (data.is_object()) crumb.data = data;
    crumb.level = sentry::Level::info;
    sentry::SDK::addBreadcrumb(std::move(crumb));
}

void ProductAnalytics::send(AnalyticsClient& client, const std::string& name, SignalParameters parameters) {
    if (!enabled.load()) return;
    for (const char* key : {"path", "url", "message", "bundleID", "sourceToken"})
        parameters.erase(key);
    client.signal(name, parameters);
}

AnalyticsTelemetry::AnalyticsTelemetry(std::shared_ptr<pelkit::TelemetrySink> inner,
                                       std::shared_ptr<AnalyticsClient> client)
    : inner_(inner ? std::move(inner) : std::make_shared<pelkit::NoopTelemetry>()),
      client_(std::move(client)) {}

void AnalyticsTelemetry::captureError(const pelkit::PelError& error, const pelkit::Tags& tags) {
    inner_->captureError(error, tags);
    if (!client_) return;
    const auto source = tags.find("source");
    SignalParameters parameters{
        {"code", std::string(pelkit::rawValue(error.code()))},
        {"class", std::string(pelkit::rawValue(pelkit::klass(error.code())))},
        {"source", source != tags.end() ? source->second : "unknown"},
    };
    ProductAnalytics::send(*client_, "error", std::move(parameters));
}

void AnalyticsTelemetry::breadcrumb(const std::string& category, const std::string& message,
                                    const pelkit::Json& data) {
    inner_->breadcrumb(category, message, data);
}

} // namespace pelapp
