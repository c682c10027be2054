#include "PelApp/Launch/AppDelegate.hpp"
#include "PelApp/Launch/PelAppMain.hpp"
#include "PelApp/Launch/QuitSignals.hpp"
#include "PelApp/Launch/Sandbox.hpp"
#include "PelApp/Model/AppInfo.hpp"
#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/EngineApi.hpp"
#include "PelApp/Telemetry/TallyBridge.hpp"
#include "PelApp/Views/QtExecutor.hpp"
#include "PelApp/Views/QtUrlOpener.hpp"
#include "PelApp/Views/WindowGroup.hpp"
#include "Platform/Workspace.hpp"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // kill, a logout or Ctrl+C ends the run like closing the last window, with the last writes.
    pelapp::quitOnSignals();
    pelapp::QtExecutor executor;
    // Off macOS, a sandbox stands in for the machine's applications, servers and tools.
    std::optional<pelapp::SandboxServices> sandbox;
    if (auto config = pelapp::sandboxFromEnvironment()) sandbox = pelapp::enterSandbox(*config);
    pelapp::CoreEngineFactory engines(
        pelapp::sweepingLeftovers(sandbox ? sandbox->engineBuilder : pelapp::CoreEngineFactory::Builder{}));
    platform::ProcWorkspace workspace;
    pelapp::QtUrlOpener urls;
    pelapp::AppModelSeams seams;
    if (sandbox) seams.http = sandbox->http;
    pelapp::AppModel model(executor, engines, workspace, urls, pelapp::AppInfo::current(), seams);
    auto analytics = pelapp::TallyHostSetup::forApplication(executor, model.appInfo());
    if (sandbox) analytics.transport = sandbox->analyticsTransport; // signals stay inside the sandbox
    pelapp::AppDelegate delegate(pelapp::appDefaults(), model.appInfo(),
                                 std::make_shared<pelapp::TallyAnalyticsClient>(std::move(analytics)));
    delegate.applicationDidFinishLaunching();
    pelapp::WindowGroup group(model);
    pelapp::PelAppMain shell(model, group, sandbox ? sandbox->killSwitch : pelkit::KillSwitchOptions{});
    shell.openMainWindow();
    pelapp::PelAppMain::terminate(model, app.exec());
}
