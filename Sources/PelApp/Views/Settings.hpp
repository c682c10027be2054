#pragma once

#include "PelApp/Model/AppInfo.hpp"
#include "Platform/Clock.hpp"
#include "Platform/Defaults.hpp"
#include "Platform/Url.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// What the settings window reads, writes and sends, apart from its widgets.
namespace pelapp {

class AppModel;
class EngineApi;
class LoginItem;

// The scan-schedule preferences: stored and shown by the settings window only.
inline constexpr const char* kAutoScanKey = "pel.autoScan";
inline constexpr const char* kAutoScanIntervalKey = "pel.autoScanIntervalHours";
inline constexpr std::int64_t kDefaultAutoScanIntervalHours = 24;

struct ScanInterval {
    std::string_view title;
    std::int64_t hours;
};
inline constexpr std::array<ScanInterval, 3> kScanIntervals{
    {{"Every 6 hours", 6}, {"Daily", 24}, {"Weekly", 168}}};

// The maker's addresses, under the domain of its kill-switch document.
inline constexpr std::string_view kSupportAddress = "support@pelloran.app";
inline constexpr std::string_view kPrivacyPolicyURL = "https://pelloran.app/privacy";
inline constexpr std::string_view kTermsOfServiceURL = "https://pelloran.app/terms";
inline constexpr std::string_view kCopyrightNotice = "© 2025 Pelloran";

// The four preferences of the settings window over the application's defaults; each change is
// written at once. The consent flags take effect at the next launch.
class SettingsPreferences {
public:
    explicit SettingsPreferences(platform::Defaults defaults) : defaults_(std::move(defaults)) {}

    bool autoScan() const;
    void setAutoScan(bool value);
    std::int64_t autoScanIntervalHours() const;
    void setAutoScanIntervalHours(std::int64_t hours);
    bool telemetryEnabled() const;
    void setTelemetryEnabled(bool value);
    bool analyticsEnabled() const;
    void setAnalyticsEnabled(bool value);

private:
    platform::Defaults defaults_;
};

// "Version <short> (build <build>)", "?" for a missing version.
std::string aboutVersionLine(const AppInfo& info);

// The operating system and its version, as the feedback mail names it.
std::string operatingSystemVersionString();

// The feedback mail's subject and body (the excerpt is already scrubbed).
std::string feedbackSubject(const AppInfo& info);
std::string feedbackBody(const AppInfo& info, std::string_view osVersion, std::string_view journalExcerpt);
// mailto:<support address>?subject=…&body=… with both values percent-encoded; nothing when no URL
// results.
std::optional<platform::Url> feedbackMailUrl(std::string_view subject, std::string_view body);

// The journal file a feedback mail quotes: the running journal's own file, or without an engine the
// file of the UTC day of `now` in the journal folder.
std::filesystem::path feedbackJournalFile(EngineApi* engine, platform::TimePoint now);

// The last `lines` non-empty lines of `file`, each with the home folder (plain or escaped) and the
// login name scrubbed, joined by line feeds; "(no journal)" when the file cannot be read.
std::string scrubbedJournalTail(const std::filesystem::path& file, std::size_t lines, std::string_view home,
                                std::string_view loginName);

// Registers (true) or unregisters the login item; a refusal becomes the model's status
// "launch-at-login: <error>".
void setLaunchAtLogin(AppModel& model, LoginItem& item, bool enabled);

// Empties the overrides: through the running engine's store, so the engine sees it, else by writing
// the empty document to the overrides file when its folder exists. Failures are silent.
void resetOverrides(EngineApi* engine);

} // namespace pelapp
