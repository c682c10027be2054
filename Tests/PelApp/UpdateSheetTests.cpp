#include "PelApp/Model/UpdateSheetView.hpp"
#include "PelApp/ModelHarness.hpp"
#include "PelApp/QtTestApp.hpp"
#include "PelApp/Views/MainWindow.hpp"
#include "PelApp/Views/UpdateSheet.hpp"
#include "PelApp/Views/WindowState.hpp"

#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using pelapp::ModelChange;
using pelapp::UpdateSheet;
using pelapptest::flushUi;
using pelapptest::makeRow;
using pelkit::ErrorCode;
using pelkit::Outcome;

class UpdateSheetTest : public ::testing::Test {
protected:
    UpdateSheetTest() {
        m.rows = {makeRow("com.a", "Alpha", Outcome::outdated, "1.0", "2.0"),
                  makeRow("com.b", "Beta", Outcome::outdated, "3.1", "3.2"),
                  makeRow("com.c", "Gamma", Outcome::outdated, "0.9", "1.0")};
    }
    ~UpdateSheetTest() override {
        sheet.reset();
        flushUi();
    }

    UpdateSheet& open() {
        sheet = std::make_unique<UpdateSheet>(m, state);
        sheet->onClose = [this] { ++closes; };
        sheet->show();
        flushUi();
        return *sheet;
    }
    void changed() {
        m.changed(ModelChange::run | ModelChange::rows | ModelChange::log);
        flushUi();
    }
    template <class T>
    T* find(const char* name, QWidget* in = nullptr) const {
        auto* found = (in ? in : static_cast<QWidget*>(sheet.get()))->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QString text(const char* label) const { return find<QLabel>(label)->text(); }
    // The visible lines, top to bottom.
    std::vector<QWidget*> lines() const {
        std::vector<QWidget*> found;
        for (auto* w : sheet->findChildren<QWidget*>("updateSheetLine")) {
            if (w->isVisible()) found.push_back(w);
        }
        std::sort(found.begin(), found.end(), [](QWidget* a, QWidget* b) { return a->y() < b->y(); });
        return found;
    }
    QStringList lineNames() const {
        QStringList names;
        for (QWidget* w : lines())
            names << find<QLabel>("appName", w)->text();
        return names;
    }
    QWidget* line(std::size_t index) const { return lines().at(index); }
    // Opens the sheet over a running download of Alpha, 50,000 bytes long; answers its bar.
    QProgressBar* openDownload() {
        m.updateQueue = {"com.a"};
        m.rows[0].updating = true;
        m.runningUpdate = true;
        m.bytesDone["com.a"] = 0;
        m.bytesTotal["com.a"] = 50'000;
        open();
        return find<QProgressBar>("downloadBar");
    }
    // The 50th report, the last, is drawn at the latest one interval after it came.
    void expectLastReportShownAfterAnInterval(QProgressBar* bar) {
        h.executor.advance(UpdateSheet::kProgressInterval);
        EXPECT_EQ(bar->value(), pelapp::sheet::kBarScale);
        EXPECT_EQ(find<QLabel>("progressText", line(0))->text(), QString("Downloading 50"));
        EXPECT_EQ(text("runPhase"), QString("Downloading 50"));
    }
    // The download's `i`-th report of 1,000 bytes, in its own turn of the event loop, 20 ms after the
    // one before: 50 reports a second.
    void downloadReport(int i) {
        m.bytesDone["com.a"] = i * 1'000;
        m.rows[0].progressText = "Downloading " + std::to_string(i);
        m.activePhase = m.rows[0].progressText;
        changed();
        h.executor.advance(20ms);
    }

    pelapptest::ModelHarness h;
    pelapp::AppModel& m = h.model;
    pelapp::WindowState state;
    std::unique_ptr<UpdateSheet> sheet;
    int closes = 0;
};

TEST_F(UpdateSheetTest, LinesFollowTheQueueOrderAndSkipIdentifiersWithoutARow) {
    m.updateQueue = {"com.c", "com.gone", "com.a"};
    m.rows[0].remote->sizeBytes = 12 * 1'048'576;
    open();
    EXPECT_EQ(lineNames(), QStringList({"Gamma", "Alpha"}));
    EXPECT_EQ(text("sheetHeader"), QString("Updating 2 apps · 12.0 MB + 1 unknown"));
    EXPECT_EQ(text("counters"), QString("0 ok · 0 failed · 2 total"));
    EXPECT_EQ(find<QLabel>("versionLine", line(0))->text(), QString("0.9 → 1.0  ·  Sparkle"));

    m.updateQueue = {"com.a", "com.b"};
    changed();
    EXPECT_EQ(lineNames(), QStringList({"Alpha", "Beta"}));
    EXPECT_EQ(text("sheetHeader"), QString("Updating 2 apps · 12.0 MB + 1 unknown"));

    m.updateQueue = {"com.b"};
    changed();
    EXPECT_EQ(lineNames(), QStringList({"Beta"}));
    EXPECT_EQ(text("sheetHeader"), QString("Updating 1 app · 0.0 MB + 1 unknown"));
    m.updateQueue.clear();
    changed();
    EXPECT_TRUE(lineNames().isEmpty());
    EXPECT_EQ(text("sheetHeader"), QString("Updating 0 apps"));
}

TEST_F(UpdateSheetTest, ChipsShowTheStateOfEachLine) {
    m.updateQueue = {"com.a", "com.b", "com.c"};
    m.rows[0].updating = true; // no progress text yet
    m.rows[1].errorCode = ErrorCode::ENV_APP_RUNNING;
    m.rows[1].errorMessage = QString("Beta is still running and refused to quit; ").repeated(8).toStdString();
    open();

    auto visible = [&](QWidget* in, const char* name) { return find<QWidget>(name, in)->isVisible(); };
    QWidget* alpha = line(0);
    EXPECT_TRUE(visible(alpha, "updatingChip"));
    EXPECT_EQ(find<QLabel>("progressText", alpha)->text(), QString("working…"));
    EXPECT_EQ(find<QToolButton>("cancelUpdateButton", alpha)->toolTip(), QString("Cancel this update"));

    QWidget* beta = line(1);
    EXPECT_TRUE(visible(beta, "errorChip")) << "an old error comes before Queued";
    EXPECT_FALSE(visible(beta, "queuedChip"));
    EXPECT_EQ(find<QLabel>("errorCode", beta)->text(), QString("ENV_APP_RUNNING"));
    EXPECT_EQ(find<QLabel>("errorMessage", beta)->text().count('\n'), 1) << "two lines at most";
    EXPECT_LE(find<QWidget>("errorChip", beta)->width(), 260);

    QWidget* gamma = line(2);
    EXPECT_TRUE(visible(gamma, "queuedChip"));
    EXPECT_EQ(find<QToolButton>("removeFromQueueButton", gamma)->toolTip(), QString("Remove from queue"));

    m.rows[0].progressText = "Downloading 1.0 MB";
    m.rows[0].updating = false;
    m.rows[0].outcome = Outcome::upToDate;
    m.rows[0].errorCode = ErrorCode::ENV_DISK_FULL;
    changed();
    EXPECT_TRUE(visible(alpha, "doneChip"));
    EXPECT_FALSE(visible(alpha, "updatingChip"));

    // The remove button asks the model to dequeue.
    QTest::mouseClick(find<QToolButton>("removeFromQueueButton", gamma), Qt::LeftButton);
    EXPECT_EQ(m.updateQueue, (std::vector<std::string>{"com.a", "com.b"}));
    EXPECT_EQ(m.updateLog.back(), "· dequeued com.c");
}

TEST_F(UpdateSheetTest, RunningStateShowsSpinnerPhaseCancelAllAndHide) {
    m.updateQueue = {"com.a"};
    open();
    EXPECT_FALSE(find<QWidget>("runSpinner")->isVisible());
    EXPECT_FALSE(find<QWidget>("cancelAllButton")->isVisible());
    auto* close = find<QPushButton>("closeButton");
    EXPECT_EQ(close->text(), QString("Close"));
    EXPECT_EQ(close->toolTip(), QString("Close"));
    EXPECT_TRUE(close->isDefault());

    m.runningUpdate = true;
    changed();
    EXPECT_TRUE(find<QWidget>("runSpinner")->isVisible());
    EXPECT_EQ(text("runPhase"), QString("working…"));
    auto* cancelAll = find<QPushButton>("cancelAllButton");
    EXPECT_TRUE(cancelAll->isVisible());
    EXPECT_EQ(cancelAll->toolTip(), QString("Cancel remaining downloads. In-progress installs finish cleanly."));
    EXPECT_EQ(close->text(), QString("Hide"));
    EXPECT_EQ(close->toolTip(), QString("Hide the sheet — updates continue in background"));
    m.activePhase = "Verifying";
    changed();
    h.executor.advance(UpdateSheet::kProgressInterval); // a phase is progress: drawn at the limited rate
    EXPECT_EQ(text("runPhase"), QString("Verifying"));

    QTest::mouseClick(cancelAll, Qt::LeftButton);
    EXPECT_EQ(m.updateLog.back(), "· cancel requested (all)");
    QTest::mouseClick(close, Qt::LeftButton);
    EXPECT_EQ(closes, 1);
}

TEST_F(UpdateSheetTest, DownloadBarIsDeterminateOnlyWithAKnownTotal) {
    m.updateQueue = {"com.a"};
    m.rows[0].updating = true;
    open();
    EXPECT_FALSE(find<QProgressBar>("downloadBar")->isVisible()) << "no report yet";

    m.bytesDone["com.a"] = 3LL << 30;
    changed();
    auto* bar = find<QProgressBar>("downloadBar");
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->maximum(), 0) << "no total: indeterminate";
    m.bytesTotal["com.a"] = 0;
    changed();
    EXPECT_EQ(bar->maximum(), 0) << "a total of 0: indeterminate";
    m.bytesTotal["com.a"] = 4LL << 30;
    h.executor.advance(UpdateSheet::kProgressInterval);
    changed();
    EXPECT_EQ(bar->maximum(), pelapp::sheet::kBarScale);
    EXPECT_EQ(bar->value(), pelapp::sheet::kBarScale * 3 / 4);

