#include "PelApp/QueueHarness.hpp"

#include <gtest/gtest.h>

namespace {

using pelapp::AppModelTestAccess;
using pelapp::ModelChange;
using pelapptest::QueueHarness;
using pelsupport::ScriptedWorkspace;
using Control = ScriptedWorkspace::Control;
using Quits = ScriptedWorkspace::Quits;
using Texts = std::vector<std::string>;
using namespace std::chrono_literals;

const std::string kPolite = "Quitting Foo…";
const std::string kForce = "App refused polite quit — force terminating…";
const std::string kKill = "Force killing (SIGKILL)…";
const std::string kRefused = "  · Foo refused all quit signals";

struct QuitCase {
    const char* name;
    std::optional<ScriptedWorkspace::Script> script; // none: not running
    std::optional<std::chrono::milliseconds> cancelAfter;
    std::vector<Control> controls;
    Texts texts;
    Texts phases;
    std::chrono::milliseconds waited;
    bool refusedLine;
};

// Every distinct value a text takes, in order.
void noteChange(Texts& seen, const std::optional<std::string>& text) {
    if (text && (seen.empty() || seen.back() != *text)) seen.push_back(*text);
}

TEST(QuitEscalation, StagesByHowTheApplicationQuits) {
    const std::vector<QuitCase> cases{
        {"not running", std::nullopt, std::nullopt, {}, {}, {}, 0ms, false},
        {"quits at once",
         ScriptedWorkspace::Script{Quits::onTerminate, 0},
         std::nullopt,
         {Control::terminate},
         {kPolite},
         {"Quitting Foo (polite)"},
         0ms,
         false},
        {"quits at poll 3",
         ScriptedWorkspace::Script{Quits::onTerminate, 2},
         std::nullopt,
         {Control::terminate},
         {kPolite},
         {"Quitting Foo (polite)"},
         400ms,
         false},
        {"refuses polite",
         ScriptedWorkspace::Script{Quits::onForce, 0},
         std::nullopt,
         {Control::terminate, Control::forceTerminate},
         {kPolite, kForce},
         {"Quitting Foo (polite)", "Force terminating Foo"},
         4000ms,
         false},
        {"yields to SIGKILL",
         ScriptedWorkspace::Script{Quits::onKill, 1},
         std::nullopt,
         {Control::terminate, Control::forceTerminate, Control::kill},
         {kPolite, kForce, kKill},
         {"Quitting Foo (polite)", "Force terminating Foo", "SIGKILL Foo"},
         7200ms,
         false},
        {"refuses all",
         ScriptedWorkspace::Script{Quits::never, 0},
         std::nullopt,
         {Control::terminate, Control::forceTerminate, Control::kill},
         {kPolite, kForce, kKill},
         {"Quitting Foo (polite)", "Force terminating Foo", "SIGKILL Foo"},
         9000ms,
         true},
        {"cancelled in the polite stage",
         ScriptedWorkspace::Script{Quits::never, 0},
         1000ms,
         {Control::terminate},
         {kPolite},
         {"Quitting Foo (polite)"},
         1000ms,
         false},
        {"cancelled in the forced stage",
         ScriptedWorkspace::Script{Quits::never, 0},
         5000ms,
         {Control::terminate, Control::forceTerminate},
         {kPolite, kForce},
         {"Quitting Foo (polite)", "Force terminating Foo"},
         5000ms,
         false},
    };
    for (const auto& c : cases) {
        QueueHarness h;
        auto& m = h.model;
        h.addOutdated("com.foo", "Foo");
        h.workspace.add({77, "/Applications/Other.app", "com.other"});
        if (c.script) {
            h.workspace.add({41, "/Applications/Foo.app", "com.foo"}, *c.script);
            h.workspace.add({42, "/Applications/Foo.app", "com.foo"}, *c.script);
        }
        Texts texts, phases;
        m.addObserver([&](ModelChange) {
            noteChange(texts, m.findRow("com.foo")->progressText);
            noteChange(phases, m.activePhase);
        });
        const auto start = h.executor.now();
        auto task =
            pelapp::MainTask::start(h.executor, AppModelTestAccess::quitAppEscalating(m, "com.foo", "Foo"));
        h.executor.runPending();
        for (int step = 0; step < 100 && !task.isDone(); ++step) {
            if (c.cancelAfter && h.executor.now() - start == *c.cancelAfter) {
                task.cancel();
                h.executor.runPending();
                continue;
            }
            h.executor.advance(200ms);
        }
        ASSERT_TRUE(task.isDone()) << c.name;
        EXPECT_EQ(h.executor.now() - start, c.waited) << c.name;

        std::vector<Control> controls;
        for (const auto& call : h.workspace.controls()) {
            EXPECT_NE(call.pid, 77) << c.name;
            if (call.pid == 41) controls.push_back(call.control);
        }
        EXPECT_EQ(controls, c.controls) << c.name;
        EXPECT_EQ(h.workspace.controls().size(), 2 * c.controls.size()) << c.name;
        EXPECT_EQ(texts, c.texts) << c.name;
        EXPECT_EQ(phases, c.phases) << c.name;
        EXPECT_EQ(h.logHas(kRefused), c.refusedLine) << c.name;
    }
}

TEST(QuitEscalation, TheUpdateStartsOnceTheApplicationHasQuit) {
    QueueHarness h;
    auto& m = h.model;
    h.addOutdated("com.foo", "Foo");
    h.workspace.add({41, "/Applications/Foo.app", "com.foo"}, {Quits::onTerminate, 2});
    Texts texts;
    m.addObserver([&](ModelChange) { noteChange(texts, m.findRow("com.foo")->progressText); });
    m.updateOne(*m.findRow("com.foo"), false);
    h.executor.runPending();
    EXPECT_TRUE(h.engine.updateCalls().empty());
    h.executor.advance(400ms);
    ASSERT_TRUE(h.finish("com.foo"));
    EXPECT_EQ(texts, (Texts{"Preparing…", kPolite}));
    EXPECT_EQ(m.updateLog, (Texts{"→ Foo 1.0 → 2.0", "✓ Foo: installed"}));
}

TEST(QuitEscalation, CancellingWhileQuittingNeverForcesAndNeverReachesTheEngine) {
    QueueHarness h;
    auto& m = h.model;
    h.addOutdated("com.foo", "Foo");
    h.workspace.add({41, "/Applications/Foo.app", "com.foo"}, {Quits::never, 0});
    m.updateOne(*m.findRow("com.foo"), false);
    h.executor.runPending();
    h.executor.advance(3800ms);
    m.cancelOne("com.foo");
    ASSERT_TRUE(h.idle());
    h.executor.advance(10s);
    ASSERT_EQ(h.workspace.controls().size(), 1u);
    EXPECT_EQ(h.workspace.controls()[0].control, Control::terminate);
    EXPECT_TRUE(h.engine.updateCalls().empty());
    EXPECT_EQ(m.findRow("com.foo")->progressText, "cancelled");
    EXPECT_EQ(m.updateLog, (Texts{"→ Foo 1.0 → 2.0", "· cancel requested (com.foo)", "✗ Foo: cancelled"}));
    EXPECT_FALSE(m.runningUpdate);
}

} // namespace
