#include "PelApp/Telemetry/TallyBridge.hpp"

#include "PelKit/Config.hpp"
#include "Platform/Files.hpp"
#include "Tally/Runtime.hpp"
#include "Tally/Tally.hpp"

#include <QGuiApplication>
#include <QScreen>

#include <memory>

namespace pelapp {

TallyHostSetup TallyHostSetup::forApplication(platform::Executor& main, AppInfo appInfo) {
    TallyHostSetup setup;
    setup.main = &main;
    setup.appInfo = std::move(appInfo);
    setup.cachesDirectory = pelkit::PelPaths::cacheDir().filePath();
    setup.defaultsDirectory = std::filesystem::path(pelkit::PelPaths::stateDir().filePath()) / "analytics";
    return setup;
}

tally::HostInfo qtHostInfo(const AppInfo& appInfo, const tally::EnvironmentLookupFn& environment) {
    tally::HostInfo host = tally::linuxHostInfo(environment);
    host.shortVersion = appInfo.shortVersion;
    host.buildVersion = appInfo.buildVersion;
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return host;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect frame = screen->geometry(); // device-independent pixels: the frame in points
        host.mainScreen = tally::ScreenInfo{static_cast<double>(frame.height()),
                                            static_cast<double>(frame.width()), screen->devicePixelRatio()};
    }
    host.layoutDirection = QGuiApplication::layoutDirection() == Qt::LeftToRight
                               ? tally::LayoutDirection::leftToRight
                               : tally::LayoutDirection::rightToLeft;
    return host;
}

tally::Runtime tallyRuntime(const TallyHostSetup& setup) {
    tally::Runtime runtime;
    if (setup.main)
        runtime.main = std::shared_ptr<platform::Executor>(setup.main, [](platform::Executor*) {});
    if (!setup.cachesDirectory.empty()) runtime.cachesDirectory = setup.cachesDirectory;
    if (setup.transport) runtime.transport = setup.transport;
    if (!setup.defaultsDirectory.empty())
        runtime.defaults = tally::DefaultsStore::inDirectory(setup.defaultsDirectory);
    runtime.hostInfo = [appInfo = setup.appInfo] {
        return qtHostInfo(appInfo, [](const std::string& name) { return tally::environmentValue(name); });
    };
    return runtime;
}

void ApplicationEventForwarder::stateChanged(Qt::ApplicationState state) {
    const bool active = state == Qt::ApplicationActive;
    if (active == active_) return;
    active_ = active;
    events_->post(active ? tally::AppEvent::willBecomeActive : tally::AppEvent::didResignActive);
}

void ApplicationEventForwarder::aboutToQuit() {
    // Synchronous: the pending signals are written before the application goes.
    events_->post(tally::AppEvent::willTerminate);
}

void forwardApplicationEvents() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (app == nullptr) return;
    auto forwarder = std::make_shared<ApplicationEventForwarder>(
        tally::runtime().appEvents, QGuiApplication::applicationState() == Qt::ApplicationActive);
    QObject::connect(app, &QGuiApplication::applicationStateChanged, app,
                     [forwarder](Qt::ApplicationState state) { forwarder->stateChanged(state); });
    QObject::connect(app, &QCoreApplication::aboutToQuit, app, [forwarder] { forwarder->aboutToQuit(); });
}

void TallyAnalyticsClient::initialize(const std::string& appID) {
    if (setup_) {
        if (!setup_->defaultsDirectory.empty()) {
            try {
                platform::createDirectories(setup_->defaultsDirectory);
            } catch (const std::exception&) {
                // The statistics then live in memory for this run; the defaults store swallows failed writes.
            }
        }
        if (tally::install(tallyRuntime(*setup_))) forwardApplicationEvents();
        setup_.reset();
    }
    tally::Tally::initialize(std::make_shared<tally::TelemetryManagerConfiguration>(appID));
}

void TallyAnalyticsClient::signal(const std::string& name, const SignalParameters& parameters) {
    tally::Tally::signal(name, parameters);
}

} // namespace pelapp
