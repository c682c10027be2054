#include "PelApp/AppModelTestAccess.hpp"
#include "PelApp/ModelHarness.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

namespace {

using pelapp::AppRow;
using pelapp::Filter;
using pelapp::ModelChange;
using pelapp::StatusColor;
using pelapptest::makeRow;
using pelkit::ErrorCode;
using pelkit::Outcome;
using pelkit::SemverBucket;
using Ids = std::vector<std::string>;

Ids idsOf(const std::vector<AppRow>& rows) {
    Ids out;
    for (const auto& r : rows)
        out.push_back(r.id);
    return out;
}

// Every field, since AppRow's own == looks at the identifier only.
void expectSameFields(const AppRow& a, const AppRow& b) {
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.app, b.app);
    EXPECT_EQ(a.remote.has_value(), b.remote.has_value());
    if (a.remote && b.remote) {
        EXPECT_EQ(a.remote->version, b.remote->version);
    }
    EXPECT_EQ(a.outcome, b.outcome);
    EXPECT_EQ(a.errorCode, b.errorCode);
    EXPECT_EQ(a.errorMessage, b.errorMessage);
    EXPECT_EQ(a.checking, b.checking);
    EXPECT_EQ(a.updating, b.updating);
    EXPECT_EQ(a.progressText, b.progressText);
    EXPECT_EQ(a.bucketOverride, b.bucketOverride);
}

class ModelStateTest : public ::testing::Test {
protected:
    ModelStateTest() {
        auto& rows = h.model.rows;
        rows.push_back(
            makeRow("com.example.alpha", "Alpha Editor", Outcome::outdated, "1.4", "2.0"));       // major
        rows.push_back(makeRow("org.beta.tools", "beta Tools", Outcome::outdated, "1.2", "1.3")); // minor
        rows.push_back(makeRow("com.gamma", "Gamma", Outcome::unsupported, "3.0"));
        rows.push_back(makeRow("com.delta", "Delta", Outcome::unresolved, "1.0"));
        rows.push_back(makeRow("com.epsilon", "Epsilon", Outcome::upToDate, "5.0", "5.0"));
        rows.push_back(
            makeRow("io.zeta", "Zeta Pro", Outcome::outdated, std::nullopt, "2.0", "major"));    // no bucket
        rows.push_back(makeRow("com.eta", "Eta", Outcome::outdated, "1.0.0", "1.0.1", "Minor")); // patch
        rows.push_back(makeRow("com.theta", "Theta", Outcome::outdated, "1.0.0", "1.0.1", "major")); // major
        rows.push_back(makeRow("com.iota", "Iota", Outcome::outdated, "1.0")); // no remote
        rows.push_back(makeRow("fr.eclair", "ÉCLAIR", Outcome::outdated, "1.0", "1.0.2", "bogus")); // patch
        rows.push_back(makeRow("com.kappa", "Kappa", Outcome::error, "1.0"));
    }
    pelapptest::ModelHarness h;
};

TEST_F(ModelStateTest, AFreshModelHoldsItsInitialValues) {
    pelapptest::ModelHarness fresh;
    const auto& m = fresh.model;
    EXPECT_TRUE(m.rows.empty());
    EXPECT_FALSE(m.busy);
    EXPECT_EQ(m.statusMessage, "Ready");
    EXPECT_EQ(m.filter, Filter::outdated);
    EXPECT_FALSE(m.bucketFilter);
    EXPECT_TRUE(m.search.empty());
    EXPECT_FALSE(m.lastScanDate);
    EXPECT_FALSE(m.runningUpdate);
    EXPECT_TRUE(m.quitAppBeforeUpdate);
    EXPECT_FALSE(m.showIgnored || m.showUpdateSheet || m.sheetSuppressed);
    EXPECT_FALSE(m.activeUpdateID || m.activePhase);
    EXPECT_EQ(m.permissionStatus, pelkit::PermissionStatus::unknown);
    EXPECT_EQ(m.activeCount, 0);
    EXPECT_EQ(m.maxConcurrent, 2);
    EXPECT_EQ(m.engineApi(), nullptr);
    EXPECT_EQ(fresh.factory.makeCount(), 0) << "creating the model creates no engine";
    EXPECT_EQ(fresh.executor.pendingCount(), 0u) << "and starts no task";
    EXPECT_TRUE(m.ignoredEntries().empty());
}

