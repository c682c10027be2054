#include "Tally/Presets/NavigationStatus.hpp"
#include "Tally/Tally.hpp"
#include "Tally/TelemetryManager.hpp"

#include <fmt/format.h>

namespace tally {
namespace {

// The preset's own parameters overlaid by the caller's, then the internal send.
void sendPreset(const std::string& name, Parameters own, const Parameters& callers,
                std::optional<double> floatValue, const std::optional<std::string>& customUserID) {
    Tally::internalSignal(name, applying(std::move(own), callers), floatValue, customUserID);
}

void addIfPresent(Parameters& parameters, const std::string& key, const std::optional<std::string>& value) {
    if (value) parameters.insert_or_assign(key, *value);
}

Parameters errorParameters(const std::string& id, std::optional<ErrorCategory> category,
                           const std::optional<std::string>& message) {
    Parameters own{{"Tally.Error.id", id}};
    if (category) own.insert_or_assign("Tally.Error.category", std::string(rawValue(*category)));
    addIfPresent(own, "Tally.Error.message", message);
    return own;
}

} // namespace

void Tally::acquiredUser(const std::string& channel, const Parameters& parameters,
                         const std::optional<std::string>& customUserID) {
    sendPreset("Tally.Acquisition.userAcquired", {{"Tally.Acquisition.channel", channel}}, parameters,
               std::nullopt, customUserID);
}

void Tally::leadStarted(const std::string& leadID, const Parameters& parameters,
                        const std::optional<std::string>& customUserID) {
    sendPreset("Tally.Acquisition.leadStarted", {{"Tally.Acquisition.leadID", leadID}}, parameters,
               std::nullopt, customUserID);
}

void Tally::leadConverted(const std::string& leadID, const Parameters& parameters,
                          const std::optional<std::string>& customUserID) {
    sendPreset("Tally.Acquisition.leadConverted", {{"Tally.Acquisition.leadID", leadID}}, parameters,
               std::nullopt, customUserID);
}

void Tally::onboardingCompleted(const Parameters& parameters,
                                const std::optional<std::string>& customUserID) {
    sendPreset("Tally.Activation.onboardingCompleted", {}, parameters, std::nullopt, customUserID);
}

void Tally::coreFeatureUsed(const std::string& featureName, const Parameters& parameters,
                            const std::optional<std::string>& customUserID) {
    sendPreset("Tally.Activation.coreFeatureUsed", {{"Tally.Activation.featureName", featureName}},
               parameters, std::nullopt, customUserID);
}

void Tally::referralSent(std::int64_t receiversCount, const std::optional<std::string>& kind,
                         const Parameters& parameters, const std::optional<std::string>& customUserID) {
    Parameters own{{"Tally.Referral.receiversCount", fmt::format("{}", receiversCount)}};
    addIfPresent(own, "Tally.Referral.kind", kind);
    sendPreset("Tally.Referral.sent", std::move(own), parameters, std::nullopt, customUserID);
}

void Tally::userRatingSubmitted(std::int64_t rating, const std::optional<std::string>& comment,
                                const Parameters& parameters,
                                const std::optional<std::string>& customUserID) {
    if (rating < 0 || rating > 10) {
        log(TelemetryManager::shared()->configuration()->logHandler(), LogLevel::error,
            "Rating must be between 0 and 10");
        return;
    }
    Parameters own{{"Tally.Referral.ratingValue", fmt::format("{}", rating)}};
    addIfPresent(own, "Tally.Referral.ratingComment", comment);
    sendPreset("Tally.Referral.userRatingSubmitted", std::move(own), parameters, std::nullopt, customUserID);
}

void Tally::paywallShown(const std::string& reason, const Parameters& parameters,
                         const std::optional<std::string>& customUserID) {
    sendPreset("Tally.Revenue.paywallShown", {{"Tally.Revenue.paywallShowReason", reason}}, parameters,
               std::nullopt, customUserID);
}

void Tally::errorOccurred(const std::string& id, std::optional<ErrorCategory> category,
                          const std::optional<std::string>& message, const Parameters& parameters,
                          std::optional<double> floatValue, const std::optional<std::string>& customUserID) {
    sendPreset("Tally.Error.occurred", errorParameters(id, category, message), parameters, floatValue,
               customUserID);
}

void Tally::errorOccurred(const IdentifiableError& identifiableError, ErrorCategory category,
                          const Parameters& parameters, std::optional<double> floatValue,
                          const std::optional<std::string>& customUserID) {
    sendPreset("Tally.Error.occurred",
               errorParameters(identifiableError.id(), category, identifiableError.localizedDescription()),
               parameters, floatValue, customUserID);
}

void Tally::errorOccurred(const IdentifiableError& identifiableError, ErrorCategory category,
                          const std::optional<std::string>& message, const Parameters& parameters,
                          std::optional<double> floatValue, const std::optional<std::string>& customUserID) {
    sendPreset("Tally.Error.occurred", errorParameters(identifiableError.id(), category, message), parameters,
               floatValue, customUserID);
}

void Tally::navigationPathChanged(const std::string& to, const std::optional<std::string>& customUserID) {
    const auto from = NavigationStatus::shared().exchangePreviousNavigationPath(to);
    sendNavigation(from.value_or(""), to, customUserID, false);
}

void Tally::navigate(const std::string& to, const std::optional<std::string>& customUserID) {
    navigationPathChanged(to, customUserID);
}

void Tally::sendNavigation(const std::string& from, const std::string& to,
                           const std::optional<std::string>& customUserID, bool remember) {
    if (remember) NavigationStatus::shared().setPreviousNavigationPath(to);
    internalSignal("Tally.Navigation.pathChanged",
                   {{"Tally.Navigation.schemaVersion", "1"},
                    {"Tally.Navigation.identifier", from + " -> " + to},
                    {"Tally.Navigation.sourcePath", from},
                    {"Tally.Navigation.destinationPath", to}},
                   std::nullopt, customUserID);
}

} // namespace tally
