#include "PelApp/Launch/AppDelegate.hpp"
#include "PelApp/Model/LoginItem.hpp"
#include "PelApp/ModelHarness.hpp"
#include "PelApp/RunUntil.hpp"
#include "PelApp/Telemetry/Scrubbing.hpp"
#include "PelApp/Views/Settings.hpp"
#include "PelApp/Views/SettingsSigning.hpp"
#include "PelKit/Journal.hpp"
#include "Platform/Time.hpp"
#include "Support/FakeTools.hpp"
#include "Support/SharedTestDB.hpp"
#include "Support/TempDir.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pelsupport::readText;
using pelsupport::TempDir;
using pelsupport::writeText;

// The query of a mailto URL as decoded name → value pairs, in order.
std::vector<std::pair<std::string, std::string>> queryItems(const platform::Url& url) {
    std::vector<std::pair<std::string, std::string>> items;
    const std::string query = url.query().value_or("");
    std::string_view rest = query;
    while (!rest.empty()) {
        const auto end = rest.find('&');
        const std::string_view item = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        const auto eq = item.find('=');
        items.emplace_back(platform::percentDecode(item.substr(0, eq)), platform::percentDecode(item.substr(eq + 1)));
    }
    return items;
}

TEST(FeedbackMail, SubjectAndBodySurviveTheRoundTrip) {
    const std::string subject = "Pelloran feedback (v1.2 & more = #1 100% + ✓)";
    const std::string body = "line one\nZoë & co = 50% #tag +plus\r\nlast";
    const auto url = pelapp::feedbackMailUrl(subject, body);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme(), "mailto");
    EXPECT_EQ(url->path(), "support@pelloran.app");
    EXPECT_EQ(url->text().find_first_of(" \n#+"), std::string::npos) << url->text();
    const std::vector<std::pair<std::string, std::string>> expected{{"subject", subject}, {"body", body}};
    EXPECT_EQ(queryItems(*url), expected);
}

TEST(FeedbackMail, SubjectAndBodyFollowTheFixedLayout) {
    pelapp::AppInfo info{"1.2.3", "45", "/opt/pelloran"};
    EXPECT_EQ(pelapp::feedbackSubject(info), "Pelloran feedback (v1.2.3)");
    EXPECT_EQ(pelapp::feedbackBody(info, "Linux 6.1 (x86_64)", "a\nb"),
              "\n\n\n---\nApp: Pelloran 1.2.3\nmacOS: Linux 6.1 (x86_64)\n\nRecent journal (scrubbed):\na\nb");
    info.shortVersion.reset();
    info.buildVersion.reset();
    EXPECT_EQ(pelapp::feedbackSubject(info), "Pelloran feedback (v?)");
    EXPECT_EQ(pelapp::feedbackBody(info, "os", "(no journal)"),
              "\n\n\n---\nApp: Pelloran ?\nmacOS: os\n\nRecent journal (scrubbed):\n(no journal)");
    EXPECT_EQ(pelapp::aboutVersionLine(info), "Version ? (build ?)");
    EXPECT_EQ(pelapp::aboutVersionLine({std::nullopt, "45", ""}), "Version ? (build 45)");
}

