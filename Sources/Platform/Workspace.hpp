#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

// One running application: a process whose executable lies inside an application bundle.
struct RunningApplication {
    pid_t pid = 0;
    std::string bundlePath; // file-system path of the innermost ".app" folder holding the executable
    std::optional<std::string> bundleIdentifier; // from that bundle's Info.plist, when readable

    bool operator==(const RunningApplication&) const = default;
};

class Executor;

// Ends a subscription when destroyed (or reset). After that returns the callback is not running and never
// runs again, unless the subscription is ended from inside its own callback.
class [[nodiscard]] WorkspaceSubscription {
public:
    WorkspaceSubscription() = default;
    explicit WorkspaceSubscription(std::function<void()> unsubscribe) : unsubscribe_(std::move(unsubscribe)) {}
    WorkspaceSubscription(WorkspaceSubscription&& other) noexcept : unsubscribe_(std::move(other.unsubscribe_)) {
        other.unsubscribe_ = nullptr;
    }
    WorkspaceSubscription& operator=(WorkspaceSubscription&& other) noexcept;
    WorkspaceSubscription(const WorkspaceSubscription&) = delete;
    WorkspaceSubscription& operator=(const WorkspaceSubscription&) = delete;
    ~WorkspaceSubscription() { reset(); }

    void reset();
    bool active() const { return static_cast<bool>(unsubscribe_); }

private:
    std::function<void()> unsubscribe_;
};

// The callbacks of one workspace's subscribers; notify() calls each, outside the list's lock.
class WorkspaceSubscribers {
public:
    WorkspaceSubscribers();
    // `onCountChange` runs after every add and removal, outside the lock.
    explicit WorkspaceSubscribers(std::function<void()> onCountChange);

    WorkspaceSubscription add(std::function<void()> callback) const;
    void notify() const;
    std::size_t count() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// The running applications of this machine, and control over them. Callers take a `const Workspace&` so
// the engine's pre-flight and the application can share one object and tests can hand in a scripted one.
// On macOS an Objective-C++ file (WorkspaceMac.mm, not part of this build) implements it with
// NSWorkspace.sharedWorkspace.runningApplications, NSRunningApplication's terminate and forceTerminate,
// kill(2) with SIGKILL, and the workspace's did-launch and did-terminate application notifications;
// here ProcWorkspace reads /proc and sends signals.
class Workspace {
public:
    virtual ~Workspace() = default;

    // A snapshot, taken at the call.
    virtual std::vector<RunningApplication> runningApplications() const = 0;

    // Asks the application to quit (SIGTERM here). The three controls act only on a process id that the
    // latest snapshot listed as an application, never on pid 1 or on this process, and report whether the
    // request was sent. A workspace without control (the default) sends nothing.
    virtual bool terminate(pid_t pid) const;
    // Ends the application without asking (SIGKILL here).
    virtual bool forceTerminate(pid_t pid) const;
    // Sends SIGKILL.
    virtual bool kill(pid_t pid) const;

    // Calls `callback` whenever the set of running applications changed, on a thread of the workspace's
    // choosing, until the subscription ends. The default workspace never changes.
    virtual WorkspaceSubscription subscribe(std::function<void()> callback) const;

    // The platform's workspace; created on first use and never destroyed.
    static const Workspace& shared();
};

// Lists every process under `procRoot` whose executable (`<procRoot>/<pid>/exe`) lies inside a ".app"
// bundle; the innermost bundle counts, so a helper nested in another bundle is listed as itself.
// A control signal goes out only while the process's executable still lies in the bundle the latest
// snapshot saw, so a process id reused since then is left alone.
// Subscribers hear of changes by a snapshot compared every `watchInterval` on `watchExecutor` (by default
// a serial queue of its own, started with the first subscriber; the watch stops with the last).
class ProcWorkspace final : public Workspace {
public:
    static constexpr std::chrono::seconds kWatchInterval{2};

    explicit ProcWorkspace(std::string procRoot = "/proc");
    // `watchExecutor` must outlive this workspace.
    ProcWorkspace(std::string procRoot, Executor& watchExecutor,
                  std::chrono::nanoseconds watchInterval = kWatchInterval);
    ~ProcWorkspace() override;
    ProcWorkspace(const ProcWorkspace&) = delete;
    ProcWorkspace& operator=(const ProcWorkspace&) = delete;

    std::vector<RunningApplication> runningApplications() const override;
    bool terminate(pid_t pid) const override;
    bool forceTerminate(pid_t pid) const override;
    bool kill(pid_t pid) const override;
    WorkspaceSubscription subscribe(std::function<void()> callback) const override;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// The folder of the innermost ".app" bundle that holds `executablePath` (the path itself does not count
// as its own bundle), or nothing when no ancestor folder is one.
std::optional<std::string> enclosingBundlePath(const std::string& executablePath);

} // namespace platform
