#include "PelApp/QueueHarness.hpp"

#include "Platform/Clock.hpp"
#include "Platform/Errors.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using pelapp::AppModelTestAccess;
using pelapptest::FakeEngine;
using pelapptest::makeRow;
using pelapptest::QueueHarness;
using pelkit::ErrorCode;
using pelkit::Outcome;
using Report = FakeEngine::Report;
using namespace std::chrono_literals;

constexpr std::int64_t kMiB = 1 << 20;

pelkit::PelError pelError(ErrorCode code, std::string message) {
    return pelkit::PelError(code, std::nullopt, std::nullopt, std::move(message), false);
}

class UpdateTest : public ::testing::Test {
protected:
    QueueHarness h;
    pelapp::AppModel& m = h.model;

    // Queues the row and waits until its update has ended.
    void runUpdate(const std::string& id, FakeEngine::UpdateScript script, bool dryRun = false) {
        h.engine.setUpdateScript(id, std::move(script));
        m.updateOne(*m.findRow(id), dryRun);
        ASSERT_TRUE(h.idle());
    }
};

struct EndingCase {
    const char* name;
    std::exception_ptr error;
    std::optional<std::string> progressText;
    Outcome outcome;
    std::optional<ErrorCode> errorCode;
    std::optional<std::string> errorMessage;
    std::string logLine;
};

TEST(UpdateEndings, ResultCoreErrorAndOtherErrors) {
    const std::vector<EndingCase> cases{
        {"result", nullptr, std::nullopt, Outcome::upToDate, std::nullopt, std::nullopt,
         "✓ Foo: installed 2.0"},
        {"core error", std::make_exception_ptr(pelError(ErrorCode::SEC_TEAMID_MISMATCH, "team changed")),
         "[SEC_TEAMID_MISMATCH] team changed", Outcome::outdated, ErrorCode::SEC_TEAMID_MISMATCH,
         "team changed", "✗ Foo: [SEC_TEAMID_MISMATCH] team changed"},
        {"cancelled transfer", std::make_exception_ptr(platform::Cancelled()), "cancelled", Outcome::outdated,
         ErrorCode::NET_TIMEOUT, "earlier", "✗ Foo: cancelled"},
        {"file system error",
         std::make_exception_ptr(std::runtime_error("filesystem error: cannot rename: Permission denied")),
         "filesystem error: cannot rename: Permission denied", Outcome::outdated, ErrorCode::NET_TIMEOUT,
         "earlier", "✗ Foo: filesystem error: cannot rename: Permission denied"},
    };
    for (const auto& c : cases) {
        QueueHarness h;
        auto& row = h.addOutdated("com.foo", "Foo");
        row.errorCode = ErrorCode::NET_TIMEOUT;
        row.errorMessage = "earlier";
        FakeEngine::UpdateScript script;
        script.message = "installed 2.0";
        script.error = c.error;
        h.engine.setUpdateScript("com.foo", script);
        h.model.updateOne(row, false);
        ASSERT_TRUE(h.idle()) << c.name;
        const auto* done = h.model.findRow("com.foo");
        EXPECT_FALSE(done->updating) << c.name;
        EXPECT_EQ(done->progressText, c.progressText) << c.name;
        EXPECT_EQ(done->outcome, c.outcome) << c.name;
        EXPECT_EQ(done->errorCode, c.errorCode) << c.name;
        EXPECT_EQ(done->errorMessage, c.errorMessage) << c.name;
        EXPECT_FALSE(h.model.checkedIDs.contains("com.foo")) << c.name;
        EXPECT_EQ(h.model.updateLog, (std::vector<std::string>{"→ Foo 1.0 → 2.0", c.logLine})) << c.name;
    }
}

TEST_F(UpdateTest, StartLineNamesUnknownVersions) {
    m.rows.push_back(makeRow("com.bare", "Bare", Outcome::outdated, std::nullopt, "3.1"));
    runUpdate("com.bare", {});
    EXPECT_EQ(m.updateLog.front(), "→ Bare ? → 3.1");

    // The version shown is the row's own; the entry carries what was requested.
    m.rows.push_back(makeRow("com.norow", "NoRemote", Outcome::outdated, "1.0"));
    h.engine.setUpdateScript("com.norow", {});
    pelkit::RemoteVersion remote;
    remote.version = "9.9";
    auto task = pelapp::MainTask::start(
        h.executor, AppModelTestAccess::doUpdate(m, *m.findRow("com.norow"), remote, false, &h.engine));
    ASSERT_TRUE(h.settle([&] { return task.isDone(); }));
    h.drain();
    EXPECT_TRUE(h.logHas("→ NoRemote 1.0 → —"));
    EXPECT_EQ(h.engine.updateCalls().back().remote.version, "9.9");
}

