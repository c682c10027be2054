#include "PelApp/Model/UpdateSheetView.hpp"
#include "PelApp/ModelHarness.hpp"
#include "PelApp/QtTestApp.hpp"
#include "PelApp/Views/UiKit.hpp"
#include "PelApp/Views/UpdateSheetLine.hpp"

#include <QFontMetrics>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using pelapp::AppRow;
using pelapptest::makeRow;
using pelkit::ErrorCode;
using pelkit::Outcome;
namespace sheet = pelapp::sheet;

AppRow sized(const std::string& id, std::optional<std::int64_t> size, bool remote = true) {
    AppRow row = makeRow(id, id, Outcome::outdated, "1.0", remote ? std::optional<std::string>("2.0") : std::nullopt);
    if (row.remote) row.remote->sizeBytes = size;
    return row;
}

TEST(UpdateSheetTexts, HeaderCountsAppsAndAddsUpSizesWithUnknowns) {
    constexpr std::int64_t MB = 1'048'576;
    struct Case {
        const char* name;
        std::vector<AppRow> rows;
        bool dryRun;
        const char* header;
    };
    const Case cases[] = {
        {"no rows, no size part", {}, false, "Updating 0 apps"},
        {"exactly one app", {sized("a", 12 * MB)}, false, "Updating 1 app · 12.0 MB"},
        {"known and unknown",
         {sized("a", 100 * MB), sized("b", 52 * MB + MB * 4 / 10), sized("c", std::nullopt), sized("d", 0)},
         false,
         "Updating 4 apps · 152.4 MB + 1 unknown"},
        {"every size unknown, one without a remote version",
         {sized("a", std::nullopt), sized("b", std::nullopt), sized("c", std::nullopt, false)},
         false,
         "Updating 3 apps · 0.0 MB + 3 unknown"},
        {"dry run", {sized("a", std::nullopt), sized("b", std::nullopt)}, true,
         "Dry-run · 0.0 MB + 2 unknown — no writes will happen"},
        {"dry run without rows", {}, true, "Dry-run — no writes will happen"},
        // 64-bit sizes are summed as such: 2 × 5 TiB.
        {"sizes beyond 32 bits", {sized("a", 5 * MB * MB), sized("b", 5 * MB * MB)}, false,
         "Updating 2 apps · 10485760.0 MB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(sheet::header(c.rows, c.dryRun), c.header);
    }
}

TEST(UpdateSheetTexts, RowsFollowTheQueueAndSkipIdentifiersWithoutARow) {
    pelapptest::ModelHarness h;
    h.model.rows = {sized("com.a", 1), sized("com.b", 2), sized("com.c", 3)};
    h.model.updateQueue = {"com.c", "com.gone", "com.a"};
    std::vector<std::string> ids;
    for (const auto& row : sheet::rows(h.model))
        ids.push_back(row.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"com.c", "com.a"}));
    EXPECT_EQ(sheet::countsText(sheet::counts(h.model, ids.size())), "0 ok · 0 failed · 2 total");
}

