#include "PelApp/ScanHarness.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace {

using pelapptest::ScanHarness;
using IdSet = std::set<std::string>;

TEST(ScanRunning, TheSnapshotKeepsIdentifiersAndBundlePathsOfEveryRunningApplication) {
    ScanHarness h;
    auto& model = *h.model;
    int runningChanges = 0;
    model.addObserver(
        [&](pelapp::ModelChange c) { runningChanges += pelapp::hasChange(c, pelapp::ModelChange::running); });
    h.workspace.set({{1, "/Applications/Foo.app", "com.foo"},
                     {2, "/Applications/Foo.app/Contents/Helpers/Agent.app", std::nullopt},
                     {3, "/Applications/Bar.app", "com.bar"}});
    model.refreshRunning();
    EXPECT_EQ(model.runningBundleIDs, (IdSet{"com.foo", "com.bar"}));
    EXPECT_EQ(model.runningAppPaths,
              (IdSet{"/Applications/Foo.app", "/Applications/Foo.app/Contents/Helpers/Agent.app",
                     "/Applications/Bar.app"}));

    h.workspace.set({});
    model.refreshRunning();
    EXPECT_TRUE(model.runningBundleIDs.empty()) << "both sets are replaced on every call";
    EXPECT_TRUE(model.runningAppPaths.empty());
    EXPECT_EQ(runningChanges, 2);
}

TEST(ScanRunning, RunningRulesByIdentifierCompanionAndPathInsideTheBundle) {
    ScanHarness h;
    auto& model = *h.model;
    h.workspace.set(
        {{1, "/Applications/Editor.app", "com.acme.editor"},
         {2, "/Applications/Sync.app/Contents/Library/LoginItems/SyncAgent.app", "net.unrelated.agent"},
         {3, "/Applications/Chat.app", "com.chat.app.helper"},
         {4, "/Applications/Mail Plus.app", "com.mailplus"},
         {5, "/Applications/Notes.app", "com.notes-renderer"},
         {6, "/Applications/Viewer Pro.app", "com.viewerpro"}});
    model.refreshRunning();

    const auto url = [](const std::string& path) { return std::optional(platform::Url::fromFilePath(path)); };
    struct Case {
        const char* what;
        std::string bundleID;
        std::optional<platform::Url> path;
        bool running;
    };
    const std::vector<Case> cases{
        {"same identifier", "com.acme.editor", std::nullopt, true},
        {"same identifier, other path", "com.acme.editor", url("/Elsewhere/Editor.app"), true},
        {"\".\" companion", "com.chat.app", std::nullopt, true},
        {"\"-\" companion", "com.notes", std::nullopt, true},
        {"identifier merely continued with letters", "com.viewer", std::nullopt, false},
        {"a second identifier continued with letters", "com.mail", std::nullopt, false},
        {"a prefix of the running one, not at a separator", "com.acme.edit", std::nullopt, false},
        {"helper inside the bundle", "com.sync", url("/Applications/Sync.app"), true},
        {"helper inside the bundle, path with a slash", "com.sync", url("/Applications/Sync.app/"), true},
        {"helper, no path given", "com.sync", std::nullopt, false},
        {"own bundle path is not inside itself", "com.other.editor", url("/Applications/Editor.app"), false},
        {"a neighbour whose name starts alike", "com.sy", url("/Applications/Sync"), false},
        {"nothing matches", "org.none", url("/Applications/None.app"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(model.isRunning(c.bundleID, c.path), c.running) << c.what;
    }
}

TEST(ScanRunning, WorkspaceChangesRefreshTheSnapshotOnTheMainExecutorWhileTheModelLives) {
    ScanHarness h;
    pelapp::AppModelTestAccess::installRunningObservers(*h.model);
    pelapp::AppModelTestAccess::installRunningObservers(*h.model);
    EXPECT_EQ(h.workspace.subscriberCount(), 1u) << "installed once";

    h.workspace.set({{7, "/Applications/Foo.app", "com.foo"}}); // tells the subscribers at once
    EXPECT_TRUE(h.model->runningBundleIDs.empty()) << "delivered through the main executor";
    h.executor.runPending();
    EXPECT_EQ(h.model->runningBundleIDs, IdSet{"com.foo"});

    // A delivery still queued when the model goes does nothing; the subscription ends with it.
    h.workspace.set({});
    h.model.reset();
    EXPECT_EQ(h.workspace.subscriberCount(), 0u);
    h.executor.runPending();
    h.workspace.changed();
    EXPECT_EQ(h.executor.pendingCount(), 0u);
}

} // namespace
