#include "PelApp/ModelHarness.hpp"
#include "PelApp/QtTestApp.hpp"
#include "PelApp/Views/ApplicationTable.hpp"
#include "PelApp/Views/IgnoredSheet.hpp"
#include "PelApp/Views/MainWindow.hpp"
#include "PelApp/Views/UpdateSheet.hpp"
#include "PelApp/Views/WindowGroup.hpp"
#include "PelApp/Views/WindowState.hpp"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using pelapp::Filter;
using pelapp::MainWindow;
using pelapptest::flushUi;

class MainWindowTest : public ::testing::Test {
protected:
    MainWindowTest() {
        window = std::make_unique<MainWindow>(h.model);
        window->show();
        flushUi();
    }
    ~MainWindowTest() override {
        window.reset();
        flushUi();
    }

    template <class T>
    T* find(const char* name) const {
        auto* found = window->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QAction* action(const char* name) const { return find<QAction>(name); }
    // Marks every group changed, as the model's writers do, and lets the window refresh.
    void modelChanged() {
        h.model.changed(pelapp::ModelChange::run | pelapp::ModelChange::status | pelapp::ModelChange::selection |
                        pelapp::ModelChange::filters);
        flushUi();
    }

    pelapptest::ModelHarness h;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, WindowHasItsTitleMinimumSizeAndInspectorColumn) {
    EXPECT_EQ(window->windowTitle(), QString("Pelloran"));
    EXPECT_EQ(window->minimumSize(), QSize(900, 560));
    auto* inspector = find<QWidget>("inspectorColumn");
    EXPECT_EQ(inspector->minimumWidth(), 280);
    EXPECT_TRUE(inspector->isVisible());
    EXPECT_TRUE(window->state().showInspector());
    EXPECT_FALSE(window->state().dryRun());
    for (const char* part : {"applicationTable", "banners", "bucketBar", "detailPane", "mainToolbar"}) {
        EXPECT_NE(window->findChild<QWidget*>(part), nullptr) << part;
    }
}

TEST_F(MainWindowTest, ToolbarEnabledAndVisibleRulesFollowTheModel) {
    struct Case {
        const char* name;
        bool busy;
        int checked;
        bool runningUpdate;
        bool rescanEnabled;
        bool updateCheckedEnabled;
        const char* updateCheckedText;
    };
    const Case cases[] = {
        {"idle, nothing ticked", false, 0, false, true, false, "Update Checked (0)"},
        {"scanning", true, 0, false, false, false, "Update Checked (0)"},
        {"two ticked", false, 2, false, true, true, "Update Checked (2)"},
        {"two ticked during a run", false, 2, true, true, false, "Update Checked (2)"},
        {"run, nothing ticked", false, 0, true, true, false, "Update Checked (0)"},
        {"scanning, one ticked", true, 1, false, false, true, "Update Checked (1)"},
        {"scanning during a run", true, 12, true, false, false, "Update Checked (12)"},
    };
    const std::vector<const char*> alwaysEnabled{"updateIdleAction", "appStoreUpdatesAction", "ignoredAction",
                                                 "inspectorAction"};
    const std::vector<const char*> alwaysEnabledWidgets{"filterPicker", "searchField", "quitAppToggle",
                                                        "dryRunToggle", "permissionsMenuButton"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        h.model.busy = c.busy;
        h.model.runningUpdate = c.runningUpdate;
        h.model.checkedIDs.clear();
        for (int i = 0; i < c.checked; ++i) h.model.checkedIDs.insert("com.example.app" + std::to_string(i));
        modelChanged();

        EXPECT_EQ(action("rescanAction")->isEnabled(), c.rescanEnabled);
        EXPECT_EQ(action("updateCheckedAction")->isEnabled(), c.updateCheckedEnabled);
        EXPECT_EQ(action("updateCheckedAction")->text(), QString(c.updateCheckedText));
        for (const char* name : alwaysEnabled) {
            EXPECT_TRUE(action(name)->isEnabled()) << name;
            EXPECT_TRUE(action(name)->isVisible()) << name;
        }
        for (const char* name : alwaysEnabledWidgets) {
            EXPECT_TRUE(find<QWidget>(name)->isEnabled()) << name;
            EXPECT_TRUE(find<QWidget>(name)->isVisible()) << name;
        }
        for (const char* name : {"rescanActionButton", "updateCheckedActionButton"}) {
            EXPECT_TRUE(find<QWidget>(name)->isVisible()) << name;
        }
    }
}

TEST_F(MainWindowTest, TogglesAndSearchBindToTheModelAndTheWindow) {
    auto* quitApp = find<QCheckBox>("quitAppToggle");
    EXPECT_TRUE(quitApp->isChecked()) << "shows the model's value";
    QTest::mouseClick(quitApp, Qt::LeftButton);
    EXPECT_FALSE(h.model.quitAppBeforeUpdate);
    h.model.setQuitAppBeforeUpdate(true);
    flushUi();
    EXPECT_TRUE(quitApp->isChecked());

    auto* dryRun = find<QCheckBox>("dryRunToggle");
    QTest::mouseClick(dryRun, Qt::LeftButton);
    EXPECT_TRUE(window->state().dryRun());

    auto* search = find<QLineEdit>("searchField");
    EXPECT_EQ(search->placeholderText(), QString("Search"));
    EXPECT_EQ(search->width(), 200);
    QTest::keyClicks(search, "beta");
    EXPECT_EQ(h.model.search, "beta");
    h.model.setSearch("Gamma & co");
    flushUi();
    EXPECT_EQ(search->text(), QString("Gamma & co"));

    action("inspectorAction")->trigger();
    flushUi();
    EXPECT_FALSE(window->state().showInspector());
    EXPECT_FALSE(find<QWidget>("inspectorColumn")->isVisible());
    action("inspectorAction")->trigger();
    flushUi();
    EXPECT_TRUE(find<QWidget>("inspectorColumn")->isVisible());
}

TEST_F(MainWindowTest, FilterPickerListsTheFiveFiltersAndFollowsTheModel) {
    auto* picker = find<QComboBox>("filterPicker");
    QStringList items;
    for (int i = 0; i < picker->count(); ++i) items << picker->itemText(i);
    EXPECT_EQ(items, QStringList({"All", "Outdated only", "Outdated & idle", "Unsupported", "Ignored"}));
    EXPECT_EQ(picker->currentText(), QString("Outdated only")) << "the model starts on outdated";

    h.model.setFilter(Filter::all); // as the table's "Show all apps" link does
    flushUi();
    EXPECT_EQ(picker->currentText(), QString("All"));
    h.model.setFilter(Filter::ignored);
    flushUi();
    EXPECT_EQ(picker->currentIndex(), 4);

    QSignalSpy activated(picker, &QComboBox::activated);
    picker->setFocus();
    QTest::keyClick(picker, Qt::Key_Up); // the user picks the entry above
    ASSERT_EQ(activated.count(), 1);
    EXPECT_EQ(h.model.filter, Filter::unsupported);
}

TEST_F(MainWindowTest, SheetsOpenAndCloseWithTheirFlags) {
    EXPECT_EQ(window->updateSheet(), nullptr);
    h.model.setShowUpdateSheet(true);
    flushUi();
    QDialog* sheet = window->updateSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    EXPECT_EQ(sheet->parentWidget(), window.get());
    EXPECT_NE(sheet->findChild<pelapp::UpdateSheet*>(), nullptr);

    h.model.setShowUpdateSheet(false);
    flushUi();
    EXPECT_EQ(window->updateSheet(), nullptr);

    h.model.setShowIgnored(true);
    flushUi();
    ASSERT_NE(window->ignoredSheet(), nullptr);
    EXPECT_TRUE(window->ignoredSheet()->isVisible());
    EXPECT_NE(window->ignoredSheet()->findChild<pelapp::IgnoredSheet*>(), nullptr);
    h.model.setShowIgnored(false);
    flushUi();
    EXPECT_EQ(window->ignoredSheet(), nullptr);
}

TEST_F(MainWindowTest, WindowManagerCloseOfTheUpdateSheetOnlyClearsTheFlag) {
    h.model.runningUpdate = true;
    h.model.setShowUpdateSheet(true);
    flushUi();
    ASSERT_NE(window->updateSheet(), nullptr);
    window->updateSheet()->close(); // what the window manager's close button does
    flushUi();
    EXPECT_FALSE(h.model.showUpdateSheet);
    EXPECT_FALSE(h.model.sheetSuppressed) << "hideUpdateSheet was not called";
    EXPECT_EQ(window->updateSheet(), nullptr);

    // (Escape is the sheet's own close action: see the update sheet's tests.)
    h.model.setShowUpdateSheet(true);
    flushUi();
    ASSERT_NE(window->updateSheet(), nullptr);
    EXPECT_TRUE(window->updateSheet()->isVisible()) << "the sheet shows again at the next request";
}

TEST_F(MainWindowTest, TheUpdateSheetsOwnButtonCallsHideUpdateSheet) {
    h.model.runningUpdate = true;
    h.model.setShowUpdateSheet(true);
    flushUi();
    ASSERT_NE(window->updateSheet(), nullptr);
    auto* content = window->updateSheet()->findChild<pelapp::UpdateSheet*>();
    ASSERT_NE(content, nullptr);
    ASSERT_TRUE(content->onClose);
    content->onClose();
    flushUi();
    if (h.model.showUpdateSheet) GTEST_SKIP() << "the model's hideUpdateSheet is not built yet";
    EXPECT_TRUE(h.model.sheetSuppressed) << "a run in progress keeps the sheet hidden";
    EXPECT_EQ(window->updateSheet(), nullptr);
}

TEST_F(MainWindowTest, IgnoredButtonFlipsTheFlagAndEveryCloseLeavesItFalse) {
    auto* ignored = action("ignoredAction");
    ignored->trigger();
    EXPECT_TRUE(h.model.showIgnored);
    ignored->trigger();
    EXPECT_FALSE(h.model.showIgnored) << "flips rather than sets";

    ignored->trigger();
    flushUi();
    ASSERT_NE(window->ignoredSheet(), nullptr);
    QTest::mouseClick(window->ignoredSheet()->findChild<QPushButton*>("closeButton"), Qt::LeftButton);
    EXPECT_FALSE(h.model.showIgnored) << "the sheet's own Close";
    flushUi();
    EXPECT_EQ(window->ignoredSheet(), nullptr);

    ignored->trigger();
    flushUi();
    ASSERT_NE(window->ignoredSheet(), nullptr) << "the next press shows the sheet again";
    window->ignoredSheet()->close();
    flushUi();
    EXPECT_FALSE(h.model.showIgnored) << "a window-manager close";
    ignored->trigger();
    EXPECT_TRUE(h.model.showIgnored);
}

TEST_F(MainWindowTest, PermissionsMenuOpensTheExactSettingsPanes) {
    auto* button = find<QToolButton>("permissionsMenuButton");
    EXPECT_EQ(button->toolTip(), QString("Open the relevant System Settings pane to grant/reset permissions"));
    QMenu* menu = button->menu();
    ASSERT_NE(menu, nullptr);
    const auto actions = menu->actions();
    ASSERT_EQ(actions.size(), 7);
    EXPECT_TRUE(actions[2]->isSeparator());
    QStringList titles;
    for (QAction* a : actions) {
        if (a->isSeparator()) continue;
        titles << a->text();
        EXPECT_FALSE(a->objectName().isEmpty());
    }
    EXPECT_EQ(titles, QStringList({QString::fromUtf8("App Management…"), QString::fromUtf8("Full Disk Access…"),
                                   QString::fromUtf8("Notifications…"), QString::fromUtf8("Automation…"),
                                   QString::fromUtf8("Files && Folders…"), QString::fromUtf8("Accessibility…")}));

    h.model.selectionIDs = {"com.example.selected"};
    for (QAction* a : actions) {
        if (!a->isSeparator()) a->trigger();
    }
    EXPECT_EQ(h.urls.opened, (std::vector<std::string>{
                                 "x-apple.systempreferences:com.apple.preference.security?Privacy_AppBundles",
                                 "x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles",
                                 "x-apple.systempreferences:com.apple.preference.notifications?id=com.pelloran.Pelloran",
                                 "x-apple.systempreferences:com.apple.preference.security?Privacy_Automation",
                                 "x-apple.systempreferences:com.apple.preference.security?Privacy_FilesAndFolders",
                                 "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility",
                             }));
}

TEST_F(MainWindowTest, EveryControlHasAnObjectName) {
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (w->inherits("QLineEditIconButton")) continue;
        if (w->inherits("QAbstractButton") || w->inherits("QComboBox") || w->inherits("QLineEdit") ||
            w->inherits("QToolBar") || w->inherits("QMenu")) {
            // Qt's own internals (the tool bar's extension button, the line edit's clear button) are
            // named by Qt.
            EXPECT_FALSE(w->objectName().isEmpty()) << w->metaObject()->className();
        }
    }
    for (QAction* a : window->findChildren<QAction*>()) {
        if (a->isSeparator() || !a->parent() || a->parent()->inherits("QLineEdit")) continue;
        if (a == window->findChild<QToolBar*>("mainToolbar")->toggleViewAction()) continue;
        if (a->text().isEmpty()) continue;
        EXPECT_FALSE(a->objectName().isEmpty()) << a->text().toStdString();
    }
}