struct BytesCase {
    std::int64_t done;
    std::int64_t total;
    std::string text;
};

TEST(UpdateBytes, ProgressTexts) {
    const std::vector<BytesCase> cases{
        {static_cast<std::int64_t>(12.3 * kMiB), -1, "Downloading 12.3 MB"},
        {static_cast<std::int64_t>(12.3 * kMiB), 0, "Downloading 12.3 MB"},
        {0, -1, "Downloading 0.0 MB"},
        {1 * kMiB, 4 * kMiB, "Downloading 1.0 / 4.0 MB (25%)"},
        {3 * kMiB / 2, 3 * kMiB, "Downloading 1.5 / 3.0 MB (50%)"},
        {2, 3, "Downloading 0.0 / 0.0 MB (66%)"},
        {4 * kMiB, 4 * kMiB, "Downloading 4.0 / 4.0 MB (100%)"},
        {3 * kMiB, 2 * kMiB, "Downloading 3.0 / 2.0 MB (150%)"},
    };
    for (const auto& c : cases) {
        QueueHarness h;
        h.addOutdated("com.foo", "Foo");
        FakeEngine::UpdateScript script;
        script.reports = {Report::byteCount(c.done, c.total)};
        script.hold = true;
        h.engine.setUpdateScript("com.foo", script);
        h.model.updateOne(*h.model.findRow("com.foo"), false);
        ASSERT_TRUE(h.settle([&] { return h.model.bytesDone.contains("com.foo"); })) << c.text;
        EXPECT_EQ(h.model.findRow("com.foo")->progressText, c.text);
        EXPECT_EQ(h.model.activePhase, c.text);
        EXPECT_EQ(h.model.bytesDone["com.foo"], c.done);
        EXPECT_EQ(h.model.bytesTotal.contains("com.foo"), c.total >= 1) << c.text;
        // Byte reports write no log line.
        EXPECT_EQ(h.model.updateLog.size(), 1u) << c.text;
        h.engine.release("com.foo");
        ASSERT_TRUE(h.idle());
    }
}

TEST_F(UpdateTest, PhasesAreLoggedAndTheTickerCountsSecondsUntilTheFirstByte) {
    h.addOutdated("com.foo", "Foo");
    FakeEngine::UpdateScript script;
    script.reports = {Report::phaseText("Pre-flight")};
    script.hold = true;
    h.engine.setUpdateScript("com.foo", script);
    m.updateOne(*m.findRow("com.foo"), false);
    ASSERT_TRUE(h.settle([&] { return m.activePhase == "Pre-flight"; }));
    EXPECT_EQ(m.activeUpdateID, "com.foo");
    EXPECT_EQ(m.findRow("com.foo")->progressText, "Pre-flight");
    EXPECT_EQ(m.updateLog, (std::vector<std::string>{"→ Foo 1.0 → 2.0", "  · Pre-flight"}));

    h.executor.advance(500ms);
    EXPECT_EQ(m.findRow("com.foo")->progressText, "Pre-flight (0s elapsed)");
    h.executor.advance(2500ms);
    EXPECT_EQ(m.findRow("com.foo")->progressText, "Pre-flight (3s elapsed)");

    // From the first byte report on the ticker leaves the row alone.
    h.engine.updateCalls().back().bytesProgress(kMiB, -1);
    ASSERT_TRUE(h.settle([&] { return m.bytesDone.contains("com.foo"); }));
    h.executor.advance(2s);
    EXPECT_EQ(m.findRow("com.foo")->progressText, "Downloading 1.0 MB");

    h.engine.release("com.foo");
    ASSERT_TRUE(h.idle());
    h.executor.advance(2s);
    EXPECT_FALSE(m.findRow("com.foo")->progressText);
}

