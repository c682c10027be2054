#include "PelKit/Engine.hpp"

#include "PelKit/Config.hpp"
#include "PelKit/DB.hpp"
#include "PelKit/HTTP.hpp"
#include "PelKit/Journal.hpp"
#include "PelKit/UpdateSources/HomebrewCask.hpp"
#include "Platform/Time.hpp"
#include "Support/BundleBuilder.hpp"
#include "Support/FakeBundleTools.hpp"
#include "Support/FakeTools.hpp"
#include "Support/MachOBytes.hpp"
#include "Support/ScriptedSource.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <sstream>

using namespace pelkit;
namespace fs = std::filesystem;
using pelsupport::BundleBuilder;
using pelsupport::FakeBundleTools;
using pelsupport::FakeTools;
using pelsupport::scriptedRemote;
using pelsupport::ScriptedSource;
using pelsupport::TempDir;

namespace {

InstalledApp makeApp(std::string bundleID, std::optional<std::string> shortVersion = "1.2",
                     std::optional<std::string> buildVersion = std::nullopt,
                     std::string path = "/Applications/Foo.app") {
    InstalledApp app;
    app.path = Url::fromFilePath(path);
    app.bundleID = std::move(bundleID);
    app.name = "Foo";
    app.shortVersion = std::move(shortVersion);
    app.buildVersion = std::move(buildVersion);
    app.executable = "Foo";
    app.archs = {"arm64"};
    return app;
}

PelError pelError(ErrorCode code, std::string message) {
    return PelError(code, std::nullopt, std::nullopt, std::move(message), false);
}

// Every field of a release, for exact comparison.
Json describe(const std::optional<RemoteVersion>& r) {
    if (!r) return nullptr;
    auto opt = [](const auto& v) { return v ? Json(*v) : Json(nullptr); };
    return Json{{"source", rawValue(r->source)},
                {"sourceToken", opt(r->sourceToken)},
                {"version", r->version},
                {"buildVersion", opt(r->buildVersion)},
                {"downloadURL", r->downloadURL ? Json(r->downloadURL->text()) : Json(nullptr)},
                {"sha256", opt(r->sha256)},
                {"sizeBytes", opt(r->sizeBytes)},
                {"minSystemVersion", opt(r->minSystemVersion)},
                {"publishedAt", r->publishedAt ? Json(platform::toSeconds(*r->publishedAt)) : Json(nullptr)},
                {"notes", opt(r->notes)},
                {"artifactType", opt(r->artifactType)}};
}

Json placeholder(AppSource source, std::string version, std::string notes) {
    RemoteVersion r;
    r.source = source;
    r.version = std::move(version);
    r.notes = std::move(notes);
    return describe(r);
}

class EngineTest : public ::testing::Test {
protected:
    TempDir tmp{"pel-engine"};
    pelkit::testing::ScopedHomeOverride homeOverride{tmp / "home"};
    // The database's clock stamps and ages the resolution rows; the journal's stamps the lines.
    platform::ManualClock dbClock{platform::fromSeconds(1769900000.0)};
    platform::ManualClock journalClock{platform::fromSeconds(1769903998.7)};
    platform::ManualClock engineClock{platform::fromSeconds(1769900000.0)};
    DB db{Url::fromFilePath((tmp / "pel.db").string()), dbClock};
    Overrides overrides{OverridesFile{}, std::nullopt};
    Journal journal{"01TESTRUN000", &db, journalClock};

    std::shared_ptr<ScriptedSource> brew = std::make_shared<ScriptedSource>(AppSource::homebrew);
    std::shared_ptr<ScriptedSource> sparkle = std::make_shared<ScriptedSource>(AppSource::sparkle);
    std::shared_ptr<ScriptedSource> store = std::make_shared<ScriptedSource>(AppSource::macAppStore);

    void SetUp() override { pelkit::testing::setSharedDB(&db); }
    void TearDown() override { pelkit::testing::setSharedDB(nullptr); }

    EngineSeams seams() {
        EngineSeams s;
        s.clock = &engineClock;
        s.db = &db;
        return s;
    }

    std::unique_ptr<Engine> engine(std::vector<std::shared_ptr<UpdateSource>> list) {
        return std::make_unique<Engine>(overrides, journal, std::move(list), seams());
    }
    std::unique_ptr<Engine> engine() { return engine({brew, sparkle, store}); }

    std::vector<std::string> rawLines() {
        journal.flush();
        std::vector<std::string> out;
        std::istringstream in(pelsupport::readText(journal.file().filePath()));
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }

    // The journal's records without the fields the journal adds itself (the event name kept).
    std::vector<Json> events() {
        std::vector<Json> out;
        for (const auto& line : rawLines()) {
            Json j = Json::parse(line);
            j.erase("ts");
            j.erase("run");
            j.erase("schemaVersion");
            out.push_back(std::move(j));
        }
        return out;
    }

    void storeRow(const std::string& bundleID, const RemoteVersion& remote) {
        db.setResolved(bundleID, remote);
    }
    // The stored row's version and age in seconds, whatever its age.
    std::optional<std::pair<std::string, double>> row(const std::string& bundleID) {
        auto cached = db.getResolved(bundleID, 1e12);
        if (!cached) return std::nullopt;
        return std::pair{cached->remote.version,
                         dbClock.nowSeconds() - platform::toSeconds(cached->resolvedAt)};
    }
};

Json resolvedLine(Json fields) {
    fields["event"] = "app_resolved";
    return fields;
}

// ---- Resolution paths ----

struct PathCase {
    std::string name;
    InstalledApp app;
    bool useCache = true;
    std::optional<RemoteVersion> storedRow; // written 60 s before the check
    std::function<void(ScriptedSource& brew, ScriptedSource& sparkle, ScriptedSource& store)> script;
    Outcome outcome;
    Json remote;
    std::array<int, 3> calls; // homebrew, sparkle, macAppStore
    std::vector<Json> lines;
    // The row after the check: its version and age (0: written by the check); nullopt: no row.
    std::optional<std::pair<std::string, double>> rowAfter;
};

void PrintTo(const PathCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<PathCase> pathCases() {
    const RemoteVersion oldRow = scriptedRemote(AppSource::homebrew, "9.9", "foo");
    const auto answerAll = [](ScriptedSource& b, ScriptedSource& s, ScriptedSource& m) {
        b.always(scriptedRemote(AppSource::homebrew, "2.0", "foo"));
        s.always(scriptedRemote(AppSource::sparkle, "2.0"));
        m.always(scriptedRemote(AppSource::macAppStore, "2.0"));
    };
    RemoteVersion storeAnswer = scriptedRemote(AppSource::macAppStore, "3.1", "123456");
    storeAnswer.notes = "store notes";
    std::vector<PathCase> cases;

    cases.push_back({"SetappBySuffix",
                     makeApp("com.example.foo-setapp"),
                     true,
                     oldRow,
                     answerAll,
                     Outcome::unsupported,
                     placeholder(AppSource::none, "1.2", Engine::setappNotes),
                     {0, 0, 0},
                     {resolvedLine({{"bundleID", "com.example.foo-setapp"},
                                    {"installed", "1.2"},
                                    {"latest", "1.2"},
                                    {"source", "setapp"},
                                    {"outcome", "unsupported"}})},
                     std::pair{std::string("9.9"), 60.0}});
    cases.push_back({"SetappByFolder",
                     makeApp("com.example.foo", std::nullopt, "7", "/Applications/Setapp/Foo.app"),
                     true,
                     oldRow,
                     answerAll,
                     Outcome::unsupported,
                     placeholder(AppSource::none, "?", "Setapp-managed \u2014 update via the Setapp app"),
                     {0, 0, 0},
                     {resolvedLine({{"bundleID", "com.example.foo"},
                                    {"installed", "?"},
                                    {"latest", "?"},
                                    {"source", "setapp"},
                                    {"outcome", "unsupported"}})},
                     std::pair{std::string("9.9"), 60.0}});
    cases.push_back({"LowerCaseSetappFolderIsAsked",
                     makeApp("com.example.foo", "1.2", std::nullopt, "/Applications/setapp/Foo.app"),
                     true,
                     std::nullopt,
                     answerAll,
                     Outcome::outdated,
                     describe(scriptedRemote(AppSource::homebrew, "2.0", "foo")),
                     {1, 0, 0},
                     {resolvedLine({{"bundleID", "com.example.foo"},
                                    {"installed", "1.2"},
                                    {"latest", "2.0"},
                                    {"source", "homebrew"},
                                    {"sourceToken", "foo"},
                                    {"durationMs", 0},
                                    {"usedOverride", false},
                                    {"outcome", "outdated"}})},
                     std::pair{std::string("2.0"), 0.0}});

    InstalledApp storeApp = makeApp("com.example.store", "3.0");
    storeApp.isMacAppStore = true;
    cases.push_back({"AppStoreAnswers",
                     storeApp,
                     true,
                     oldRow,
                     [=](ScriptedSource& b, ScriptedSource& s, ScriptedSource& m) {
                         answerAll(b, s, m);
                         m.always(storeAnswer);
                     },
                     Outcome::unsupported,
                     describe(storeAnswer),
                     {0, 0, 1},
                     {resolvedLine({{"bundleID", "com.example.store"},
                                    {"installed", "3.0"},
                                    {"latest", "3.1"},
                                    {"source", "macAppStore"},
                                    {"outcome", "unsupported"}})},
                     std::pair{std::string("9.9"), 60.0}});
    const auto storeLine = resolvedLine({{"bundleID", "com.example.store"},
                                         {"installed", "3.0"},
                                         {"latest", "3.0"},
                                         {"source", "macAppStore"},
                                         {"outcome", "unsupported"}});
    cases.push_back({"AppStoreAnswersNothing",
                     storeApp,
                     true,
                     std::nullopt,
                     [=](ScriptedSource& b, ScriptedSource& s, ScriptedSource& m) {
                         answerAll(b, s, m);
                         m.always(pelsupport::ScriptedNothing{});
                     },
                     Outcome::unsupported,
                     placeholder(AppSource::macAppStore, "3.0", Engine::appStoreNotes),
                     {0, 0, 1},
                     {storeLine},
                     std::nullopt});
    cases.push_back(
        {"AppStoreFails",
         storeApp,
         true,
         std::nullopt,
         [=](ScriptedSource& b, ScriptedSource& s, ScriptedSource& m) {
             answerAll(b, s, m);
             m.always(pelError(ErrorCode::NET_TIMEOUT, "lookup timed out"));
         },
         Outcome::unsupported,
         placeholder(AppSource::macAppStore, "3.0", "Mac App Store \u2014 update via App Store.app"),
         {0, 0, 1},
         {storeLine},
         std::nullopt});
    cases.push_back({"AppStoreFailsWithAnyError",
                     storeApp,
                     false,
                     std::nullopt,
                     [=](ScriptedSource& b, ScriptedSource& s, ScriptedSource& m) {
                         answerAll(b, s, m);
                         m.always(std::runtime_error("boom"));
                     },
                     Outcome::unsupported,
                     placeholder(AppSource::macAppStore, "3.0", Engine::appStoreNotes),
                     {0, 0, 1},
                     {storeLine},
                     std::nullopt});

    const RemoteVersion storeRow = scriptedRemote(AppSource::macAppStore, "5.0");
    cases.push_back({"CachedAppStoreRowIsUnsupported",
                     makeApp("com.example.foo", "1.0"),
                     true,
                     storeRow,
                     answerAll,
                     Outcome::unsupported,
                     describe(storeRow),
                     {0, 0, 0},
                     {resolvedLine({{"bundleID", "com.example.foo"},
                                    {"installed", "1.0"},
                                    {"latest", "5.0"},
                                    {"source", "macAppStore"},
                                    {"cache", true},
                                    {"outcome", "unsupported"}})},
                     std::pair{std::string("5.0"), 60.0}});
    // The row was written while 1.2 was installed (outdated then); 9.9 is installed now.
    cases.push_back({"CachedRowIsComparedWithTheInstalledCopy",
                     makeApp("com.example.foo", "9.9"),
                     true,
                     oldRow,
                     answerAll,
                     Outcome::upToDate,
                     describe(oldRow),
                     {0, 0, 0},
                     {resolvedLine({{"bundleID", "com.example.foo"},
                                    {"installed", "9.9"},
                                    {"latest", "9.9"},
                                    {"source", "homebrew"},
                                    {"cache", true},
                                    {"outcome", "upToDate"}})},
                     std::pair{std::string("9.9"), 60.0}});
    cases.push_back({"WithoutCacheTheRowIsAskedAgainAndRewritten",
                     makeApp("com.example.foo", "1.2"),
                     false,
                     oldRow,
                     answerAll,
                     Outcome::outdated,
                     describe(scriptedRemote(AppSource::homebrew, "2.0", "foo")),
                     {1, 0, 0},
                     {resolvedLine({{"bundleID", "com.example.foo"},
                                    {"installed", "1.2"},
                                    {"latest", "2.0"},
                                    {"source", "homebrew"},
                                    {"sourceToken", "foo"},
                                    {"durationMs", 0},
                                    {"usedOverride", false},
                                    {"outcome", "outdated"}})},
                     std::pair{std::string("2.0"), 0.0}});
    return cases;
}

class EnginePathTest : public EngineTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(EnginePathTest, ResolvesByTheFirstRuleThatApplies) {
    const PathCase& c = GetParam();
    if (c.storedRow) storeRow(c.app.bundleID, *c.storedRow);
    dbClock.advance(std::chrono::seconds(60));
    c.script(*brew, *sparkle, *store);

    ResolvedApp r = engine()->check(c.app, c.useCache);

    EXPECT_EQ(r.app, c.app);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(describe(r.remote), c.remote);
    EXPECT_FALSE(r.error.has_value());
    EXPECT_EQ((std::array<int, 3>{brew->calls(), sparkle->calls(), store->calls()}), c.calls);
    EXPECT_EQ(events(), c.lines);
    EXPECT_EQ(row(c.app.bundleID), c.rowAfter);
}

INSTANTIATE_TEST_SUITE_P(Paths, EnginePathTest, ::testing::ValuesIn(pathCases()),
                         [](const auto& info) { return info.param.name; });

TEST_F(EngineTest, AppStoreApplicationAsksOnlyTheFirstAppStoreSource) {
    auto second = std::make_shared<ScriptedSource>(AppSource::macAppStore);
    second->always(scriptedRemote(AppSource::macAppStore, "4.0"));
    store->always(pelsupport::ScriptedNothing{});
    InstalledApp app = makeApp("com.example.store", "3.0");
    app.isMacAppStore = true;

    ResolvedApp r = engine({brew, store, second})->check(app, true);
    EXPECT_EQ(describe(r.remote), placeholder(AppSource::macAppStore, "3.0", Engine::appStoreNotes));
    EXPECT_EQ(brew->calls() + second->calls(), 0);
    EXPECT_EQ(store->calls(), 1);

    // Without any App Store source the placeholder is given at once.
    ResolvedApp none = engine({brew, sparkle})->check(app, true);
    EXPECT_EQ(none.outcome, Outcome::unsupported);
    EXPECT_EQ(describe(none.remote), placeholder(AppSource::macAppStore, "3.0", Engine::appStoreNotes));
    EXPECT_EQ(brew->calls() + sparkle->calls(), 0);
}

TEST_F(EngineTest, ACacheRowOlderThanSixHoursIsNotServed) {
    storeRow("com.example.foo", scriptedRemote(AppSource::homebrew, "9.9"));
    dbClock.advance(std::chrono::seconds(21600));
    sparkle->always(scriptedRemote(AppSource::sparkle, "2.0"));
    auto e = engine();
    EXPECT_EQ(e->check(makeApp("com.example.foo"), true).remote->version, "9.9"); // exactly six hours
    dbClock.advance(std::chrono::seconds(1));
    EXPECT_EQ(e->check(makeApp("com.example.foo"), true).remote->version, "2.0");
    EXPECT_EQ(sparkle->calls(), 1);
}

// ---- Outcome rule ----

struct OutcomeCase {
    std::string name;
    std::optional<std::string> shortVersion, buildVersion;
    std::string release;
    Outcome outcome;
};

void PrintTo(const OutcomeCase& c, std::ostream* os) {
    *os << c.name;
}

class EngineOutcomeTest : public EngineTest, public ::testing::WithParamInterface<OutcomeCase> {};

// Each release is checked fresh and then served from the cache: both give the same outcome.
TEST_P(EngineOutcomeTest, ComparesTheInstalledCopyWithTheRelease) {
    const OutcomeCase& c = GetParam();
    sparkle->answer(scriptedRemote(AppSource::sparkle, c.release));
    InstalledApp app = makeApp("com.example.foo", c.shortVersion, c.buildVersion);
    auto e = engine();

    EXPECT_EQ(e->check(app, true).outcome, c.outcome);
    EXPECT_EQ(e->check(app, true).outcome, c.outcome);
    EXPECT_EQ(sparkle->calls(), 1);

    auto lines = events();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["installed"], c.shortVersion.value_or("?"));
    EXPECT_EQ(lines[1]["installed"], c.shortVersion.value_or("0"));
    for (const auto& line : lines) {
        EXPECT_EQ(line["latest"], c.release);
        EXPECT_EQ(line["outcome"], rawValue(c.outcome));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rule, EngineOutcomeTest,
    ::testing::Values(
        OutcomeCase{"HashBuildCarriesNoOrder", "1.2", std::nullopt, "1.2,abc1234defg", Outcome::upToDate},
        OutcomeCase{"HashBuildWithInstalledBuild", "1.2", "100", "1.2,abc1234defg", Outcome::upToDate},
        OutcomeCase{"NewerBuild", "1.2", "100", "1.2,101", Outcome::outdated},
        OutcomeCase{"SameBuild", "1.2", "101", "1.2,101", Outcome::upToDate},
        OutcomeCase{"BuildWithoutInstalledBuild", "1.2", std::nullopt, "1.2,101", Outcome::outdated},
        OutcomeCase{"EmptyBuildPart", "1.2", std::nullopt, "1.2,", Outcome::upToDate},
        OutcomeCase{"InstalledNewer", "2.0", std::nullopt, "1.9", Outcome::upToDate},
        OutcomeCase{"InstalledOlder", "1.2", "900", "1.3", Outcome::outdated},
        OutcomeCase{"NoShortVersionIsZero", std::nullopt, "5", "0.1", Outcome::outdated},
        OutcomeCase{"NoShortVersionAgainstZero", std::nullopt, std::nullopt, "0", Outcome::upToDate}),
    [](const auto& info) { return info.param.name; });

// ---- Source failures and order ----

TEST_F(EngineTest, FailuresAreJournalledInSourceOrderUntilOneAnswers) {
    brew->fail(pelError(ErrorCode::NET_HTTP_5XX, "catalogue: HTTP 503"));
    sparkle->nothing();
    store->answer(scriptedRemote(AppSource::macAppStore, "4.0", "99"));

    ResolvedApp r = engine()->check(makeApp("com.example.foo", "1.0"), true);

    EXPECT_EQ(r.outcome, Outcome::unsupported);
    EXPECT_EQ(r.remote->version, "4.0");
    EXPECT_EQ(events(), (std::vector<Json>{Json{{"event", "source_failed"},
                                                {"bundleID", "com.example.foo"},
                                                {"source", "homebrew"},
                                                {"code", "NET_HTTP_5XX"},
                                                {"message", "catalogue: HTTP 503"}},
                                           resolvedLine({{"bundleID", "com.example.foo"},
                                                         {"installed", "1.0"},
                                                         {"latest", "4.0"},
                                                         {"source", "macAppStore"},
                                                         {"sourceToken", "99"},
                                                         {"durationMs", 0},
                                                         {"usedOverride", false},
                                                         {"outcome", "unsupported"}})}));
    EXPECT_EQ(row("com.example.foo"), (std::pair{std::string("4.0"), 0.0}));
}

TEST_F(EngineTest, EverySourceFailingLeavesTheApplicationUnresolved) {
    brew->fail(pelError(ErrorCode::SRC_FEED_MALFORMED, "bad catalogue"));
    sparkle->failWith("appcast exploded");
    store->fail(pelError(ErrorCode::NET_TIMEOUT, "lookup timed out"));
    InstalledApp app = makeApp("com.example.foo");

    ResolvedApp r = engine()->check(app, true);

    EXPECT_EQ(r.app, app);
    EXPECT_EQ(r.outcome, Outcome::unresolved);
    EXPECT_FALSE(r.remote.has_value());
    EXPECT_FALSE(r.error.has_value());
    auto failed = [](const char* source, const char* code, const char* message) {
        return Json{{"event", "source_failed"},
                    {"bundleID", "com.example.foo"},
                    {"source", source},
                    {"code", code},
                    {"message", message}};
    };
    EXPECT_EQ(events(),
              (std::vector<Json>{failed("homebrew", "SRC_FEED_MALFORMED", "bad catalogue"),
                                 failed("sparkle", "INT_UNEXPECTED", "appcast exploded"),
                                 failed("macAppStore", "NET_TIMEOUT", "lookup timed out"),
                                 Json{{"event", "app_unresolved"}, {"bundleID", "com.example.foo"}}}));
    EXPECT_FALSE(row("com.example.foo").has_value());
}

TEST_F(EngineTest, NothingFromEverySourceOrNoSourcesIsUnresolved) {
    ResolvedApp r = engine()->check(makeApp("com.example.foo"), true);
    EXPECT_EQ(r.outcome, Outcome::unresolved);
    EXPECT_EQ((std::array{brew->calls(), sparkle->calls(), store->calls()}), (std::array{1, 1, 1}));

    ResolvedApp none = engine({})->check(makeApp("com.example.bar"), true);
    EXPECT_EQ(none.outcome, Outcome::unresolved);
    EXPECT_EQ(events(),
              (std::vector<Json>{Json{{"event", "app_unresolved"}, {"bundleID", "com.example.foo"}},
                                 Json{{"event", "app_unresolved"}, {"bundleID", "com.example.bar"}}}));
}

TEST_F(EngineTest, AnAnswerEndsTheSearchAndEverySourceGetsTheOverrideEntry) {
    OverrideEntry entry;
    entry.caskToken = "foo-beta";
    Overrides withEntry{OverridesFile{1, {{"com.example.foo", entry}}}, std::nullopt};
    brew->nothing();
    sparkle->answer(scriptedRemote(AppSource::sparkle, "2.0"));
    Engine e(withEntry, journal, {brew, sparkle, store}, seams());

    ResolvedApp r = e.check(makeApp("com.example.foo"), false);

    EXPECT_EQ(r.outcome, Outcome::outdated);
    EXPECT_EQ(store->calls(), 0);
    ASSERT_EQ(brew->callLog().size(), 1u);
    ASSERT_EQ(sparkle->callLog().size(), 1u);
    EXPECT_EQ(brew->callLog()[0].overrides, entry);
    EXPECT_EQ(sparkle->callLog()[0].overrides, entry);
    EXPECT_EQ(events().back()["usedOverride"], true);
}

TEST_F(EngineTest, AFailureOfAnyKindIsCaught) {
    struct Throws final : UpdateSource {
        AppSource kind() const override { return AppSource::homebrew; }
        std::optional<RemoteVersion> latest(const InstalledApp&,
                                            const std::optional<OverrideEntry>&) override {
            throw 42;
        }
    };
    sparkle->always(std::runtime_error("no appcast here"));
    ResolvedApp r = engine({std::make_shared<Throws>(), sparkle})->check(makeApp("com.example.foo"), true);
    EXPECT_EQ(r.outcome, Outcome::unresolved);
    auto lines = events();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["code"], "INT_UNEXPECTED");
    EXPECT_EQ(lines[0]["message"], "unknown error");
    EXPECT_EQ(lines[1]["code"], "INT_UNEXPECTED");
    EXPECT_EQ(lines[1]["message"], "no appcast here");
}

TEST_F(EngineTest, AStoreWithoutADatabaseAsksTheSourcesEveryTime) {
    auto disconnected = DB::disconnected(dbClock);
    EngineSeams s = seams();
    s.db = disconnected.get();
    brew->always(scriptedRemote(AppSource::homebrew, "2.0", "foo"));
    Engine e(overrides, journal, {brew, sparkle, store}, s);
    EXPECT_EQ(e.check(makeApp("com.example.foo"), true).outcome, Outcome::outdated);
    EXPECT_EQ(e.check(makeApp("com.example.foo"), true).outcome, Outcome::outdated);
    EXPECT_EQ(brew->calls(), 2);
}

// ---- Exact lines and durations ----

TEST_F(EngineTest, FreshAndCacheLinesHaveExactlyTheseBytes) {
    Overrides withEntry{OverridesFile{1, {{"com.example.foo", OverrideEntry{}}}}, std::nullopt};
    sparkle->answer(scriptedRemote(AppSource::sparkle, "1.3"));
    sparkle->onCall = [&](const InstalledApp&) { engineClock.advance(std::chrono::microseconds(1234900)); };
    Engine e(withEntry, journal, {brew, sparkle, store}, seams());

    e.check(makeApp("com.example.foo", "1.2"), true);
    e.check(makeApp("com.example.foo", std::nullopt), true);

    EXPECT_EQ(
        rawLines(),
        (std::vector<std::string>{
            R"({"bundleID":"com.example.foo","durationMs":1234,"event":"app_resolved","installed":"1.2",)"
            R"("latest":"1.3","outcome":"outdated","run":"01TESTRUN000","schemaVersion":1,"source":"sparkle",)"
            R"("sourceToken":null,"ts":"2026-01-31T23:59:58Z","usedOverride":true})",
            R"({"bundleID":"com.example.foo","cache":true,"event":"app_resolved","installed":"0",)"
            R"("latest":"1.3","outcome":"outdated","run":"01TESTRUN000","schemaVersion":1,"source":"sparkle",)"
            R"("ts":"2026-01-31T23:59:58Z"})"}));
}

// A clock one second later at every reading: the order of two readings shows the order of two steps.
class TickingClock final : public platform::Clock {
public:
    TimePoint now() const override {
        std::lock_guard lock(mutex_);
        return platform::fromSeconds(1769900000.0 + static_cast<double>(ticks_++));
    }

private:
    mutable std::mutex mutex_;
    mutable int ticks_ = 0;
};

TEST_F(EngineTest, AFreshRowIsWrittenBeforeItsLine) {
    TickingClock ticking;
    DB tickingDB{Url::fromFilePath((tmp / "ticking.db").string()), ticking};
    Journal tickingJournal{"01TESTRUN001", &tickingDB, ticking};
    EngineSeams s = seams();
    s.db = &tickingDB;
    brew->answer(scriptedRemote(AppSource::homebrew, "2.0"));
    Engine e(overrides, tickingJournal, {brew}, s);

    e.check(makeApp("com.example.foo"), false);
    tickingJournal.flush();

    auto stored = tickingDB.getResolved("com.example.foo", 1e12);
    ASSERT_TRUE(stored.has_value());
    Json line = Json::parse(pelsupport::readText(tickingJournal.file().filePath()));
    EXPECT_LT(platform::iso8601UTC(stored->resolvedAt), line["ts"].get<std::string>());
}

TEST_F(EngineTest, DurationFollowsTheWallClockEvenBackwards) {
    brew->answer(scriptedRemote(AppSource::homebrew, "2.0"));
    brew->onCall = [&](const InstalledApp&) { engineClock.advance(-std::chrono::milliseconds(2500)); };
    engine()->check(makeApp("com.example.foo"), true);
    EXPECT_EQ(events().back()["durationMs"], -2500);
}

TEST(EngineElapsed, MillisecondsAreTruncatedTowardZeroAndNeverFail) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<double, std::int64_t>> cases = {
        {1.2349, 1234}, {0.0, 0},      {0.0009, 0},
        {-0.0015, -1},  {-2.5, -2500}, {9.2e15, 9200000000000000000},
        {9.3e15, 0},    {-9.3e15, 0},  {1e300, 0},
        {inf, 0},       {-inf, 0},     {std::nan(""), 0},
    };
    for (const auto& [seconds, ms] : cases) {
        EXPECT_EQ(elapsedMilliseconds(seconds), ms) << seconds;
    }
}

