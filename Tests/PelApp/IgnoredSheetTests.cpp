#include "PelApp/AppModelTestAccess.hpp"
#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/OverridesLocation.hpp"
#include "PelApp/RunUntil.hpp"
#include "PelApp/StripsHarness.hpp"
#include "PelApp/Views/IgnoredSheet.hpp"
#include "PelApp/Views/WindowState.hpp"
#include "PelKit/Config.hpp"
#include "Support/ScopedWorkingDirectory.hpp"
#include "Support/TempDir.hpp"

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pelapp::IgnoredSheet;
using pelapptest::flushUi;

using pelsupport::ScopedWorkingDirectory;

class IgnoredSheetTest : public ::testing::Test {
protected:
    IgnoredSheetTest() {
        store->setIgnore("org.zeta.Tool", "user ignored via UI");
        store->setIgnore("com.alpha.App", "");
        store->setIgnore("net.mid.Player", "beta channel only");
    }
    ~IgnoredSheetTest() override {
        sheet.reset();
        flushUi();
    }

    void attachEngine() { pelapp::AppModelTestAccess::engine(h.model) = &h.engine; }
    // Builds the sheet and shows it in a dialog, as the window presents it.
    void present() {
        sheet.reset(); // the dialog owns it too
        dialog = std::make_unique<QDialog>();
        sheet = std::make_unique<IgnoredSheet>(h.model, state);
        sheet->onClose = [this] { ++closes; };
        auto* layout = new QVBoxLayout(dialog.get());
        layout->addWidget(sheet.get());
        dialog->show();
        flushUi();
    }
    std::vector<std::string> shownIDs() const {
        std::vector<std::string> ids;
        for (auto* row : sheet->findChildren<QWidget*>("ignoredRow")) {
            if (row->isVisibleTo(sheet.get()))
                ids.push_back(row->property("bundleID").toString().toStdString());
        }
        return ids;
    }
    QWidget* row(const std::string& id) const {
        for (auto* r : sheet->findChildren<QWidget*>("ignoredRow")) {
            if (r->isVisibleTo(sheet.get()) && r->property("bundleID").toString().toStdString() == id)
                return r;
        }
        return nullptr;
    }
    QString label(const char* name) const { return sheet->findChild<QLabel*>(name)->text(); }
    void click(QPushButton* button) {
        ASSERT_NE(button, nullptr);
        QTest::mouseClick(button, Qt::LeftButton);
        flushUi();
    }

    pelsupport::TempDir home{"pel-ignored-home"};
    pelkit::testing::ScopedHomeOverride homeOverride{home.path()};
    std::shared_ptr<pelkit::Overrides> store = pelkit::Overrides::load(
        platform::Url::fromFilePath((home / ".local/state/pel/overrides.json").string()));
    pelapptest::ProbeModelHarness h{store};
    pelapp::WindowState state;
    std::unique_ptr<QDialog> dialog;
    std::unique_ptr<IgnoredSheet> sheet;
    int closes = 0;
};

TEST_F(IgnoredSheetTest, WithoutAnEngineTheSheetIsEmpty) {
    present();
    EXPECT_TRUE(sheet->entries().empty());
    EXPECT_EQ(label("ignoredCount"), QString("0 entries"));
    EXPECT_TRUE(sheet->findChild<QWidget*>("ignoredEmpty")->isVisibleTo(sheet.get()));
    EXPECT_EQ(label("noAppsIgnoredLabel"), QString("No apps ignored"));
    EXPECT_FALSE(sheet->findChild<QWidget*>("ignoredList")->isVisibleTo(sheet.get()));
    EXPECT_EQ(label("ignoredTitle"), QString("Ignored Apps"));
}

TEST_F(IgnoredSheetTest, EntriesLoadWhenShownSortedWithReasonsOnlyWhenPresent) {
    attachEngine();
    sheet = std::make_unique<IgnoredSheet>(h.model, state);
    EXPECT_TRUE(sheet->entries().empty()) << "nothing is read before the sheet is shown";
    sheet.reset();

    present();
    EXPECT_EQ(shownIDs(), (std::vector<std::string>{"com.alpha.App", "net.mid.Player", "org.zeta.Tool"}));
    EXPECT_EQ(label("ignoredCount"), QString("3 entries"));
    EXPECT_FALSE(sheet->findChild<QWidget*>("ignoredEmpty")->isVisibleTo(sheet.get()));

    EXPECT_EQ(row("com.alpha.App")->findChild<QLabel*>("ignoredReason"), nullptr);
    auto* reason = row("org.zeta.Tool")->findChild<QLabel*>("ignoredReason");
    ASSERT_NE(reason, nullptr);
    EXPECT_EQ(reason->text(), QString("user ignored via UI"));
    EXPECT_EQ(reason->textFormat(), Qt::PlainText);
    EXPECT_EQ(row("net.mid.Player")->findChild<QLabel*>("ignoredBundleID")->text(),
              QString("net.mid.Player"));
}