// The wall clock is set back an hour while the engine works: the ticker's seconds go on from where
// they were, never below 0, while its wake-ups keep their pace (they wait on timers, not on that clock).
TEST(UpdateTicker, SecondsGoOnWhenTheWallClockIsSetBack) {
    platform::ManualClock wall;
    QueueHarness h(wall);
    h.addOutdated("com.foo", "Foo");
    FakeEngine::UpdateScript script;
    script.reports = {Report::phaseText("Pre-flight")};
    script.hold = true;
    h.engine.setUpdateScript("com.foo", script);
    h.model.updateOne(*h.model.findRow("com.foo"), false);
    ASSERT_TRUE(h.settle([&] { return h.model.activePhase == "Pre-flight"; }));
    const auto shown = [&] { return h.model.findRow("com.foo")->progressText.value_or(""); };
    const auto pass = [&](int halfSeconds) {
        for (int i = 0; i < halfSeconds; ++i) {
            wall.advance(500ms);
            h.executor.advance(500ms);
        }
    };

    pass(6);
    EXPECT_EQ(shown(), "Pre-flight (3s elapsed)");
    wall.advance(-1h);
    pass(1);
    EXPECT_EQ(shown(), "Pre-flight (3s elapsed)");
    pass(2);
    EXPECT_EQ(shown(), "Pre-flight (4s elapsed)");
    pass(4);
    EXPECT_EQ(shown(), "Pre-flight (6s elapsed)");

    h.engine.release("com.foo");
    ASSERT_TRUE(h.idle());
}

// A download reports every chunk; the main executor gets one delivery with the newest numbers
// instead of one per chunk, still ahead of the phase reported after them.
TEST_F(UpdateTest, ByteReportsWaitingTogetherReachTheModelOnceWithTheNewest) {
    h.addOutdated("com.foo", "Foo");
    FakeEngine::UpdateScript script;
    script.hold = true;
    h.engine.setUpdateScript("com.foo", script);
    m.updateOne(*m.findRow("com.foo"), false);
    ASSERT_TRUE(h.updateWaiting("com.foo"));
    const auto call = h.engine.updateCalls().back();

    const std::size_t before = h.executor.pendingCount();
    for (int chunk = 1; chunk <= 100; ++chunk)
        call.bytesProgress(chunk * kMiB / 10, 10 * kMiB);
    EXPECT_EQ(h.executor.pendingCount(), before + 1);
    call.progress("Extracting 10.0 MB");
    h.executor.runPending();
    EXPECT_EQ(m.bytesDone.at("com.foo"), 10 * kMiB);
    EXPECT_EQ(m.bytesTotal.at("com.foo"), 10 * kMiB);
    EXPECT_EQ(m.activePhase, "Extracting 10.0 MB");

    // Once delivered, the next report is posted again.
    call.bytesProgress(11 * kMiB, 12 * kMiB);
    EXPECT_EQ(h.executor.pendingCount(), before + 1);
    h.executor.runPending();
    EXPECT_EQ(m.bytesDone.at("com.foo"), 11 * kMiB);
    EXPECT_EQ(m.findRow("com.foo")->progressText, "Downloading 11.0 / 12.0 MB (91%)");

    h.engine.release("com.foo");
    ASSERT_TRUE(h.idle());
}

TEST_F(UpdateTest, WithoutAPhaseTheTickerSaysWorking) {
    h.addOutdated("com.foo", "Foo");
    m.updateOne(*m.findRow("com.foo"), false);
    ASSERT_TRUE(h.updateWaiting("com.foo"));
    m.activePhase.reset();
    h.executor.advance(1500ms);
    EXPECT_EQ(m.findRow("com.foo")->progressText, "Working (1s elapsed)");
}

TEST_F(UpdateTest, ADryRunQuitsNothingAndEndsLikeAnUpdate) {
    h.addOutdated("com.foo", "Foo");
    h.workspace.add({31, "/Applications/Foo.app", "com.foo"});
    FakeEngine::UpdateScript script;
    script.message = "dry-run: would install Foo 2.0";
    runUpdate("com.foo", script, true);
    EXPECT_TRUE(h.workspace.controls().empty());
    EXPECT_TRUE(h.engine.updateCalls().back().opts.dryRun);
    EXPECT_EQ(m.findRow("com.foo")->outcome, Outcome::upToDate);
    EXPECT_TRUE(m.checkedIDs.empty());
    EXPECT_EQ(m.updateLog.back(), "✓ Foo: dry-run: would install Foo 2.0");
}