struct FilterCase {
    const char* name;
    Filter filter;
    std::optional<SemverBucket> bucket;
    std::string search;
    Ids expected;
};

TEST_F(ModelStateTest, FilteredAppliesFilterThenBucketThenSearch) {
    const Ids allOutdated{"com.example.alpha", "org.beta.tools", "io.zeta",  "com.eta",
                          "com.theta",         "com.iota",       "fr.eclair"};
    const std::vector<FilterCase> cases{
        {"all", Filter::all, std::nullopt, "", idsOf(h.model.rows)},
        {"outdated", Filter::outdated, std::nullopt, "", allOutdated},
        {"unsupported keeps unresolved", Filter::unsupported, std::nullopt, "", {"com.gamma", "com.delta"}},
        {"ignored is always empty", Filter::ignored, std::nullopt, "", {}},
        {"ignored even with a search", Filter::ignored, std::nullopt, "a", {}},
        {"major bucket", Filter::outdated, SemverBucket::major, "", {"com.example.alpha", "com.theta"}},
        {"minor bucket ignores a capitalised override",
         Filter::outdated,
         SemverBucket::minor,
         "",
         {"org.beta.tools"}},
        {"patch bucket", Filter::outdated, SemverBucket::patch, "", {"com.eta", "fr.eclair"}},
        {"bucket over all hides rows without one",
         Filter::all,
         SemverBucket::major,
         "",
         {"com.example.alpha", "com.theta"}},
        {"other bucket", Filter::all, SemverBucket::other, "", {}},
        {"upper-case search matches a name", Filter::all, std::nullopt, "TOOLS", {"org.beta.tools"}},
        {"search matches an identifier",
         Filter::all,
         std::nullopt,
         "com.e",
         {"com.example.alpha", "com.epsilon", "com.eta"}},
        {"search lower-cases beyond ASCII", Filter::all, std::nullopt, "éclair", {"fr.eclair"}},
        {"blanks only filter nothing", Filter::outdated, std::nullopt, "   ", allOutdated},
        {"blanks and tabs filter nothing", Filter::outdated, std::nullopt, " \t ", allOutdated},
        {"a line break is text", Filter::outdated, std::nullopt, "\n", {}},
        {"a leading blank stays in the needle", Filter::all, std::nullopt, " editor", {"com.example.alpha"}},
        {"a leading blank needs a blank before the word", Filter::all, std::nullopt, " alpha", {}},
        {"a trailing blank stays too", Filter::all, std::nullopt, "eta ", {"org.beta.tools", "io.zeta"}},
        {"filter, bucket and search together", Filter::outdated, SemverBucket::major, "THETA", {"com.theta"}},
    };
    for (const auto& c : cases) {
        h.model.filter = c.filter;
        h.model.bucketFilter = c.bucket;
        h.model.search = c.search;
        EXPECT_EQ(idsOf(h.model.filtered()), c.expected) << c.name;
    }
}

TEST_F(ModelStateTest, OutdatedAndIdleLeavesOutRunningApplications) {
    h.model.filter = Filter::idleOutdated;
    h.model.runningBundleIDs = {"org.beta.tools", "com.eta-helper"};
    h.model.runningAppPaths = {"/Applications/Theta.app/Contents/Helpers/Agent.app",
                               "/Applications/Iota.app"};
    // Beta by identifier, Eta by a companion identifier, Theta by a process inside its bundle. Iota's own
    // path (no trailing "/") is not inside Iota, and no identifier names it.
    EXPECT_EQ(idsOf(h.model.filtered()), (Ids{"com.example.alpha", "io.zeta", "com.iota", "fr.eclair"}));
}

TEST_F(ModelStateTest, CountsCoverAllRowsWhateverTheFilter) {
    h.model.filter = Filter::ignored;
    h.model.search = "zzz";
    EXPECT_EQ(h.model.counts(), (pelapp::RowCounts{11, 7, 1, 1}));
}