TEST_F(IgnoredSheetTest, UnignoreRemovesTheRowAtOnceAndRereadsTheStore) {
    attachEngine();
    present();
    // A change the sheet does not watch: it shows only at the next reload point.
    store->setIgnore("com.beta.Late", "later");
    EXPECT_EQ(shownIDs().size(), 3u);

    click(row("net.mid.Player")->findChild<QPushButton*>("unignoreButton"));
    EXPECT_EQ(shownIDs(), (std::vector<std::string>{"com.alpha.App", "com.beta.Late", "org.zeta.Tool"}));
    EXPECT_EQ(label("ignoredCount"), QString("3 entries"));
    EXPECT_FALSE(store->entry("net.mid.Player").has_value());
    EXPECT_EQ(h.model.statusMessage, "Unignored net.mid.Player — rescan to see");
}

TEST_F(IgnoredSheetTest, RescanReloadsTheListOnlyAfterTheScanHasFinished) {
    attachEngine();
    present();
    h.model.busy = true; // the toolbar's Rescan is disabled now; this one never is
    h.model.changed(pelapp::ModelChange::status);
    flushUi();
    auto* rescan = sheet->findChild<QPushButton*>("rescanButton");
    EXPECT_TRUE(rescan->isEnabled());
    h.model.busy = false;

    store->clearIgnore("org.zeta.Tool");
    click(rescan);
    EXPECT_EQ(shownIDs().size(), 3u) << "the rescan has not run yet";
    ASSERT_TRUE(pelapptest::runUntil(h.executor, [&] { return h.engine.scanCount() == 1 && !h.model.busy; }));
    flushUi();
    EXPECT_EQ(shownIDs(), (std::vector<std::string>{"com.alpha.App", "net.mid.Player"}));
}

TEST_F(IgnoredSheetTest, ARescanOutlivingTheSheetLeavesItAlone) {
    attachEngine();
    present();
    click(sheet->findChild<QPushButton*>("rescanButton"));
    sheet.reset();
    flushUi();
    ASSERT_TRUE(pelapptest::runUntil(h.executor, [&] { return h.engine.scanCount() == 1 && !h.model.busy; }));
    h.executor.runPending();
}

TEST_F(IgnoredSheetTest, ReturnPressesCloseWhichCallsOnClose) {
    present();
    auto* close = sheet->findChild<QPushButton*>("closeButton");
    EXPECT_TRUE(close->isDefault());
    QTest::keyClick(dialog.get(), Qt::Key_Return);
    flushUi();
    EXPECT_EQ(closes, 1);
}

// The footer names the file the overrides are written to.
TEST_F(IgnoredSheetTest, FooterNamesTheStateDirectoryFileInTheUsualCase) {
    pelsupport::TempDir work{"pel-ignored-cwd"};
    ScopedWorkingDirectory cwd(work.path());
    const std::string stateFile = (home.path() / ".local/state/pel/overrides.json").string();

    present(); // no engine yet: where start-up would load it from
    EXPECT_EQ(label("overridesPathLabel"), QString::fromStdString("Written to " + stateFile));
    EXPECT_EQ(sheet->findChild<QLabel*>("overridesPathLabel")->textFormat(), Qt::PlainText);

    attachEngine(); // the store was loaded from the state directory
    present();
    EXPECT_EQ(label("overridesPathLabel"), QString::fromStdString("Written to " + stateFile));
}

TEST_F(IgnoredSheetTest, FooterNamesTheWorkingDirectoryFileWhenOneIsThere) {
    pelsupport::TempDir work{"pel-ignored-cwd"};
    const fs::path local = work.path() / "config/overrides.json";
    pelsupport::writeText(local, R"({"schemaVersion": 1, "apps": {}})");
    ScopedWorkingDirectory cwd(work.path());

    present(); // no engine: the working directory's file wins
    EXPECT_EQ(label("overridesPathLabel"), QString::fromStdString("Written to " + local.string()));
    EXPECT_EQ(pelapp::overridesFileInUse(h.model).filePath(), local.string());

    // An engine whose store came from the state directory keeps writing there, whatever is in the
    // working directory now.
    attachEngine();
    present();
    const std::string stateFile = (home.path() / ".local/state/pel/overrides.json").string();
    EXPECT_EQ(label("overridesPathLabel"), QString::fromStdString("Written to " + stateFile));
}

TEST(OverridesFileInUse, AnEngineWhoseStoreWritesNowhereFallsBackToTheUsualPlace) {
    pelsupport::TempDir home{"pel-ignored-home"};
    pelkit::testing::ScopedHomeOverride homeOverride{home.path()};
    pelsupport::TempDir work{"pel-ignored-cwd"};
    ScopedWorkingDirectory cwd(work.path());
    pelapptest::ProbeModelHarness h; // the scripted engine's store is in memory only
    pelapp::AppModelTestAccess::engine(h.model) = &h.engine;
    EXPECT_EQ(pelapp::overridesFileInUse(h.model).filePath(),
              (home.path() / ".local/state/pel/overrides.json").string());
}

} // namespace