    m.bytesDone.erase("com.a");
    m.bytesTotal.erase("com.a");
    changed();
    EXPECT_FALSE(bar->isVisible());
}

TEST_F(UpdateSheetTest, ByteReportsRedrawAtALimitedRateAndTheLastOneIsShown) {
    auto* bar = openDownload();
    QSignalSpy redraws(bar, &QProgressBar::valueChanged);
    for (int i = 1; i <= 50; ++i)
        downloadReport(i);
    EXPECT_GE(redraws.count(), 5) << "the bar keeps moving";
    EXPECT_LE(redraws.count(), 11) << "at most one redraw per interval";
    expectLastReportShownAfterAnInterval(bar);

    // Anything else than progress is drawn at once, even inside the interval.
    m.bytesDone["com.a"] = 10;
    m.updateLog.push_back("  · Verifying");
    changed();
    EXPECT_EQ(find<QPlainTextEdit>("updateLogPane")->toPlainText(), QString("  · Verifying"));
}

// The clock the sheet measures its interval on is set back an hour in the middle of a download: the
// bar goes on moving at the limited rate instead of waiting for the clock to catch up.
TEST_F(UpdateSheetTest, ByteReportsKeepRedrawingAfterTheClockIsSetBack) {
    auto* bar = openDownload();
    for (int i = 1; i <= 10; ++i)
        downloadReport(i);
    h.executor.advance(UpdateSheet::kProgressInterval);
    ASSERT_EQ(bar->value(), pelapp::sheet::kBarScale / 5);

    h.executor.manualClock().advance(-1h);
    QSignalSpy redraws(bar, &QProgressBar::valueChanged);
    for (int i = 11; i <= 50; ++i)
        downloadReport(i);
    EXPECT_GE(redraws.count(), 4) << "the bar keeps moving";
    EXPECT_LE(redraws.count(), 9) << "at most one redraw per interval";
    expectLastReportShownAfterAnInterval(bar);
}

