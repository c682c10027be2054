#include "PelApp/Model/Clipboard.hpp"
#include "PelApp/ModelHarness.hpp"
#include "PelApp/QtTestApp.hpp"
#include "PelApp/ScanHarness.hpp"
#include "PelApp/Views/ApplicationTable.hpp"
#include "PelApp/Views/ApplicationTableCells.hpp"
#include "PelApp/Views/ApplicationTableModel.hpp"
#include "PelApp/Views/QtClipboard.hpp"
#include "PelApp/Views/WindowState.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QToolTip>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

using pelapp::ApplicationTable;
using pelapp::ApplicationTableModel;
using pelapp::CellControl;
using pelapp::Filter;
using pelapptest::flushUi;
using pelapptest::makeRow;
using pelkit::Outcome;

struct FakeClipboard final : pelapp::Clipboard {
    void setString(const std::string& text) override { strings.push_back(text); }
    std::vector<std::string> strings;
};

// The table over `model`, shown offscreen, with a fake clipboard.
struct TableUnderTest {
    explicit TableUnderTest(pelapp::AppModel& model) : table(std::make_unique<ApplicationTable>(model, state)) {
        table->setClipboard(clipboard);
        table->resize(1100, 500);
        table->show();
        flushUi();
    }
    ~TableUnderTest() {
        table.reset();
        flushUi();
    }

