#include "PelApp/QueueHarness.hpp"

#include <gtest/gtest.h>

#include <set>

namespace {

using pelapp::AppModelTestAccess;
using pelapp::ModelChange;
using pelapptest::makeRow;
using pelapptest::QueueHarness;
using pelkit::Outcome;
using Ids = std::vector<std::string>;
using IdSet = std::set<std::string>;

IdSet running(pelapp::AppModel& m) {
    IdSet ids;
    for (const auto& [id, task] : AppModelTestAccess::activeTasks(m))
        ids.insert(id);
    return ids;
}

Ids waiting(pelapp::AppModel& m) {
    Ids ids;
    for (const auto& entry : AppModelTestAccess::queue(m))
        ids.push_back(entry.row.id);
    return ids;
}

class QueueTest : public ::testing::Test {
protected:
    QueueHarness h;
    pelapp::AppModel& m = h.model;
};

TEST_F(QueueTest, ThreeTickedRowsRunTwoAtATimeAndTheThirdStartsWhenASlotFrees) {
    h.addOutdated("com.a", "A");
    h.addOutdated("com.b", "B");
    h.addOutdated("com.c", "C");
    m.rows.push_back(makeRow("com.d", "D", Outcome::upToDate, "1.0", "1.0"));
    m.checkedIDs.insert("com.d");

    m.updateSelected(false);
    EXPECT_EQ(m.updateQueue, (Ids{"com.a", "com.b", "com.c"}));
    EXPECT_EQ(m.activeCount, 2);
    EXPECT_EQ(running(m), (IdSet{"com.a", "com.b"}));
    EXPECT_EQ(waiting(m), (Ids{"com.c"}));
    EXPECT_TRUE(m.runningUpdate);
    EXPECT_TRUE(m.showUpdateSheet);
    // Registered before running: nothing has reached the engine yet.
    EXPECT_TRUE(h.engine.updateCalls().empty());
    EXPECT_TRUE(m.isBusy("com.c"));

    ASSERT_TRUE(h.updateWaiting("com.a"));
    ASSERT_TRUE(h.updateWaiting("com.b"));
    ASSERT_TRUE(h.finish("com.a"));
    EXPECT_EQ(running(m), (IdSet{"com.b", "com.c"}));
    EXPECT_TRUE(waiting(m).empty());
    EXPECT_EQ(m.activeCount, 2);
    EXPECT_EQ(m.updateQueue, (Ids{"com.b", "com.c"}));
    ASSERT_TRUE(h.updateWaiting("com.c"));

    ASSERT_TRUE(h.finish("com.c"));
    EXPECT_TRUE(m.runningUpdate);
    ASSERT_TRUE(h.finish("com.b"));
    EXPECT_FALSE(m.runningUpdate);
    EXPECT_EQ(m.activeCount, 0);
    EXPECT_TRUE(m.updateQueue.empty());
    EXPECT_FALSE(m.activeUpdateID);
    EXPECT_FALSE(m.activePhase);
    EXPECT_EQ(m.checkedIDs, (IdSet{"com.d"}));
    for (const char* id : {"com.a", "com.b", "com.c"}) {
        EXPECT_EQ(m.findRow(id)->outcome, Outcome::upToDate) << id;
        EXPECT_FALSE(m.findRow(id)->updating) << id;
    }
    EXPECT_EQ(m.updateLog, (Ids{"→ A 1.0 → 2.0", "→ B 1.0 → 2.0", "✓ A: installed", "→ C 1.0 → 2.0",
                                "✓ C: installed", "✓ B: installed"}));
}

TEST_F(QueueTest, CancelAllWithTwoRunningAndThreeWaiting) {
    for (const char* id : {"com.a", "com.b", "com.c", "com.d", "com.e"})
        h.addOutdated(id, std::string(1, static_cast<char>(std::toupper(id[4]))));
    m.updateSelected(false);
    ASSERT_TRUE(h.updateWaiting("com.a"));
    ASSERT_TRUE(h.updateWaiting("com.b"));

    m.cancelAll();
    EXPECT_EQ(m.statusMessage, "Cancelling…");
    EXPECT_TRUE(waiting(m).empty());
    EXPECT_EQ(m.updateQueue, (Ids{"com.a", "com.b"}));
    EXPECT_EQ(m.updateLog.back(), "· cancel requested (all)");
    EXPECT_FALSE(m.entryDryRun("com.c"));

    ASSERT_TRUE(h.idle());
    EXPECT_FALSE(m.runningUpdate);
    EXPECT_EQ(m.activeCount, 0);
    EXPECT_TRUE(m.updateQueue.empty());
    EXPECT_EQ(h.engine.updateCalls().size(), 2u);
    EXPECT_EQ(m.findRow("com.a")->progressText, "cancelled");
    EXPECT_TRUE(h.logHas("✗ A: cancelled"));
    EXPECT_TRUE(h.logHas("✗ B: cancelled"));
    // Waiting rows were dropped, not failed: they keep their ticks and their state.
    EXPECT_EQ(m.checkedIDs, (IdSet{"com.c", "com.d", "com.e"}));
    EXPECT_FALSE(m.findRow("com.c")->progressText);
}

TEST_F(QueueTest, AnEngineThatAnswersAtOnceNeverRunsMoreThanTwo) {
    for (const char* id : {"com.a", "com.b", "com.c", "com.d"}) {
        h.addOutdated(id, id);
        h.engine.setUpdateScript(id, {});
    }
    int most = 0;
    m.addObserver([&](ModelChange) { most = std::max(most, m.activeCount); });
    m.updateSelected(true);
    ASSERT_TRUE(h.idle());
    EXPECT_EQ(most, 2);
    EXPECT_EQ(h.engine.updateCalls().size(), 4u);
    EXPECT_FALSE(m.runningUpdate);
    EXPECT_TRUE(m.checkedIDs.empty());
    EXPECT_EQ(std::count_if(m.updateLog.begin(), m.updateLog.end(),
                            [](const std::string& l) { return l.starts_with("✓ "); }),
              4);
}

TEST_F(QueueTest, ByteReportsShowWhileRunningAndAreDroppedWhenTheTaskEnds) {
    h.addOutdated("com.a", "A");
    pelapptest::FakeEngine::UpdateScript script;
    script.reports = {pelapptest::FakeEngine::Report::byteCount(1 << 20, 4 << 20)};
    script.hold = true;
    h.engine.setUpdateScript("com.a", script);
    m.updateOne(*m.findRow("com.a"), false);
    ASSERT_TRUE(h.settle([&] { return m.bytesDone.contains("com.a"); }));
    EXPECT_EQ(m.bytesTotal["com.a"], 4 << 20);
    EXPECT_EQ(m.findRow("com.a")->progressText, "Downloading 1.0 / 4.0 MB (25%)");

    h.engine.release("com.a");
    ASSERT_TRUE(h.idle());
    EXPECT_FALSE(m.bytesDone.contains("com.a"));
    EXPECT_FALSE(m.bytesTotal.contains("com.a"));
    EXPECT_FALSE(m.findRow("com.a")->progressText);
    EXPECT_EQ(m.findRow("com.a")->outcome, Outcome::upToDate);
}

struct NothingCase {
    const char* name;
    std::function<void(QueueHarness&)> setup;
};

TEST(QueueRequests, NothingCheckedChangesNothingElse) {
    const std::vector<NothingCase> cases{
        {"no ticks", [](QueueHarness& h) { h.addOutdated("com.a", "A", false); }},
        {"ticks on rows that are not outdated",
         [](QueueHarness& h) {
             h.model.rows.push_back(makeRow("com.u", "U", Outcome::upToDate, "1.0", "1.0"));
             h.model.rows.push_back(makeRow("com.x", "X", Outcome::error, "1.0", "2.0"));
             h.model.checkedIDs = {"com.u", "com.x"};
         }},
        {"ticks on busy rows",
         [](QueueHarness& h) {
             h.addOutdated("com.q", "Q");
             h.model.updateQueue.push_back("com.q");
             h.addOutdated("com.w", "W").updating = true;
         }},
    };
    for (const auto& c : cases) {
        QueueHarness h;
        c.setup(h);
        const auto ticks = h.model.checkedIDs;
        const auto listed = h.model.updateQueue;
        h.model.updateSelected(false);
        EXPECT_EQ(h.model.statusMessage, "Nothing checked") << c.name;
        EXPECT_EQ(h.model.checkedIDs, ticks) << c.name;
        EXPECT_EQ(h.model.updateQueue, listed) << c.name;
        EXPECT_FALSE(h.model.showUpdateSheet) << c.name;
        EXPECT_FALSE(h.model.runningUpdate) << c.name;
        EXPECT_TRUE(h.model.updateLog.empty()) << c.name;
    }
}

TEST_F(QueueTest, UpdateIdleOutdatedQueuesNothingWhenEveryOutdatedAppRuns) {
    h.addOutdated("com.a", "A");
    h.addOutdated("com.b", "B", false);
    h.workspace.set({{11, "/Applications/A.app", "com.a"}, {12, "/Applications/B.app", "com.b"}});
    m.updateIdleOutdated(false);
    EXPECT_EQ(m.statusMessage, "No idle outdated apps");
    EXPECT_TRUE(m.updateQueue.empty());
    EXPECT_EQ(m.checkedIDs, (IdSet{"com.a"}));
    EXPECT_FALSE(m.runningUpdate);
}

TEST_F(QueueTest, UpdateIdleOutdatedLeavesTickedRunningAppsAlone) {
    h.addOutdated("com.idle", "Idle", false);
    h.addOutdated("com.busy", "Busy"); // ticked by resolution, and running
    h.workspace.add({21, "/Applications/Busy.app", "com.busy"},
                    {pelsupport::ScriptedWorkspace::Quits::onTerminate, 0});
    m.updateIdleOutdated(false);
    EXPECT_EQ(m.updateQueue, (Ids{"com.idle"}));
    EXPECT_EQ(m.checkedIDs, (IdSet{"com.idle", "com.busy"}));
    ASSERT_TRUE(h.finish("com.idle"));
    EXPECT_EQ(m.checkedIDs, (IdSet{"com.busy"}));
    EXPECT_TRUE(h.workspace.controls().empty());
    EXPECT_EQ(h.engine.updateCalls().size(), 1u);
}

TEST_F(QueueTest, UpdateOneIgnoresBusyRowsAndRowsWithoutARemoteVersion) {
    auto& busy = h.addOutdated("com.a", "A", false);
    busy.updating = true;
    m.rows.push_back(makeRow("com.n", "N", Outcome::outdated, "1.0"));
    m.updateOne(*m.findRow("com.a"), false);
    m.updateOne(*m.findRow("com.n"), false);
    EXPECT_TRUE(m.checkedIDs.empty());
    EXPECT_TRUE(m.updateQueue.empty());
    EXPECT_FALSE(m.showUpdateSheet);
    EXPECT_EQ(m.statusMessage, "Ready");

    // Any row with a remote version can be updated this way, whatever its outcome.
    m.rows.push_back(makeRow("com.e", "E", Outcome::error, "1.0", "2.0"));
    m.updateOne(*m.findRow("com.e"), false);
    EXPECT_EQ(m.updateQueue, (Ids{"com.e"}));
    EXPECT_TRUE(m.checkedIDs.contains("com.e"));
    m.updateOne(*m.findRow("com.e"), false);
    EXPECT_EQ(m.updateQueue, (Ids{"com.e"}));
    EXPECT_EQ(AppModelTestAccess::activeTasks(m).size(), 1u);
}

TEST_F(QueueTest, AHiddenSheetStaysHiddenForTheRunAndReopensForTheNext) {
    h.addOutdated("com.a", "A", false);
    h.addOutdated("com.b", "B", false);
    h.addOutdated("com.c", "C", false);
    m.updateOne(*m.findRow("com.a"), false);
    EXPECT_TRUE(m.showUpdateSheet);
    m.hideUpdateSheet();
    EXPECT_FALSE(m.showUpdateSheet);
    EXPECT_TRUE(m.sheetSuppressed);
    m.updateOne(*m.findRow("com.b"), false);
    EXPECT_FALSE(m.showUpdateSheet);
    ASSERT_TRUE(h.finish("com.a"));
    ASSERT_TRUE(h.finish("com.b"));
    EXPECT_FALSE(m.sheetSuppressed);
    EXPECT_FALSE(m.showUpdateSheet); // the end of a run closes nothing

    m.updateOne(*m.findRow("com.c"), false);
    EXPECT_TRUE(m.showUpdateSheet);
    // Hiding outside a run suppresses nothing.
    ASSERT_TRUE(h.finish("com.c"));
    m.hideUpdateSheet();
    EXPECT_FALSE(m.sheetSuppressed);
}

TEST_F(QueueTest, CancelOneDropsAWaitingEntryAndOnlyAsksARunningOneToStop) {
    h.addOutdated("com.a", "A");
    h.addOutdated("com.b", "B");
    h.addOutdated("com.c", "C");
    m.updateSelected(false);
    ASSERT_TRUE(h.updateWaiting("com.a"));

    m.cancelOne("com.c");
    EXPECT_TRUE(waiting(m).empty());
    EXPECT_EQ(m.updateQueue, (Ids{"com.a", "com.b"}));
    EXPECT_FALSE(m.checkedIDs.contains("com.c"));
    EXPECT_EQ(m.updateLog.back(), "· dequeued com.c");
    EXPECT_EQ(m.statusMessage, "Removed com.c from queue");

    const auto logSize = m.updateLog.size();
    m.cancelOne("com.a");
    EXPECT_EQ(m.updateLog.size(), logSize + 1);
    EXPECT_EQ(m.updateLog.back(), "· cancel requested (com.a)");
    EXPECT_EQ(m.statusMessage, "Cancelling com.a…");
    EXPECT_EQ(m.updateQueue, (Ids{"com.a", "com.b"}));
    EXPECT_TRUE(m.checkedIDs.contains("com.a"));
    ASSERT_TRUE(h.settle([&] { return !running(m).contains("com.a"); }));
    EXPECT_EQ(m.updateLog.back(), "✗ A: cancelled");
    EXPECT_EQ(m.updateQueue, (Ids{"com.b"}));
    EXPECT_FALSE(m.checkedIDs.contains("com.a")); // the ending removes the tick

    m.cancelOne("com.nowhere");
    EXPECT_EQ(m.updateLog.back(), "· dequeued com.nowhere");
    EXPECT_EQ(m.statusMessage, "Removed com.nowhere from queue");
}

TEST_F(QueueTest, RequestsWaitForTheEngineAndStayBusy) {
    AppModelTestAccess::engine(m) = nullptr;
    h.addOutdated("com.a", "A");
    m.updateSelected(true);
    EXPECT_EQ(m.updateQueue, (Ids{"com.a"}));
    EXPECT_EQ(waiting(m), (Ids{"com.a"}));
    EXPECT_TRUE(m.isBusy("com.a"));
    EXPECT_FALSE(m.runningUpdate);
    EXPECT_EQ(m.entryDryRun("com.a"), true);
    m.updateSelected(true);
    EXPECT_EQ(waiting(m).size(), 1u);

    AppModelTestAccess::engine(m) = &h.engine;
    AppModelTestAccess::pumpQueue(m);
    EXPECT_TRUE(m.runningUpdate);
    EXPECT_EQ(running(m), (IdSet{"com.a"}));
    ASSERT_TRUE(h.finish("com.a"));
    EXPECT_TRUE(h.engine.updateCalls()[0].opts.dryRun);
    EXPECT_FALSE(m.entryDryRun("com.a"));
}

TEST_F(QueueTest, EachEntryKeepsItsOwnDryRunFlagAndTheRunItsFirstLogLine) {
    m.updateLog = {"older line"};
    h.addOutdated("com.a", "A", false);
    h.addOutdated("com.b", "B", false);
    h.addOutdated("com.c", "C", false);
    m.updateOne(*m.findRow("com.a"), true);
    m.updateOne(*m.findRow("com.b"), false);
    m.updateOne(*m.findRow("com.c"), true);
    EXPECT_EQ(m.runLogStart, 1u);
    EXPECT_EQ(m.entryDryRun("com.a"), true);
    EXPECT_EQ(m.entryDryRun("com.b"), false);
    EXPECT_EQ(m.entryDryRun("com.c"), true);
    ASSERT_TRUE(h.finish("com.a"));
    ASSERT_TRUE(h.finish("com.b"));
    ASSERT_TRUE(h.finish("com.c"));
    EXPECT_FALSE(m.entryDryRun("com.a"));
    std::map<std::string, bool> dry;
    for (const auto& call : h.engine.updateCalls())
        dry[call.app.bundleID] = call.opts.dryRun;
    EXPECT_EQ(dry, (std::map<std::string, bool>{{"com.a", true}, {"com.b", false}, {"com.c", true}}));

    const auto before = m.updateLog.size();
    h.addOutdated("com.d", "D", false);
    m.updateOne(*m.findRow("com.d"), false);
    EXPECT_EQ(m.runLogStart, before);
    ASSERT_TRUE(h.finish("com.d"));
    EXPECT_EQ(m.updateLog[m.runLogStart], "→ D 1.0 → 2.0");
}

TEST_F(QueueTest, TicksFollowToggleAndCheckAllVisible) {
    h.addOutdated("com.a", "A", false);
    h.addOutdated("com.b", "B", false);
    m.rows.push_back(makeRow("com.u", "U", Outcome::upToDate, "1.0", "1.0"));
    m.toggleCheck("com.a");
    EXPECT_EQ(m.checkedIDs, (IdSet{"com.a"}));
    m.toggleCheck("com.a");
    EXPECT_TRUE(m.checkedIDs.empty());

    m.checkedIDs = {"com.gone"};
    m.setFilter(pelapp::Filter::all);
    m.setSearch("b");
    m.checkAllVisible();
    EXPECT_EQ(m.checkedIDs, (IdSet{"com.gone", "com.b"}));
    m.setSearch("");
    m.checkAllVisible();
    EXPECT_EQ(m.checkedIDs, (IdSet{"com.gone", "com.a", "com.b"}));
}

} // namespace
