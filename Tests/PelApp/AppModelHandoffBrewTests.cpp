#include "PelApp/QueueHarness.hpp"
#include "Support/FakeInstallTools.hpp"
#include "Support/FakeTools.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

namespace {

using pelapp::AppModelTestAccess;
using pelapp::MainTask;
using pelapptest::QueueHarness;
using pelkit::ErrorCode;
using pelkit::Outcome;
using pelsupport::FakeReply;
using pelsupport::FakeTools;
using Ids = std::vector<std::string>;

Ids waiting(pelapp::AppModel& m) {
    Ids ids;
    for (const auto& entry : AppModelTestAccess::queue(m))
        ids.push_back(entry.row.id);
    return ids;
}

// Puts an executable at `path` that the kernel cannot start: its interpreter does not exist.
void installUnstartable(const std::string& path) {
    std::ofstream(path) << "#!/no/such/interpreter\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

class BrewHandoffTest : public ::testing::Test {
protected:
    FakeTools tools;
    QueueHarness h;
    pelapp::AppModel& m = h.model;
    std::string gate = tools.stateDir() + "go";

    // A `brew` that stays in its run until release() and then succeeds.
    void installGatedBrew() {
        pelsupport::installFakeBrew(
            tools,
            FakeReply().withShell("while [ ! -e " + gate + " ]; do sleep 0.01; done").withOut("done\n"));
    }
    void release() { std::ofstream(gate) << "go"; }
    bool brewRunning(int calls = 1) {
        return h.settle([&] { return tools.callCount("brew") == calls; });
    }

    MainTask handOff(const std::string& id, const std::string& token) {
        return MainTask::start(h.executor, m.updateViaBrew(*m.findRow(id), token));
    }
    bool ended(const MainTask& task) {
        return h.settle([&] { return task.isDone(); });
    }
};

TEST_F(BrewHandoffTest, EachWayBrewEndsShowsInTheRowAndTheLog) {
    const std::string timeoutTail = " timeout after 900s";
    struct Case {
        const char* label;
        std::optional<FakeReply> brew; // nothing: no brew at all; with `unstartable`, a broken one
        bool unstartable;
        bool shortTimeout;
        bool ok;
        std::string text;    // the row's progress text (the message), or its prefix
        std::string logLine; // or its prefix
        bool phaseLogged;
    };
    const std::vector<Case> cases{
        {"success",
         FakeReply().withOut("==> Installing Cask example\n  example was successfully installed!  \n"), false,
         false, true, "",
         "✓ Example: brew install --cask example ok — ==> Installing Cask example\n"
         "  example was successfully installed!",
         true},
        {"failure", FakeReply().withStatus(1).withErr("Warning: x\nError: Cask 'example' is unavailable\n"),
         false, false, false, "brew install failed: Warning: x\nError: Cask 'example' is unavailable",
         "✗ Example [INT_UNEXPECTED]: brew install failed: Warning: x\nError: Cask 'example' is unavailable",
         true},
        {"missing", std::nullopt, false, false, false, "brew not in PATH — install from https://brew.sh",
         "✗ Example [INT_UNEXPECTED]: brew not in PATH — install from https://brew.sh", false},
        {"time-out", FakeReply().withDelay(30), false, true, false, "", "✗ Example [INT_UNEXPECTED]: ", true},
        {"unstartable", std::nullopt, true, false, false, "", "✗ Example: ", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        tools.remove("brew");
        tools.clearCalls();
        if (c.brew) pelsupport::installFakeBrew(tools, *c.brew);
        if (c.unstartable) installUnstartable(tools.path("brew"));
        std::optional<pelkit::testing::ScopedToolTimeout> fast;
        if (c.shortTimeout) fast.emplace(pelsupport::shortTimeOutFor("brew", 0.3));
        m.rows.clear();
        m.updateLog.clear();
        h.addOutdated("com.example", "Example");
        m.rows.back().errorCode = ErrorCode::NET_TIMEOUT;

        const MainTask task = handOff("com.example", "example");
        ASSERT_TRUE(ended(task));

        const pelapp::AppRow& row = *m.findRow("com.example");
        EXPECT_FALSE(row.updating);
        std::string text = c.text;
        std::string logLine = c.logLine;
        if (c.shortTimeout) {
            text = tools.path("brew") + timeoutTail;
            logLine += text;
        }
        if (c.ok) {
            EXPECT_EQ(row.outcome, Outcome::upToDate);
            EXPECT_FALSE(row.progressText);
            EXPECT_FALSE(row.errorCode);
        } else {
            EXPECT_EQ(row.outcome, Outcome::outdated) << "the row keeps its outcome";
            ASSERT_TRUE(row.progressText);
            if (c.unstartable) {
                // The launch error's own text: the tool and the system's reason.
                EXPECT_EQ(row.progressText->rfind(tools.path("brew") + ": ", 0), 0u) << *row.progressText;
                EXPECT_EQ(row.errorCode, ErrorCode::NET_TIMEOUT)
                    << "only a core error replaces the row's error";
                logLine += *row.progressText;
            } else {
                EXPECT_EQ(*row.progressText, text) << "the bare message, without the code";
                EXPECT_EQ(row.errorCode, ErrorCode::INT_UNEXPECTED);
                EXPECT_EQ(row.errorMessage, text);
            }
        }
        Ids log{"→ Example via Homebrew"};
        if (c.phaseLogged) log.push_back("  · brew install --cask example --force");
        log.push_back(logLine);
        EXPECT_EQ(m.updateLog, log);
        if (c.brew) {
            ASSERT_EQ(tools.callCount("brew"), 1);
            EXPECT_EQ(tools.calls("brew")[0].args, (Ids{"install", "--cask", "example", "--force"}));
        }
        EXPECT_FALSE(m.runningUpdate);
        EXPECT_EQ(m.activeCount, 0);
        EXPECT_TRUE(m.updateQueue.empty());
        EXPECT_FALSE(m.activeUpdateID);
        EXPECT_FALSE(m.activePhase);
    }
}

TEST_F(BrewHandoffTest, ARunningHandoffIsAnActiveUpdateUntilBrewEnds) {
    installGatedBrew();
    h.addOutdated("com.example", "Example");
    m.sheetSuppressed = true;

    const MainTask task = handOff("com.example", "example");
    ASSERT_TRUE(brewRunning());
    const pelapp::AppRow& row = *m.findRow("com.example");
    EXPECT_TRUE(row.updating);
    EXPECT_EQ(row.progressText, "brew install --cask example --force");
    EXPECT_TRUE(m.runningUpdate);
    EXPECT_FALSE(m.showUpdateSheet) << "a hidden sheet stays hidden";
    EXPECT_EQ(m.updateQueue, (Ids{"com.example"}));
    EXPECT_EQ(m.activeCount, 1);
    EXPECT_EQ(m.activeUpdateID, "com.example");
    EXPECT_TRUE(m.isBusy("com.example"));
    h.executor.runPending();
    EXPECT_EQ(m.activePhase, "brew install --cask example --force") << "the phase report arrived";

    // Busy: neither a second hand-off nor a queued update of the row starts.
    const MainTask second = handOff("com.example", "example");
    ASSERT_TRUE(ended(second));
    m.updateOne(*m.findRow("com.example"), false);
    EXPECT_EQ(m.activeCount, 1);
    EXPECT_TRUE(waiting(m).empty());
    // Nothing of the queue's can cancel it.
    m.cancelOne("com.example");
    m.cancelAll();

    release();
    ASSERT_TRUE(ended(task));
    EXPECT_EQ(tools.callCount("brew"), 1);
    EXPECT_EQ(m.findRow("com.example")->outcome, Outcome::upToDate);
    EXPECT_FALSE(m.runningUpdate);
    EXPECT_FALSE(m.sheetSuppressed);
    EXPECT_EQ(m.activeCount, 0);
    EXPECT_TRUE(m.updateQueue.empty());
    EXPECT_EQ(m.updateLog.back(), "✓ Example: brew install --cask example ok — done");
}

TEST_F(BrewHandoffTest, BesideOneQueuedUpdateTheHandoffHoldsTheSecondSlotAndItsEndStartsTheWaitingOne) {
    installGatedBrew();
    h.addOutdated("com.a", "A");
    h.addOutdated("com.b", "B");
    h.addOutdated("com.example", "Example");
    m.updateOne(*m.findRow("com.a"), false);
    ASSERT_TRUE(h.updateWaiting("com.a"));

    const MainTask task = handOff("com.example", "example");
    ASSERT_TRUE(brewRunning());
    EXPECT_EQ(m.activeCount, 2);
    m.updateOne(*m.findRow("com.b"), false);
    EXPECT_EQ(waiting(m), (Ids{"com.b"})) << "no slot is free";
    EXPECT_EQ(m.activeCount, 2);

    release();
    ASSERT_TRUE(ended(task));
    // The hand-off's end started the waiting update; the run goes on.
    EXPECT_TRUE(waiting(m).empty());
    ASSERT_TRUE(AppModelTestAccess::activeTasks(m).contains("com.b"));
    EXPECT_EQ(m.activeCount, 2);
    EXPECT_TRUE(m.runningUpdate);
    EXPECT_EQ(m.updateQueue, (Ids{"com.a", "com.b"}));
    ASSERT_TRUE(h.updateWaiting("com.b"));

    ASSERT_TRUE(h.finish("com.a"));
    ASSERT_TRUE(h.finish("com.b"));
    EXPECT_FALSE(m.runningUpdate);
    EXPECT_EQ(m.activeCount, 0);
}

TEST_F(BrewHandoffTest, StartedWhileTwoUpdatesRunItRaisesTheCountToThreeAndStillInstallsInADryRun) {
    installGatedBrew();
    h.addOutdated("com.a", "A");
    h.addOutdated("com.b", "B");
    h.addOutdated("com.example", "Example", false);
    m.updateSelected(true);
    ASSERT_EQ(m.activeCount, 2);
    ASSERT_TRUE(h.updateWaiting("com.a"));
    ASSERT_TRUE(h.updateWaiting("com.b"));

    const MainTask task = handOff("com.example", "example");
    ASSERT_TRUE(brewRunning());
    EXPECT_EQ(m.activeCount, 3);
    EXPECT_EQ(m.updateQueue, (Ids{"com.a", "com.b", "com.example"}));
    EXPECT_FALSE(m.entryDryRun("com.example")) << "the hand-off is no entry of the queue";

    release();
    ASSERT_TRUE(ended(task));
    EXPECT_EQ(m.findRow("com.example")->outcome, Outcome::upToDate) << "brew installed despite the dry run";
    EXPECT_EQ(m.activeCount, 2);
    EXPECT_TRUE(m.runningUpdate) << "two updates still run";
    EXPECT_EQ(m.updateQueue, (Ids{"com.a", "com.b"}));

    ASSERT_TRUE(h.finish("com.a", "dry-run: nothing installed"));
    ASSERT_TRUE(h.finish("com.b", "dry-run: nothing installed"));
    EXPECT_FALSE(m.runningUpdate);
    EXPECT_EQ(m.activeCount, 0);
    for (const auto& call : h.engine.updateCalls())
        EXPECT_TRUE(call.opts.dryRun);
}

TEST_F(BrewHandoffTest, ARowGoneDuringTheHandoffIsNotRecreatedButTheLogIsWritten) {
    installGatedBrew();
    h.addOutdated("com.example", "Example");
    const MainTask task = handOff("com.example", "example");
    ASSERT_TRUE(brewRunning());
    m.rows.clear();
    release();
    ASSERT_TRUE(ended(task));
    EXPECT_TRUE(m.rows.empty());
    EXPECT_EQ(m.updateLog.back(), "✓ Example: brew install --cask example ok — done");
    EXPECT_FALSE(m.runningUpdate);
}

} // namespace
