#include "CapturingPipeline.hpp"
#include "Support/TempDir.hpp"
#include "Tally/HostInfo.hpp"
#include "Tally/SessionManager.hpp"
#include "Tally/Signals/DefaultSignalPayload.hpp"
#include "Tally/Tally.hpp"
#include "TallyTestSupport.hpp"

#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>
#include <map>

using namespace std::chrono_literals;
using tally::DefaultSignalPayload;
using tally::HostInfo;
using tally::Parameters;
using tallytest::ScopedTimeZone;

namespace {

// The moment of a local wall-clock time in the process's current time zone.
platform::TimePoint localMoment(int year, int month, int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&t));
}

tally::EnvironmentLookupFn environmentOf(std::map<std::string, std::string> values) {
    return [values = std::move(values)](const std::string& name) -> std::optional<std::string> {
        auto found = values.find(name);
        if (found == values.end()) return std::nullopt;
        return found->second;
    };
}

class DefaultPayload : public ::testing::Test {
protected:
    void SetUp() override { rt.install(); }
    void TearDown() override { tally::Tally::terminate(); }

    Parameters payload(const HostInfo& host = {}) {
        return DefaultSignalPayload::parameters(host, rt.clock->now());
    }

    tallytest::VirtualRuntime rt;
};

TEST_F(DefaultPayload, TimeZoneTexts) {
    struct Case {
        const char* zone;
        int month; // January is winter in the north, July summer
        const char* text;
    };
    for (const Case& c : {Case{"UTC", 1, "UTC+0"}, Case{"Europe/Berlin", 7, "UTC+2"},
                          Case{"America/New_York", 1, "UTC-5"}, Case{"Asia/Kolkata", 1, "UTC+5:30"},
                          Case{"America/St_Johns", 1, "UTC-3:30"}, Case{"Asia/Kathmandu", 7, "UTC+5:45"}}) {
        ScopedTimeZone zone(c.zone);
        const auto now = localMoment(2024, c.month, 15, 12, 0);
        EXPECT_EQ(DefaultSignalPayload::timeZone(now), c.text) << c.zone;
        EXPECT_EQ(payload().at("Tally.Device.timeZone"), DefaultSignalPayload::timeZone(rt.clock->now()))
            << c.zone;
    }
}

TEST_F(DefaultPayload, CalendarTable) {
    struct Case {
        const char* zone;
        int year, month, day, hour, minute;
        std::map<std::string, std::string> expected;
    };
    const std::vector<Case> cases = {
        // Sunday 2 June 2024, just after midnight
        {"Europe/Berlin",
         2024,
         6,
         2,
         0,
         30,
         {{"dayOfWeek", "7"},
          {"isWeekend", "true"},
          {"hourOfDay", "1"},
          {"dayOfMonth", "2"},
          {"monthOfYear", "6"},
          {"quarterOfYear", "2"},
          {"dayOfYear", "154"},
          {"weekOfYear", "22"}}},
        // Monday 3 June 2024, last minute
        {"America/New_York",
         2024,
         6,
         3,
         23,
         59,
         {{"dayOfWeek", "1"}, {"isWeekend", "false"}, {"hourOfDay", "24"}, {"weekOfYear", "23"}}},
        // Saturday 1 June 2024
        {"Asia/Kolkata", 2024, 6, 1, 12, 0, {{"dayOfWeek", "6"}, {"isWeekend", "true"}, {"hourOfDay", "13"}}},
        // Friday 1 January 2021: still ISO week 53 of 2020
        {"UTC",
         2021,
         1,
         1,
         0,
         0,
         {{"dayOfYear", "1"},
          {"weekOfYear", "53"},
          {"quarterOfYear", "1"},
          {"monthOfYear", "1"},
          {"dayOfWeek", "5"}}},
        // Tuesday 31 December 2024: already ISO week 1 of 2025; a leap year's last day
        {"Asia/Kathmandu",
         2024,
         12,
         31,
         23,
         59,
         {{"dayOfYear", "366"},
          {"weekOfYear", "1"},
          {"quarterOfYear", "4"},
          {"monthOfYear", "12"},
          {"dayOfMonth", "31"},
          {"hourOfDay", "24"}}},
        // Sunday 31 December 2023: the last day of ISO week 52
        {"America/St_Johns",
         2023,
         12,
         31,
         18,
         0,
         {{"dayOfYear", "365"}, {"weekOfYear", "52"}, {"dayOfWeek", "7"}}},
    };
    for (const auto& c : cases) {
        ScopedTimeZone zone(c.zone);
        const auto calendar =
            DefaultSignalPayload::calendarParameters(localMoment(c.year, c.month, c.day, c.hour, c.minute));
        EXPECT_EQ(calendar.size(), 8u);
        for (const auto& [key, value] : c.expected) {
            EXPECT_EQ(calendar.at("Tally.Calendar." + key), value)
                << c.zone << " " << c.year << "-" << c.month << "-" << c.day << " " << key;
        }
    }
}

