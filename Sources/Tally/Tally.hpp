#pragma once

#include "Platform/Defaults.hpp"
#include "Tally/Helpers/Dictionary.hpp"
#include "Tally/Presets/IdentifiableError.hpp"
#include "Tally/TelemetryManagerConfiguration.hpp"

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace tally {

struct Transaction;

// The client's front: initialise it once, then send signals from any thread. Nothing here throws or
// waits; misuse is reported through the configuration's log handler at error level. While no manager is
// installed every send is dropped with one error line through the runtime's log handler, and the other
// operations do nothing.
class Tally {
public:
    Tally() = delete;

    // Builds a manager for `config` and installs it, replacing any installed one.
    static void initialize(std::shared_ptr<TelemetryManagerConfiguration> config);
    // Removes the installed manager.
    static void terminate();

    // The public send: the configured name and parameter prefixes, the reserved-name warnings, then
    // internalSignal.
    static void signal(const std::string& signalName, const Parameters& parameters = {},
                       std::optional<double> floatValue = std::nullopt,
                       const std::optional<std::string>& customUserID = std::nullopt);
    // The send of the client's own signals: no prefixes; the configured default parameters merged in
    // (a given parameter wins), each default key checked against the reserved names.
    static void internalSignal(const std::string& signalName, const Parameters& parameters = {},
                               std::optional<double> floatValue = std::nullopt,
                               const std::optional<std::string>& customUserID = std::nullopt);

    // An upload attempt 50 ms from now, when more than one transmit interval has passed since the last
    // request of the installed manager.
    static void requestImmediateSync();
    static void updateDefaultUserID(std::optional<std::string> to);
    // Assigns a new session identifier (starting a new session).
    static void generateNewSession();

    // The per-application defaults suite of the installed manager (a new handle on every read); absent
    // while none is installed.
    static std::optional<platform::Defaults> customDefaults();
    // "com.pelloran.tally." followed by the last 12 characters of sha256(appID).
    static std::string customDefaultsSuiteName(std::string_view appID);

    // The 25 names a signal or parameter must not use, lower-cased; built once.
    static const std::set<std::string>& reservedKeysLowercased();

    // Duration signals (DurationSignalTracker). Starting a running name restarts it; stopping sends
    // "Tally.Signal.durationInSeconds", laid over by the start's and then the stop's parameters.
    static void startDurationSignal(const std::string& signalName, const Parameters& parameters = {},
                                    bool includeBackgroundTime = false);
    static void cancelDurationSignal(const std::string& signalName);
    static void stopAndSendDurationSignal(const std::string& signalName, const Parameters& parameters = {},
                                          std::optional<double> floatValue = std::nullopt,
                                          const std::optional<std::string>& customUserID = std::nullopt);

    // Preset signals under "Tally.": the caller's parameters are laid over the preset's own.
    static void acquiredUser(const std::string& channel, const Parameters& parameters = {},
                             const std::optional<std::string>& customUserID = std::nullopt);
    static void leadStarted(const std::string& leadID, const Parameters& parameters = {},
                            const std::optional<std::string>& customUserID = std::nullopt);
    static void leadConverted(const std::string& leadID, const Parameters& parameters = {},
                              const std::optional<std::string>& customUserID = std::nullopt);
    static void onboardingCompleted(const Parameters& parameters = {},
                                    const std::optional<std::string>& customUserID = std::nullopt);
    static void coreFeatureUsed(const std::string& featureName, const Parameters& parameters = {},
                                const std::optional<std::string>& customUserID = std::nullopt);
    static void referralSent(std::int64_t receiversCount, const std::optional<std::string>& kind = std::nullopt,
                             const Parameters& parameters = {},
                             const std::optional<std::string>& customUserID = std::nullopt);
    // A rating outside 0 to 10 sends nothing and logs "Rating must be between 0 and 10".
    static void userRatingSubmitted(std::int64_t rating, const std::optional<std::string>& comment = std::nullopt,
                                    const Parameters& parameters = {},
                                    const std::optional<std::string>& customUserID = std::nullopt);
    static void paywallShown(const std::string& reason, const Parameters& parameters = {},
                             const std::optional<std::string>& customUserID = std::nullopt);
    static void errorOccurred(const std::string& id, std::optional<ErrorCategory> category = std::nullopt,
                              const std::optional<std::string>& message = std::nullopt,
                              const Parameters& parameters = {}, std::optional<double> floatValue = std::nullopt,
                              const std::optional<std::string>& customUserID = std::nullopt);
    // The message is the error's localized description.
    static void errorOccurred(const IdentifiableError& identifiableError, ErrorCategory category,
                              const Parameters& parameters = {}, std::optional<double> floatValue = std::nullopt,
                              const std::optional<std::string>& customUserID = std::nullopt);
    // The message is `message`, none when absent.
    static void errorOccurred(const IdentifiableError& identifiableError, ErrorCategory category,
                              const std::optional<std::string>& message, const Parameters& parameters = {},
                              std::optional<double> floatValue = std::nullopt,
                              const std::optional<std::string>& customUserID = std::nullopt);

    // "Tally.Navigation.pathChanged" from `from` to `to`; `to` is remembered as the next source. Two texts
    // of any string-like types always mean (from, to): both are deduced, so this template binds them
    // without conversion and wins over the (to, customUserID) form, which is chosen only for a user
    // identifier given as std::optional<std::string> or std::nullopt.
    template <std::convertible_to<std::string_view> From, std::convertible_to<std::string_view> To>
    static void navigationPathChanged(const From& from, const To& to,
                                      const std::optional<std::string>& customUserID = std::nullopt) {
        sendNavigation(std::string(std::string_view(from)), std::string(std::string_view(to)), customUserID,
                       true);
    }
    // From the last navigation's destination ("" before the first).
    static void navigationPathChanged(const std::string& to,
                                      const std::optional<std::string>& customUserID = std::nullopt);
    template <std::convertible_to<std::string_view> From, std::convertible_to<std::string_view> To>
    static void navigate(const From& from, const To& to,
                         const std::optional<std::string>& customUserID = std::nullopt) {
        navigationPathChanged(from, to, customUserID);
    }
    static void navigate(const std::string& to, const std::optional<std::string>& customUserID = std::nullopt);

    // A completed store purchase: "Tally.Purchase.completed" with its price in US dollars, or for the
    // start of a free trial "Tally.Purchase.freeTrialStarted", after which the trial is watched until it
    // converts ("Tally.Purchase.convertedFromTrial") or ends.
    static void purchaseCompleted(const Transaction& transaction, const Parameters& parameters = {},
                                  const std::optional<std::string>& customUserID = std::nullopt);

private:
    // Remembers `to` first when `remember` (the to-only form has exchanged it already).
    static void sendNavigation(const std::string& from, const std::string& to,
                               const std::optional<std::string>& customUserID, bool remember);
};

} // namespace tally
