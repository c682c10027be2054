#pragma once

// A workspace whose running applications follow a script: each instance quits after a number of polls,
// when asked politely, when forced, only when killed, or never. Every control call is recorded and no
// real signal is sent. A scripted change (set, add, remove, changed) calls the subscribers at once, on
// the calling thread.
//
//     pelsupport::ScriptedWorkspace ws;
//     ws.add({4242, "/Applications/Foo.app", "com.example.foo"}, {Quits::onForce, 2});
//     ws.terminate(4242);          // sent, ignored
//     ws.forceTerminate(4242);     // listed by the next two polls, gone from the third
//     ws.controls();               // {terminate 4242 sent}, {forceTerminate 4242 sent}

#include "Platform/Workspace.hpp"

#include <cstddef>
#include <mutex>
#include <vector>

namespace pelsupport {

class ScriptedWorkspace final : public platform::Workspace {
public:
    // What ends an instance. Each request at least as strong ends it too (force and kill end one that
    // quits on terminate; kill ends one that quits on force).
    enum class Quits { never, afterPolls, onTerminate, onForce, onKill };
    struct Script {
        Quits quits = Quits::never;
        // Polls (runningApplications calls) that still list the instance after the event that ends it;
        // for afterPolls the event is being added.
        int polls = 0;
    };
    enum class Control { terminate, forceTerminate, kill };
    struct ControlCall {
        Control control;
        pid_t pid;
        bool sent; // true when the id belonged to a running instance
        bool operator==(const ControlCall&) const = default;
    };

    ScriptedWorkspace() = default;
    explicit ScriptedWorkspace(std::vector<platform::RunningApplication> apps);

    // Every call is one poll.
    std::vector<platform::RunningApplication> runningApplications() const override;
    bool terminate(pid_t pid) const override;
    bool forceTerminate(pid_t pid) const override;
    bool kill(pid_t pid) const override;
    platform::WorkspaceSubscription subscribe(std::function<void()> callback) const override;

    // Replaces every instance by these, none of them quitting.
    void set(std::vector<platform::RunningApplication> apps);
    void add(platform::RunningApplication app) { add(std::move(app), Script()); }
    void add(platform::RunningApplication app, Script script);
    void remove(pid_t pid);
    // Calls the subscribers, as the platform would after instances came or went.
    void changed() const;

    std::vector<ControlCall> controls() const;
    std::size_t polls() const;
    std::size_t subscriberCount() const { return subscribers_.count(); }

private:
    struct Instance {
        platform::RunningApplication app;
        Script script;
        int pollsLeft = -1; // once ending: how many more polls still list it
    };
    bool control(Control control, pid_t pid) const;

    mutable std::mutex mutex_;
    mutable std::vector<Instance> instances_;
    mutable std::vector<ControlCall> controls_;
    mutable std::size_t polls_ = 0;
    platform::WorkspaceSubscribers subscribers_;
};

// The name the update tests know it by.
using FixedWorkspace = ScriptedWorkspace;

} // namespace pelsupport