TEST_F(DefaultPayload, VersionBuildAndSystemFallbacks) {
    HostInfo host;
    auto p = payload(host);
    EXPECT_EQ(p.at("appVersion"), "0");
    EXPECT_EQ(p.at("buildNumber"), "0");
    EXPECT_EQ(p.at("Tally.AppInfo.versionAndBuildNumber"), "0 (build 0)");
    EXPECT_EQ(p.at("systemVersion"), "macOS 14.0.0"); // the platform's one answer off macOS

    host.shortVersion = "1.2";
    host.systemVersion = platform::SystemVersion{14, 5, 1};
    p = payload(host);
    EXPECT_EQ(p.at("Tally.AppInfo.version"), "1.2");
    EXPECT_EQ(p.at("Tally.AppInfo.buildNumber"), "0");
    EXPECT_EQ(p.at("Tally.AppInfo.versionAndBuildNumber"), "1.2 (build 0)");
    EXPECT_EQ(p.at("systemVersion"), "macOS 14.5.1");
    EXPECT_EQ(p.at("majorSystemVersion"), "macOS 14");
    EXPECT_EQ(p.at("Tally.Device.systemMajorMinorVersion"), "macOS 14.5");

    host.buildVersion = "27";
    EXPECT_EQ(payload(host).at("Tally.AppInfo.versionAndBuildNumber"), "1.2 (build 27)");
}

TEST_F(DefaultPayload, LanguageRegionAndLocale) {
    struct Case {
        std::vector<std::string> preferred;
        const char* expected;
    };
    for (const auto& c :
         {Case{{"de-CH", "en"}, "de"}, Case{{"pt_BR"}, "pt"}, Case{{}, "zz"}, Case{{"fr"}, "fr"}}) {
        HostInfo host;
        host.preferredLanguages = c.preferred;
        const auto p = payload(host);
        EXPECT_EQ(p.at("preferredLanguage"), c.expected);
        EXPECT_EQ(p.at("Tally.UserPreference.language"), c.expected);
    }
    // Region and language fall back to the parts of the locale identifier.
    HostInfo host;
    host.localeIdentifier = "de";
    auto p = payload(host);
    EXPECT_EQ(p.at("region"), "de");
    EXPECT_EQ(p.at("appLanguage"), "de");
    host = tally::linuxHostInfo(environmentOf({{"LANG", "pt_BR.UTF-8"}}));
    p = payload(host);
    EXPECT_EQ(p.at("locale"), "pt_BR");
    EXPECT_EQ(p.at("Tally.RunContext.locale"), "pt_BR");
    EXPECT_EQ(p.at("region"), "BR");
    EXPECT_EQ(p.at("Tally.UserPreference.region"), "BR");
    EXPECT_EQ(p.at("Tally.RunContext.language"), "pt");
}

TEST_F(DefaultPayload, LinuxHostInformationFromTheEnvironment) {
    struct Case {
        std::map<std::string, std::string> environment;
        const char* locale;
        std::optional<std::string> region;
        std::vector<std::string> preferred;
    };
    const std::vector<Case> cases = {
        {{}, "en_US", "US", {"en"}},
        {{{"LANG", "C.UTF-8"}}, "en_US", "US", {"en"}},
        {{{"LANG", "POSIX"}}, "en_US", "US", {"en"}},
        {{{"LC_ALL", "de_CH.UTF-8"}, {"LANG", "fr_FR"}}, "de_CH", "CH", {"de"}},
        {{{"LC_ALL", ""}, {"LC_MESSAGES", "sr_RS@latin"}, {"LANG", "fr_FR"}}, "sr_RS", "RS", {"sr"}},
        {{{"LANG", "de"}, {"LANGUAGE", "de_AT:en::fr"}}, "de", std::nullopt, {"de_AT", "en", "fr"}},
    };
    for (const auto& c : cases) {
        const auto host = tally::linuxHostInfo(environmentOf(c.environment));
        EXPECT_EQ(host.localeIdentifier, c.locale);
        EXPECT_EQ(host.regionCode, c.region) << c.locale;
        EXPECT_EQ(host.preferredLanguages, c.preferred) << c.locale;
        EXPECT_EQ(host.systemVersion, platform::runningSystemVersion());
        EXPECT_FALSE(host.shortVersion || host.buildVersion || host.receiptPath || host.modelIdentifier);
        EXPECT_FALSE(host.appearance || host.mainScreen || host.layoutDirection || host.universalAccess);
    }
}

