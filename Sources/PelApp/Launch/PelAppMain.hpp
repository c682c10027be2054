#pragma once

#include "PelApp/Model/EngineApi.hpp"
#include "PelApp/Model/MainActor.hpp"
#include "PelKit/KillSwitch.hpp"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

class QAction;

namespace pelapp {

class AppModel;
class MainWindow;
class WindowGroup;

// "New required version <min or ?>. <message or nothing>" when the decision demands an upgrade.
std::optional<std::string> killSwitchStatus(const pelkit::KillSwitchDecision& decision);

// Reads the kill-switch document for this version ("0" without one) away from the main executor and
// shows its demand in the status line; nothing else happens, and a failed fetch is silent.
Task<void> checkKillSwitch(AppModel& model, pelkit::KillSwitchOptions options);

// What a window starts each time it is shown: the model's start-up and the kill-switch check, as two
// main tasks that do not wait for each other.
struct WindowTasks {
    MainTask bootstrap;
    MainTask killSwitch;
};
WindowTasks startWindowTasks(AppModel& model, const pelkit::KillSwitchOptions& options);

// File ▸ Rescan (Ctrl+R) on `window`, once: starts a full rescan, and is never disabled.
QAction* addRescanCommand(MainWindow& window);

// `build` (the plain engine when empty), after which the new engine removes what earlier runs left
// behind through `runAway`: by default on a detached thread (detaching a stale image runs a tool).
using BackgroundRunner = std::function<void(std::function<void()>)>;
void runDetached(std::function<void()> job);
CoreEngineFactory::Builder sweepingLeftovers(CoreEngineFactory::Builder build,
                                             BackgroundRunner runAway = runDetached);

// The application's scenes over the one model: every window of the group gets the Rescan command and
// starts its tasks when shown; the application quits when the last window closes.
class PelAppMain {
public:
    PelAppMain(AppModel& model, WindowGroup& group, pelkit::KillSwitchOptions killSwitch = {});

    // Opens the first window and brings the application to the front.
    MainWindow* openMainWindow();

    // The last writes before the process ends: the journal's queued events (with an engine), then
    // the crash client's queued reports, waiting for them at most `crashReportBound`.
    static void finishLastWrites(EngineApi* engine,
                                 std::chrono::milliseconds crashReportBound = kCrashReportFlushBound);
    static constexpr std::chrono::milliseconds kCrashReportFlushBound{2000};

    // After the event loop has ended: the last writes, then ends the process without destroying
    // anything that workers still running may touch.
    [[noreturn]] static void terminate(AppModel& model, int status);

private:
    AppModel& model_;
    WindowGroup& group_;
    pelkit::KillSwitchOptions killSwitch_;
};

} // namespace pelapp