TEST_F(ModelStateTest, BucketsFollowTheRowRule) {
    EXPECT_EQ(idsOf(h.model.rowsInBucket(SemverBucket::major)), (Ids{"com.example.alpha", "com.theta"}));
    EXPECT_EQ(idsOf(h.model.rowsInBucket(SemverBucket::other)), Ids{});
    using Pairs = std::vector<std::pair<SemverBucket, int>>;
    EXPECT_EQ(h.model.bucketCounts(),
              (Pairs{{SemverBucket::major, 2}, {SemverBucket::minor, 1}, {SemverBucket::patch, 2}}));

    auto& rows = h.model.rows;
    std::erase_if(rows, [](const AppRow& r) { return r.bucket() != SemverBucket::patch; });
    EXPECT_EQ(h.model.bucketCounts(), (Pairs{{SemverBucket::patch, 2}}));
    for (auto& r : rows)
        r.outcome = Outcome::upToDate;
    EXPECT_TRUE(h.model.bucketCounts().empty());
}

TEST_F(ModelStateTest, AVersionWithoutNumbersFallsInOther) {
    h.model.rows = {makeRow("com.nightly", "Nightly", Outcome::outdated, "nightly", "1.0")};
    EXPECT_EQ(h.model.rows[0].bucket(), SemverBucket::other);
    h.model.rows[0].bucketOverride = "minor";
    EXPECT_EQ(h.model.rows[0].bucket(), SemverBucket::minor);
}

TEST_F(ModelStateTest, CheckBucketAddsTicksOneAtATime) {
    int notices = 0;
    h.model.addObserver([&](ModelChange g) { notices += g == ModelChange::selection; });
    h.model.checkedIDs = {"com.gamma"};
    h.model.checkBucket(SemverBucket::major);
    EXPECT_EQ(h.model.checkedIDs, (std::set<std::string>{"com.example.alpha", "com.gamma", "com.theta"}));
    EXPECT_EQ(notices, 2);
}

TEST_F(ModelStateTest, ToggleBucketFilter) {
    h.model.toggleBucketFilter(SemverBucket::minor);
    EXPECT_EQ(h.model.bucketFilter, SemverBucket::minor);
    h.model.toggleBucketFilter(SemverBucket::minor);
    EXPECT_FALSE(h.model.bucketFilter);
    h.model.toggleBucketFilter(SemverBucket::minor);
    h.model.toggleBucketFilter(SemverBucket::major);
    EXPECT_EQ(h.model.bucketFilter, SemverBucket::major);
}

TEST_F(ModelStateTest, IgnoredEntriesComeFromTheEnginesOverrides) {
    EXPECT_TRUE(h.model.ignoredEntries().empty());
    pelkit::OverridesFile file;
    file.apps["org.zulu"].ignore = true;
    file.apps["org.zulu"].ignoreReason = "user ignored via UI";
    file.apps["com.alpha"].ignore = true;
    file.apps["com.bravo"].ignore = false;
    pelapptest::FakeEngine engine(pelapptest::FakeEngine::memoryOverrides(file));
    pelapp::AppModelTestAccess::engine(h.model) = &engine;
    const std::vector<pelkit::IgnoredEntry> expected{{"com.alpha", std::nullopt},
                                                     {"org.zulu", "user ignored via UI"}};
    EXPECT_EQ(h.model.ignoredEntries(), expected);
    pelapp::AppModelTestAccess::engine(h.model) = nullptr;
}

TEST_F(ModelStateTest, BindingsNotifyTheirGroup) {
    std::vector<ModelChange> heard;
    const int token = h.model.addObserver([&](ModelChange g) { heard.push_back(g); });
    h.model.setFilter(Filter::all);
    h.model.setSearch("x");
    h.model.setSelectionIDs({"a"});
    h.model.setQuitAppBeforeUpdate(false);
    h.model.setShowIgnored(true);
    h.model.setShowUpdateSheet(true);
    h.model.toggleBucketFilter(SemverBucket::patch);
    EXPECT_EQ(heard, (std::vector<ModelChange>{ModelChange::filters, ModelChange::filters,
                                               ModelChange::selection, ModelChange::run, ModelChange::run,
                                               ModelChange::run, ModelChange::filters}));
    EXPECT_EQ(h.model.filter, Filter::all);
    EXPECT_FALSE(h.model.quitAppBeforeUpdate);
    h.model.removeObserver(token);
    h.model.setSearch("y");
    EXPECT_EQ(heard.size(), 7u);
}

