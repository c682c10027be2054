#include "Tally/Tally.hpp"

#include "Platform/Unicode.hpp"
#include "Tally/Helpers/CryptoHashing.hpp"
#include "Tally/Runtime.hpp"
#include "Tally/TelemetryManager.hpp"
#include "Tally/Vendor.hpp"

namespace tally {
namespace {

constexpr std::string_view kReservedPrefix = "Tally.";
constexpr std::string_view kReservedPrefixLowercased = "tally.";

// What the reserved-name check says of a signal name or of a parameter key.
struct ReservedWarning {
    const char* prefixText;
    const char* subject; // "signal with reserved name" or "parameter with reserved key"
    const char* noun;    // what to use instead
};
constexpr ReservedWarning kNameWarning{"Sending signal with reserved prefix 'Tally.' will cause unexpected "
                                       "behavior. Please use another prefix instead.",
                                       "Sending signal with reserved name '", "name"};
constexpr ReservedWarning kKeyWarning{
    "Sending parameter with reserved key prefix 'Tally.' will cause unexpected "
    "behavior. Please use another prefix instead.",
    "Sending parameter with reserved key '", "key"};

// Quotes `text` as it stands; compares it lower-cased.
void warnIfReserved(const std::string& text, const ReservedWarning& warning,
                    const std::optional<LogHandler>& handler) {
    const std::string lowercased = platform::unicode::lowercase(text);
    if (lowercased.starts_with(kReservedPrefixLowercased)) {
        log(handler, LogLevel::error, std::string(warning.prefixText));
    } else if (Tally::reservedKeysLowercased().contains(lowercased)) {
        log(handler, LogLevel::error,
            std::string(warning.subject) + text + "' will cause unexpected behavior. Please use another " +
                warning.noun + " instead.");
    }
}

// Keys beginning with "Tally." stay as they are; every other key gets `prefix` in front.
Parameters prefixKeys(const Parameters& parameters, const std::string& prefix) {
    if (prefix.empty()) return parameters;
    return mapKeys(parameters, [&](const std::string& key) {
        return key.starts_with(kReservedPrefix) ? key : prefix + key;
    });
}

// The installed manager (or the inert stand-in) with its configuration; null when the gates drop the
// signal or nothing is installed (reported once).
std::shared_ptr<TelemetryManager> senderFor(const std::string& signalName) {
    auto manager = TelemetryManager::shared();
    auto configuration = manager->configuration();
    if (configuration->swiftUIPreviewMode() || configuration->analyticsDisabled()) return nullptr;
    if (manager->isInert()) {
        log(runtime().logHandler, LogLevel::error,
            "Tally is not initialized; signal '" + signalName + "' dropped");
        return nullptr;
    }
    return manager;
}

void deliver(TelemetryManager& manager, const std::shared_ptr<TelemetryManagerConfiguration>& configuration,
             const std::string& signalName, const Parameters& parameters, std::optional<double> floatValue,
             const std::optional<std::string>& customUserID) {
    const auto defaults = prefixKeys(configuration->defaultParameters()(),
                                     configuration->defaultParameterPrefix().value_or(""));
    const auto handler = configuration->logHandler();
    for (const auto& [key, value] : defaults) {
        warnIfReserved(key, kKeyWarning, handler);
    }
    manager.signalManager()->processSignal(signalName, applying(defaults, parameters), floatValue,
                                           customUserID, configuration);
}

} // namespace

void Tally::initialize(std::shared_ptr<TelemetryManagerConfiguration> config) {
    TelemetryManager::initialize(std::move(config));
}

void Tally::terminate() {
    TelemetryManager::terminate();
}

void Tally::signal(const std::string& signalName, const Parameters& parameters,
                   std::optional<double> floatValue, const std::optional<std::string>& customUserID) {
    auto manager = senderFor(signalName);
    if (!manager) return;
    auto configuration = manager->configuration();
    const std::string name = configuration->defaultSignalPrefix().value_or("") + signalName;
    const Parameters prefixed = prefixKeys(parameters, configuration->defaultParameterPrefix().value_or(""));
    if (configuration->reservedParameterWarningsEnabled()) {
        const auto handler = configuration->logHandler();
        warnIfReserved(name, kNameWarning, handler);
        for (const auto& [key, value] : prefixed) {
            warnIfReserved(key, kKeyWarning, handler);
        }
    }
    deliver(*manager, configuration, name, prefixed, floatValue, customUserID);
}

void Tally::internalSignal(const std::string& signalName, const Parameters& parameters,
                           std::optional<double> floatValue, const std::optional<std::string>& customUserID) {
    auto manager = senderFor(signalName);
    if (!manager) return;
    deliver(*manager, manager->configuration(), signalName, parameters, floatValue, customUserID);
}

void Tally::requestImmediateSync() {
    TelemetryManager::requestImmediateSync();
}

void Tally::updateDefaultUserID(std::optional<std::string> to) {
    TelemetryManager::updateDefaultUser(std::move(to));
}

void Tally::generateNewSession() {
    TelemetryManager::generateNewSession();
}

std::optional<platform::Defaults> Tally::customDefaults() {
    auto manager = TelemetryManager::installed();
    if (!manager) return std::nullopt;
    return runtime().defaults->suite(customDefaultsSuiteName(manager->configuration()->telemetryAppID()));
}

std::string Tally::customDefaultsSuiteName(std::string_view appID) {
    const std::string hash = CryptoHashing::sha256(appID, "");
    return std::string(kVendorPrefix) + "." + hash.substr(hash.size() - 12);
}

const std::set<std::string>& Tally::reservedKeysLowercased() {
    static const auto* keys = [] {
        auto* set = new std::set<std::string>;
        for (const char* name : {"type",
                                 "clientUser",
                                 "appID",
                                 "sessionID",
                                 "floatValue",
                                 "newSessionBegan",
                                 "platform",
                                 "systemVersion",
                                 "majorSystemVersion",
                                 "majorMinorSystemVersion",
                                 "appVersion",
                                 "buildNumber",
                                 "isSimulator",
                                 "isDebug",
                                 "isTestFlight",
                                 "isAppStore",
                                 "modelName",
                                 "architecture",
                                 "operatingSystem",
                                 "targetEnvironment",
                                 "locale",
                                 "region",
                                 "appLanguage",
                                 "preferredLanguage",
                                 "telemetryClientVersion"}) {
            set->insert(platform::unicode::lowercase(name));
        }
        return set;
    }();
    return *keys;
}

} // namespace tally