TEST_F(DefaultPayload, StoreReceiptDecidesAppStoreAndTestFlight) {
    pelsupport::TempDir dir;
    pelsupport::writeText(dir / "Contents/_MASReceipt/receipt", "receipt");
    pelsupport::writeText(dir / "Contents/_MASReceipt/sandboxReceipt", "receipt");
    pelsupport::writeText(dir / "sandboxReceipt.d/receipt", "receipt");
    struct Case {
        std::optional<std::string> receipt;
        const char* testFlight;
        const char* appStore;
    };
    const std::vector<Case> cases = {
        {std::nullopt, "false", "false"},
        {(dir / "Contents/_MASReceipt/receipt").string(), "false", "true"},
        // Outside the store the bundle still names a receipt location, but nothing is there.
        {(dir / "Contents/_MASReceipt/missing").string(), "false", "false"},
        {(dir / "Contents/_MASReceipt/sandboxReceipt").string(), "true", "false"},
        {(dir / "sandboxReceipt.d/receipt").string(), "true", "false"},
    };
    for (const auto& c : cases) {
        HostInfo host;
        host.receiptPath = c.receipt;
        const auto p = payload(host);
        const std::string label = c.receipt.value_or("none");
        EXPECT_EQ(p.at("isTestFlight"), c.testFlight) << label;
        EXPECT_EQ(p.at("Tally.RunContext.isTestFlight"), c.testFlight) << label;
        EXPECT_EQ(p.at("isAppStore"), c.appStore) << label;
        EXPECT_EQ(p.at("Tally.RunContext.isAppStore"), c.appStore) << label;
    }
}

TEST_F(DefaultPayload, ScreenAppearanceAndLayout) {
    HostInfo host;
    auto p = payload(host);
    for (const char* key : {"Tally.Device.screenResolutionHeight", "Tally.Device.screenResolutionWidth",
                            "Tally.Device.screenScaleFactor", "Tally.UserPreference.layoutDirection",
                            "Tally.UserPreference.colorScheme"}) {
        EXPECT_EQ(p.at(key), "N/A") << key;
    }
    host.mainScreen = tally::ScreenInfo{982, 1512.5, 2};
    host.appearance = tally::Appearance::darkAqua;
    host.layoutDirection = tally::LayoutDirection::rightToLeft;
    p = payload(host);
    EXPECT_EQ(p.at("Tally.Device.screenResolutionHeight"), "982.0");
    EXPECT_EQ(p.at("Tally.Device.screenResolutionWidth"), "1512.5");
    EXPECT_EQ(p.at("Tally.Device.screenScaleFactor"), "2.0");
    EXPECT_EQ(p.at("Tally.UserPreference.colorScheme"), "Dark");
    EXPECT_EQ(p.at("Tally.UserPreference.layoutDirection"), "rightToLeft");

    host.mainScreen = tally::ScreenInfo{std::nan(""), std::numeric_limits<double>::infinity(), 1.25};
    host.appearance = tally::Appearance::other;
    p = payload(host);
    EXPECT_EQ(p.at("Tally.Device.screenResolutionHeight"), "N/A");
    EXPECT_EQ(p.at("Tally.Device.screenResolutionWidth"), "N/A");
    EXPECT_EQ(p.at("Tally.Device.screenScaleFactor"), "1.25");
    EXPECT_EQ(p.at("Tally.UserPreference.colorScheme"), "N/A");
}

