#include "PelApp/ScanHarness.hpp"

#include "Support/BundleBuilder.hpp"
#include "Support/FakeBundleTools.hpp"
#include "Support/FakeTools.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace {

using pelapp::AppModelTestAccess;
using pelapp::AppRow;
using pelapptest::installedApp;
using pelapptest::resolution;
using pelapptest::ScanHarness;
using pelkit::ErrorCode;
using pelkit::Outcome;
using Ids = std::vector<std::string>;
using IdSet = std::set<std::string>;

Ids idsOf(const std::vector<AppRow>& rows) {
    Ids out;
    for (const auto& r : rows)
        out.push_back(r.id);
    return out;
}

pelkit::RemoteVersion cachedRemote() {
    pelkit::RemoteVersion remote;
    remote.source = pelkit::AppSource::homebrew;
    remote.version = "9.9";
    return remote;
}

class ScanTest : public ::testing::Test {
protected:
    pelapp::AppModel& model() { return *h.model; }
    ScanHarness h;
};

// ---- Start-up ----

TEST(ScanStartUp, FirstStartUpCreatesEverythingAndASecondRepeatsAllButTheCreation) {
    pelkit::OverridesFile file;
    file.apps["com.b"].bucket = "minor";
    ScanHarness h(pelapptest::FakeEngine::memoryOverrides(file));
    auto model = [&]() -> pelapp::AppModel& { return *h.model; };
    h.db.db.setResolved("com.example.pad-setapp", cachedRemote());
    h.db.db.setResolved("com.example.pad", cachedRemote());
    pelsupport::BundleBuilder("Other.app").bundleID("com.other.app").build(h.dir / "Applications");
    h.workspace.set(
        {{101, "/Applications/Mail.app", "com.apple.mail"}, {102, "/opt/Tool.app", std::nullopt}});
    h.scanFinds({"com.a", "com.b"});
    h.engine.setCheckReply("com.a", resolution(Outcome::outdated, "2.0"));
    h.engine.setCheckReply("com.b", resolution(Outcome::upToDate, "1.0"));

    ASSERT_TRUE(h.runToEnd(model().bootstrap()));
    EXPECT_EQ(h.factory.makeCount(), 1);
    EXPECT_EQ(model().engineApi(), &h.engine);
    EXPECT_FALSE(h.db.db.getResolved("com.example.pad-setapp", 1e9)) << "stale Setapp resolutions are purged";
    EXPECT_TRUE(h.db.db.getResolved("com.example.pad", 1e9));
    EXPECT_EQ(model().permissionStatus, pelkit::PermissionStatus::granted);
    EXPECT_EQ(model().runningBundleIDs, (IdSet{"com.apple.mail"}));
    EXPECT_EQ(model().runningAppPaths, (IdSet{"/Applications/Mail.app", "/opt/Tool.app"}));
    EXPECT_EQ(AppModelTestAccess::runningObservers(model()).size(), 1u);
    EXPECT_EQ(h.workspace.subscriberCount(), 1u);
    EXPECT_EQ(idsOf(model().rows), (Ids{"com.a", "com.b"}));
    EXPECT_EQ(model().rows[1].bucketOverride, "minor");
    EXPECT_EQ(model().statusMessage, "Ready");
    EXPECT_FALSE(model().busy);

    // A second window: same engine, the rest again.
    h.db.db.setResolved("com.example.pad-setapp", cachedRemote());
    *h.probeErrno = EPERM;
    h.workspace.set({{103, "/Applications/Notes.app", "com.apple.notes"}});
    h.scanFinds({"com.b"});
    ASSERT_TRUE(h.runToEnd(model().bootstrap()));
    EXPECT_EQ(h.factory.makeCount(), 1);
    EXPECT_EQ(h.engine.scanCount(), 2);
    EXPECT_FALSE(h.db.db.getResolved("com.example.pad-setapp", 1e9));
    EXPECT_EQ(model().permissionStatus, pelkit::PermissionStatus::denied);
    EXPECT_EQ(model().runningBundleIDs, (IdSet{"com.apple.notes"}));
    EXPECT_EQ(AppModelTestAccess::runningObservers(model()).size(), 1u) << "no second pair of observers";
    EXPECT_EQ(h.workspace.subscriberCount(), 1u);
    EXPECT_EQ(idsOf(model().rows), (Ids{"com.b"}));
    EXPECT_EQ(model().checkedIDs, (IdSet{"com.a"})) << "ticks outlive their rows";
}

