#include "Support/ScriptedWorkspace.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

using pelsupport::ScriptedWorkspace;
using Quits = ScriptedWorkspace::Quits;
using Control = ScriptedWorkspace::Control;

namespace {

// Our own process id: a real signal sent by mistake would end the test run.
const pid_t kSelf = ::getpid();

bool lists(const ScriptedWorkspace& ws, pid_t pid) {
    for (const auto& app : ws.runningApplications()) {
        if (app.pid == pid) return true;
    }
    return false;
}

bool send(const ScriptedWorkspace& ws, Control control, pid_t pid) {
    switch (control) {
    case Control::terminate: return ws.terminate(pid);
    case Control::forceTerminate: return ws.forceTerminate(pid);
    case Control::kill: return ws.kill(pid);
    }
    return false;
}

} // namespace

TEST(ScriptedWorkspace, EachInstanceQuitsOnItsScriptedRequestAfterItsPolls) {
    struct Case {
        Quits quits;
        Control control;
        bool ends;
    };
    const std::vector<Case> cases = {
        {Quits::never, Control::kill, false},
        {Quits::onTerminate, Control::terminate, true},
        {Quits::onTerminate, Control::forceTerminate, true},
        {Quits::onTerminate, Control::kill, true},
        {Quits::onForce, Control::terminate, false},
        {Quits::onForce, Control::forceTerminate, true},
        {Quits::onForce, Control::kill, true},
        {Quits::onKill, Control::terminate, false},
        {Quits::onKill, Control::forceTerminate, false},
        {Quits::onKill, Control::kill, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.quits) << " / " << int(c.control));
        ScriptedWorkspace ws;
        ws.add({kSelf, "/Applications/Foo.app", "com.example.foo"}, {c.quits, 2});
        EXPECT_TRUE(send(ws, c.control, kSelf));
        EXPECT_TRUE(lists(ws, kSelf)); // two more polls still list it
        EXPECT_TRUE(lists(ws, kSelf));
        EXPECT_EQ(lists(ws, kSelf), !c.ends);
        EXPECT_EQ(send(ws, c.control, kSelf), !c.ends) << "a gone instance takes no request";
        EXPECT_EQ(ws.polls(), 3u);
    }

    ScriptedWorkspace ws;
    ws.add({kSelf, "/Applications/Foo.app", {}}, {Quits::afterPolls, 2});
    ws.add({kSelf + 1, "/Applications/Bar.app", {}}, {Quits::onTerminate, 0});
    EXPECT_TRUE(ws.terminate(kSelf + 1));
    EXPECT_EQ(ws.runningApplications().size(), 1u);
    EXPECT_EQ(ws.runningApplications().size(), 1u);
    EXPECT_TRUE(ws.runningApplications().empty());
}

TEST(ScriptedWorkspace, RecordsEveryControlCallAndSendsNoSignal) {
    ScriptedWorkspace ws({{kSelf, "/Applications/Foo.app", "com.example.foo"}});
    EXPECT_TRUE(ws.terminate(kSelf));
    EXPECT_TRUE(ws.forceTerminate(kSelf));
    EXPECT_TRUE(ws.kill(kSelf));
    EXPECT_FALSE(ws.kill(4242));
    EXPECT_EQ(ws.controls(), (std::vector<ScriptedWorkspace::ControlCall>{{Control::terminate, kSelf, true},
                                                                           {Control::forceTerminate, kSelf, true},
                                                                           {Control::kill, kSelf, true},
                                                                           {Control::kill, 4242, false}}));
    EXPECT_TRUE(lists(ws, kSelf)); // never quits by default
}

TEST(ScriptedWorkspace, ScriptedChangesFireTheSubscribers) {
    pelsupport::FixedWorkspace ws; // the older name still works
    int fired = 0;
    {
        auto subscription = ws.subscribe([&] { ++fired; });
        EXPECT_EQ(ws.subscriberCount(), 1u);
        ws.set({{1000, "/Applications/Foo.app", {}}});
        ws.add({1001, "/Applications/Bar.app", {}});
        ws.remove(1000);
        ws.changed();
        EXPECT_EQ(fired, 4);
        (void)ws.runningApplications();
        EXPECT_TRUE(ws.terminate(1001));
        EXPECT_EQ(fired, 4) << "polls and controls fire nothing";
    }
    EXPECT_EQ(ws.subscriberCount(), 0u);
    ws.changed();
    EXPECT_EQ(fired, 4);
    ASSERT_EQ(ws.runningApplications().size(), 1u);
}
