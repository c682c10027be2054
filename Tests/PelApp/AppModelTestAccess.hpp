#pragma once

#include "PelApp/Model/AppModel.hpp"

// The one definition of the model's test door (a friend of AppModel): the private fields and
// operations, for tests that set up or observe what the views cannot reach.
namespace pelapp {

struct AppModelTestAccess {
    static EngineApi*& engine(AppModel& m) { return m.engine; }
    static auto& queue(AppModel& m) { return m.queue; }
    static auto& activeTasks(AppModel& m) { return m.activeTasks; }
    static auto& runningObservers(AppModel& m) { return m.runningObservers; }
    static auto& dryRunByID(AppModel& m) { return m.dryRunByID; }

    static Task<void> resolveAll(AppModel& m) { return m.resolveAll(); }
    static void installRunningObservers(AppModel& m) { m.installRunningObservers(); }
    static void enqueue(AppModel& m, AppRow row, pelkit::RemoteVersion remote, bool dryRun) {
        m.enqueue(std::move(row), std::move(remote), dryRun);
    }
    static void pumpQueue(AppModel& m) { m.pumpQueue(); }
    static Task<void> doUpdate(AppModel& m, AppRow row, pelkit::RemoteVersion remote, bool dryRun,
                               EngineApi* engine) {
        return m.doUpdate(std::move(row), std::move(remote), dryRun, engine);
    }
    static void markUpdating(AppModel& m, const std::string& id, const std::string& text) {
        m.markUpdating(id, text);
    }
    static void setProgress(AppModel& m, const std::string& id, const std::string& text) {
        m.setProgress(id, text);
    }
    static void markDone(AppModel& m, const std::string& id, bool ok, const std::string& message) {
        m.markDone(id, ok, message);
    }
    static Task<void> quitAppEscalating(AppModel& m, std::string bundleID, std::string appName) {
        return m.quitAppEscalating(std::move(bundleID), std::move(appName));
    }
};

} // namespace pelapp