TEST_F(UpdateSheetTest, LogPaneAppearsWithTheFirstLineAndScrollsOnlyOnNewLines) {
    open();
    auto* pane = find<QPlainTextEdit>("updateLogPane");
    EXPECT_FALSE(pane->isVisible());
    EXPECT_FALSE(find<QWidget>("logDivider")->isVisible());
    EXPECT_EQ(pane->height(), 120);
    m.updateLog.push_back("→ Alpha 1.0 → 2.0 <b>&amp;</b>");
    changed();
    EXPECT_TRUE(pane->isVisible());
    EXPECT_EQ(pane->toPlainText(), QString("→ Alpha 1.0 → 2.0 <b>&amp;</b>")) << "verbatim";
    sheet.reset();

    for (int i = 0; i < 40; ++i)
        m.updateLog.push_back("  · phase " + std::to_string(i));
    open();
    pane = find<QPlainTextEdit>("updateLogPane");
    QScrollBar* scroll = pane->verticalScrollBar();
    ASSERT_GT(scroll->maximum(), 0);
    EXPECT_EQ(scroll->value(), 0) << "no scroll when the pane is first shown";
    m.updateLog.push_back("✓ Alpha: installed");
    changed();
    EXPECT_EQ(scroll->value(), scroll->maximum()) << "the newest line comes into view";
    EXPECT_TRUE(pane->toPlainText().endsWith("✓ Alpha: installed"));
}

// ---- Inside the main window ----

class UpdateSheetWindowTest : public ::testing::Test {
protected:
    UpdateSheetWindowTest() {
        window = std::make_unique<pelapp::MainWindow>(h.model);
        window->show();
        flushUi();
    }
    ~UpdateSheetWindowTest() override {
        window.reset();
        flushUi();
    }
    UpdateSheet* openDuringRun() {
        h.model.runningUpdate = true;
        h.model.setShowUpdateSheet(true);
        flushUi();
        return window->updateSheet() ? window->updateSheet()->findChild<UpdateSheet*>() : nullptr;
    }

    pelapptest::ModelHarness h;
    std::unique_ptr<pelapp::MainWindow> window;
};

TEST_F(UpdateSheetWindowTest, EscapeAndReturnBothHideTheSheetThroughItsCloseAction) {
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
        SCOPED_TRACE(key == Qt::Key_Escape ? "Escape" : "Return");
        h.model.sheetSuppressed = false;
        UpdateSheet* content = openDuringRun();
        ASSERT_NE(content, nullptr);
        QTest::keyClick(content, key);
        EXPECT_FALSE(h.model.showUpdateSheet);
        EXPECT_TRUE(h.model.sheetSuppressed) << "hideUpdateSheet ran, not a plain close";
        flushUi();
        EXPECT_EQ(window->updateSheet(), nullptr);
    }
}

} // namespace
