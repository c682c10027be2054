#include "PelApp/AppModelTestAccess.hpp"
#include "PelApp/DetailPaneHarness.hpp"
#include "PelKit/Config.hpp"
#include "Support/TempDir.hpp"

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

using pelapp::AppModelTestAccess;
using pelapptest::DetailPaneTest;
using pelapptest::makeRow;
using pelapptest::outdatedRow;
using pelkit::AppSource;
using pelkit::Outcome;

pelapp::AppRow brewRow(const std::string& id, std::optional<std::string> token = "tool-cask") {
    auto row = outdatedRow(id, "https://dl.test/Tool.zip", 2048);
    row.remote->source = AppSource::homebrew;
    row.remote->sourceToken = std::move(token);
    return row;
}

pelapp::AppRow appStoreRow(const std::string& id, std::optional<std::string> token) {
    auto row = makeRow(id, "Store App", Outcome::unsupported, "3.0", "3.1");
    row.app.isMacAppStore = true;
    row.remote->source = AppSource::macAppStore;
    row.remote->sourceToken = std::move(token);
    return row;
}

TEST_F(DetailPaneTest, BusyRowReadsQueuedAndDisablesUpdateAndHomebrewButNotIgnore) {
    tools.install("brew", pelsupport::FakeReply());
    auto row = brewRow("com.busy");
    row.checking = true;
    showRow(row);
    EXPECT_EQ(button("updateButton")->text(), QString("Update"));
    EXPECT_TRUE(button("updateButton")->isEnabled());
    EXPECT_TRUE(button("brewButton")->isEnabled());
    EXPECT_FALSE(button("rescanButton")->isEnabled());

    h.model.updateQueue.push_back("com.busy");
    h.model.changed(pelapp::ModelChange::run);
    pelapptest::flushUi();
    EXPECT_EQ(button("updateButton")->text(), QString("Queued…"));
    EXPECT_FALSE(button("updateButton")->isEnabled());
    EXPECT_FALSE(button("brewButton")->isEnabled());
    EXPECT_TRUE(button("ignoreButton")->isEnabled());
    h.model.updateQueue.clear();
}

// The pane's Update honours the window's dry-run switch; the hand-offs, which always install, wait
// while it is on.
TEST_F(DetailPaneTest, DryRunSwitchMakesUpdateADryRunAndDisablesTheHandoffs) {
    tools.install("brew", pelsupport::FakeReply());
    tools.install("mas", pelsupport::FakeReply());
    showRows({brewRow("com.dry"), brewRow("com.real")}, {"com.dry"});
    state.setDryRun(true);
    EXPECT_FALSE(button("brewButton")->isEnabled());
    QTest::mouseClick(button("updateButton"), Qt::LeftButton);
    EXPECT_EQ(h.model.entryDryRun("com.dry"), true);

    state.setDryRun(false);
    h.model.setSelectionIDs({"com.real"});
    pelapptest::flushUi();
    EXPECT_TRUE(button("brewButton")->isEnabled());
    QTest::mouseClick(button("updateButton"), Qt::LeftButton);
    EXPECT_EQ(h.model.entryDryRun("com.real"), false);

    ASSERT_TRUE(h.finish("com.dry"));
    ASSERT_TRUE(h.finish("com.real"));
    std::map<std::string, bool> dryRunOf;
    for (const auto& call : h.engine.updateCalls())
        dryRunOf[call.app.bundleID] = call.opts.dryRun;
    EXPECT_EQ(dryRunOf, (std::map<std::string, bool>{{"com.dry", true}, {"com.real", false}}));

    showRow(appStoreRow("com.store", "497799835"));
    EXPECT_TRUE(button("masButton")->isEnabled());
    state.setDryRun(true);
    EXPECT_FALSE(button("masButton")->isEnabled());
    EXPECT_TRUE(button("openInAppStoreButton")->isEnabled());
    EXPECT_TRUE(button("allUpdatesButton")->isEnabled());
}

TEST_F(DetailPaneTest, BrewLookupIsMadeAfreshAtEveryRebuild) {
    showRow(brewRow("com.brew"));
    EXPECT_FALSE(has("brewButton"));
    EXPECT_EQ(text("brewHint"), QString("Install brew (https://brew.sh) to enable Homebrew hand-off."));

    tools.install("brew", pelsupport::FakeReply());
    touch();
    ASSERT_TRUE(has("brewButton"));
    EXPECT_FALSE(has("brewHint"));
    EXPECT_TRUE(
        button("brewButton")
            ->toolTip()
            .contains("Runs 'brew install --cask tool-cask --force'. Bypasses our Team-ID cross-check."));

    tools.remove("brew");
    touch();
    EXPECT_FALSE(has("brewButton"));
    EXPECT_TRUE(has("brewHint"));

    // Without a token there is nothing to hand over.
    tools.install("brew", pelsupport::FakeReply());
    showRow(brewRow("com.brew", std::nullopt));
    EXPECT_FALSE(has("brewFallback"));
    EXPECT_EQ(value("sourceRow"), QString("Homebrew"));
}

