#include "PelApp/ModelHarness.hpp"
#include "PelApp/QtTestApp.hpp"
#include "PelApp/Views/ApplicationTable.hpp"
#include "PelApp/Views/ApplicationTableColumns.hpp"
#include "PelApp/Views/MainWindow.hpp"
#include "PelApp/Views/UiKit.hpp"
#include "PelApp/Views/WindowState.hpp"

#include <QFontMetrics>
#include <QHeaderView>
#include <QScrollBar>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <string>

namespace {

namespace columns = pelapp::columns;
using Column = pelapp::ApplicationTableModel::Column;
using pelapptest::flushUi;
using pelapptest::makeRow;
using pelkit::Outcome;

constexpr int kFixed = 28 + 24;
constexpr int kIdeals = 110 + 130 + 90 + 80 + 180 + 150;
constexpr int kMinimums = 90 + 90 + 70 + 60 + 130 + 130;

int total(const columns::Widths& w) {
    return std::accumulate(w.begin(), w.end(), 0);
}

TEST(TableColumns, NameGetsTheRoomFirstThenTheOthersGiveWayDownToTheirMinimums) {
    struct Case {
        const char* what;
        int available;
        int nameText;
        columns::KeptWidths kept;
        columns::Widths expected;
    };
    columns::KeptWidths statusKept{};
    statusKept[Column::statusColumn] = 260;
    columns::KeptWidths sizeNarrowed{};
    sizeNarrowed[Column::sizeColumn] = 20;
    const Case cases[] = {
        {"room to spare: Name takes it", 1116, 160, {}, {28, 24, 324, 110, 130, 90, 80, 180, 150}},
        {"exactly the ideals and the name",
         kFixed + kIdeals + 160,
         160,
         {},
         {28, 24, 160, 110, 130, 90, 80, 180, 150}},
        // 52 points short, taken in proportion to the 20, 40, 20, 20, 50 and 20 points each can spare.
        {"the others shrink", 900, 160, {}, {28, 24, 160, 104, 118, 84, 74, 164, 144}},
        {"all at their minimums, Name below its text",
         kFixed + kMinimums + 130,
         160,
         {},
         {28, 24, 130, 90, 90, 70, 60, 130, 130}},
        {"the minimums do not fit: Name keeps its text",
         616,
         160,
         {},
         {28, 24, 160, 90, 90, 70, 60, 130, 130}},
        {"a short name still gets Name's minimum", 1116, 40, {}, {28, 24, 324, 110, 130, 90, 80, 180, 150}},
        {"a kept width stays", 1116, 160, statusKept, {28, 24, 244, 110, 130, 90, 80, 260, 150}},
        {"a kept width stays when room is short",
         1000,
         160,
         statusKept,
         {28, 24, 160, 104, 119, 85, 75, 260, 145}},
        {"a kept width is never below the minimum",
         1116,
         160,
         sizeNarrowed,
         {28, 24, 344, 110, 130, 90, 60, 180, 150}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(columns::fit(c.available, c.nameText, c.kept), c.expected);
    }
}

// Over every width from none to wide: no column goes below its minimum, the columns fill the table
// exactly while the minimums fit, and widening the table never narrows a column, but for Name where
// the table stops scrolling (it kept its text's width while scrolling spared nothing).
TEST(TableColumns, EveryWidthFillsTheTableWithoutGoingBelowAMinimum) {
    for (int nameText : {40, 160, 400}) {
        SCOPED_TRACE(nameText);
        const int nameWanted = std::max(nameText, columns::kNameMinimum);
        columns::Widths before{};
        bool fitted = false;
        for (int available = 0; available <= 1600; ++available) {
            const columns::Widths w = columns::fit(available, nameText);
            const bool fits = available >= kFixed + kMinimums + columns::kNameMinimum;
            for (int c = 0; c < columns::kCount; ++c) {
                ASSERT_GE(w[c], columns::kWidths[c].minimum) << available << " column " << c;
                if (c != Column::nameColumn) {
                    ASSERT_LE(w[c], columns::kWidths[c].ideal) << available;
                }
                if (c != Column::nameColumn || fitted) {
                    ASSERT_GE(w[c], before[c]) << available << " column " << c;
                }
            }
            fitted = fits;
            if (fits) {
                ASSERT_EQ(total(w), available);
            } else {
                ASSERT_EQ(w[Column::nameColumn], nameWanted) << available;
            }
            if (available >= kFixed + kMinimums + nameWanted) {
                ASSERT_GE(w[Column::nameColumn], nameWanted) << available;
            }
            before = w;
        }
    }
}

// The main window at its default width and at a wide one, inspector shown, over rows with long names.
class TableColumnsInWindowTest : public ::testing::Test {
protected:
    TableColumnsInWindowTest() {
        h.model.rows = {
            makeRow("com.northwind.Quillpad", "Quillpad", Outcome::outdated, "4.2.1", "5.0.0"),
            makeRow("com.ferncloud.Notebook", "Fern Notebook", Outcome::outdated, "12.1", "12.1.2"),
            makeRow("net.brightmoss.Terminal", "Mossterm", Outcome::upToDate, "3.0", "3.0")};
        h.model.changed(pelapp::ModelChange::rows);
        window = std::make_unique<pelapp::MainWindow>(h.model);
        window->show();
        flushUi();
    }
    ~TableColumnsInWindowTest() override {
        window.reset();
        flushUi();
    }

    QTableView* view() const { return window->findChild<pelapp::ApplicationTable*>()->view(); }
    QHeaderView* header() const { return view()->horizontalHeader(); }
    void widthOf(int windowWidth) {
        window->resize(windowWidth, 720);
        flushUi();
    }
    int width(int column) const { return header()->sectionSize(column); }
    bool scrolls() const { return view()->horizontalScrollBar()->isVisible(); }
    // Every row's name and bundle identifier fit the Name cell whole, as it draws them: inside an inset
    // of 6 on either side, after the running dot and its spacing.
    void expectNamesWhole() const {
        const QFontMetrics body(pelapp::ui::font(pelapp::ui::TextStyle::body));
        const QFontMetrics caption(pelapp::ui::font(pelapp::ui::TextStyle::caption));
        const int room = width(Column::nameColumn) - 6 - 6 - 6 - 6 - 1;
        for (const auto& row : h.model.rows) {
            EXPECT_GE(room, body.horizontalAdvance(QString::fromStdString(row.app.name))) << row.id;
            EXPECT_GE(room, caption.horizontalAdvance(QString::fromStdString(row.app.bundleID))) << row.id;
        }
    }
    void expectAt(bool ideal) const {
        for (int c = Column::installedColumn; c < Column::columnTotal; ++c) {
            const auto& spec = columns::kWidths[c];
            EXPECT_EQ(width(c), ideal ? spec.ideal : spec.minimum) << "column " << c;
        }
    }
    // Drags the right edge of `column`'s header section by `by` points, as the user would.
    void dragEdge(int column, int by) {
        QWindow* handle = window->windowHandle();
        const int edge = header()->sectionViewportPosition(column) + header()->sectionSize(column) - 1;
        const QPoint from = header()->viewport()->mapTo(window.get(), QPoint(edge, header()->height() / 2));
        QTest::mousePress(handle, Qt::LeftButton, {}, from);
        QTest::mouseMove(handle, from + QPoint(by / 2, 0));
        QTest::mouseMove(handle, from + QPoint(by, 0));
        QTest::mouseRelease(handle, Qt::LeftButton, {}, from + QPoint(by, 0));
        flushUi();
    }

    pelapptest::ModelHarness h;
    std::unique_ptr<pelapp::MainWindow> window;
};

TEST_F(TableColumnsInWindowTest, AtTheDefaultWidthTheOthersGiveWayAndNamesStayWhole) {
    widthOf(900);
    ASSERT_TRUE(window->state().showInspector());
    expectNamesWhole();
    // Beside the inspector even the minimums need more than the table has: it scrolls, with the
    // names whole rather than cut to spare nothing.
    ASSERT_LT(view()->viewport()->width(), kFixed + kMinimums + columns::kNameMinimum);
    expectAt(false);
    EXPECT_TRUE(scrolls());

    // Without the inspector the same window has room for the minimums and the names: no scroll bar.
    window->state().setShowInspector(false);
    flushUi();
    expectNamesWhole();
    EXPECT_FALSE(scrolls());
    EXPECT_EQ(header()->length(), view()->viewport()->width());
    for (int c = Column::installedColumn; c < Column::columnTotal; ++c) {
        EXPECT_LT(width(c), columns::kWidths[c].ideal) << "column " << c;
        EXPECT_GE(width(c), columns::kWidths[c].minimum) << "column " << c;
    }
}

TEST_F(TableColumnsInWindowTest, AtAWideWidthEveryColumnHasItsIdealAndNameTheRest) {
    widthOf(1400);
    expectAt(true);
    expectNamesWhole();
    EXPECT_FALSE(scrolls());
    EXPECT_EQ(header()->length(), view()->viewport()->width());

    // Rows in another order (the table is reset) and a narrow spell keep no width of their own.
    std::reverse(h.model.rows.begin(), h.model.rows.end());
    h.model.changed(pelapp::ModelChange::rows);
    flushUi();
    widthOf(900);
    widthOf(1400);
    expectAt(true);
}

TEST_F(TableColumnsInWindowTest, AColumnTheUserWidenedKeepsItsWidth) {
    widthOf(1400);
    const int name = width(Column::nameColumn);
    dragEdge(Column::statusColumn, 60);
    EXPECT_EQ(width(Column::statusColumn), 240);
    EXPECT_EQ(width(Column::nameColumn), name - 60);

    for (int windowWidth : {900, 1100, 1400}) {
        SCOPED_TRACE(windowWidth);
        widthOf(windowWidth);
        EXPECT_EQ(width(Column::statusColumn), 240);
        expectNamesWhole();
    }
    EXPECT_EQ(width(Column::latestColumn), 130);

    // Dragged narrower than its minimum, a column stops there.
    dragEdge(Column::sizeColumn, -50);
    EXPECT_EQ(width(Column::sizeColumn), 60);
}

} // namespace