TEST(JournalScrub, HomeInBothFormsThenTheLoginName) {
    struct Case {
        const char* name;
        std::string home;
        std::string login;
        std::string line;
        std::string expected;
    };
    const std::vector<Case> cases{
        {"plain path", "/Users/ann", "ann", "at /Users/ann/Apps and ann", "at $HOME/Apps and $USER"},
        {"escaped path", "/Users/ann", "ann", R"({"path":"\/Users\/ann\/Applications\/X.app","user":"ann"})",
         R"({"path":"$HOME\/Applications\/X.app","user":"$USER"})"},
        {"both forms twice", "/home/bo", "bo", R"(/home/bo \/home\/bo /home/bo)", "$HOME $HOME $HOME"},
        {"trailing slash of home", "/home/bo/", "bo", R"(\/home\/bo\/x)", R"($HOME\/x)"},
        {"login name as text", "/Users/HOME", "HOME", "/Users/HOME HOME", "$HOME $USER"},
        {"root home is kept", "/", "root", R"(\/tmp\/x root)", R"(\/tmp\/x $USER)"},
        {"no login name", "/Users/ann", "", "ann \\/Users\\/ann", "ann $HOME"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(pelapp::scrubJournalText(c.line, c.home, c.login), c.expected) << c.name;
}

TEST(JournalTail, KeepsTheLastNonEmptyLinesScrubbed) {
    TempDir tmp;
    const fs::path file = tmp / "2024-01-01.jsonl";
    std::string text;
    for (int i = 1; i <= 100; ++i)
        text += fmt::format("{{\"n\":{},\"path\":\"\\/home\\/cy\\/{}\"}}\n\n", i, i);
    writeText(file, text);

    const std::string tail = pelapp::scrubbedJournalTail(file, 40, "/home/cy", "cy");
    std::vector<std::string> lines;
    for (std::size_t from = 0;;) {
        const auto end = tail.find('\n', from);
        lines.push_back(tail.substr(from, end - from));
        if (end == std::string::npos) break;
        from = end + 1;
    }
    ASSERT_EQ(lines.size(), 40u);
    EXPECT_EQ(lines.front(), R"({"n":61,"path":"$HOME\/61"})");
    EXPECT_EQ(lines.back(), R"({"n":100,"path":"$HOME\/100"})");

    writeText(file, "one\n\ntwo");
    EXPECT_EQ(pelapp::scrubbedJournalTail(file, 40, "/home/cy", "cy"), "one\ntwo");
    EXPECT_EQ(pelapp::scrubbedJournalTail(file, 0, "/home/cy", "cy"), "");
    EXPECT_EQ(pelapp::scrubbedJournalTail(tmp / "missing.jsonl", 40, "/home/cy", "cy"), "(no journal)");
    EXPECT_EQ(pelapp::scrubbedJournalTail(tmp.path(), 40, "/home/cy", "cy"), "(no journal)");
    writeText(file, "bad \xff byte\n");
    EXPECT_EQ(pelapp::scrubbedJournalTail(file, 40, "/home/cy", "cy"), "(no journal)");
}

TEST(JournalTail, QuotesTheRunningJournalsFileAfterMidnight) {
    TempDir tmp;
    pelkit::testing::ScopedHomeOverride home(tmp / "home");
    pelsupport::SharedTestDB db(tmp / "pel.db");
    platform::ManualClock clock(platform::TimePoint{std::chrono::hours(24 * 19'800 + 23)});
    pelkit::Journal journal(std::nullopt, nullptr, clock);
    pelapptest::FakeEngine engine(nullptr, &journal);
    const auto nextDay = clock.now() + std::chrono::hours(2);
    const fs::path runs = tmp / "home/.local/state/pel/runs";

    EXPECT_EQ(pelapp::feedbackJournalFile(&engine, nextDay), runs / (platform::utcDay(clock.now()) + ".jsonl"));
    EXPECT_EQ(pelapp::feedbackJournalFile(nullptr, nextDay), runs / (platform::utcDay(nextDay) + ".jsonl"));
    EXPECT_NE(platform::utcDay(clock.now()), platform::utcDay(nextDay));
}

TEST(SigningTeamReport, LinesDecide) {
    struct Case {
        const char* name;
        std::string report;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases{
        {"team line", "Executable=/x\nAuthority=Developer ID Application: Someone (AB12)\nTeamIdentifier=AB12\n",
         "AB12"},
        {"not set", "Format=app bundle\nTeamIdentifier=not set\n", "not set"},
        {"blanks trimmed", "\n\tTeamIdentifier= \tXY99 \t\n", "XY99"},
        {"a path naming the key decides nothing",
         "Executable=/Users/x/TeamIdentifier=FAKE1/Pelloran.app/Contents/MacOS/Pelloran\n"
         "Identifier=com.x Authority=Pelloran Fake\nTeamIdentifier=AB12\n",
         "AB12"},
        {"product authority first", "Authority=Pelloran Release Signing\nTeamIdentifier=AB12\n",
         "Pelloran Release Signing"},
        {"other authority skipped", "Authority=Apple Root CA\nTeamIdentifier=AB12\n", "AB12"},
        {"no matching line", "Executable=/x\nAuthority=Apple Root CA\n\n", std::nullopt},
        {"empty", "", std::nullopt},
        {"rest after the first marker", "TeamIdentifier=A=TeamIdentifier=B\n", "A=TeamIdentifier=B"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(pelapp::parseSigningTeam(c.report), c.expected) << c.name;
}

TEST(SigningTeamRun, CodesignRunsOnceOffTheMainExecutor) {
    pelsupport::FakeTools tools;
    tools.install("codesign", pelsupport::FakeReply().withStatus(1).withErr("Identifier=x\nTeamIdentifier=TEAM42\n"));
    platform::ManualExecutor executor;
    pelapp::SigningTeam team("/opt/Pelloran.app");
    int answers = 0;
    const int token = team.observe([&] { ++answers; });
    EXPECT_FALSE(team.known());

    team.start(executor);
    team.start(executor);
    ASSERT_TRUE(pelapptest::runUntil(executor, [&] { return team.known(); }));
    team.start(executor);
    executor.runPending();
    EXPECT_EQ(team.team(), "TEAM42");
    EXPECT_EQ(answers, 1);
    ASSERT_EQ(tools.callCount("codesign"), 1);
    EXPECT_EQ(tools.calls("codesign")[0].args, (std::vector<std::string>{"-dv", "--verbose=4", "/opt/Pelloran.app"}));
    team.unobserve(token);
}

TEST(SigningTeamRun, AMissingToolGivesNoTeam) {
    pelsupport::FakeTools tools;
    EXPECT_EQ(pelapp::readSigningTeam("/opt/Pelloran.app"), std::nullopt);
}

TEST(ResetOverrides, GoesThroughTheRunningEnginesStore) {
    TempDir tmp;
    const fs::path path = tmp / "overrides.json";
    writeText(path, R"({"schemaVersion": 1, "apps": {"com.old.a": {"ignore": true}, "com.old.b": {"ignore": true}}})");
    pelapptest::FakeEngine engine(pelkit::Overrides::load(platform::Url::fromFilePath(path.string())));

    pelapp::resetOverrides(&engine);
    EXPECT_EQ(engine.overrides().count(), 0);
    EXPECT_EQ(readText(path), R"({ "schemaVersion": 1, "apps": {} })");

    // The next Ignore brings back none of the old entries.
    engine.overrides().setIgnore("com.new", "r");
    const auto reloaded = pelkit::Overrides::load(platform::Url::fromFilePath(path.string()));
    EXPECT_EQ(reloaded->ignoredEntries(), (std::vector<pelkit::IgnoredEntry>{{"com.new", "r"}}));
}

TEST(ResetOverrides, WithoutAnEngineWritesTheFileOnlyWhenItsFolderExists) {
    TempDir tmp;
    pelkit::testing::ScopedHomeOverride home(tmp / "home");
    pelapp::resetOverrides(nullptr);
    EXPECT_FALSE(fs::exists(tmp / "home")) << "a missing state folder writes nothing";

    fs::create_directories(tmp / "home/.local/state/pel");
    const fs::path file = pelkit::PelPaths::overridesFile().filePath();
    ASSERT_EQ(file, tmp / "home/.local/state/pel/overrides.json");
    writeText(file, R"({"schemaVersion": 1, "apps": {"com.a": {"ignore": true}}})");
    pelapp::resetOverrides(nullptr);
    EXPECT_EQ(readText(file), R"({ "schemaVersion": 1, "apps": {} })");
}

// A login item that answers with a fixed status and refuses when told to.
struct ScriptedLoginItem final : pelapp::LoginItem {
    pelapp::LoginItemStatus current = pelapp::LoginItemStatus::notRegistered;
    std::optional<std::string> refusal;
    int registers = 0;
    int unregisters = 0;
    pelapp::LoginItemStatus status() const override { return current; }
    void registerItem() override {
        ++registers;
        if (refusal) throw std::runtime_error(*refusal);
        current = pelapp::LoginItemStatus::enabled;
    }
    void unregisterItem() override {
        ++unregisters;
        if (refusal) throw std::runtime_error(*refusal);
        current = pelapp::LoginItemStatus::notRegistered;
    }
};

TEST(LaunchAtLogin, ARefusalBecomesTheStatusLine) {
    pelapptest::ModelHarness h;
    ScriptedLoginItem item;
    pelapp::setLaunchAtLogin(h.model, item, true);
    EXPECT_EQ(item.current, pelapp::LoginItemStatus::enabled);
    EXPECT_EQ(h.model.statusMessage, "Ready");

    item.refusal = "Operation not permitted";
    pelapp::setLaunchAtLogin(h.model, item, false);
    EXPECT_EQ(h.model.statusMessage, "launch-at-login: Operation not permitted");
    EXPECT_EQ(item.current, pelapp::LoginItemStatus::enabled);
}

TEST(LaunchAtLogin, TheFileStandInKeepsItsStateInTheStateFolder) {
    TempDir tmp;
    pelapp::FileLoginItem item(tmp / "state/login-item");
    EXPECT_EQ(item.status(), pelapp::LoginItemStatus::notRegistered);
    item.unregisterItem(); // nothing to remove is no failure
    item.registerItem();
    EXPECT_EQ(item.status(), pelapp::LoginItemStatus::enabled);
    item.unregisterItem();
    EXPECT_EQ(item.status(), pelapp::LoginItemStatus::notRegistered);

    writeText(tmp / "blocked", "a file where the folder should be");
    pelapp::FileLoginItem blocked(tmp / "blocked/login-item");
    EXPECT_THROW(blocked.registerItem(), std::exception);
    EXPECT_EQ(blocked.status(), pelapp::LoginItemStatus::notRegistered);
}

TEST(SettingsPreferences, DefaultsAndWrites) {
    platform::Defaults defaults = platform::Defaults::inMemory();
    pelapp::SettingsPreferences prefs(defaults);
    EXPECT_FALSE(prefs.autoScan());
    EXPECT_EQ(prefs.autoScanIntervalHours(), 24);
    EXPECT_TRUE(prefs.telemetryEnabled());
    EXPECT_TRUE(prefs.analyticsEnabled());

    prefs.setAutoScan(true);
    prefs.setAutoScanIntervalHours(168);
    prefs.setTelemetryEnabled(false);
    prefs.setAnalyticsEnabled(false);
    EXPECT_EQ(defaults.boolean("pel.autoScan"), true);
    EXPECT_EQ(defaults.integer("pel.autoScanIntervalHours"), 168);
    EXPECT_EQ(defaults.boolean("pel.telemetry.enabled"), false);
    EXPECT_EQ(defaults.boolean("pel.analytics.enabled"), false);
    EXPECT_FALSE(pelapp::readConsent(defaults).telemetry);
}

} // namespace