TEST_F(DetailPaneTest, AppStoreButtonsFollowTheTokenAndTheMasLookup) {
    const QString hint(
        "Install 'mas' via Homebrew (brew install mas) to trigger updates directly from here.");
    showRow(appStoreRow("com.store", "497799835"));
    EXPECT_TRUE(has("openInAppStoreButton"));
    EXPECT_FALSE(has("masButton"));
    EXPECT_TRUE(has("allUpdatesButton"));
    EXPECT_EQ(text("masHint"), hint);

    tools.install("mas", pelsupport::FakeReply());
    touch();
    EXPECT_TRUE(has("masButton"));
    EXPECT_FALSE(has("masHint"));

    for (std::optional<std::string> token : {std::optional<std::string>(""), std::optional<std::string>()}) {
        showRow(appStoreRow("com.store", token));
        EXPECT_FALSE(has("openInAppStoreButton"));
        EXPECT_FALSE(has("masButton"));
        EXPECT_TRUE(has("allUpdatesButton"));
        EXPECT_FALSE(has("masHint"));
    }
    tools.remove("mas");
    touch();
    EXPECT_EQ(text("masHint"), hint);
}

TEST_F(DetailPaneTest, AppStoreButtonsCallTheModel) {
    // No engine: the hand-off records no journal event.
    AppModelTestAccess::engine(h.model) = nullptr;
    tools.install("mas", pelsupport::FakeReply());
    showRow(appStoreRow("com.store", "497799835"));

    QTest::mouseClick(button("openInAppStoreButton"), Qt::LeftButton);
    QTest::mouseClick(button("allUpdatesButton"), Qt::LeftButton);
    EXPECT_EQ(h.urls.opened.size(), 2u);
    EXPECT_NE(h.urls.opened.front().find("497799835"), std::string::npos);

    QTest::mouseClick(button("masButton"), Qt::LeftButton);
    ASSERT_TRUE(h.settle([&] { return h.model.statusMessage == "mas upgrade Store App: success"; }));
    const auto calls = tools.calls("mas");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"upgrade", "497799835"}));
}

TEST_F(DetailPaneTest, UnresolvedHintNamesTheOverridesFileInUse) {
    showRow(makeRow("com.lost", "Lost", Outcome::unresolved));
    EXPECT_EQ(text("unresolvedExplanation"),
              QString("No Homebrew Cask, Sparkle feed, or App Store record matches this app."));

    // The engine's store decides, wherever it was loaded from.
    pelsupport::TempDir dir("pel-pane-overrides");
    const auto file = platform::Url::fromFilePath((dir.path() / "state" / "overrides.json").string());
    pelapptest::FakeEngine storeEngine(std::make_shared<pelkit::Overrides>(pelkit::OverridesFile{}, file));
    AppModelTestAccess::engine(h.model) = &storeEngine;
    touch();
    EXPECT_EQ(text("overridesHint"),
              QString::fromStdString("Add a caskToken or sparkleFeedURL entry to " + file.filePath() +
                                     " to teach pel how to find it."));

    // No engine yet: where start-up would load the file from.
    pelkit::testing::ScopedHomeOverride home(dir.path());
    AppModelTestAccess::engine(h.model) = nullptr;
    touch();
    EXPECT_EQ(text("overridesHint"), QString::fromStdString("Add a caskToken or sparkleFeedURL entry to " +
                                                            pelkit::PelPaths::overridesFile().filePath() +
                                                            " to teach pel how to find it."));
    EXPECT_FALSE(text("overridesHint").contains(QString::fromStdString(file.filePath())));
}

// A probe that records its start and then waits until it is cancelled.
struct ProbeLog {
    std::vector<std::string> started;
    std::vector<std::string> cancelled;
};

// The awaited value is named first: g++ 12 miscompiles a co_await inside a negated condition.
pelapp::Task<void> waitingProbe(std::shared_ptr<ProbeLog> log, std::string id) {
    log->started.push_back(id);
    const bool fullTime = co_await pelapp::sleepFor(std::chrono::hours(1));
    if (!fullTime) log->cancelled.push_back(id);
}

TEST_F(DetailPaneTest, OneSizeProbePerShowingOfAnOutdatedRowWithoutASize) {
    auto log = std::make_shared<ProbeLog>();
    pane->setSizeProbe([log](std::string id) { return waitingProbe(log, std::move(id)); });
    const auto started = [&] {
        h.executor.runPending();
        return log->started;
    };
    using Ids = std::vector<std::string>;

    showRows({outdatedRow("com.nosize", "https://dl.test/a.zip"),
              outdatedRow("com.sized", "https://dl.test/b.zip", 9),
              makeRow("com.current", "Current", Outcome::upToDate, "1", "1")},
             {"com.nosize"});
    EXPECT_EQ(started(), Ids{"com.nosize"});
    // Rebuilds of the same row start nothing more.
    touch();
    h.model.changed(pelapp::ModelChange::run);
    pelapptest::flushUi();
    EXPECT_EQ(started(), Ids{"com.nosize"});

    // A row with a size, or one that is not outdated, is not probed; leaving a row stops its probe.
    h.model.setSelectionIDs({"com.sized"});
    pelapptest::flushUi();
    h.model.setSelectionIDs({"com.current"});
    pelapptest::flushUi();
    EXPECT_EQ(started(), Ids{"com.nosize"});
    EXPECT_EQ(log->cancelled, Ids{"com.nosize"});

    // Coming back, and showing the pane again, probe anew.
    h.model.setSelectionIDs({"com.nosize"});
    pelapptest::flushUi();
    EXPECT_EQ(started(), (Ids{"com.nosize", "com.nosize"}));
    pane->hide();
    pelapptest::flushUi();
    EXPECT_EQ(started().size(), 2u);
    EXPECT_EQ(log->cancelled.size(), 2u);
    pane->show();
    pelapptest::flushUi();
    EXPECT_EQ(started().size(), 3u);

    pane.reset();
    h.executor.runPending();
    EXPECT_EQ(log->cancelled.size(), 3u);
}

} // namespace
