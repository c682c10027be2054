#include "PelApp/AppInfo.hpp"
#include "PelApp/AppModel.hpp"
#include "PelApp/EngineApi.hpp"
#include "PelApp/MainActor.hpp"
#include "PelApp/MainWindow.hpp"
#include "PelApp/QtExecutor.hpp"
#include "PelApp/QtUrlOpener.hpp"
#include "PelApp/Sandbox.hpp"
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
    // Off macOS, a sandbox stands in for the machine's applications, servers and tools.
    std::optional<pelapp::SandboxServices> sandbox;
    if (auto config = pelapp::sandboxFromEnvironment()) sandbox = pelapp::enterSandbox(*config);
    pelapp::CoreEngineFactory engines(sandbox ? sandbox->engineBuilder : pelapp::CoreEngineFactory::Builder{});
    platform::ProcWorkspace workspace;
    pelapp::QtUrlOpener urls;
    pelapp::AppModelSeams seams;
    if (sandbox) seams.http = sandbox->http;
    pelapp::AppModel model(executor, engines, workspace, urls, pelapp::AppInfo::current(), seams);
    pelapp::WindowGroup group(model);
    openMainWindow(group, model);
    return app.exec();
}