// ---- Scan ----

class EngineScanTest : public EngineTest {
protected:
    fs::path applications = tmp / "Applications";
    fs::path system = tmp / "System/Applications";
    FakeTools tools;
    FakeBundleTools fakes{tools};

    EngineSeams scanSeams() {
        EngineSeams s = seams();
        s.scanRoots = std::vector<ScanRoot>{{Url::fromFilePath(applications.string()), false},
                                            {Url::fromFilePath(system.string()), true}};
        return s;
    }
};

TEST_F(EngineScanTest, JournalsEveryKeptAndSkippedBundleInResultOrder) {
    const fs::path alpha = BundleBuilder("Alpha.app")
                               .bundleID("com.example.alpha")
                               .shortVersion("2.1")
                               .buildVersion("210")
                               .feedURL("https://example.com/appcast.xml")
                               .build(applications);
    const fs::path beta = BundleBuilder("Beta.app")
                              .bundleID("com.example.beta")
                              .remove("CFBundleShortVersionString")
                              .remove("CFBundleVersion")
                              .receipt()
                              .executableBytes(pelsupport::thinMachO(pelsupport::machO::arm64))
                              .build(applications);
    fakes.teamID(beta.string(), std::nullopt);
    BundleBuilder("Safari.app").bundleID("com.apple.Safari").build(applications);
    BundleBuilder("Muted.app").bundleID("com.example.muted").build(applications);
    BundleBuilder("Broken.app").withoutInfoPlist().build(applications);
    BundleBuilder("Notes.app").bundleID("com.example.notes").build(system);

    OverrideEntry muted;
    muted.ignore = true;
    muted.ignoreReason = "too noisy";
    Overrides withIgnore{OverridesFile{1, {{"com.example.muted", muted}}}, std::nullopt};
    Engine e(withIgnore, journal, {brew}, scanSeams());

    const ScanResult result = e.scan();

    ASSERT_EQ(result.apps.size(), 2u);
    ASSERT_EQ(result.skipped.size(), 4u);
    // The result is the scanner's own.
    const ScanResult direct = e.scanner.scan();
    EXPECT_EQ(result.apps, direct.apps);
    ASSERT_EQ(direct.skipped.size(), result.skipped.size());

    std::vector<Json> expected = {
        Json{{"event", "run_started"}, {"command", "scan"}, {"appsFound", 2}, {"skipped", 4}}};
    for (const auto& app : result.apps) {
        if (app.bundleID == "com.example.alpha") {
            expected.push_back(Json{{"event", "app_scanned"},
                                    {"bundleID", "com.example.alpha"},
                                    {"name", "Alpha"},
                                    {"shortVersion", "2.1"},
                                    {"buildVersion", "210"},
                                    {"teamID", FakeBundleTools::defaultTeamID},
                                    {"isMacAppStore", false},
                                    {"hasSparkle", true},
                                    {"archs", Json::array({"x86_64", "arm64"})}});
        } else {
            EXPECT_EQ(app.bundleID, "com.example.beta");
            expected.push_back(Json{{"event", "app_scanned"},
                                    {"bundleID", "com.example.beta"},
                                    {"name", "Beta"},
                                    {"shortVersion", nullptr},
                                    {"buildVersion", nullptr},
                                    {"teamID", nullptr},
                                    {"isMacAppStore", true},
                                    {"hasSparkle", false},
                                    {"archs", Json::array({"arm64"})}});
        }
    }
    std::set<std::string> reasons;
    for (std::size_t i = 0; i < result.skipped.size(); ++i) {
        const SkippedApp& skipped = result.skipped[i];
        EXPECT_EQ(skipped.path, direct.skipped[i].path);
        EXPECT_EQ(skipped.reason, direct.skipped[i].reason);
        expected.push_back(
            Json{{"event", "app_ignored"}, {"path", skipped.path.filePath()}, {"reason", skipped.reason}});
        reasons.insert(skipped.reason.substr(0, skipped.reason.find(':')));
    }
    EXPECT_EQ(reasons,
              (std::set<std::string>{"Apple-owned (com.apple.Safari)", "Apple-owned (com.example.notes)",
                                     "override ignore", "bundle read failed"}));
    EXPECT_EQ(events(), expected);
    EXPECT_EQ(brew->calls(), 0);
}