TEST_F(DefaultPayload, UniversalAccessDomain) {
    HostInfo host;
    auto p = payload(host);
    EXPECT_FALSE(p.contains("Tally.Accessibility.isReduceMotionEnabled"));
    EXPECT_FALSE(p.contains("Tally.Accessibility.isInvertColorsEnabled"));

    host.universalAccess = platform::Json{{"InvertColors", true}};
    p = payload(host);
    EXPECT_EQ(p.at("Tally.Accessibility.isReduceMotionEnabled"), "false");
    EXPECT_EQ(p.at("Tally.Accessibility.isInvertColorsEnabled"), "true");

    host.universalAccess = platform::Json{{"reduceMotion", "true"}, {"InvertColors", 1}}; // not booleans
    p = payload(host);
    EXPECT_EQ(p.at("Tally.Accessibility.isReduceMotionEnabled"), "false");
    EXPECT_EQ(p.at("Tally.Accessibility.isInvertColorsEnabled"), "false");
}

TEST_F(DefaultPayload, ModelAndExtension) {
    HostInfo host;
    struct utsname names {};
    ASSERT_EQ(::uname(&names), 0);
    auto p = payload(host);
    EXPECT_EQ(p.at("modelName"), names.machine);
    EXPECT_FALSE(p.contains("extensionIdentifier"));
    EXPECT_FALSE(p.contains("Tally.RunContext.extensionIdentifier"));

    host.modelIdentifier = "Mac14,2";
    host.extensionPointIdentifier = "com.apple.widgetkit-extension";
    p = payload(host);
    EXPECT_EQ(p.at("Tally.Device.modelName"), "Mac14,2");
    EXPECT_EQ(p.at("extensionIdentifier"), "com.apple.widgetkit-extension");
    EXPECT_EQ(p.at("Tally.RunContext.extensionIdentifier"), "com.apple.widgetkit-extension");
}

class RetentionPayload : public DefaultPayload {
protected:
    // Installs a manager so the session statistics have a store, seeded before they are first read.
    platform::Defaults seed() {
        rt.makePipeline = pipelines.factory();
        rt.install();
        auto config = std::make_shared<tally::TelemetryManagerConfiguration>("com.pelloran");
        config->setSessionStatsEnabled(false);
        tally::Tally::initialize(config);
        return *tally::Tally::customDefaults();
    }
    static std::vector<std::uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

    tallytest::CapturingPipelines pipelines;
};

TEST_F(RetentionPayload, PreviousSessionIsTheSecondToLast) {
    ScopedTimeZone zone("UTC");
    auto store = seed();
    const auto now = rt.clock->now();
    store.setBytes("recentSessions",
                   bytes(tally::encodeStoredSessions({{now - 72h, 10}, {now - 48h, 20}, {now - 24h, 99}})));
    store.setInteger("deletedSessionsCount", 4);
    store.setString("firstSessionDate", "2023-01-02");
    store.setStringList("distinctDaysUsed", {"2023-09-01", "2023-10-15", "2023-10-16", "2023-11-13"});
    const auto p = payload();
    EXPECT_EQ(p.at("Tally.Retention.previousSessionSeconds"), "20");
    EXPECT_EQ(p.at("Tally.Retention.averageSessionSeconds"), "15");
    EXPECT_EQ(p.at("Tally.Retention.totalSessionsCount"), "7");
    EXPECT_EQ(p.at("Tally.Retention.distinctDaysUsed"), "4");
    // 2023-11-14 22:13 UTC less 30 days is 2023-10-15.
    EXPECT_EQ(p.at("Tally.Retention.distinctDaysUsedLastMonth"), "3");
    EXPECT_EQ(p.at("Tally.Acquisition.firstSessionDate"), "2023-01-02");
}

TEST_F(RetentionPayload, OneSessionOrNoneGivesNoPreviousSession) {
    auto store = seed();
    store.setInteger("deletedSessionsCount", 2);
    auto p = payload();
    EXPECT_FALSE(p.contains("Tally.Retention.previousSessionSeconds"));
    EXPECT_EQ(p.at("Tally.Retention.averageSessionSeconds"), "-1");
    EXPECT_EQ(p.at("Tally.Retention.totalSessionsCount"), "2");
    EXPECT_EQ(p.at("Tally.Acquisition.firstSessionDate"), tally::localDay(rt.clock->now()));

    store = seed(); // a fresh runtime, so the statistics load again
    store.setBytes("recentSessions", bytes(tally::encodeStoredSessions({{rt.clock->now() - 1h, 30}})));
    p = payload();
    EXPECT_FALSE(p.contains("Tally.Retention.previousSessionSeconds"));
    EXPECT_EQ(p.at("Tally.Retention.averageSessionSeconds"), "30");
}

