#include "PelApp/ModelHarness.hpp"
#include "PelApp/Views/ApplicationTableModel.hpp"

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using pelapp::ApplicationTableModel;
using pelapp::Filter;
using pelapptest::makeRow;
using pelkit::Outcome;

class TableModelTest : public ::testing::Test {
protected:
    TableModelTest() {
        for (int i = 0; i < 6; ++i) {
            const std::string id = "com.app" + std::to_string(i);
            h.model.rows.push_back(makeRow(id, "App " + std::to_string(i),
                                           i % 2 == 0 ? Outcome::outdated : Outcome::upToDate, "1.0", "2.0"));
        }
        h.model.filter = Filter::all;
        table.refresh(h.model);
    }

    std::vector<std::string> shownIDs() const {
        std::vector<std::string> ids;
        for (int r = 0; r < table.rowCount(); ++r)
            ids.push_back(table.rowAt(r).row.id);
        return ids;
    }
    std::vector<std::string> modelIDs() const {
        std::vector<std::string> ids;
        for (const auto& row : h.model.filtered())
            ids.push_back(row.id);
        return ids;
    }

    pelapptest::ModelHarness h;
    ApplicationTableModel table;
    QAbstractItemModelTester tester{&table, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(TableModelTest, ShowsTheFilteredRowsWithTheirCells) {
    EXPECT_EQ(table.columnCount(), 9);
    EXPECT_EQ(shownIDs(), modelIDs());
    const QModelIndex first = table.index(0, ApplicationTableModel::nameColumn);
    EXPECT_EQ(first.data().toString(), QString("App 0"));
    EXPECT_EQ(first.data(ApplicationTableModel::idRole).toString(), QString("com.app0"));
    EXPECT_EQ(table.index(0, ApplicationTableModel::latestColumn).data().toString(), QString("2.0"));
    EXPECT_EQ(table.index(0, ApplicationTableModel::sizeColumn).data().toString(), QString("?"));
    EXPECT_EQ(table.index(1, ApplicationTableModel::sizeColumn).data().toString(), QString("—"));
    EXPECT_EQ(table.index(0, ApplicationTableModel::statusColumn).data().toString(), QString("Update available"));
    EXPECT_EQ(table.headerData(2, Qt::Horizontal).toString(), QString("Name"));
    EXPECT_EQ(table.headerData(8, Qt::Horizontal).toString(), QString("Action"));
    EXPECT_TRUE(table.headerData(0, Qt::Horizontal).toString().isEmpty());
}

TEST_F(TableModelTest, ARowUpdateRepaintsThatRowOnly) {
    QSignalSpy changed(&table, &QAbstractItemModel::dataChanged);
    QSignalSpy reset(&table, &QAbstractItemModel::modelReset);
    QSignalSpy inserted(&table, &QAbstractItemModel::rowsInserted);

    h.model.rows[3].checking = true;
    table.refresh(h.model);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].value<QModelIndex>().row(), 3);
    EXPECT_EQ(changed[0][1].value<QModelIndex>().row(), 3);
    EXPECT_EQ(changed[0][0].value<QModelIndex>().column(), 0);
    EXPECT_EQ(changed[0][1].value<QModelIndex>().column(), 8);
    EXPECT_TRUE(table.anyChecking());

    // Nothing changed: nothing announced.
    table.refresh(h.model);
    EXPECT_EQ(changed.count(), 1);

    // A tick, a queued update and a running application each change how a row draws.
    h.model.checkedIDs.insert("com.app1");
    table.refresh(h.model);
    h.model.updateQueue.push_back("com.app2");
    table.refresh(h.model);
    h.model.runningBundleIDs.insert("com.app4");
    table.refresh(h.model);
    ASSERT_EQ(changed.count(), 4);
    EXPECT_EQ(changed[1][0].value<QModelIndex>().row(), 1);
    EXPECT_EQ(changed[2][0].value<QModelIndex>().row(), 2);
    EXPECT_EQ(changed[3][0].value<QModelIndex>().row(), 4);
    EXPECT_TRUE(table.rowAt(1).checked);
    EXPECT_TRUE(table.rowAt(2).busy);
    EXPECT_TRUE(table.rowAt(4).running);
    EXPECT_EQ(reset.count(), 0);
    EXPECT_EQ(inserted.count(), 0);
}

TEST_F(TableModelTest, FilterChangesRemoveAndInsertRunsOfRows) {
    QSignalSpy reset(&table, &QAbstractItemModel::modelReset);
    QSignalSpy removed(&table, &QAbstractItemModel::rowsRemoved);
    QSignalSpy inserted(&table, &QAbstractItemModel::rowsInserted);

    h.model.setFilter(Filter::outdated);
    table.refresh(h.model);
    EXPECT_EQ(shownIDs(), modelIDs());
    EXPECT_EQ(removed.count(), 3);
    EXPECT_EQ(table.rowOf("com.app4"), 2);
    EXPECT_EQ(table.rowOf("com.app1"), -1);

    h.model.setSearch("app 4");
    table.refresh(h.model);
    EXPECT_EQ(shownIDs(), std::vector<std::string>{"com.app4"});

    h.model.setSearch("");
    h.model.setFilter(Filter::all);
    table.refresh(h.model);
    EXPECT_EQ(shownIDs(), modelIDs());
    EXPECT_GE(inserted.count(), 2);
    EXPECT_EQ(reset.count(), 0);
    EXPECT_EQ(table.rowOf("com.app5"), 5);
}

TEST_F(TableModelTest, ReorderedOrRepeatedRowsResetTheTable) {
    QSignalSpy reset(&table, &QAbstractItemModel::modelReset);
    std::swap(h.model.rows[0], h.model.rows[5]);
    table.refresh(h.model);
    EXPECT_EQ(reset.count(), 1);
    EXPECT_EQ(shownIDs(), modelIDs());

    h.model.rows.push_back(makeRow("com.app2", "App 2 again", Outcome::outdated, "1", "2"));
    table.refresh(h.model);
    EXPECT_EQ(reset.count(), 2);
    EXPECT_EQ(shownIDs(), modelIDs());

    h.model.rows.clear();
    table.refresh(h.model);
    EXPECT_EQ(table.rowCount(), 0);
    EXPECT_FALSE(table.anyChecking());
}

TEST_F(TableModelTest, ARescanWithFreshRowsKeepsTheRowsInPlace) {
    QSignalSpy reset(&table, &QAbstractItemModel::modelReset);
    QSignalSpy removed(&table, &QAbstractItemModel::rowsRemoved);
    // A full scan rebuilds every row (unresolved again), drops one application and finds a new one.
    std::vector<pelapp::AppRow> fresh;
    for (const auto& row : h.model.rows) {
        if (row.id != "com.app3") fresh.push_back(pelapp::AppRow::scanned(row.app, std::nullopt));
    }
    fresh.push_back(makeRow("com.new", "New", Outcome::unresolved));
    h.model.rows = fresh;
    table.refresh(h.model);
    EXPECT_EQ(reset.count(), 0);
    EXPECT_EQ(removed.count(), 1);
    EXPECT_EQ(shownIDs(), modelIDs());
    EXPECT_EQ(table.index(0, ApplicationTableModel::statusColumn).data().toString(), QString("No source"));
}

} // namespace