TEST(ScanStartUp, AFailedCreationIsShownAndLeavesTheModelInertUntilStartUpIsCalledAgain) {
    struct Case {
        std::exception_ptr error;
        std::string status;
    };
    const std::vector<Case> cases{
        {std::make_exception_ptr(
             pelkit::PelError(ErrorCode::INT_UNEXPECTED, std::nullopt, std::nullopt, "journal broke", false)),
         "init failed: [INT_UNEXPECTED] journal broke"},
        {std::make_exception_ptr(std::runtime_error("disk gone")), "init failed: disk gone"},
        {std::make_exception_ptr(42), "init failed: unknown error"},
    };
    for (const auto& c : cases) {
        ScanHarness fresh;
        auto& m = *fresh.model;
        fresh.factory.failWith(c.error);
        ASSERT_TRUE(fresh.runToEnd(m.bootstrap()));
        EXPECT_EQ(m.statusMessage, c.status);
        EXPECT_EQ(m.engineApi(), nullptr);
        EXPECT_TRUE(AppModelTestAccess::runningObservers(m).empty());
        EXPECT_EQ(fresh.workspace.subscriberCount(), 0u);
        EXPECT_EQ(m.permissionStatus, pelkit::PermissionStatus::unknown);
        EXPECT_EQ(fresh.engine.scanCount(), 0);

        // Without an engine every operation of the group is silent.
        m.rows.push_back(AppRow::scanned(installedApp("com.a", "A"), {}));
        ASSERT_TRUE(fresh.runToEnd(m.rescan()));
        ASSERT_TRUE(fresh.runToEnd(m.rescanOne("com.a")));
        m.ignore(m.rows[0], "user ignored via UI");
        m.unignore("com.a");
        EXPECT_EQ(m.statusMessage, c.status);
        EXPECT_EQ(fresh.statuses, Ids{c.status});
        EXPECT_EQ(idsOf(m.rows), Ids{"com.a"});
        EXPECT_FALSE(m.rows[0].checking);
        EXPECT_FALSE(m.busy);
        EXPECT_EQ(fresh.engine.scanCount(), 0);

        // Another window tries again.
        fresh.factory.failWith(nullptr);
        ASSERT_TRUE(fresh.runToEnd(m.bootstrap()));
        EXPECT_EQ(m.engineApi(), &fresh.engine);
        EXPECT_EQ(m.statusMessage, "Ready");
    }
}

// ---- Full rescan and resolution ----

TEST_F(ScanTest, ResolutionWritesRowsInOrderTicksOutdatedOnesAndNeverUnticks) {
    h.scanFinds({"com.a", "com.b", "com.c"});
    AppModelTestAccess::engine(model()) = &h.engine;
    model().setSelectionIDs({"com.b", "gone.app"});
    model().checkedIDs = {"com.b", "gone.app"};

    auto task = h.start(model().rescan());
    ASSERT_TRUE(h.waitForChecks({"com.a"}));
    EXPECT_TRUE(model().busy);
    EXPECT_EQ(model().statusMessage, "Resolving latest versions…");
    EXPECT_TRUE(model().lastScanDate.has_value());
    for (const auto& row : model().rows)
        EXPECT_TRUE(row.checking) << row.id;

    h.engine.answerCheck("com.a", resolution(Outcome::outdated, "2.0"));
    ASSERT_TRUE(h.waitForChecks({"com.b"}));
    EXPECT_FALSE(model().rows[0].checking);
    EXPECT_EQ(model().rows[0].remote->version, "2.0");
    EXPECT_TRUE(model().rows[1].checking) << "one check at a time, in row order";

    h.engine.answerCheck("com.b", resolution(Outcome::upToDate, "1.0"));
    ASSERT_TRUE(h.waitForChecks({"com.c"}));
    const pelkit::PelError failure(ErrorCode::NET_TIMEOUT, "com.c", pelkit::AppSource::sparkle,
                                   "feed timed out", false);
    h.engine.answerCheck("com.c", resolution(Outcome::error, std::nullopt, failure));
    ASSERT_TRUE(h.runUntil([&] { return task.isDone(); }));

    EXPECT_EQ(h.statuses, (Ids{"Scanning…", "Resolving latest versions…", "Resolved 1 / 3", "Resolved 2 / 3",
                               "Resolved 3 / 3", "Ready"}));
    EXPECT_FALSE(model().busy);
    EXPECT_EQ(model().rows[2].outcome, Outcome::error);
    EXPECT_EQ(model().rows[2].errorCode, ErrorCode::NET_TIMEOUT);
    EXPECT_EQ(model().rows[2].errorMessage, "feed timed out");
    EXPECT_EQ(model().checkedIDs, (IdSet{"com.a", "com.b", "gone.app"}))
        << "the up-to-date tick and the tick without a row stay";
    EXPECT_EQ(model().selectionIDs, (IdSet{"com.b", "gone.app"}));
    EXPECT_EQ(h.engine.checkCalls(), (Ids{"com.a", "com.b", "com.c"}));
}

