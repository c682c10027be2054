#pragma once

#include "PelApp/AppModelTestAccess.hpp"
#include "PelApp/FakeEngine.hpp"
#include "PelApp/ModelHarness.hpp"
#include "PelApp/RunUntil.hpp"
#include "Support/ScriptedWorkspace.hpp"

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace pelapptest {

// A model whose engine is made, over virtual time, the scripted engine and a scripted workspace.
// Whatever still runs at the end is cancelled and drained, so no task outlives the test.
struct QueueHarness {
    pelsupport::ScriptedWorkspace workspace;
    platform::ManualExecutor executor;
    FakeEngine engine;
    FakeEngineFactory factory{engine};
    RecordingUrlOpener urls;
    pelapp::AppModel model{executor, factory, workspace, urls,
                           pelapp::AppInfo{"1.2.3", "45", "/opt/pelloran"}};

    QueueHarness() { pelapp::AppModelTestAccess::engine(model) = &engine; }
    // The model reads "now" from `wallClock`, which tests may step, while tasks wait in virtual time.
    explicit QueueHarness(const platform::Clock& wallClock)
        : model{executor,
                factory,
                workspace,
                urls,
                pelapp::AppInfo{"1.2.3", "45", "/opt/pelloran"},
                seamsWithClock(wallClock)} {
        pelapp::AppModelTestAccess::engine(model) = &engine;
    }
    ~QueueHarness() { drain(); }

    static pelapp::AppModelSeams seamsWithClock(const platform::Clock& clock) {
        pelapp::AppModelSeams seams;
        seams.clock = &clock;
        return seams;
    }

    // An outdated row "1.0" → "2.0" named `name`, ticked as resolution leaves it.
    pelapp::AppRow& addOutdated(const std::string& id, const std::string& name, bool ticked = true) {
        model.rows.push_back(makeRow(id, name, pelkit::Outcome::outdated, "1.0", "2.0"));
        if (ticked) model.checkedIDs.insert(id);
        return model.rows.back();
    }

    // Lets the model run until `done` holds (workers post their results meanwhile).
    bool settle(const std::function<bool()>& done) { return runUntil(executor, done); }
    bool updateWaiting(const std::string& id) {
        return settle([&] {
            auto pending = engine.pendingUpdates();
            return std::find(pending.begin(), pending.end(), id) != pending.end();
        });
    }
    bool idle() {
        return settle([&] { return pelapp::AppModelTestAccess::activeTasks(model).empty(); });
    }
    // Scripts the update of `id` to end with `message` and waits until its task is gone.
    bool finish(const std::string& id, std::string message = "installed") {
        FakeEngine::UpdateScript script;
        script.message = std::move(message);
        engine.setUpdateScript(id, script);
        return settle([&] { return !pelapp::AppModelTestAccess::activeTasks(model).contains(id); });
    }
    void drain() {
        if (!pelapp::AppModelTestAccess::activeTasks(model).empty()) {
            model.cancelAll();
            idle();
        }
        // Cancelled sleeps and tickers wake at the next turn.
        executor.runPending();
        executor.advance(std::chrono::seconds(1));
    }

    bool logHas(const std::string& line) const {
        return std::find(model.updateLog.begin(), model.updateLog.end(), line) != model.updateLog.end();
    }
};

} // namespace pelapptest
