#pragma once

#include "Platform/Defaults.hpp"
#include "Tally/Helpers/Dictionary.hpp"
#include "Tally/TelemetryManagerConfiguration.hpp"

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace tally {

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
};

} // namespace tally
