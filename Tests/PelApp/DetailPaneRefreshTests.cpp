#include "PelApp/DetailPaneHarness.hpp"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

namespace {

using pelapp::ModelChange;
using pelapptest::DetailPaneTest;
using pelapptest::flushUi;
using pelapptest::makeRow;
using pelapptest::outdatedRow;
using pelkit::ErrorCode;
using pelkit::Outcome;

class DetailPaneRefreshTest : public DetailPaneTest {
protected:
    // The shown row and a second one whose update is under way.
    void showWithBusyNeighbour() {
        auto other = outdatedRow("com.other", "https://dl.test/Other.zip", 4 << 20);
        other.updating = true;
        other.progressText = "Preparing…";
        showRows({outdatedRow("com.shown", "https://dl.test/files/Shown-2.0.zip"), other}, {"com.shown"});
    }
    // What another row's update does to the model many times a second: a byte report and a ticker text.
    void otherRowProgresses(int step) {
        h.model.findRow("com.other")->progressText = "Downloading " + std::to_string(step) + ".0 / 4.0 MB";
        h.model.bytesDone["com.other"] = static_cast<std::int64_t>(step) << 20;
        h.model.bytesTotal["com.other"] = 4 << 20;
        h.model.activePhase = h.model.findRow("com.other")->progressText;
        h.model.changed(ModelChange::rows | ModelChange::run | ModelChange::status);
        flushUi();
    }
    // A press or release as the window system delivers it: to whatever widget is under the pointer.
    QPoint inWindow(QWidget* widget) const { return widget->mapTo(pane.get(), widget->rect().center()); }
};

TEST_F(DetailPaneRefreshTest, AClickOnIgnoreLandsThoughAnotherRowProgressesBetweenPressAndRelease) {
    showWithBusyNeighbour();
    QPointer<QPushButton> ignore = button("ignoreButton");
    ASSERT_TRUE(ignore);
    const QPoint at = inWindow(ignore);

    QTest::mousePress(pane->windowHandle(), Qt::LeftButton, {}, at);
    for (int step = 1; step <= 3; ++step)
        otherRowProgresses(step);
    EXPECT_TRUE(ignore) << "the pressed button was destroyed under the pointer";
    if (ignore) {
        EXPECT_TRUE(ignore->isDown());
    }
    QTest::mouseRelease(pane->windowHandle(), Qt::LeftButton, {}, at);

    EXPECT_EQ(h.model.findRow("com.shown"), nullptr);
    const auto ignored = h.engine.overrides().ignoredEntries();
    ASSERT_EQ(ignored.size(), 1u);
    EXPECT_EQ(ignored[0].bundleID, "com.shown");
    EXPECT_EQ(ignored[0].reason, "user ignored via UI");
}

TEST_F(DetailPaneRefreshTest, ASelectionInTheDownloadAddressSurvivesChangesOfOtherRows) {
    showWithBusyNeighbour();
    QPointer<QLabel> address = find<QLabel>("downloadAddress");
    ASSERT_TRUE(address);
    address->setSelection(8, 7);
    ASSERT_EQ(address->selectedText(), QString("dl.test"));

    otherRowProgresses(1);
    // The shown row's own progress text is not shown either, nor are the selection's ticks.
    h.model.findRow("com.shown")->progressText = "Pre-flight (2s elapsed)";
    h.model.checkedIDs.insert("com.other");
    h.model.changed(ModelChange::rows | ModelChange::selection);
    flushUi();

    ASSERT_TRUE(address);
    EXPECT_EQ(address->selectedText(), QString("dl.test"));
    EXPECT_EQ(find<QLabel>("downloadAddress"), address.data());
}

// Each change of something the pane shows reaches it in the same turn, and the scroll position of
// the row stays where the user left it.
TEST_F(DetailPaneRefreshTest, AChangeOfTheShownRowsOwnFieldsShowsAtOnce) {
    struct Case {
        const char* what;
        std::function<void(pelapp::AppRow&)> change;
        std::function<void()> check;
    };
    const Case cases[] = {
        {"size filled by a probe", [](pelapp::AppRow& r) { r.remote->sizeBytes = 1'572'864; },
         [this] { EXPECT_EQ(value("downloadRow"), QString("Shown-2.0.zip · 1.5 MB")); }},
        {"new remote version", [](pelapp::AppRow& r) { r.remote->version = "2.1"; },
         [this] { EXPECT_EQ(text("remoteVersion"), QString("2.1")); }},
        {"checking", [](pelapp::AppRow& r) { r.checking = true; },
         [this] { EXPECT_FALSE(button("rescanButton")->isEnabled()); }},
        {"team recorded", [](pelapp::AppRow& r) { r.app.teamID = "TEAM123456"; },
         [this] { EXPECT_EQ(text("teamID"), QString("TEAM123456")); }},
        {"failed",
         [](pelapp::AppRow& r) {
             r.outcome = Outcome::error;
             r.errorCode = ErrorCode::SEC_TEAMID_MISMATCH;
             r.errorMessage = "team differs";
         },
         [this] {
             EXPECT_EQ(find("errorTitle")->findChild<QLabel*>("statusTitleText")->text(),
                       QString("SEC_TEAMID_MISMATCH"));
             EXPECT_EQ(text("errorMessage"), QString("team differs"));
         }},
    };
    pane->resize(360, 220);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto row = outdatedRow("com.shown", "https://dl.test/files/Shown-2.0.zip");
        std::string notes;
        for (int line = 1; line <= 30; ++line)
            notes += "Fixed issue " + std::to_string(line) + "\n";
        row.remote->notes = notes;
        row.app.archs = {"arm64", "x86_64"};
        showRow(row);
        QScrollBar* bar = pane->findChild<QScrollArea*>("detailScroll")->verticalScrollBar();
        ASSERT_GT(bar->maximum(), 40);
        bar->setValue(40);

        c.change(*h.model.findRow("com.shown"));
        h.model.changed(ModelChange::rows);
        flushUi();
        c.check();
        EXPECT_EQ(bar->value(), 40);
    }

    // The busy state is the queue's, not the row's.
    showRow(outdatedRow("com.shown"));
    h.model.updateQueue.push_back("com.shown");
    h.model.changed(ModelChange::run);
    flushUi();
    EXPECT_EQ(button("updateButton")->text(), QString("Queued…"));
    h.model.updateQueue.clear();
    h.model.changed(ModelChange::run);
    flushUi();
    EXPECT_EQ(button("updateButton")->text(), QString("Update"));
}

} // namespace