    QTableView* view() const { return table->view(); }
    ApplicationTableModel* rows() const { return table->tableModel(); }
    std::vector<std::string> shownIDs() const {
        std::vector<std::string> ids;
        for (int r = 0; r < rows()->rowCount(); ++r)
            ids.push_back(rows()->rowAt(r).row.id);
        return ids;
    }
    std::set<std::string> viewSelection() const {
        std::set<std::string> ids;
        for (const QModelIndex& index : view()->selectionModel()->selectedRows())
            ids.insert(rows()->rowAt(index.row()).row.id);
        return ids;
    }
    template <class T> T* find(const char* name) const {
        auto* found = table->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QString text(const char* label) const { return find<QLabel>(label)->text(); }
    bool shown(const char* name) const { return !find<QWidget>(name)->isHidden(); }
    // The centre of a control in the row with `id`.
    QPoint controlAt(const std::string& id, int column, CellControl control) const {
        const int row = rows()->rowOf(id);
        EXPECT_GE(row, 0) << id;
        const QRect cell = view()->visualRect(rows()->index(row, column));
        for (const auto& t : pelapp::cellTargets(rows()->rowAt(row), column, cell)) {
            if (t.control == control) return t.rect.center();
        }
        ADD_FAILURE() << "no control in " << id << " column " << column;
        return {};
    }
    void click(const QPoint& at) const {
        QTest::mouseClick(view()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        flushUi();
    }
    void clickRow(const std::string& id, Qt::KeyboardModifiers modifiers = Qt::NoModifier) const {
        const QRect cell = view()->visualRect(rows()->index(rows()->rowOf(id), ApplicationTableModel::statusColumn));
        QTest::mouseClick(view()->viewport(), Qt::LeftButton, modifiers, cell.center());
        flushUi();
    }

    pelapp::WindowState state;
    FakeClipboard clipboard;
    std::unique_ptr<ApplicationTable> table;
};

class ApplicationTableTest : public ::testing::Test {
protected:
    ApplicationTableTest() {
        h.model.rows = {makeRow("com.a", "Alpha", Outcome::outdated, "1.0", "2.0"),
                        makeRow("com.b", "Beta", Outcome::upToDate, "2.0", "2.0"),
                        makeRow("com.c", "Gamma", Outcome::outdated, "3.0", "3.1"),
                        makeRow("com.d", "Delta", Outcome::unsupported, "1.0")};
        h.model.filter = Filter::all;
        t = std::make_unique<TableUnderTest>(h.model);
    }
    ~ApplicationTableTest() override { t.reset(); }

    void changed() {
        h.model.changed(pelapp::ModelChange::rows | pelapp::ModelChange::status | pelapp::ModelChange::selection |
                        pelapp::ModelChange::run | pelapp::ModelChange::filters);
        flushUi();
    }

    pelapptest::ModelHarness h;
    std::unique_ptr<TableUnderTest> t;
};

TEST_F(ApplicationTableTest, SelectionIsTheModelsSetAndSurvivesFiltering) {
    t->clickRow("com.b");
    EXPECT_EQ(h.model.selectionIDs, std::set<std::string>{"com.b"});
    t->clickRow("com.d", Qt::ControlModifier);
    EXPECT_EQ(h.model.selectionIDs, (std::set<std::string>{"com.b", "com.d"}));

    // Hidden rows stay selected in the model and show selected again when they return.
    h.model.setFilter(Filter::outdated);
    flushUi();
    EXPECT_EQ(t->shownIDs(), (std::vector<std::string>{"com.a", "com.c"}));
    EXPECT_TRUE(t->viewSelection().empty());
    EXPECT_EQ(h.model.selectionIDs, (std::set<std::string>{"com.b", "com.d"}));
    h.model.setFilter(Filter::all);
    flushUi();
    EXPECT_EQ(t->viewSelection(), (std::set<std::string>{"com.b", "com.d"}));

    // The model's selection shows in the view.
    h.model.setSelectionIDs({"com.c", "com.gone"});
    flushUi();
    EXPECT_EQ(t->viewSelection(), std::set<std::string>{"com.c"});
    EXPECT_EQ(h.model.selectionIDs, (std::set<std::string>{"com.c", "com.gone"}));
}

TEST_F(ApplicationTableTest, ClicksOnCellControlsCallTheModelAndLeaveTheSelection) {
    using Col = ApplicationTableModel::Column;
    // The outdated row's box toggles its tick; an up-to-date row's box is disabled.
    t->click(t->controlAt("com.a", Col::checkColumn, CellControl::checkBox));
    EXPECT_TRUE(h.model.checkedIDs.contains("com.a"));
    EXPECT_TRUE(t->rows()->rowAt(0).checked);
    t->click(t->controlAt("com.a", Col::checkColumn, CellControl::checkBox));
    EXPECT_FALSE(h.model.checkedIDs.contains("com.a"));
    h.model.checkedIDs.insert("com.b");
    changed();
    t->click(t->controlAt("com.b", Col::checkColumn, CellControl::checkBox));
    EXPECT_TRUE(h.model.checkedIDs.contains("com.b"));
    EXPECT_TRUE(t->rows()->rowAt(1).checked);
    EXPECT_EQ(h.model.selectionIDs, std::set<std::string>{"com.b"}); // a click on a disabled box selects

    h.model.setSelectionIDs({});
    flushUi();
    t->state.setDryRun(true);
    t->click(t->controlAt("com.c", Col::actionColumn, CellControl::update));
    EXPECT_EQ(h.model.updateQueue, std::vector<std::string>{"com.c"});
    EXPECT_EQ(h.model.entryDryRun("com.c"), true);
    EXPECT_TRUE(h.model.selectionIDs.empty());

    // Once queued the row offers Cancel in place of Update.
    EXPECT_EQ(t->rows()->rowAt(t->rows()->rowOf("com.c")).busy, true);
    t->click(t->controlAt("com.c", Col::actionColumn, CellControl::cancel));
    EXPECT_TRUE(h.model.updateQueue.empty());
}

TEST_F(ApplicationTableTest, ARowThatIsCheckingHasItsRescanButtonDisabled) {
    using Col = ApplicationTableModel::Column;
    h.model.rows[0].checking = true;
    changed();
    const QPoint rescan = t->controlAt("com.a", Col::actionColumn, CellControl::rescan);
    t->click(rescan);
    EXPECT_EQ(h.model.rows[0].progressText, std::nullopt);
    EXPECT_TRUE(t->table->findChild<QObject*>("spinnerTimer")->property("active").toBool());
    h.model.rows[0].checking = false;
    changed();
    EXPECT_FALSE(t->table->findChild<QObject*>("spinnerTimer")->property("active").toBool());
}

TEST_F(ApplicationTableTest, HelpBelongsToTheRunningDotAndTheButtons) {
    using Col = ApplicationTableModel::Column;
    h.model.runningBundleIDs.insert("com.c");
    changed();
    auto helpAt = [&](const QPoint& at) {
        QHelpEvent help(QEvent::ToolTip, at, t->view()->viewport()->mapToGlobal(at));
        QCoreApplication::sendEvent(t->view()->viewport(), &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    EXPECT_EQ(helpAt(t->controlAt("com.a", Col::nameColumn, CellControl::runningDot)), QString("<qt>Idle</qt>"));
    EXPECT_EQ(helpAt(t->controlAt("com.c", Col::nameColumn, CellControl::runningDot)),
              QString("<qt>Running (or helpers active)</qt>"));
    // The name beside the dot carries no help.
    const QRect name = t->view()->visualRect(t->rows()->index(0, Col::nameColumn));
    for (const auto& target : pelapp::cellTargets(t->rows()->rowAt(0), Col::nameColumn, name))
        EXPECT_FALSE(target.rect.adjusted(-2, -2, 2, 2).contains(name.center()));
    EXPECT_EQ(helpAt(t->controlAt("com.a", Col::sizeColumn, CellControl::probe)),
              QString("<qt>Probe size (HEAD request)</qt>"));
    EXPECT_EQ(helpAt(t->controlAt("com.b", Col::actionColumn, CellControl::ignore)), QString("<qt>Ignore this app</qt>"));
    QToolTip::hideText();
}

TEST_F(ApplicationTableTest, EmptyStateFollowsFilterAndBusy) {
    EXPECT_FALSE(t->shown("emptyState"));
    h.model.rows.clear();
    changed();
    EXPECT_TRUE(t->shown("emptyState"));
    EXPECT_EQ(t->text("emptyStateMessage"), QString("No apps found."));
    EXPECT_FALSE(t->shown("showAllAppsButton"));

    h.model.setFilter(Filter::ignored);
    flushUi();
    EXPECT_EQ(t->text("emptyStateMessage"), QString("No ignored apps yet."));
    EXPECT_TRUE(t->shown("showAllAppsButton"));

    h.model.busy = true;
    changed();
    EXPECT_FALSE(t->shown("emptyState"));
    h.model.busy = false;
    changed();
    QTest::mouseClick(t->find<QPushButton>("showAllAppsButton"), Qt::LeftButton);
    EXPECT_EQ(h.model.filter, Filter::all);

    // Rows kept out by the filter leave the table empty too.
    h.model.rows = {makeRow("com.b", "Beta", Outcome::upToDate, "2.0", "2.0")};
    h.model.setFilter(Filter::outdated);
    flushUi();
    EXPECT_TRUE(t->shown("emptyState"));
    EXPECT_EQ(t->text("emptyStateMessage"), QString("Nothing outdated. All apps up to date or informational."));
}

TEST_F(ApplicationTableTest, FooterCountsScanTimeAndStatus) {
    EXPECT_EQ(t->text("footerCounts"), QString("4 shown · 2 outdated · 0 hidden by filter"));
    EXPECT_FALSE(t->shown("lastScanLabel"));
    EXPECT_EQ(t->text("statusLabel"), QString("Ready"));

    h.model.setSearch("ALPHA");
    h.model.lastScanDate = h.executor.clock().now();
    h.executor.manualClock().advance(std::chrono::minutes(3));
    h.model.statusMessage = "Resolved 4 / 4";
    changed();
    EXPECT_EQ(t->text("footerCounts"), QString("1 shown · 2 outdated · 3 hidden by filter"));
    EXPECT_TRUE(t->shown("lastScanLabel"));
    EXPECT_EQ(t->text("lastScanLabel"), QString("Last scan: 3 min. ago"));
    EXPECT_EQ(t->text("statusLabel"), QString("Resolved 4 / 4"));
}

TEST_F(ApplicationTableTest, ContextMenuOpensForTheSelectionOrTheRowUnderThePointer) {
    h.model.setSelectionIDs({"com.a", "com.c"});
    flushUi();
    auto centreOf = [&](const std::string& id) {
        return t->view()->visualRect(t->rows()->index(t->rows()->rowOf(id), 2)).center();
    };
    EXPECT_EQ(t->table->contextMenuIDs(centreOf("com.c")), (std::set<std::string>{"com.a", "com.c"}));
    EXPECT_EQ(t->table->contextMenuIDs(centreOf("com.b")), std::set<std::string>{"com.b"});
    EXPECT_TRUE(t->table->contextMenuIDs(QPoint(5, t->view()->viewport()->height() - 2)).empty());

    QMenu empty;
    EXPECT_FALSE(t->table->fillContextMenu(empty, {}));
    EXPECT_FALSE(t->table->fillContextMenu(empty, {"com.removed"}));
    EXPECT_TRUE(empty.isEmpty());
}

TEST_F(ApplicationTableTest, ContextMenuActionsCallTheModel) {
    h.model.rows[0].app.name = "Alpha & Omega";
    changed();
    QMenu menu;
    ASSERT_TRUE(t->table->fillContextMenu(menu, {"com.a"}));
    std::vector<QString> texts;
    for (QAction* a : menu.actions())
        texts.push_back(a->isSeparator() ? QString("-") : a->text());
    EXPECT_EQ(texts, (std::vector<QString>{"Update Alpha && Omega", "Rescan Alpha && Omega", "-",
                                           "Ignore Alpha && Omega", "Copy Bundle ID"}));

    menu.findChild<QAction*>("copyBundleIDAction")->trigger();
    EXPECT_EQ(t->clipboard.strings, std::vector<std::string>{"com.a"});

    menu.findChild<QAction*>("updateRowAction")->trigger();
    EXPECT_EQ(h.model.updateQueue, std::vector<std::string>{"com.a"});
    EXPECT_EQ(h.model.entryDryRun("com.a"), false);
    QMenu again;
    t->table->fillContextMenu(again, {"com.a"});
    EXPECT_FALSE(again.findChild<QAction*>("updateRowAction")->isEnabled());
}

TEST(ApplicationTableScanTest, SelectionSurvivesARescanAndIgnoreUsesTheTablesReason) {
    pelapptest::ScanHarness h;
    h.startedWithRows({"com.a", "com.b", "com.c"});
    h.model->filter = Filter::all;
    h.scanFinds({"com.a", "com.b", "com.c"});
    for (const char* id : {"com.a", "com.b", "com.c"})
        h.engine.setCheckReply(id, pelapptest::resolution(Outcome::outdated, "9.0"));
    TableUnderTest t(*h.model);
    t.clickRow("com.b");
    ASSERT_EQ(h.model->selectionIDs, std::set<std::string>{"com.b"});

    auto task = h.start(h.model->rescan());
    ASSERT_TRUE(h.runUntil([&] {
        flushUi();
        return task.isDone();
    }));
    flushUi();
    EXPECT_EQ(h.model->selectionIDs, std::set<std::string>{"com.b"});
    EXPECT_EQ(t.viewSelection(), std::set<std::string>{"com.b"});
    EXPECT_EQ(t.shownIDs(), (std::vector<std::string>{"com.a", "com.b", "com.c"}));

    t.click(t.controlAt("com.a", ApplicationTableModel::actionColumn, CellControl::ignore));
    const auto ignored = h.engine.overrides().ignoredEntries();
    ASSERT_EQ(ignored.size(), 1u);
    EXPECT_EQ(ignored[0].bundleID, "com.a");
    EXPECT_EQ(ignored[0].reason, std::optional<std::string>("user ignored via UI"));
    EXPECT_EQ(t.shownIDs(), (std::vector<std::string>{"com.b", "com.c"}));
    EXPECT_EQ(t.viewSelection(), std::set<std::string>{"com.b"});
}

TEST(QtClipboardTest, ReplacesTheWholeContentWithPlainText) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    auto* before = new QMimeData;
    before->setHtml("<b>old</b>");
    before->setData("application/x-other", "bytes");
    clipboard->setMimeData(before);

    pelapp::QtClipboard().setString("com.example.Ünïcode");
    const QMimeData* now = clipboard->mimeData();
    ASSERT_NE(now, nullptr);
    EXPECT_EQ(now->text(), QString("com.example.Ünïcode"));
    EXPECT_FALSE(now->hasHtml());
    EXPECT_FALSE(now->hasFormat("application/x-other"));
}

} // namespace
