#include "PelApp/Views/Settings.hpp"

#include "PelApp/Launch/AppDelegate.hpp"
#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/EngineApi.hpp"
#include "PelApp/Model/ErrorText.hpp"
#include "PelApp/Model/LoginItem.hpp"
#include "PelApp/Telemetry/Scrubbing.hpp"
#include "PelKit/Config.hpp"
#include "PelKit/Journal.hpp"
#include "Platform/Files.hpp"
#include "Platform/Time.hpp"
#include "Platform/Unicode.hpp"

#include <fmt/format.h>
#include <sys/utsname.h>

#include <deque>
#include <system_error>

namespace pelapp {

namespace fs = std::filesystem;

bool SettingsPreferences::autoScan() const {
    return defaults_.boolean(kAutoScanKey).value_or(false);
}

void SettingsPreferences::setAutoScan(bool value) {
    defaults_.setBoolean(kAutoScanKey, value);
}

std::int64_t SettingsPreferences::autoScanIntervalHours() const {
    return defaults_.integer(kAutoScanIntervalKey).value_or(kDefaultAutoScanIntervalHours);
}

void SettingsPreferences::setAutoScanIntervalHours(std::int64_t hours) {
    defaults_.setInteger(kAutoScanIntervalKey, hours);
}

bool SettingsPreferences::telemetryEnabled() const {
    return readConsent(defaults_).telemetry;
}

void SettingsPreferences::setTelemetryEnabled(bool value) {
    defaults_.setBoolean(kTelemetryConsentKey, value);
}

bool SettingsPreferences::analyticsEnabled() const {
    return readConsent(defaults_).analytics;
}

void SettingsPreferences::setAnalyticsEnabled(bool value) {
    defaults_.setBoolean(kAnalyticsConsentKey, value);
}

std::string aboutVersionLine(const AppInfo& info) {
    return fmt::format("Version {} (build {})", info.shortVersion.value_or("?"), info.buildVersion.value_or("?"));
}

std::string operatingSystemVersionString() {
    utsname names{};
    if (::uname(&names) != 0) return "?";
    return fmt::format("{} {} ({})", names.sysname, names.release, names.machine);
}

std::string feedbackSubject(const AppInfo& info) {
    return fmt::format("Pelloran feedback (v{})", info.shortVersion.value_or("?"));
}

std::string feedbackBody(const AppInfo& info, std::string_view osVersion, std::string_view journalExcerpt) {
    return fmt::format("\n\n\n---\nApp: Pelloran {}\nmacOS: {}\n\nRecent journal (scrubbed):\n{}",
                       info.shortVersion.value_or("?"), osVersion, journalExcerpt);
}

std::optional<platform::Url> feedbackMailUrl(std::string_view subject, std::string_view body) {
    // Only unreserved bytes stay as they are, so "&", "=", "#", "%" and "+" cannot end a value.
    return platform::Url::parse(fmt::format("mailto:{}?subject={}&body={}", kSupportAddress,
                                            platform::percentEncode(subject, ""),
                                            platform::percentEncode(body, "")));
}

fs::path feedbackJournalFile(EngineApi* engine, platform::TimePoint now) {
    // The running journal keeps the file of the day it was opened, also after midnight UTC.
    if (engine) return engine->journal().file().filePath();
    return fs::path(pelkit::PelPaths::journalDir().filePath()) / (platform::utcDay(now) + ".jsonl");
}

std::string scrubbedJournalTail(const fs::path& file, std::size_t lines, std::string_view home,
                                std::string_view loginName) {
    std::string text;
    try {
        text = platform::readFile(file);
    } catch (const std::exception&) {
        return "(no journal)";
    }
    if (platform::unicode::toValidUtf8(text) != text) return "(no journal)";

    std::deque<std::string_view> kept;
    std::string_view rest = text;
    while (!rest.empty() && lines > 0) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        if (line.empty()) continue;
        kept.push_back(line);
        if (kept.size() > lines) kept.pop_front();
    }
    std::string out;
    for (std::string_view line : kept) {
        if (!out.empty()) out += '\n';
        out += scrubJournalText(line, home, loginName);
    }
    return out;
}

void setLaunchAtLogin(AppModel& model, LoginItem& item, bool enabled) {
    try {
        if (enabled) {
            item.registerItem();
        } else {
            item.unregisterItem();
        }
    } catch (...) {
        model.statusMessage = "launch-at-login: " + errorText(std::current_exception());
        model.changed(ModelChange::status);
    }
}

void resetOverrides(EngineApi* engine) {
    try {
        if (engine) {
            engine->overrides().reset();
            return;
        }
        const fs::path path = pelkit::PelPaths::overridesFile().filePath();
        std::error_code ec;
        if (!fs::is_directory(path.parent_path(), ec)) return;
        platform::atomicWrite(path, pelkit::Overrides::kEmptyDocument);
    } catch (const std::exception&) {
        // Nothing to tell: the next load shows what the file holds.
    }
}

} // namespace pelapp
