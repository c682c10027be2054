#include "PelApp/AppModelTestAccess.hpp"
#include "PelApp/FakeEngine.hpp"
#include "PelApp/ModelHarness.hpp"
#include "PelApp/RunUntil.hpp"
#include "PelKit/Config.hpp"
#include "PelKit/DB.hpp"
#include "PelKit/Journal.hpp"
#include "Support/FakeTools.hpp"
#include "Support/ScriptedWorkspace.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace {

using pelapp::AppModelTestAccess;
using pelapp::MainTask;
using pelapptest::FakeEngine;
using pelapptest::makeRow;
using pelkit::Outcome;
using pelsupport::FakeReply;
using pelsupport::FakeTools;
using platform::Json;
using Ids = std::vector<std::string>;

class MasHandoffTest : public ::testing::Test {
protected:
    FakeTools tools;
    pelsupport::TempDir tmp{"pel-app-mas"};
    pelkit::testing::ScopedHomeOverride home{tmp / "home"};
    platform::ManualClock clock{platform::fromSeconds(1769900000.0)};
    pelkit::DB db{platform::Url::fromFilePath((tmp / "pel.db").string()), clock};
    pelkit::Journal journal{"01TESTRUN000", &db, clock};
    FakeEngine engine{nullptr, &journal};
    pelapptest::FakeEngineFactory factory{engine};
    pelsupport::ScriptedWorkspace workspace;
    platform::ManualExecutor executor;
    pelapptest::RecordingUrlOpener urls;
    pelapp::AppModel m{executor, factory, workspace, urls, pelapp::AppInfo{"1.2.3", "45", "/opt/pelloran"}};

    MasHandoffTest() {
        AppModelTestAccess::engine(m) = &engine;
        m.rows.push_back(makeRow("com.example.store", "Store App", Outcome::outdated, "1.0", "2.0"));
        m.checkedIDs.insert("com.example.store");
    }

    void upgrade() {
        const MainTask task =
            MainTask::start(executor, m.triggerMasUpgrade("497799835", "Store App", "com.example.store"));
        ASSERT_TRUE(pelapptest::runUntil(executor, [&] { return task.isDone(); }));
    }

    std::vector<Json> journalEvents() {
        journal.flush();
        std::vector<Json> events;
        std::istringstream in(pelsupport::readText(journal.file().filePath()));
        for (std::string line; std::getline(in, line);)
            events.push_back(Json::parse(line));
        return events;
    }
};