TEST(FilterRawValues, RoundTripAndExactParsing) {
    const std::vector<std::string> raws{"All", "Outdated only", "Outdated & idle", "Unsupported", "Ignored"};
    ASSERT_EQ(raws.size(), pelapp::filterAllCases.size());
    for (std::size_t i = 0; i < raws.size(); ++i) {
        EXPECT_EQ(pelapp::rawValue(pelapp::filterAllCases[i]), raws[i]);
        EXPECT_EQ(pelapp::filterFromRawValue(raws[i]), pelapp::filterAllCases[i]);
    }
    for (const char* bad : {"all", "Outdated Only", " All", "All ", "", "outdated"}) {
        EXPECT_FALSE(pelapp::filterFromRawValue(bad)) << bad;
    }
}

struct StatusCase {
    const char* name;
    Outcome outcome;
    std::optional<ErrorCode> code;
    bool checking;
    bool updating;
    const char* glyph;
    StatusColor color;
    const char* label;
};

TEST(AppRowStatus, GlyphColourAndLabelPrecedence) {
    const std::vector<StatusCase> cases{
        {"up to date", Outcome::upToDate, std::nullopt, false, false, "○", StatusColor::secondary,
         "Up to date"},
        {"outdated", Outcome::outdated, std::nullopt, false, false, "●", StatusColor::blue,
         "Update available"},
        {"unresolved", Outcome::unresolved, std::nullopt, false, false, "⚠", StatusColor::orange,
         "No source"},
        {"unsupported", Outcome::unsupported, std::nullopt, false, false, "ℹ", StatusColor::secondary,
         "Informational"},
        {"error", Outcome::error, std::nullopt, false, false, "✗", StatusColor::red, "Error"},
        {"updating beats checking", Outcome::outdated, std::nullopt, true, true, "⟳", StatusColor::blue,
         "Updating…"},
        {"checking", Outcome::unresolved, std::nullopt, true, false, "…", StatusColor::orange, "Checking…"},
        {"network error code", Outcome::error, ErrorCode::NET_TIMEOUT, false, false, "✗", StatusColor::red,
         "NET_TIMEOUT"},
        {"safety code", Outcome::error, ErrorCode::SEC_SIGNATURE_INVALID, false, false, "⛔", StatusColor::red,
         "SEC_SIGNATURE_INVALID"},
        {"safety code on an up-to-date row", Outcome::upToDate, ErrorCode::SEC_TEAMID_MISMATCH, false, false,
         "⛔", StatusColor::red, "SEC_TEAMID_MISMATCH"},
        {"updating beats a safety code", Outcome::outdated, ErrorCode::SEC_BUNDLEID_CHANGED, false, true, "⟳",
         StatusColor::red, "Updating…"},
        {"checking beats a code", Outcome::outdated, ErrorCode::ENV_APP_RUNNING, true, false, "…",
         StatusColor::blue, "Checking…"},
        {"other code keeps the outcome's glyph", Outcome::upToDate, ErrorCode::ENV_APP_RUNNING, false, false,
         "○", StatusColor::secondary, "ENV_APP_RUNNING"},
    };
    for (const auto& c : cases) {
        auto row = makeRow("com.x", "X", c.outcome, "1.0");
        row.errorCode = c.code;
        row.checking = c.checking;
        row.updating = c.updating;
        EXPECT_EQ(row.statusGlyph(), c.glyph) << c.name;
        EXPECT_EQ(row.statusColor(), c.color) << c.name;
        EXPECT_EQ(row.statusLabel(), c.label) << c.name;
    }
}

TEST(AppRowIdentity, EqualityAndHashUseTheIdentifierAlone) {
    auto a = makeRow("com.same", "One", Outcome::outdated, "1.0", "2.0");
    auto b = makeRow("com.same", "Two", Outcome::error);
    auto c = makeRow("com.other", "One", Outcome::outdated, "1.0", "2.0");
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<AppRow>{}(a), std::hash<AppRow>{}(b));
    EXPECT_FALSE(a == c);
    std::unordered_set<AppRow> set{a, b, c};
    EXPECT_EQ(set.size(), 2u);
}

TEST(AppRowIdentity, AScannedRowStartsUnresolvedAndIdle) {
    pelkit::InstalledApp app;
    app.bundleID = "com.fresh";
    app.name = "Fresh";
    auto row = AppRow::scanned(app, "minor");
    AppRow expected;
    expected.id = "com.fresh";
    expected.app = app;
    expected.bucketOverride = "minor";
    expectSameFields(row, expected);
    EXPECT_EQ(row.outcome, Outcome::unresolved);
}

} // namespace