TEST_F(ScanTest, AnEmptyScanIsReadyWithoutResolutionTexts) {
    AppModelTestAccess::engine(model()) = &h.engine;
    model().rows.push_back(AppRow::scanned(installedApp("com.old", "Old"), {}));
    ASSERT_TRUE(h.runToEnd(model().rescan()));
    EXPECT_TRUE(model().rows.empty());
    EXPECT_EQ(h.statuses, (Ids{"Scanning…", "Resolving latest versions…", "Ready"}));
}

TEST_F(ScanTest, ARowRemovedDuringItsCheckStillCountsAndOneRemovedBeforeItsTurnIsSkipped) {
    h.scanFinds({"com.a", "com.b", "com.c"});
    AppModelTestAccess::engine(model()) = &h.engine;
    auto task = h.start(model().rescan());
    ASSERT_TRUE(h.waitForChecks({"com.a"}));

    // An ignore while "com.a" is checked takes it away; another takes "com.b" before its turn.
    model().ignore(model().rows[0], "user ignored via UI");
    model().ignore(*model().findRow("com.b"), "user ignored via UI");
    h.engine.answerCheck("com.a", resolution(Outcome::outdated, "2.0"));
    ASSERT_TRUE(h.waitForChecks({"com.c"}));
    EXPECT_EQ(model().statusMessage, "Resolved 1 / 3");
    h.engine.answerCheck("com.c", resolution(Outcome::upToDate, "1.0"));
    ASSERT_TRUE(h.runUntil([&] { return task.isDone(); }));

    EXPECT_EQ(h.statuses, (Ids{"Scanning…", "Resolving latest versions…", "Ignored App com.a",
                               "Ignored App com.b", "Resolved 1 / 3", "Resolved 3 / 3", "Ready"}));
    EXPECT_EQ(idsOf(model().rows), Ids{"com.c"});
    EXPECT_TRUE(model().checkedIDs.empty()) << "a vanished row is not ticked by its late answer";
    EXPECT_EQ(h.engine.checkCalls(), (Ids{"com.a", "com.c"}));
}

TEST_F(ScanTest, OverlappingRescansEachResolveTheirRowsAndTheFirstToEndClearsBusy) {
    h.scanFinds({"com.a", "com.b"});
    AppModelTestAccess::engine(model()) = &h.engine;
    auto first = h.start(model().rescan());
    ASSERT_TRUE(h.waitForChecks({"com.a"}));

    h.scanFinds({"com.a", "com.b", "com.c"});
    auto second = h.start(model().rescan());
    ASSERT_TRUE(h.waitForChecks({"com.a", "com.a"}));
    EXPECT_EQ(idsOf(model().rows), (Ids{"com.a", "com.b", "com.c"}));

    h.engine.answerCheck("com.a", resolution(Outcome::outdated, "2.0"));
    ASSERT_TRUE(h.waitForChecks({"com.b", "com.b"}));
    h.engine.answerCheck("com.b", resolution(Outcome::outdated, "3.0"));
    ASSERT_TRUE(h.runUntil([&] { return first.isDone() && h.engine.pendingChecks() == Ids{"com.c"}; }));
    EXPECT_FALSE(second.isDone());
    EXPECT_FALSE(model().busy) << "the first rescan to end clears busy";
    EXPECT_NE(std::find(h.statuses.begin(), h.statuses.end(), "Ready"), h.statuses.end());
    EXPECT_EQ(model().rows[1].remote->version, "3.0");
    EXPECT_TRUE(model().rows[2].checking);

    h.engine.answerCheck("com.c", resolution(Outcome::upToDate, "1.0"));
    ASSERT_TRUE(h.runUntil([&] { return second.isDone(); }));
    EXPECT_EQ(std::vector<std::string>(h.statuses.end() - 2, h.statuses.end()),
              (Ids{"Resolved 3 / 3", "Ready"}));
    EXPECT_EQ(model().checkedIDs, (IdSet{"com.a", "com.b"}));
    for (const auto& row : model().rows)
        EXPECT_FALSE(row.checking) << row.id;
}

// ---- Single rescan ----

