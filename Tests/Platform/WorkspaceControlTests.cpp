#include "Platform/ManualExecutor.hpp"
#include "Platform/SerialQueue.hpp"
#include "Platform/Workspace.hpp"
#include "Support/BundledChild.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <unistd.h>

using namespace platform;
using namespace std::chrono_literals;
using pelsupport::BundledChild;
using pelsupport::installSleeper;
using pelsupport::TempDir;
namespace fs = std::filesystem;

namespace {

bool lists(const Workspace& ws, pid_t pid) {
    for (const auto& app : ws.runningApplications()) {
        if (app.pid == pid) return true;
    }
    return false;
}

// A process root that shows only the processes a test links into it, so other processes of this busy
// machine cannot change the set a test watches.
class ScopedProcRoot {
public:
    void show(pid_t pid) { fs::create_directory_symlink("/proc/" + std::to_string(pid), dir_ / std::to_string(pid)); }
    std::string path() const { return dir_.path().string(); }

private:
    TempDir dir_{"pel-proc"};
};

} // namespace

TEST(WorkspaceControl, PoliteQuitEndsAProcessThatHonoursIt) {
    TempDir dir;
    BundledChild child(installSleeper(dir / "Foo.app", "Foo"));
    ProcWorkspace ws;
    ASSERT_TRUE(lists(ws, child.pid()));
    EXPECT_TRUE(ws.terminate(child.pid()));
    EXPECT_EQ(child.waitForEnd(), SIGTERM);
}

TEST(WorkspaceControl, ForceAndKillEndAProcessThatIgnoresThePoliteRequest) {
    TempDir dir;
    fs::path exe = installSleeper(dir / "Stubborn.app", "Stubborn");
    BundledChild forced(exe, /*ignoreTerminate=*/true);
    BundledChild killed(exe, /*ignoreTerminate=*/true);
    ProcWorkspace ws;
    ASSERT_TRUE(lists(ws, forced.pid()));
    EXPECT_TRUE(ws.terminate(forced.pid())); // sent, and ignored
    EXPECT_TRUE(lists(ws, forced.pid()));
    EXPECT_TRUE(ws.forceTerminate(forced.pid()));
    // Had the polite request ended it, SIGTERM would be the cause.
    EXPECT_EQ(forced.waitForEnd(), SIGKILL);

    EXPECT_TRUE(ws.terminate(killed.pid()));
    EXPECT_TRUE(ws.kill(killed.pid()));
    EXPECT_EQ(killed.waitForEnd(), SIGKILL);
}

TEST(WorkspaceControl, RefusesIdsTheLatestSnapshotDidNotListAsAnApplication) {
    TempDir dir;
    ProcWorkspace ws;
    (void)ws.runningApplications();
    BundledChild unseen(installSleeper(dir / "Late.app", "Late")); // started after the snapshot
    fs::create_directories(dir / "plain");
    BundledChild plain(installSleeper(dir / "plain", "tool")); // no bundle around it

    for (auto control : {&Workspace::terminate, &Workspace::forceTerminate, &Workspace::kill}) {
        EXPECT_FALSE((ws.*control)(unseen.pid()));
        EXPECT_FALSE((ws.*control)(plain.pid()));
        EXPECT_FALSE((ws.*control)(::getpid()));
        EXPECT_FALSE((ws.*control)(1));
        EXPECT_FALSE((ws.*control)(0));
        EXPECT_FALSE((ws.*control)(-1));
    }
    EXPECT_TRUE(unseen.running());
    EXPECT_TRUE(plain.running());

    ASSERT_TRUE(lists(ws, unseen.pid()));
    EXPECT_FALSE(lists(ws, plain.pid()));
    EXPECT_FALSE(ws.terminate(plain.pid()));
    EXPECT_TRUE(ws.terminate(unseen.pid()));
    EXPECT_EQ(unseen.waitForEnd(), SIGTERM);
}

TEST(WorkspaceControl, RefusesOurOwnProcessInitAndAnIdWhoseExecutableChangedBundle) {
    // Here even our own process, init and the id 0 look like applications to the snapshot.
    TempDir root;
    TempDir dir;
    BundledChild child(installSleeper(dir / "Foo.app", "Foo"));
    const std::string fooExe = (dir / "Foo.app/Contents/MacOS/Foo").string();
    auto fake = [&](pid_t pid, const std::string& target) {
        fs::path entry = root / std::to_string(pid);
        fs::create_directories(entry);
        fs::remove(entry / "exe");
        fs::create_symlink(target, entry / "exe");
    };
    for (pid_t pid : {pid_t{0}, pid_t{1}, ::getpid(), child.pid()}) fake(pid, fooExe);
    ProcWorkspace ws(root.path().string());
    ASSERT_EQ(ws.runningApplications().size(), 4u);

    for (auto control : {&Workspace::terminate, &Workspace::forceTerminate, &Workspace::kill}) {
        EXPECT_FALSE((ws.*control)(0));
        EXPECT_FALSE((ws.*control)(1));
        EXPECT_FALSE((ws.*control)(::getpid()));
    }
    // The id now belongs to an executable in another bundle: a reused id is left alone.
    fake(child.pid(), (dir / "Other.app/Contents/MacOS/Other").string());
    EXPECT_FALSE(ws.terminate(child.pid()));
    EXPECT_TRUE(child.running());
    fake(child.pid(), fooExe);
    EXPECT_TRUE(ws.terminate(child.pid()));
    EXPECT_EQ(child.waitForEnd(), SIGTERM);
}

