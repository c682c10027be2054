#include "PelApp/AppInfo.hpp"
#include "PelApp/AppModel.hpp"
#include "PelApp/EngineApi.hpp"
#include "PelApp/MainActor.hpp"
#include "PelApp/MainWindow.hpp"
#include "PelApp/QtExecutor.hpp"
#include "PelApp/QtUrlOpener.hpp"
#include "PelApp/WindowGroup.hpp"
#include "Platform/Workspace.hpp"

#include <QApplication>

namespace {

// Opens the first main window of the group; every window shown starts the model's start-up again.
void openMainWindow(pelapp::WindowGroup& group, pelapp::AppModel& model) {
    group.onWindowShown = [&model](pelapp::MainWindow&) {
        pelapp::MainTask::start(model.executor(), model.bootstrap());
    };
    group.openWindow();
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    pelapp::QtExecutor executor;
    pelapp::CoreEngineFactory engines;
    platform::ProcWorkspace workspace;
    pelapp::QtUrlOpener urls;
    pelapp::AppModel model(executor, engines, workspace, urls, pelapp::AppInfo::current());
    pelapp::WindowGroup group(model);
    openMainWindow(group, model);
    return app.exec();
}
