#include "PelApp/QtTestApp.hpp"
#include "PelApp/QueueHarness.hpp"
#include "PelApp/Views/UpdateSheet.hpp"
#include "PelApp/Views/WindowState.hpp"

#include <QLabel>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using pelapptest::flushUi;
using pelapptest::QueueHarness;

// The sheet over the real queue, with the scripted engine.
class UpdateSheetRunTest : public ::testing::Test {
protected:
    UpdateSheetRunTest() {
        sheet = std::make_unique<pelapp::UpdateSheet>(h.model, state);
        sheet->show();
    }
    ~UpdateSheetRunTest() override {
        h.drain();
        sheet.reset();
        flushUi();
    }
    std::string label(const char* name) {
        flushUi();
        auto* found = sheet->findChild<QLabel*>(name);
        return found ? found->text().toStdString() : "<missing>";
    }

    QueueHarness h;
    pelapp::AppModel& m = h.model;
    pelapp::WindowState state;
    std::unique_ptr<pelapp::UpdateSheet> sheet;
};

TEST_F(UpdateSheetRunTest, DryRunHeaderOnlyWhenEveryListedEntryIsADryRun) {
    h.addOutdated("com.a", "A");
    h.addOutdated("com.b", "B");
    h.addOutdated("com.c", "C", false);
    m.updateSelected(true);
    EXPECT_EQ(label("sheetHeader"), "Dry-run · 0.0 MB + 2 unknown — no writes will happen");

    // A real update joins the dry ones: the run writes after all.
    m.updateOne(*m.findRow("com.c"), false);
    EXPECT_EQ(label("sheetHeader"), "Updating 3 apps · 0.0 MB + 3 unknown");
}

TEST_F(UpdateSheetRunTest, SwitchTurnedOnDuringARealRunPromisesNothing) {
    h.addOutdated("com.a", "A");
    m.updateSelected(false);
    state.setDryRun(true);
    EXPECT_EQ(label("sheetHeader"), "Updating 1 app · 0.0 MB + 1 unknown");
}

TEST_F(UpdateSheetRunTest, CountersCountTheCurrentRunAndAgreeWithTotal) {
    h.addOutdated("com.a", "A");
    h.addOutdated("com.b", "B");
    m.updateSelected(false);
    EXPECT_EQ(label("counters"), "0 ok · 0 failed · 2 total");
    ASSERT_TRUE(h.updateWaiting("com.a"));
    ASSERT_TRUE(h.updateWaiting("com.b"));
    ASSERT_TRUE(h.finish("com.a"));
    EXPECT_EQ(label("counters"), "1 ok · 0 failed · 1 total");
    pelapptest::FakeEngine::UpdateScript failing;
    failing.error = std::make_exception_ptr(std::runtime_error("disk full"));
    h.engine.setUpdateScript("com.b", failing);
    ASSERT_TRUE(h.idle());
    ASSERT_FALSE(m.runningUpdate);
    EXPECT_EQ(label("counters"), "1 ok · 1 failed · 0 total");

    // The second run counts from where it began, not from the first line of the log.
    h.addOutdated("com.c", "C");
    m.updateOne(*m.findRow("com.c"), false);
    EXPECT_EQ(label("counters"), "0 ok · 0 failed · 1 total");
    ASSERT_TRUE(h.updateWaiting("com.c"));
    ASSERT_TRUE(h.finish("com.c"));
    ASSERT_TRUE(h.idle());
    EXPECT_EQ(label("counters"), "1 ok · 0 failed · 0 total");
}

} // namespace
