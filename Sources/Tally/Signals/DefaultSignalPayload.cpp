#include "Tally/Signals/DefaultSignalPayload.hpp"

#include "Platform/Time.hpp"
#include "Tally/Runtime.hpp"
#include "Tally/SessionManager.hpp"

#include <fmt/format.h>
#include <sys/utsname.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace tally {
namespace {

constexpr const char* kPlatform = "macOS";
constexpr const char* kArchitecture = "arm64";
constexpr const char* kTargetEnvironment = "native";
constexpr const char* kOrientation = "Fixed";
constexpr const char* kSdkName = "CppSDK";
constexpr const char* kSdkVersion = "1.0.0";
constexpr const char* kNotAvailable = "N/A";
constexpr auto kLastMonth = std::chrono::seconds{2'592'000}; // 30 days

std::string boolText(bool value) {
    return value ? "true" : "false";
}

std::optional<std::tm> localTime(platform::TimePoint now) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) return std::nullopt;
    return local;
}

// The weekday of 31 December of `year` (0 = Sunday) decides whether the year has 53 ISO weeks.
int isoWeeksInYear(long year) {
    auto decemberLast = [](long y) { return ((y + y / 4 - y / 100 + y / 400) % 7 + 7) % 7; };
    return decemberLast(year) == 4 || decemberLast(year - 1) == 3 ? 53 : 52;
}

int isoWeekOfYear(const std::tm& local) {
    const long year = local.tm_year + 1900L;
    const int weekday = (local.tm_wday + 6) % 7 + 1; // Monday 1 ... Sunday 7
    const int week = (local.tm_yday + 1 - weekday + 10) / 7;
    if (week < 1) return isoWeeksInYear(year - 1);
    if (week > isoWeeksInYear(year)) return 1;
    return week;
}

// The first part of an identifier split at "-" and "_".
std::string firstPart(const std::string& identifier) {
    return identifier.substr(0, identifier.find_first_of("-_"));
}

std::string lastPart(const std::string& identifier) {
    const auto at = identifier.find_last_of("-_");
    return at == std::string::npos ? identifier : identifier.substr(at + 1);
}

std::string appearanceName(const std::optional<Appearance>& appearance) {
    if (appearance == Appearance::aqua) return "Light";
    if (appearance == Appearance::darkAqua) return "Dark";
    return kNotAvailable;
}

std::string layoutDirectionName(const std::optional<LayoutDirection>& direction) {
    if (!direction) return kNotAvailable;
    return *direction == LayoutDirection::leftToRight ? "leftToRight" : "rightToLeft";
}

// "true" only for a stored boolean true.
std::string enabledText(const platform::Json& domain, const char* key) {
    if (!domain.is_object()) return "false";
    const auto found = domain.find(key);
    return boolText(found != domain.end() && found->is_boolean() && found->get<bool>());
}

} // namespace

