#include "PelApp/Model/ApplicationTableTexts.hpp"
#include "PelApp/Model/RelativeDateFormatter.hpp"
#include "PelApp/ModelHarness.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using pelapp::CellControl;
using pelapp::Filter;
using pelapp::MenuEntry;
using pelapp::TableRow;
using pelapptest::makeRow;
using pelkit::Outcome;
using namespace std::chrono_literals;

pelapp::AppRow withSize(pelapp::AppRow row, std::optional<std::int64_t> size) {
    row.remote->sizeBytes = size;
    return row;
}

TEST(ApplicationTableTextsTest, SizeCellFollowsSizeThenOutcome) {
    struct Case {
        const char* what;
        pelapp::AppRow row;
        pelapp::SizeCell cell;
        std::string text;
    };
    const std::vector<Case> cases{
        {"known size", withSize(makeRow("a", "A", Outcome::outdated, "1", "2"), 1'572'864), pelapp::SizeCell::size,
         "1.5 MB"},
        {"zero bytes is a size", withSize(makeRow("a", "A", Outcome::outdated, "1", "2"), 0), pelapp::SizeCell::size,
         "0.0 MB"},
        {"rounds to one decimal", withSize(makeRow("a", "A", Outcome::upToDate, "2", "2"), 48'200'000),
         pelapp::SizeCell::size, "46.0 MB"},
        {"large", withSize(makeRow("a", "A", Outcome::outdated, "1", "2"), 5'000'000'000), pelapp::SizeCell::size,
         "4768.4 MB"},
        {"outdated without size", makeRow("a", "A", Outcome::outdated, "1", "2"), pelapp::SizeCell::probe, "?"},
        {"outdated without remote", makeRow("a", "A", Outcome::outdated, "1"), pelapp::SizeCell::probe, "?"},
        {"up to date without size", makeRow("a", "A", Outcome::upToDate, "2", "2"), pelapp::SizeCell::none, "—"},
        {"unresolved", makeRow("a", "A", Outcome::unresolved, "1"), pelapp::SizeCell::none, "—"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pelapp::sizeCell(c.row), c.cell) << c.what;
        EXPECT_EQ(pelapp::sizeCellText(c.row), c.text) << c.what;
    }
}

TEST(ApplicationTableTextsTest, VersionAndSourceTexts) {
    auto row = makeRow("a", "A", Outcome::unresolved);
    EXPECT_EQ(pelapp::installedText(row), "?");
    EXPECT_EQ(pelapp::latestText(row), "—");
    EXPECT_EQ(pelapp::sourceLabel(row), "—");

    row = makeRow("a", "A", Outcome::outdated, "1.0", "2.0");
    EXPECT_EQ(pelapp::installedText(row), "1.0");
    EXPECT_EQ(pelapp::latestText(row), "2.0");
    const std::vector<std::pair<pelkit::AppSource, std::string>> sources{
        {pelkit::AppSource::homebrew, "Homebrew"},
        {pelkit::AppSource::sparkle, "Sparkle"},
        {pelkit::AppSource::macAppStore, "App Store"},
        {pelkit::AppSource::none, "—"},
    };
    for (const auto& [source, label] : sources) {
        row.remote->source = source;
        EXPECT_EQ(pelapp::sourceLabel(row), label);
    }
}

TEST(ApplicationTableTextsTest, ActionButtonsByBusyOutcomeAndChecking) {
    struct Case {
        const char* what;
        Outcome outcome;
        bool busy;
        bool checking;
        std::vector<std::pair<CellControl, bool>> buttons;
    };
    const std::vector<Case> cases{
        {"outdated", Outcome::outdated, false, false,
         {{CellControl::update, true}, {CellControl::rescan, true}, {CellControl::ignore, true}}},
        {"busy outdated", Outcome::outdated, true, false,
         {{CellControl::cancel, true}, {CellControl::rescan, true}, {CellControl::ignore, true}}},
        {"busy, not outdated", Outcome::upToDate, true, false,
         {{CellControl::cancel, true}, {CellControl::rescan, true}, {CellControl::ignore, true}}},
        {"up to date", Outcome::upToDate, false, false, {{CellControl::rescan, true}, {CellControl::ignore, true}}},
        {"checking", Outcome::unresolved, false, true, {{CellControl::rescan, false}, {CellControl::ignore, true}}},
    };
    for (const auto& c : cases) {
        TableRow r{makeRow("a", "A", c.outcome, "1", "2")};
        r.busy = c.busy;
        r.row.checking = c.checking;
        std::vector<std::pair<CellControl, bool>> got;
        for (const auto& b : pelapp::actionButtons(r))
            got.emplace_back(b.control, b.enabled);
        EXPECT_EQ(got, c.buttons) << c.what;
    }
}

TEST(ApplicationTableTextsTest, HelpTexts) {
    EXPECT_EQ(pelapp::helpText(CellControl::runningDot, true), "Running (or helpers active)");
    EXPECT_EQ(pelapp::helpText(CellControl::runningDot, false), "Idle");
    EXPECT_EQ(pelapp::helpText(CellControl::probe), "Probe size (HEAD request)");
    EXPECT_EQ(pelapp::helpText(CellControl::cancel), "Cancel this update");
    EXPECT_EQ(pelapp::helpText(CellControl::update), "Update this app now");
    EXPECT_EQ(pelapp::helpText(CellControl::rescan), "Rescan just this app");
    EXPECT_EQ(pelapp::helpText(CellControl::ignore), "Ignore this app");
    EXPECT_EQ(pelapp::helpText(CellControl::checkBox), "");
}

TEST(ApplicationTableTextsTest, EmptyStateMessagesAndShowAllLink) {
    struct Case {
        Filter filter;
        std::string message;
        bool showAll;
    };
    const std::vector<Case> cases{
        {Filter::all, "No apps found.", false},
        {Filter::outdated, "Nothing outdated. All apps up to date or informational.", true},
        {Filter::idleOutdated, "No idle outdated apps — everything with an update is currently running.", true},
        {Filter::unsupported, "No unsupported apps in this scan.", true},
        {Filter::ignored, "No ignored apps yet.", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pelapp::emptyStateMessage(c.filter), c.message);
        EXPECT_EQ(pelapp::emptyStateOffersShowAll(c.filter), c.showAll) << c.message;
    }
}

TEST(ApplicationTableTextsTest, FooterCounts) {
    struct Case {
        long long shown, outdated, total;
        std::string text;
    };
    const std::vector<Case> cases{
        {3, 4, 10, "3 shown · 4 outdated · 7 hidden by filter"},
        {0, 0, 0, "0 shown · 0 outdated · 0 hidden by filter"},
        {0, 5, 5, "0 shown · 5 outdated · 5 hidden by filter"},
        {1234, 12, 1234, "1234 shown · 12 outdated · 0 hidden by filter"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pelapp::footerCountsText(c.shown, c.outdated, c.total), c.text);
}

TEST(ApplicationTableTextsTest, RelativeDatesPickTheLargestWholeUnit) {
    const platform::TimePoint now{std::chrono::seconds{1'700'000'000}};
    struct Case {
        std::chrono::seconds ago;
        std::string text;
    };
    const std::vector<Case> cases{
        {0s, "0 sec. ago"},
        {1s, "1 sec. ago"},
        {59s, "59 sec. ago"},
        {60s, "1 min. ago"},
        {119s, "1 min. ago"},
        {3599s, "59 min. ago"},
        {3600s, "1 hr. ago"},
        {86'399s, "23 hr. ago"},
        {86'400s, "1 day ago"},
        {2 * 86'400s, "2 days ago"},
        {7 * 86'400s, "1 wk. ago"},
        {31 * 86'400s, "1 mo. ago"},
        {400 * 86'400s, "1 yr. ago"},
        {-90s, "in 1 min."},
        {-2 * 86'400s, "in 2 days"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pelapp::RelativeDateFormatter::describe(now - c.ago, now), c.text) << c.ago.count();

    platform::ManualClock clock{now};
    const pelapp::RelativeDateFormatter formatter(clock);
    EXPECT_EQ(formatter.localizedString(now - 300s), "5 min. ago");
    clock.advance(3600s);
    EXPECT_EQ(formatter.localizedString(now - 300s), "1 hr. ago");
    EXPECT_EQ(pelapp::lastScanText(now - 120s, now), "Last scan: 2 min. ago");
}

class ContextMenuTest : public ::testing::Test {
protected:
    ContextMenuTest() {
        h.model.rows = {makeRow("com.a", "Alpha & Co", Outcome::outdated, "1", "2"),
                        makeRow("com.b", "Beta", Outcome::upToDate, "2", "2"),
                        makeRow("com.c", "Gamma", Outcome::unsupported)};
        h.model.filter = Filter::outdated; // the menu looks beyond the shown rows
    }
    std::vector<std::pair<MenuEntry::Kind, std::string>> entries(const std::set<std::string>& ids) {
        std::vector<std::pair<MenuEntry::Kind, std::string>> out;
        for (const auto& e : pelapp::contextMenuFor(h.model, ids).entries)
            out.emplace_back(e.kind, e.text);
        return out;
    }
    pelapptest::ModelHarness h;
};

TEST_F(ContextMenuTest, EntriesForOutdatedAndOtherRows) {
    using K = MenuEntry::Kind;
    EXPECT_EQ(entries({"com.a"}), (std::vector<std::pair<K, std::string>>{{K::update, "Update Alpha & Co"},
                                                                         {K::rescan, "Rescan Alpha & Co"},
                                                                         {K::divider, ""},
                                                                         {K::ignore, "Ignore Alpha & Co"},
                                                                         {K::copyBundleID, "Copy Bundle ID"}}));
    // Rows outside the filter are found among all rows; no Update entry when not outdated.
    EXPECT_EQ(entries({"com.b"}), (std::vector<std::pair<K, std::string>>{{K::rescan, "Rescan Beta"},
                                                                         {K::divider, ""},
                                                                         {K::ignore, "Ignore Beta"},
                                                                         {K::copyBundleID, "Copy Bundle ID"}}));
    EXPECT_EQ(pelapp::contextMenuFor(h.model, {"com.c"}).row->id, "com.c");
}

TEST_F(ContextMenuTest, EmptyForNoSelectionOrARemovedRow) {
    EXPECT_TRUE(entries({}).empty());
    EXPECT_TRUE(entries({"com.gone"}).empty());
    EXPECT_FALSE(pelapp::contextMenuFor(h.model, {"com.gone"}).row);
    // With several identifiers one of them is taken; it must be a row of the set.
    const auto content = pelapp::contextMenuFor(h.model, {"com.b", "com.c"});
    ASSERT_TRUE(content.row);
    EXPECT_TRUE(content.row->id == "com.b" || content.row->id == "com.c");
}

TEST_F(ContextMenuTest, UpdateEntryDisabledWhileTheRowIsBusy) {
    EXPECT_TRUE(pelapp::contextMenuFor(h.model, {"com.a"}).entries.front().enabled);
    h.model.updateQueue.push_back("com.a");
    const auto content = pelapp::contextMenuFor(h.model, {"com.a"});
    ASSERT_EQ(content.entries.front().kind, MenuEntry::Kind::update);
    EXPECT_FALSE(content.entries.front().enabled);
    for (std::size_t i = 1; i < content.entries.size(); ++i)
        EXPECT_TRUE(content.entries[i].enabled);
}

} // namespace