TEST(WorkspaceControl, NotifiesOnceForAStartAndOnceForAnExitEveryInterval) {
    TempDir dir;
    ScopedProcRoot root;
    ManualExecutor ex;
    ProcWorkspace ws(root.path(), ex, 2s);
    int changes = 0;
    auto subscription = ws.subscribe([&] { ++changes; });
    ex.advance(4s);
    EXPECT_EQ(changes, 0) << "nothing changed";

    auto started = std::make_unique<BundledChild>(installSleeper(dir / "Foo.app", "Foo"));
    root.show(started->pid());
    ex.advance(2s - 1ms);
    EXPECT_EQ(changes, 0) << "seen only at the next comparison";
    ex.advance(1ms);
    EXPECT_EQ(changes, 1);
    ex.advance(6s);
    EXPECT_EQ(changes, 1);

    fs::create_directories(dir / "plain");
    BundledChild plain(installSleeper(dir / "plain", "tool"));
    root.show(plain.pid());
    ex.advance(2s);
    EXPECT_EQ(changes, 1) << "no application came or went";

    started.reset(); // killed and reaped
    ex.advance(2s);
    EXPECT_EQ(changes, 2);
    ex.advance(4s);
    EXPECT_EQ(changes, 2);

    subscription.reset();
    EXPECT_EQ(ex.pendingCount(), 0u) << "the watch stops with the last subscriber";
    BundledChild after(installSleeper(dir / "Bar.app", "Bar"));
    root.show(after.pid());
    ex.advance(4s);
    EXPECT_EQ(changes, 2);
}

TEST(WorkspaceControl, WatchesOnASerialQueueAndACallbackMayEndItsOwnSubscription) {
    TempDir dir;
    ScopedProcRoot root;
    SerialQueue queue("workspace-test");
    ProcWorkspace ws(root.path(), queue, 10ms);
    std::promise<bool> onQueue;
    auto notified = onQueue.get_future();
    WorkspaceSubscription subscription;
    // The callback may run before subscribe() has returned: it touches `subscription` only once
    // the assignment below is done.
    std::promise<void> assigned;
    std::shared_future<void> assignedDone = assigned.get_future().share();
    int calls = 0;
    subscription = ws.subscribe([&] {
        assignedDone.wait();
        ++calls;
        subscription.reset();
        onQueue.set_value(queue.isCurrent());
    });
    assigned.set_value();
    BundledChild child(installSleeper(dir / "Foo.app", "Foo"));
    root.show(child.pid());
    ASSERT_EQ(notified.wait_for(120s), std::future_status::ready);
    EXPECT_TRUE(notified.get());
    child.stop();
    queue.drain();
    EXPECT_EQ(calls, 1);
}

TEST(WorkspaceControl, AWorkspaceWithItsOwnWatchQueueGoesWhileSubscribed) {
    ScopedProcRoot root;
    WorkspaceSubscription outlives;
    {
        ProcWorkspace ws(root.path());
        outlives = ws.subscribe([] {});
    }
    outlives.reset();
    // A workspace without control sends nothing and never changes.
    struct Fixed final : Workspace {
        std::vector<RunningApplication> runningApplications() const override { return {{4242, "/A.app", {}}}; }
    } fixed;
    EXPECT_FALSE(fixed.terminate(4242));
    EXPECT_FALSE(fixed.subscribe([] {}).active());
}

TEST(WorkspaceSubscribers, NotifyReachesCurrentSubscribersAndCountsThem) {
    int counted = 0;
    WorkspaceSubscribers subscribers([&] { ++counted; });
    std::vector<std::string> calls;
    auto a = subscribers.add([&] { calls.push_back("a"); });
    WorkspaceSubscription b;
    b = subscribers.add([&] {
        calls.push_back("b");
        b.reset();
    });
    EXPECT_EQ(subscribers.count(), 2u);
    subscribers.notify();
    subscribers.notify();
    EXPECT_EQ(calls, (std::vector<std::string>{"a", "b", "a"}));
    EXPECT_EQ(subscribers.count(), 1u);
    WorkspaceSubscription moved = std::move(a);
    EXPECT_FALSE(a.active());
    moved = WorkspaceSubscription();
    EXPECT_EQ(subscribers.count(), 0u);
    EXPECT_EQ(counted, 4); // two adds, two removals
}