std::string decimalText(double value) {
    if (!std::isfinite(value)) return kNotAvailable;
    std::string text = fmt::format("{}", value);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

std::string DefaultSignalPayload::timeZone(platform::TimePoint now) {
    const auto local = localTime(now);
    const long offset = local ? local->tm_gmtoff : 0;
    const long magnitude = std::labs(offset);
    std::string text = fmt::format("UTC{}{}", offset < 0 ? '-' : '+', magnitude / 3600);
    if (magnitude % 3600 != 0) text += fmt::format(":{:02d}", magnitude % 3600 / 60);
    return text;
}

bool DefaultSignalPayload::isTestFlight(const HostInfo& host) {
    if (!host.receiptPath) return false;
    const std::filesystem::path receipt(*host.receiptPath);
    return receipt.filename() == "sandboxReceipt" ||
           host.receiptPath->find("sandboxReceipt") != std::string::npos;
}

bool DefaultSignalPayload::isAppStore(const HostInfo& host) {
    // A receipt location is known for every bundle; only a receipt actually there makes a store copy.
    if (!host.receiptPath || isTestFlight(host)) return false;
    std::error_code ec;
    return std::filesystem::is_regular_file(*host.receiptPath, ec);
}

std::string DefaultSignalPayload::modelName(const HostInfo& host) {
    if (host.modelIdentifier) return *host.modelIdentifier;
    struct utsname names {};
    if (::uname(&names) != 0) return "";
    return std::string(names.machine); // up to its first NUL
}

Parameters DefaultSignalPayload::calendarParameters(platform::TimePoint now) {
    const auto local = localTime(now);
    const int dayOfWeek = local ? (local->tm_wday == 0 ? 7 : local->tm_wday) : -1;
    auto component = [&](auto read) { return local ? static_cast<int>(read(*local)) : -1; };
    return {
        {"Tally.Calendar.dayOfMonth",
         fmt::format("{}", component([](const std::tm& t) { return t.tm_mday; }))},
        {"Tally.Calendar.dayOfWeek", fmt::format("{}", dayOfWeek)},
        {"Tally.Calendar.dayOfYear",
         fmt::format("{}", component([](const std::tm& t) { return t.tm_yday + 1; }))},
        {"Tally.Calendar.weekOfYear",
         fmt::format("{}", component([](const std::tm& t) { return isoWeekOfYear(t); }))},
        {"Tally.Calendar.isWeekend", boolText(dayOfWeek == 6 || dayOfWeek == 7)},
        {"Tally.Calendar.monthOfYear",
         fmt::format("{}", component([](const std::tm& t) { return t.tm_mon + 1; }))},
        {"Tally.Calendar.quarterOfYear",
         fmt::format("{}", component([](const std::tm& t) { return t.tm_mon / 3 + 1; }))},
        {"Tally.Calendar.hourOfDay", fmt::format("{}", local ? local->tm_hour + 1 : 0)},
    };
}

Parameters DefaultSignalPayload::accessibilityParameters(const HostInfo& host) {
    if (!host.universalAccess) return {};
    return {
        {"Tally.Accessibility.isReduceMotionEnabled", enabledText(*host.universalAccess, "reduceMotion")},
        {"Tally.Accessibility.isInvertColorsEnabled", enabledText(*host.universalAccess, "InvertColors")},
    };
}

Parameters DefaultSignalPayload::parameters() {
    return parameters(runtime().hostInfo(), runtime().clock->now());
}

Parameters DefaultSignalPayload::parameters(const HostInfo& host, platform::TimePoint now) {
    const auto system = host.systemVersion.value_or(platform::runningSystemVersion());
    const std::string systemVersion =
        fmt::format("{} {}.{}.{}", kPlatform, system.major, system.minor, system.patch);
    const std::string majorSystemVersion = fmt::format("{} {}", kPlatform, system.major);
    const std::string majorMinorSystemVersion =
        fmt::format("{} {}.{}", kPlatform, system.major, system.minor);
    const std::string appVersion = host.shortVersion.value_or("0");
    const std::string buildNumber = host.buildVersion.value_or("0");
    const std::string testFlight = boolText(isTestFlight(host));
    const std::string appStore = boolText(isAppStore(host));
    const std::string model = modelName(host);
    const std::string locale = host.localeIdentifier.value_or("en_US");
    const std::string region = host.regionCode.value_or(lastPart(locale));
    const std::string appLanguage = host.languageCode.value_or(firstPart(locale));
    const std::string preferredLanguage =
        firstPart(host.preferredLanguages.empty() ? std::string("zz-ZZ") : host.preferredLanguages.front());
    const std::string screenHeight = host.mainScreen ? decimalText(host.mainScreen->height) : kNotAvailable;
    const std::string screenWidth = host.mainScreen ? decimalText(host.mainScreen->width) : kNotAvailable;
    const std::string screenScale = host.mainScreen ? decimalText(host.mainScreen->scale) : kNotAvailable;

    Parameters out{
        {"platform", kPlatform},
        {"systemVersion", systemVersion},
        {"majorSystemVersion", majorSystemVersion},
        {"majorMinorSystemVersion", majorMinorSystemVersion},
        {"appVersion", appVersion},
        {"buildNumber", buildNumber},
        {"isSimulator", "false"},
        {"isDebug", "false"},
        {"isTestFlight", testFlight},
        {"isAppStore", appStore},
        {"modelName", model},
        {"architecture", kArchitecture},
        {"operatingSystem", kPlatform},
        {"targetEnvironment", kTargetEnvironment},
        {"locale", locale},
        {"region", region},
        {"appLanguage", appLanguage},
        {"preferredLanguage", preferredLanguage},
        {"telemetryClientVersion", kSdkVersion},
        {"Tally.AppInfo.buildNumber", buildNumber},
        {"Tally.AppInfo.version", appVersion},
        {"Tally.AppInfo.versionAndBuildNumber", appVersion + " (build " + buildNumber + ")"},
        {"Tally.Device.architecture", kArchitecture},
        {"Tally.Device.modelName", model},
        {"Tally.Device.operatingSystem", kPlatform},
        {"Tally.Device.orientation", kOrientation},
        {"Tally.Device.platform", kPlatform},
        {"Tally.Device.screenResolutionHeight", screenHeight},
        {"Tally.Device.screenResolutionWidth", screenWidth},
        {"Tally.Device.screenScaleFactor", screenScale},
        {"Tally.Device.systemMajorMinorVersion", majorMinorSystemVersion},
        {"Tally.Device.systemMajorVersion", majorSystemVersion},
        {"Tally.Device.systemVersion", systemVersion},
        {"Tally.Device.timeZone", timeZone(now)},
        {"Tally.RunContext.isAppStore", appStore},
        {"Tally.RunContext.isDebug", "false"},
        {"Tally.RunContext.isSimulator", "false"},
        {"Tally.RunContext.isTestFlight", testFlight},
        {"Tally.RunContext.language", appLanguage},
        {"Tally.RunContext.locale", locale},
        {"Tally.RunContext.targetEnvironment", kTargetEnvironment},
        {"Tally.SDK.name", kSdkName},
        {"Tally.SDK.nameAndVersion", fmt::format("{} {}", kSdkName, kSdkVersion)},
        {"Tally.SDK.version", kSdkVersion},
        {"Tally.UserPreference.colorScheme", appearanceName(host.appearance)},
        {"Tally.UserPreference.language", preferredLanguage},
        {"Tally.UserPreference.layoutDirection", layoutDirectionName(host.layoutDirection)},
        {"Tally.UserPreference.region", region},
    };

    out = applying(std::move(out), accessibilityParameters(host));
    out = applying(std::move(out), calendarParameters(now));
    if (host.extensionPointIdentifier) {
        out["extensionIdentifier"] = *host.extensionPointIdentifier;
        out["Tally.RunContext.extensionIdentifier"] = *host.extensionPointIdentifier;
    }

    auto& sessions = SessionManager::shared();
    std::optional<std::string> firstSessionDate;
    if (auto store = sessions.store()) firstSessionDate = store->string("firstSessionDate");
    const auto daysUsed = sessions.distinctDaysUsed();
    // The cutoff is a GMT day while the days used are local days: near midnight the two may differ by one.
    const std::string cutoff = platform::utcDay(now - kLastMonth);
    out["Tally.Acquisition.firstSessionDate"] = firstSessionDate.value_or(localDay(now));
    out["Tally.Retention.averageSessionSeconds"] = fmt::format("{}", sessions.averageSessionSeconds());
    out["Tally.Retention.distinctDaysUsed"] = fmt::format("{}", daysUsed.size());
    out["Tally.Retention.distinctDaysUsedLastMonth"] =
        fmt::format("{}", SessionManager::countISODatesOnOrAfter(daysUsed, cutoff));
    out["Tally.Retention.totalSessionsCount"] = fmt::format("{}", sessions.totalSessionsCount());

    const auto recent = sessions.recentSessions();
    if (recent.size() >= 2) {
        out["Tally.Retention.previousSessionSeconds"] =
            fmt::format("{}", recent[recent.size() - 2].durationInSeconds);
    }
    return out;
}

} // namespace tally
