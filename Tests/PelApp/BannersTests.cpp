#include "PelApp/Model/AppModel.hpp"
#include "PelApp/ModelHarness.hpp"
#include "PelApp/StripsHarness.hpp"
#include "PelApp/Views/Banners.hpp"
#include "PelApp/Views/SettingsPanes.hpp"
#include "PelApp/Views/WindowState.hpp"

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

using pelapp::Banners;
using pelapp::ModelChange;
using pelapptest::flushUi;
using pelkit::Outcome;
using pelkit::PermissionStatus;

class BannersTest : public ::testing::Test {
protected:
    void modelChanged() {
        h.model.changed(ModelChange::run | ModelChange::permission | ModelChange::rows);
        flushUi();
    }
    QString text(const char* name) const { return ui.find<QLabel>(name)->text(); }
    void click(const char* name) {
        QTest::mouseClick(ui.find<QPushButton>(name), Qt::LeftButton);
        flushUi();
    }
    // A run with one update running and two more queued.
    void startRun() {
        h.model.rows = {pelapptest::makeRow("com.a", "Alpha", Outcome::outdated, "1.0", "2.0"),
                        pelapptest::makeRow("com.b", "Beta", Outcome::outdated, "1.0", "1.1")};
        h.model.runningUpdate = true;
        h.model.activeCount = 1;
        h.model.updateQueue = {"com.a", "com.b", "com.c"};
        h.model.activeUpdateID = "com.a";
    }

    pelapptest::ProbeModelHarness h;
    pelapp::WindowState state;
    pelapptest::Hosted<Banners> ui{h.model, state};
};

TEST_F(BannersTest, EachBannerAndItsDividerShowOnlyWhileItsConditionHolds) {
    struct Case {
        PermissionStatus permission;
        bool running;
        bool permissionBanner;
    };
    const Case cases[] = {
        {PermissionStatus::unknown, false, false}, {PermissionStatus::granted, false, false},
        {PermissionStatus::denied, false, true},   {PermissionStatus::unknown, true, false},
        {PermissionStatus::granted, true, false},  {PermissionStatus::denied, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(pelkit::rawValue(c.permission)) + (c.running ? " running" : " idle"));
        h.model.permissionStatus = c.permission;
        h.model.runningUpdate = c.running;
        modelChanged();
        EXPECT_EQ(ui.shows("permissionBanner"), c.permissionBanner);
        EXPECT_EQ(ui.shows("permissionBannerDivider"), c.permissionBanner);
        EXPECT_EQ(ui.shows("runningBanner"), c.running);
        EXPECT_EQ(ui.shows("runningBannerDivider"), c.running);
        EXPECT_EQ(ui.shows("banners"), c.permissionBanner || c.running);
    }
}

TEST_F(BannersTest, PermissionBannerTexts) {
    h.model.permissionStatus = PermissionStatus::denied;
    modelChanged();
    EXPECT_EQ(text("permissionTitle"), QString("App Management permission not granted"));
    EXPECT_EQ(text("permissionDetail"),
              QString::fromUtf8(
                  "Installs into /Applications will fail with ENV_NOT_WRITABLE. Grant in System Settings "
                  "> Privacy & Security > App Management."));
    EXPECT_EQ(ui.find<QLabel>("permissionDetail")->textFormat(), Qt::PlainText);
    EXPECT_FALSE(ui.find<QLabel>("permissionIcon")->pixmap().isNull());
}

TEST_F(BannersTest, OpenSettingsOpensTheAppManagementPane) {
    h.model.permissionStatus = PermissionStatus::denied;
    modelChanged();
    click("openSettingsButton");
    ASSERT_EQ(h.urls.opened.size(), 1u);
    EXPECT_EQ(h.urls.opened[0], pelapp::appManagementSettingsUrl().text());
}

TEST_F(BannersTest, RecheckProbesThroughTheModelsSeamAndStoresTheAnswer) {
    h.model.permissionStatus = PermissionStatus::denied;
    modelChanged();

    // Still denied: the banner stays.
    click("recheckButton");
    ASSERT_EQ(h.probedPaths.size(), 1u);
    EXPECT_EQ(h.probedPaths[0], (h.applications / "Other.app/Contents/Info.plist").string());
    EXPECT_EQ(h.model.permissionStatus, PermissionStatus::denied);
    EXPECT_TRUE(ui.shows("permissionBanner"));

    h.probeErrno = 0;
    click("recheckButton");
    EXPECT_EQ(h.model.permissionStatus, PermissionStatus::granted);
    EXPECT_FALSE(ui.shows("permissionBanner"));
    EXPECT_FALSE(ui.shows("banners"));
}

TEST_F(BannersTest, RecheckWithNoConclusiveAttemptHidesTheBanner) {
    h.model.permissionStatus = PermissionStatus::denied;
    modelChanged();
    h.probeErrno = ENOENT;
    click("recheckButton");
    EXPECT_EQ(h.model.permissionStatus, PermissionStatus::unknown);
    EXPECT_FALSE(ui.shows("permissionBanner"));
}

TEST_F(BannersTest, RunningBannerCountsRunningEntriesAndNamesTheActiveRow) {
    startRun();
    h.model.activePhase = "Downloading";
    modelChanged();
    EXPECT_EQ(text("runningTitle"), QString("Updating 1 of 3"));
    EXPECT_EQ(pelapp::runningBannerTitle(h.model), QString("Updating 1 of 3"));
    EXPECT_TRUE(ui.shows("runningAppName"));
    EXPECT_EQ(text("runningAppName"), QString::fromUtf8("· Alpha"));
    EXPECT_TRUE(ui.shows("runningPhase"));
    EXPECT_EQ(text("runningPhase"), QString::fromUtf8("· Downloading"));
    for (const char* label : {"runningTitle", "runningAppName", "runningPhase"}) {
        EXPECT_EQ(ui.find<QLabel>(label)->textFormat(), Qt::PlainText) << label;
    }
}

TEST_F(BannersTest, RunningBannerLeavesOutANameWhoseRowIsGoneAndAnAbsentPhase) {
    startRun();
    h.model.activeUpdateID = "com.gone";
    h.model.activePhase.reset();
    modelChanged();
    EXPECT_EQ(pelapp::runningBannerAppName(h.model), std::nullopt);
    EXPECT_FALSE(ui.shows("runningAppName"));
    EXPECT_FALSE(ui.shows("runningPhase"));

    // No active update at all.
    h.model.activeUpdateID.reset();
    modelChanged();
    EXPECT_FALSE(ui.shows("runningAppName"));
    EXPECT_TRUE(ui.shows("runningTitle"));
}

TEST_F(BannersTest, ShowDetailsReopensAHiddenSheetAndCancelAllCancels) {
    startRun();
    h.model.showUpdateSheet = false;
    h.model.sheetSuppressed = true;
    modelChanged();
    click("showDetailsButton");
    EXPECT_TRUE(h.model.showUpdateSheet);

    click("cancelAllButton");
    ASSERT_FALSE(h.model.updateLog.empty());
    EXPECT_EQ(h.model.updateLog.back(), "· cancel requested (all)");
    EXPECT_EQ(h.model.statusMessage, "Cancelling…");
}

} // namespace