TEST_F(MasHandoffTest, EachWayMasEndsReportsInTheStatusLineAndOnlyAnExitStatusIsJournalled) {
    struct Case {
        const char* label;
        std::optional<FakeReply> mas; // nothing: no mas in the tool directories
        bool unstartable;
        bool shortTimeout;
        std::string status; // the status line, or its prefix (completed below)
        std::optional<Json> event;
    };
    const std::vector<Case> cases{
        {"success", FakeReply().withOut("==> Upgrading 1 outdated application\n"), false, false,
         "mas upgrade Store App: success",
         Json{{"bundleID", "com.example.store"},
              {"success", true},
              {"source", "mas"},
              {"message", "mas upgrade 497799835"}}},
        {"failure", FakeReply().withStatus(1).withErr("  Error: Not signed in\n"), false, false,
         "mas upgrade failed: Error: Not signed in",
         Json{{"bundleID", "com.example.store"},
              {"success", false},
              {"source", "mas"},
              {"code", "UNS_MAS"},
              {"message", "  Error: Not signed in\n"}}},
        {"missing", std::nullopt, false, false,
         "'mas' CLI not found in PATH — install with 'brew install mas'", std::nullopt},
        {"time-out", FakeReply().withDelay(30), false, true, "mas upgrade error: [INT_UNEXPECTED] ",
         std::nullopt},
        {"unstartable", std::nullopt, true, false, "mas upgrade error: ", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        tools.remove("mas");
        tools.clearCalls();
        if (c.mas) tools.install("mas", *c.mas);
        if (c.unstartable) {
            std::ofstream(tools.path("mas")) << "#!/no/such/interpreter\n";
            std::filesystem::permissions(tools.path("mas"), std::filesystem::perms::owner_all);
        }
        std::optional<pelkit::testing::ScopedToolTimeout> fast;
        if (c.shortTimeout) fast.emplace(pelsupport::shortTimeOutFor("mas", 0.3));
        const std::size_t eventsBefore = journalEvents().size();

        upgrade();

        std::string status = c.status;
        if (c.shortTimeout) status += tools.path("mas") + " timeout after 900s";
        if (c.unstartable) status += tools.path("mas") + ": ";
        if (c.unstartable) {
            EXPECT_EQ(m.statusMessage.rfind(status, 0), 0u) << m.statusMessage;
        } else {
            EXPECT_EQ(m.statusMessage, status);
        }
        if (c.mas) {
            ASSERT_EQ(tools.callCount("mas"), 1);
            EXPECT_EQ(tools.calls("mas")[0].args, (Ids{"upgrade", "497799835"}));
        }
        const auto events = journalEvents();
        ASSERT_EQ(events.size(), eventsBefore + (c.event ? 1 : 0));
        if (c.event) {
            Json fields = events.back();
            EXPECT_EQ(fields["event"], "install_result");
            EXPECT_EQ(fields["run"], "01TESTRUN000");
            for (const char* stamped : {"ts", "run", "event", "schemaVersion"})
                fields.erase(stamped);
            EXPECT_EQ(fields, *c.event);
        }

        // Nothing else of the model moves.
        const pelapp::AppRow& row = m.rows.front();
        EXPECT_EQ(row.outcome, Outcome::outdated);
        EXPECT_FALSE(row.updating);
        EXPECT_FALSE(row.progressText);
        EXPECT_TRUE(m.updateLog.empty());
        EXPECT_TRUE(m.updateQueue.empty());
        EXPECT_EQ(m.activeCount, 0);
        EXPECT_FALSE(m.runningUpdate);
        EXPECT_FALSE(m.showUpdateSheet);
        EXPECT_TRUE(m.checkedIDs.contains("com.example.store"));
    }
}

TEST_F(MasHandoffTest, TheStatusLineNamesTheRunWhileMasWorks) {
    const std::string gate = tools.stateDir() + "go";
    tools.install("mas", FakeReply().withShell("while [ ! -e " + gate + " ]; do sleep 0.01; done"));
    const MainTask task =
        MainTask::start(executor, m.triggerMasUpgrade("497799835", "Store App", "com.example.store"));
    ASSERT_TRUE(pelapptest::runUntil(executor, [&] { return tools.callCount("mas") == 1; }));
    EXPECT_EQ(m.statusMessage, "mas upgrade 497799835 (Store App)…");
    std::ofstream(gate) << "go";
    ASSERT_TRUE(pelapptest::runUntil(executor, [&] { return task.isDone(); }));
    EXPECT_EQ(m.statusMessage, "mas upgrade Store App: success");
}

TEST_F(MasHandoffTest, ATrackIdentifierThatIsNoDecimalNumberNeverReachesMas) {
    tools.install("mas", FakeReply().withOut("==> Upgrading everything\n"));
    for (const char* trackID : {"--all", "-1", "", "4977 99835", "497799835; rm"}) {
        SCOPED_TRACE(trackID);
        const MainTask task =
            MainTask::start(executor, m.triggerMasUpgrade(trackID, "Store App", "com.example.store"));
        ASSERT_TRUE(pelapptest::runUntil(executor, [&] { return task.isDone(); }));
        EXPECT_EQ(m.statusMessage, "mas upgrade error: unusable track identifier");
    }
    EXPECT_EQ(tools.callCount("mas"), 0);
    EXPECT_TRUE(journalEvents().empty());
}

TEST_F(MasHandoffTest, WithoutAnEngineTheRunIsNotJournalled) {
    tools.install("mas", FakeReply().withStatus(1).withErr("Error: nope\n"));
    AppModelTestAccess::engine(m) = nullptr;
    upgrade();
    EXPECT_EQ(m.statusMessage, "mas upgrade failed: Error: nope");
    EXPECT_TRUE(journalEvents().empty());
}

TEST(AppStoreOpeners, OpenTheProductAndUpdatesPagesOfTheStoreScheme) {
    pelapptest::ModelHarness h;
    h.model.openInAppStore("497799835");
    h.model.openAppStoreUpdatesPage();
    // A text that forms no address is dropped without a word.
    h.model.openInAppStore("4977 99835");
    EXPECT_EQ(h.urls.opened,
              (Ids{"macappstore://apps.apple.com/app/id497799835", "macappstore://showUpdatesPage"}));
    EXPECT_EQ(h.model.statusMessage, "Ready");
}

} // namespace
