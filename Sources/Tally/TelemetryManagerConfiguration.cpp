#include "Tally/TelemetryManagerConfiguration.hpp"

#include "Platform/Uuid.hpp"
#include "Tally/Runtime.hpp"
#include "Tally/SessionManager.hpp"
#include "Tally/Tally.hpp"

namespace tally {

const platform::Url& TelemetryManagerConfiguration::defaultBaseURL() {
    static const auto* url = new platform::Url(*platform::Url::parse("https://ingest.tally.pelloran.com"));
    return *url;
}

TelemetryManagerConfiguration::TelemetryManagerConfiguration(std::string appID,
                                                             std::optional<std::string> salt,
                                                             std::optional<platform::Url> baseURL,
                                                             std::optional<std::string> namespace_)
    : telemetryAppID_(std::move(appID)), apiBaseURL_(baseURL ? std::move(*baseURL) : defaultBaseURL()),
      ingestNamespace_(std::move(namespace_)), salt_(salt ? std::move(*salt) : std::string()),
      defaultParameters_([] { return Parameters{}; }), sessionID_(platform::uuidV4()),
      urlSession_(runtime().transport), logHandler_(LogHandler::standard(LogLevel::info)) {}

void TelemetryManagerConfiguration::setDefaultParameters(DefaultParameters value) {
    if (!value) value = [] { return Parameters{}; };
    set(defaultParameters_, std::move(value));
}

bool TelemetryManagerConfiguration::swiftUIPreviewMode() const {
    if (auto stored = get(swiftUIPreviewMode_)) return *stored;
    return environmentValue("XCODE_RUNNING_FOR_PREVIEWS") == "1";
}

void TelemetryManagerConfiguration::setSessionID(std::string value) {
    bool startStatistics = false;
    bool sendBegan = false;
    {
        std::lock_guard lock(mutex_);
        sessionID_ = std::move(value);
        if (detached_) return;
        startStatistics = sessionStatsEnabled_;
        sendBegan = sendNewSessionBeganSignal_;
    }
    if (!startStatistics && !sendBegan) return;
    // Session state and its timer belong to the main executor.
    auto steps = [startStatistics, sendBegan] {
        if (startStatistics) SessionManager::shared().startNewSession();
        if (sendBegan) Tally::internalSignal("Tally.Session.started");
    };
    if (onMainThread()) {
        steps();
    } else {
        runtime().main->post(std::move(steps));
    }
}

} // namespace tally