TEST_F(UpdateTest, WithoutQuittingARunningTargetFailsInPreflight) {
    m.setQuitAppBeforeUpdate(false);
    h.addOutdated("com.foo", "Foo");
    h.workspace.add({31, "/Applications/Foo.app", "com.foo"});
    FakeEngine::UpdateScript script;
    script.error = std::make_exception_ptr(pelError(ErrorCode::ENV_APP_RUNNING, "Foo is running"));
    runUpdate("com.foo", script);
    EXPECT_TRUE(h.workspace.controls().empty());
    EXPECT_EQ(m.findRow("com.foo")->progressText, "[ENV_APP_RUNNING] Foo is running");
    EXPECT_EQ(m.findRow("com.foo")->errorCode, ErrorCode::ENV_APP_RUNNING);
    EXPECT_EQ(m.findRow("com.foo")->errorMessage, "Foo is running");
}

TEST_F(UpdateTest, ASuccessAfterASecurityFailureClearsTheError) {
    h.addOutdated("com.foo", "Foo");
    FakeEngine::UpdateScript failing;
    failing.error = std::make_exception_ptr(pelError(ErrorCode::SEC_SIGNATURE_INVALID, "bad signature"));
    runUpdate("com.foo", failing);
    ASSERT_EQ(m.findRow("com.foo")->errorCode, ErrorCode::SEC_SIGNATURE_INVALID);

    runUpdate("com.foo", {});
    const auto* row = m.findRow("com.foo");
    EXPECT_EQ(row->outcome, Outcome::upToDate);
    EXPECT_FALSE(row->errorCode);
    EXPECT_FALSE(row->errorMessage);
    EXPECT_FALSE(row->progressText);
}

TEST_F(UpdateTest, ReportsArrivingAfterTheUpdateEndedAreDropped) {
    h.addOutdated("com.foo", "Foo");
    runUpdate("com.foo", {});
    const auto first = h.engine.updateCalls().back();
    const auto logSize = m.updateLog.size();
    first.progress("Downloading Foo (late)");
    first.bytesProgress(kMiB, 4 * kMiB);
    h.executor.runPending();
    EXPECT_FALSE(m.findRow("com.foo")->progressText);
    EXPECT_EQ(m.updateLog.size(), logSize);
    EXPECT_FALSE(m.bytesDone.contains("com.foo"));
    EXPECT_FALSE(m.bytesTotal.contains("com.foo"));

    // A report of the earlier update does not reach the next update of the same row.
    m.findRow("com.foo")->outcome = Outcome::outdated;
    FakeEngine::UpdateScript held;
    held.hold = true;
    h.engine.setUpdateScript("com.foo", held);
    m.updateOne(*m.findRow("com.foo"), false);
    ASSERT_TRUE(h.updateWaiting("com.foo"));
    first.progress("stale phase");
    h.engine.updateCalls().back().progress("Extracting");
    ASSERT_TRUE(h.settle([&] { return m.activePhase == "Extracting"; }));
    EXPECT_FALSE(h.logHas("  · stale phase"));
    EXPECT_EQ(m.findRow("com.foo")->progressText, "Extracting");
    h.engine.release("com.foo");
    ASSERT_TRUE(h.idle());
}

TEST_F(UpdateTest, ARowRemovedDuringItsUpdateIsNotRecreated) {
    h.addOutdated("com.foo", "Foo");
    FakeEngine::UpdateScript script;
    script.reports = {Report::phaseText("Installing (atomic swap)")};
    script.hold = true;
    h.engine.setUpdateScript("com.foo", script);
    m.updateOne(*m.findRow("com.foo"), false);
    ASSERT_TRUE(h.settle([&] { return m.activePhase == "Installing (atomic swap)"; }));
    m.rows.clear();
    h.executor.advance(1s);
    h.engine.release("com.foo");
    ASSERT_TRUE(h.idle());
    EXPECT_TRUE(m.rows.empty());
    EXPECT_EQ(m.updateLog.back(), "✓ Foo: installed");
    EXPECT_FALSE(m.runningUpdate);
}

} // namespace