TEST_F(DefaultPayload, KeySetOfALinuxRun) {
    rt.hostInfo = [] { return tally::linuxHostInfo(environmentOf({{"LANG", "en_GB.UTF-8"}})); };
    rt.install();
    std::vector<std::string> keys;
    for (const auto& [key, value] : DefaultSignalPayload::parameters()) {
        keys.push_back(key);
    }
    const std::vector<std::string> expected = {
        "Tally.Acquisition.firstSessionDate",
        "Tally.AppInfo.buildNumber",
        "Tally.AppInfo.version",
        "Tally.AppInfo.versionAndBuildNumber",
        "Tally.Calendar.dayOfMonth",
        "Tally.Calendar.dayOfWeek",
        "Tally.Calendar.dayOfYear",
        "Tally.Calendar.hourOfDay",
        "Tally.Calendar.isWeekend",
        "Tally.Calendar.monthOfYear",
        "Tally.Calendar.quarterOfYear",
        "Tally.Calendar.weekOfYear",
        "Tally.Device.architecture",
        "Tally.Device.modelName",
        "Tally.Device.operatingSystem",
        "Tally.Device.orientation",
        "Tally.Device.platform",
        "Tally.Device.screenResolutionHeight",
        "Tally.Device.screenResolutionWidth",
        "Tally.Device.screenScaleFactor",
        "Tally.Device.systemMajorMinorVersion",
        "Tally.Device.systemMajorVersion",
        "Tally.Device.systemVersion",
        "Tally.Device.timeZone",
        "Tally.Retention.averageSessionSeconds",
        "Tally.Retention.distinctDaysUsed",
        "Tally.Retention.distinctDaysUsedLastMonth",
        "Tally.Retention.totalSessionsCount",
        "Tally.RunContext.isAppStore",
        "Tally.RunContext.isDebug",
        "Tally.RunContext.isSimulator",
        "Tally.RunContext.isTestFlight",
        "Tally.RunContext.language",
        "Tally.RunContext.locale",
        "Tally.RunContext.targetEnvironment",
        "Tally.SDK.name",
        "Tally.SDK.nameAndVersion",
        "Tally.SDK.version",
        "Tally.UserPreference.colorScheme",
        "Tally.UserPreference.language",
        "Tally.UserPreference.layoutDirection",
        "Tally.UserPreference.region",
        "appLanguage",
        "appVersion",
        "architecture",
        "buildNumber",
        "isAppStore",
        "isDebug",
        "isSimulator",
        "isTestFlight",
        "locale",
        "majorMinorSystemVersion",
        "majorSystemVersion",
        "modelName",
        "operatingSystem",
        "platform",
        "preferredLanguage",
        "region",
        "systemVersion",
        "targetEnvironment",
        "telemetryClientVersion",
    };
    EXPECT_EQ(keys, expected);
    const auto p = DefaultSignalPayload::parameters();
    EXPECT_EQ(p.at("locale"), "en_GB");
    EXPECT_EQ(p.at("platform"), "macOS");
    EXPECT_EQ(p.at("architecture"), "arm64");
    EXPECT_EQ(p.at("targetEnvironment"), "native");
    EXPECT_EQ(p.at("Tally.Device.orientation"), "Fixed");
    EXPECT_EQ(p.at("Tally.SDK.nameAndVersion"), "CppSDK 1.0.0");
    EXPECT_EQ(p.at("telemetryClientVersion"), "1.0.0");
}

TEST(DecimalText, ShortestRoundTripWithAFractionDigit) {
    EXPECT_EQ(tally::decimalText(982), "982.0");
    EXPECT_EQ(tally::decimalText(-3), "-3.0");
    EXPECT_EQ(tally::decimalText(0.1), "0.1");
    EXPECT_EQ(tally::decimalText(3.257), "3.257");
    EXPECT_EQ(tally::decimalText(1e20), "1e+20");
    EXPECT_EQ(tally::decimalText(std::nan("")), "N/A");
    EXPECT_EQ(tally::decimalText(-std::numeric_limits<double>::infinity()), "N/A");
}

} // namespace