TEST(UpdateSheetTexts, ChipTakesTheFirstCaseThatHolds) {
    const std::vector<std::string> queue{"q"};
    auto row = [](const char* id, Outcome outcome, bool updating, std::optional<ErrorCode> code) {
        AppRow r = makeRow(id, id, outcome, "1.0", "2.0");
        r.updating = updating;
        r.errorCode = code;
        return r;
    };
    struct Case {
        const char* name;
        AppRow row;
        sheet::Chip chip;
    };
    const Case cases[] = {
        {"updating beats an old error", row("q", Outcome::error, true, ErrorCode::ENV_APP_RUNNING),
         sheet::Chip::updating},
        {"up to date beats an error code", row("x", Outcome::upToDate, false, ErrorCode::ENV_DISK_FULL),
         sheet::Chip::done},
        {"a queued row with an old error shows the code", row("q", Outcome::outdated, false, ErrorCode::ENV_APP_RUNNING),
         sheet::Chip::error},
        {"queued", row("q", Outcome::outdated, false, std::nullopt), sheet::Chip::queued},
        {"neither", row("x", Outcome::outdated, false, std::nullopt), sheet::Chip::none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(sheet::chip(c.row, queue), c.chip);
    }
}

TEST(UpdateSheetTexts, VersionLineNamesBothVersionsAndTheSource) {
    AppRow brew = makeRow("a", "A", Outcome::outdated, "4.2.1", "5.0.0");
    brew.remote->source = pelkit::AppSource::homebrew;
    AppRow store = makeRow("b", "B", Outcome::outdated, std::nullopt, "12.1.2");
    store.remote->source = pelkit::AppSource::macAppStore;
    AppRow none = makeRow("c", "C", Outcome::unsupported, "0.9");
    EXPECT_EQ(sheet::versionLine(brew), "4.2.1 → 5.0.0  ·  Homebrew");
    EXPECT_EQ(sheet::versionLine(store), "? → 12.1.2  ·  App Store");
    EXPECT_EQ(sheet::versionLine(none), "0.9 → —  ·  —");
}

TEST(UpdateSheetTexts, BarIsDeterminateOnlyWithATotalOfAtLeastOneAndScalesSixtyFourBitCounts) {
    pelapptest::ModelHarness h;
    auto& m = h.model;
    EXPECT_FALSE(sheet::bar(m, "a").shown) << "no report yet";
    m.bytesDone["a"] = 500;
    EXPECT_EQ(sheet::bar(m, "a"), (sheet::Bar{true, false, 0})) << "no total";
    m.bytesTotal["a"] = 0;
    EXPECT_EQ(sheet::bar(m, "a"), (sheet::Bar{true, false, 0})) << "a total of 0";
    m.bytesTotal["a"] = 1;
    m.bytesDone["a"] = 1;
    EXPECT_EQ(sheet::bar(m, "a"), (sheet::Bar{true, true, sheet::kBarScale}));
    // 6 of 8 GiB: both counts exceed an int.
    m.bytesDone["a"] = 6LL << 30;
    m.bytesTotal["a"] = 8LL << 30;
    EXPECT_EQ(sheet::bar(m, "a"), (sheet::Bar{true, true, sheet::kBarScale * 3 / 4}));
    m.bytesDone["a"] = 9LL << 30; // a server that sends more than it announced
    EXPECT_EQ(sheet::bar(m, "a").value, sheet::kBarScale);
}

TEST(UpdateSheetTexts, CountersCountOnlyTheLinesOfTheCurrentRun) {
    pelapptest::ModelHarness h;
    auto& m = h.model;
    m.updateLog = {"→ A 1.0 → 2.0", "✓ A: installed", "→ B 1.0 → 2.0", "✗ B: disk full", "→ C 1.0 → 2.0",
                   "✓ C: installed"};
    m.runLogStart = 4;
    EXPECT_EQ(sheet::countsText(sheet::counts(m, 1)), "1 ok · 0 failed · 1 total");
    m.runLogStart = 0;
    EXPECT_EQ(sheet::countsText(sheet::counts(m, 0)), "2 ok · 1 failed · 0 total");
    m.runLogStart = 99; // never past the end
    EXPECT_EQ(sheet::countsText(sheet::counts(m, 0)), "0 ok · 0 failed · 0 total");
}

TEST(UpdateSheetTexts, ErrorMessagesAreCutToTwoLines) {
    const QFont font = pelapp::ui::font(pelapp::ui::TextStyle::caption);
    const QString longMessage = QString("the disk is full and nothing more can be written there; ").repeated(6);
    const QString cut = sheet::twoLines(longMessage, font, 260);
    const QStringList lines = cut.split('\n');
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(cut.endsWith(QChar(0x2026))) << cut.toStdString();
    for (const auto& line : lines)
        EXPECT_LE(QFontMetrics(font).horizontalAdvance(line), 260) << line.toStdString();

    EXPECT_EQ(sheet::twoLines("short", font, 260), QString("short"));
    EXPECT_EQ(sheet::twoLines("one\ntwo\nthree", font, 260).count('\n'), 0) << "breaks read as blanks";
}

} // namespace