// A model with the engine made and two rows: the one rescanned (ticked and selected) and "com.other".
struct RescanScene {
    RescanScene() { h.engine.setCheckReply("com.other", resolution(Outcome::upToDate, "1.0")); }
    pelapp::AppModel& model() { return *h.model; }

    std::string bundle(const pelsupport::BundleBuilder& b) {
        return b.build(h.dir / "Applications").string();
    }
    void startedWith(const std::string& id, const std::string& name, const std::string& path) {
        AppModelTestAccess::engine(model()) = &h.engine;
        model().rows.push_back(AppRow::scanned(installedApp(id, name, path), {}));
        model().rows.push_back(AppRow::scanned(installedApp("com.other", "Other"), {}));
        model().checkedIDs = {id, "com.other"};
        model().selectionIDs = {id};
    }
    ScanHarness h;
};

class RescanOneTest : public ::testing::Test, protected RescanScene {};

TEST(RescanOne, ABundleGoneOrUnreadableTakesRowTickAndSelectionAway) {
    struct Case {
        std::string name;
        std::function<std::string(RescanScene&)> path;
        std::string status;
    };
    const std::vector<Case> cases{
        {"gone", [](RescanScene& t) { return (t.h.dir / "Applications" / "Gone.app").string(); },
         "Removed — bundle no longer at Gone.app"},
        {"no Info.plist",
         [](RescanScene& t) { return t.bundle(pelsupport::BundleBuilder("Broken.app").withoutInfoPlist()); },
         "Removed — bundle unreadable"},
        {"no identifier",
         [](RescanScene& t) {
             return t.bundle(pelsupport::BundleBuilder("Nameless.app").remove("CFBundleIdentifier"));
         },
         "Removed — bundle unreadable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RescanScene t;
        t.startedWith("com.x", "Xylo", c.path(t));
        ASSERT_TRUE(t.h.runToEnd(t.model().rescanOne("com.x")));
        EXPECT_EQ(t.h.statuses, (Ids{"Rescanning Xylo…", c.status}));
        EXPECT_EQ(idsOf(t.model().rows), Ids{"com.other"});
        EXPECT_EQ(t.model().checkedIDs, IdSet{"com.other"});
        EXPECT_TRUE(t.model().selectionIDs.empty());
        EXPECT_TRUE(t.h.engine.checkCalls().empty());
    }
}

TEST_F(RescanOneTest, AReadableBundleIsReadAgainResolvedAndTickedByItsOutcome) {
    pelsupport::FakeTools tools;
    pelsupport::FakeBundleTools fakes(tools);
    const std::string path = bundle(
        pelsupport::BundleBuilder("Xylo.app").bundleID("com.x.renamed").name("Xylo").shortVersion("1.5"));
    startedWith("com.x", "Xylo", path);
    model().checkedIDs.clear();

    struct Step {
        Outcome outcome;
        bool ticked;
    };
    for (const Step step : {Step{Outcome::outdated, true}, Step{Outcome::upToDate, false},
                            Step{Outcome::unresolved, false}, Step{Outcome::outdated, true}}) {
        h.statuses.clear();
        auto task = h.start(model().rescanOne("com.x"));
        ASSERT_TRUE(h.waitForChecks({"com.x.renamed"}));
        const AppRow* row = model().findRow("com.x");
        ASSERT_NE(row, nullptr) << "the row keeps its identifier";
        EXPECT_TRUE(row->checking);
        EXPECT_EQ(row->progressText, "Rescanning…");
        EXPECT_EQ(row->app.shortVersion, "1.5") << "the fresh reading replaced the scanned one";
        EXPECT_EQ(row->app.bundleID, "com.x.renamed");

        h.engine.answerCheck("com.x.renamed", resolution(step.outcome, "2.0"));
        ASSERT_TRUE(h.runUntil([&] { return task.isDone(); }));
        row = model().findRow("com.x");
        EXPECT_FALSE(row->checking);
        EXPECT_FALSE(row->progressText.has_value());
        EXPECT_EQ(row->outcome, step.outcome);
        EXPECT_EQ(model().checkedIDs.contains("com.x"), step.ticked);
        EXPECT_EQ(h.statuses, (Ids{"Rescanning Xylo…", "Rescan done"}));
    }
    EXPECT_EQ(model().selectionIDs, IdSet{"com.x"});
}

TEST_F(RescanOneTest, ARowThatVanishesDuringTheCheckIsNotBroughtBack) {
    const std::string path = bundle(pelsupport::BundleBuilder("Xylo.app").bundleID("com.x"));
    pelsupport::FakeTools tools;
    pelsupport::FakeBundleTools fakes(tools);
    startedWith("com.x", "Xylo", path);
    auto task = h.start(model().rescanOne("com.x"));
    ASSERT_TRUE(h.waitForChecks({"com.x"}));
    model().rows.erase(model().rows.begin());
    h.engine.answerCheck("com.x", resolution(Outcome::outdated, "2.0"));
    ASSERT_TRUE(h.runUntil([&] { return task.isDone(); }));
    EXPECT_EQ(idsOf(model().rows), Ids{"com.other"});
    EXPECT_EQ(model().statusMessage, "Rescan done");
}

TEST_F(RescanOneTest, AnUnknownIdentifierChangesNothing) {
    startedWith("com.x", "Xylo", "/nowhere/Xylo.app");
    ASSERT_TRUE(h.runToEnd(model().rescanOne("com.nope")));
    EXPECT_TRUE(h.statuses.empty());
    EXPECT_EQ(model().rows.size(), 2u);
}

// ---- Ignore and unignore ----

TEST_F(ScanTest, IgnoreTakesRowAndTickButKeepsTheSelection) {
    h.startedWithRows({"com.a", "com.b"});
    model().checkedIDs = {"com.a", "com.b"};
    model().selectionIDs = {"com.a"};
    model().ignore(model().rows[0], "user ignored via UI"); // a reference into the rows it removes

    EXPECT_EQ(model().statusMessage, "Ignored App com.a");
    EXPECT_EQ(idsOf(model().rows), Ids{"com.b"});
    EXPECT_EQ(model().checkedIDs, IdSet{"com.b"});
    EXPECT_EQ(model().selectionIDs, IdSet{"com.a"});
    const auto ignored = model().ignoredEntries();
    ASSERT_EQ(ignored.size(), 1u);
    EXPECT_EQ(ignored[0].bundleID, "com.a");
    EXPECT_EQ(ignored[0].reason, "user ignored via UI");

    model().unignore("com.a");
    EXPECT_EQ(model().statusMessage, "Unignored com.a — rescan to see");
    EXPECT_TRUE(model().ignoredEntries().empty());
    EXPECT_EQ(idsOf(model().rows), Ids{"com.b"}) << "no scan starts";
    EXPECT_EQ(h.engine.scanCount(), 0);
}

TEST(ScanIgnore, AFailedOverridesWriteShowsOnlyInTheStatusLine) {
    // A folder where the overrides file should be: every write fails, also as root.
    pelsupport::TempDir state("pel-app-overrides");
    const auto file = state / "overrides.json";
    std::filesystem::create_directories(file);
    pelkit::OverridesFile earlier;
    earlier.apps["com.c"].ignore = true;
    earlier.apps["com.c"].ignoreReason = "earlier";
    ScanHarness h(std::make_shared<pelkit::Overrides>(earlier, platform::Url::fromFilePath(file.string())));
    auto model = [&]() -> pelapp::AppModel& { return *h.model; };
    const std::vector<pelkit::IgnoredEntry> ignoredBefore{{"com.c", "earlier"}};
    h.startedWithRows({"com.a", "com.b"});
    model().checkedIDs = {"com.a"};

    model().ignore(model().rows[0], "user ignored via UI");
    EXPECT_TRUE(model().statusMessage.starts_with("ignore failed: ")) << model().statusMessage;
    EXPECT_NE(model().statusMessage.find("overrides.json"), std::string::npos) << model().statusMessage;
    EXPECT_EQ(idsOf(model().rows), (Ids{"com.a", "com.b"}));
    EXPECT_EQ(model().checkedIDs, IdSet{"com.a"});
    EXPECT_EQ(model().ignoredEntries(), ignoredBefore) << "the ignored sheet does not list it";
    EXPECT_FALSE(h.engine.overrides().entry("com.a"));

    model().unignore("com.a");
    EXPECT_TRUE(model().statusMessage.starts_with("unignore failed: ")) << model().statusMessage;
    EXPECT_NE(model().statusMessage.find("overrides.json"), std::string::npos) << model().statusMessage;

    model().unignore("com.c");
    EXPECT_TRUE(model().statusMessage.starts_with("unignore failed: ")) << model().statusMessage;
    EXPECT_EQ(model().ignoredEntries(), ignoredBefore) << "still ignored";
    EXPECT_EQ(h.engine.overrides().entry("com.c")->ignore, true);
    EXPECT_EQ(h.statuses.size(), 3u);
}

} // namespace