TEST_F(EngineScanTest, AnEmptyScanWritesOnlyItsStart) {
    Engine e(overrides, journal, {}, scanSeams());
    const ScanResult result = e.scan();
    EXPECT_TRUE(result.apps.empty());
    EXPECT_TRUE(result.skipped.empty());
    EXPECT_EQ(events(),
              (std::vector<Json>{
                  Json{{"event", "run_started"}, {"command", "scan"}, {"appsFound", 0}, {"skipped", 0}}}));
}

// ---- Construction ----

TEST_F(EngineTest, ProductionEngineAsksHomebrewSparkleThenTheAppStore) {
    HTTP http;
    pelkit::testing::ScopedSharedHTTP shared(http);
    Engine e(overrides, journal);

    ASSERT_EQ(e.sources.size(), 3u);
    EXPECT_EQ(e.sources[0]->kind(), AppSource::homebrew);
    EXPECT_EQ(e.sources[1]->kind(), AppSource::sparkle);
    EXPECT_EQ(e.sources[2]->kind(), AppSource::macAppStore);
    ASSERT_NE(e.homebrew, nullptr);
    EXPECT_EQ(std::static_pointer_cast<UpdateSource>(e.homebrew), e.sources[0]);
    EXPECT_EQ(e.homebrew->journal(), &journal);
    EXPECT_EQ(&e.overrides, &overrides);
    EXPECT_EQ(&e.journal, &journal);
    EXPECT_EQ(e.scanner.overrides.get(), &overrides);
}

TEST_F(EngineTest, HomebrewIsSetOnlyWhenItIsTheFirstSource) {
    HTTP http;
    HomebrewCaskOptions options;
    options.systemVersion = platform::SystemVersion{14, 0, 0};
    auto cask = std::make_shared<HomebrewCaskSource>(http, &journal, options);

    EXPECT_EQ(engine({cask, sparkle})->homebrew, cask);
    EXPECT_EQ(engine({sparkle, cask})->homebrew, nullptr);
    EXPECT_EQ(engine({brew, sparkle})->homebrew, nullptr); // a homebrew kind is not enough
    EXPECT_EQ(engine({})->homebrew, nullptr);
    EXPECT_EQ(engine({nullptr, sparkle, nullptr})->sources,
              (std::vector<std::shared_ptr<UpdateSource>>{sparkle}));
}

} // namespace
