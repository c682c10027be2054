#include "PelApp/Launch/PelAppMain.hpp"

#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Views/MainWindow.hpp"
#include "PelApp/Views/UiKit.hpp"
#include "PelApp/Views/WindowGroup.hpp"
#include "PelKit/Journal.hpp"
#include "Sentry/Client.hpp"

#include <QAction>
#include <QApplication>
#include <QMenu>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace pelapp {

std::optional<std::string> killSwitchStatus(const pelkit::KillSwitchDecision& decision) {
    if (!decision.forceUpgrade) return std::nullopt;
    return "New required version " + decision.minVersion.value_or("?") + ". " + decision.message.value_or("");
}

Task<void> checkKillSwitch(AppModel& model, pelkit::KillSwitchOptions options) {
    const std::string version = model.appInfo().shortVersion.value_or("0");
    auto fetch = [version, options] { return pelkit::KillSwitch::fetch(version, options); };
    const std::optional<pelkit::KillSwitchDecision> decision = co_await offMain(fetch);
    if (!decision) co_return;
    if (auto status = killSwitchStatus(*decision)) {
        model.statusMessage = std::move(*status);
        model.changed(ModelChange::status);
    }
}

WindowTasks startWindowTasks(AppModel& model, const pelkit::KillSwitchOptions& options) {
    MainTask bootstrap = MainTask::start(model.executor(), model.bootstrap());
    MainTask killSwitch = MainTask::start(model.executor(), checkKillSwitch(model, options));
    return {bootstrap, killSwitch};
}

QAction* addRescanCommand(MainWindow& window) {
    constexpr const char* kName = "rescanCommand";
    if (auto* existing = window.fileMenu()->findChild<QAction*>(kName)) return existing;
    auto* command = new QAction(ui::actionText("toolbar.rescan"), window.fileMenu());
    command->setObjectName(kName);
    command->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    AppModel& model = window.model();
    QObject::connect(command, &QAction::triggered, command,
                     [&model] { MainTask::start(model.executor(), model.rescan()); });
    // After New Window, as the first command of its own group.
    window.fileMenu()->addSeparator();
    window.fileMenu()->addAction(command);
    return command;
}

void runDetached(std::function<void()> job) {
    std::thread(std::move(job)).detach();
}

CoreEngineFactory::Builder sweepingLeftovers(CoreEngineFactory::Builder build, BackgroundRunner runAway) {
    return [build = std::move(build), runAway = std::move(runAway)](pelkit::Overrides& overrides,
                                                                    pelkit::Journal& journal) {
        std::unique_ptr<pelkit::Engine> engine =
            build ? build(overrides, journal) : std::make_unique<pelkit::Engine>(overrides, journal);
        // The factory keeps the engine for the whole process.
        if (engine && runAway) runAway([e = engine.get()] { e->sweepLeftovers(); });
        return engine;
    };
}

PelAppMain::PelAppMain(AppModel& model, WindowGroup& group, pelkit::KillSwitchOptions killSwitch)
    : model_(model), group_(group), killSwitch_(std::move(killSwitch)) {
    group_.onWindowShown = [this](MainWindow& window) {
        addRescanCommand(window);
        startWindowTasks(model_, killSwitch_);
    };
    QApplication::setQuitOnLastWindowClosed(true);
}

MainWindow* PelAppMain::openMainWindow() {
    MainWindow* window = group_.openWindow();
    window->raise();
    window->activateWindow();
    return window;
}

void PelAppMain::finishLastWrites(EngineApi* engine, std::chrono::milliseconds crashReportBound) {
    if (engine) engine->journal().flush();
    // Without a started client this returns at once; a slow endpoint holds the quit no longer.
    sentry::SDK::flush(crashReportBound);
}

void PelAppMain::terminate(AppModel& model, int status) {
    finishLastWrites(model.engineApi());
    std::fflush(nullptr);
    // No destructors: update workers may still be running and hold the model, the engine and Qt.
    std::quick_exit(status);
}

} // namespace pelapp