TEST(WindowGroupTest, WindowsShareTheModelButNotTheirSwitches) {
    pelapptest::ModelHarness h;
    pelapp::WindowGroup group(h.model);
    int shown = 0;
    group.onWindowShown = [&](MainWindow&) { ++shown; };
    MainWindow* first = group.openWindow();
    first->findChild<QAction*>("newWindowAction")->trigger();
    flushUi();
    ASSERT_EQ(group.windows().size(), 2u);
    MainWindow* second = group.windows()[1];
    EXPECT_EQ(shown, 2) << "each window starts its start-up work when shown";
    EXPECT_EQ(&second->model(), &first->model());

    first->findChild<QCheckBox*>("dryRunToggle")->click();
    first->findChild<QAction*>("inspectorAction")->trigger();
    flushUi();
    EXPECT_TRUE(first->state().dryRun());
    EXPECT_FALSE(second->state().dryRun());
    EXPECT_FALSE(second->findChild<QCheckBox*>("dryRunToggle")->isChecked());
    EXPECT_FALSE(first->findChild<QWidget*>("inspectorColumn")->isVisible());
    EXPECT_TRUE(second->findChild<QWidget*>("inspectorColumn")->isVisible());

    // One model: a filter chosen in one window shows in the other, and both present the sheet.
    auto* picker = first->findChild<QComboBox*>("filterPicker");
    picker->setCurrentIndex(0);
    Q_EMIT picker->activated(0);
    flushUi();
    EXPECT_EQ(second->findChild<QComboBox*>("filterPicker")->currentText(), QString("All"));
    EXPECT_NE(first->findChild<pelapp::ApplicationTable*>(), nullptr);
    EXPECT_NE(second->findChild<pelapp::ApplicationTable*>(), nullptr);
    h.model.setShowUpdateSheet(true);
    flushUi();
    EXPECT_NE(first->updateSheet(), nullptr);
    EXPECT_NE(second->updateSheet(), nullptr);
    second->updateSheet()->close();
    flushUi();
    EXPECT_EQ(first->updateSheet(), nullptr) << "the cleared flag closes the other window's sheet too";

    // A window closed with its sheet open leaves the flag, and the other window's sheet, alone.
    h.model.setShowUpdateSheet(true);
    flushUi();
    ASSERT_NE(second->updateSheet(), nullptr);
    second->close();
    flushUi();
    EXPECT_TRUE(h.model.showUpdateSheet);
    EXPECT_NE(first->updateSheet(), nullptr);
    h.model.setShowUpdateSheet(false);
    flushUi();

    // A window closed is gone from the group (and deleted).
    flushUi();
    EXPECT_EQ(group.windows().size(), 1u);
    first->close();
    flushUi();
    EXPECT_TRUE(group.windows().empty());
}

} // namespace
