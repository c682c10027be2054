#pragma once

#include "PelApp/Model/AppInfo.hpp"
#include "PelApp/Telemetry/AnalyticsClient.hpp"
#include "Platform/Executor.hpp"
#include "Platform/HttpTransport.hpp"
#include "Tally/AppEvents.hpp"
#include "Tally/HostInfo.hpp"

#include <Qt>

#include <filesystem>
#include <memory>
#include <optional>

namespace tally {
struct Runtime;
}

namespace pelapp {

// Where the analytics client runs and keeps its files in this application.
struct TallyHostSetup {
    // The GUI executor; it must outlive every use (the application ends with quick_exit).
    platform::Executor* main = nullptr;
    AppInfo appInfo;
    // The pending-signal backup goes here: PelPaths::cacheDir().
    std::filesystem::path cachesDirectory;
    // The client's defaults suites (session statistics, the default user): a folder in
    // PelPaths::stateDir(), created on install.
    std::filesystem::path defaultsDirectory;
    // Carries the uploads; empty: the client's own (the network). A sandboxed run gives its server's.
    std::shared_ptr<platform::HttpTransport> transport;

    // The application's own folders.
    static TallyHostSetup forApplication(platform::Executor& main, AppInfo appInfo);
};

// What the client is told about the host: the Linux values of `environment`, this build's versions,
// the primary screen's size in points and its scale, and the application's layout direction. Read on
// the GUI thread; without a GUI application the screen and direction stay absent.
tally::HostInfo qtHostInfo(const AppInfo& appInfo, const tally::EnvironmentLookupFn& environment);

// The client's runtime for `setup`; every field it does not name keeps the client's default.
tally::Runtime tallyRuntime(const TallyHostSetup& setup);

// Turns the application's state changes into the client's activity events: a change into the active
// state is willBecomeActive, one out of it didResignActive (moves between inactive states are none);
// quitting is willTerminate. Called on the GUI thread.
class ApplicationEventForwarder {
public:
    ApplicationEventForwarder(std::shared_ptr<tally::AppEvents> events, bool active)
        : events_(std::move(events)), active_(active) {}
    void stateChanged(Qt::ApplicationState state);
    void aboutToQuit();

private:
    std::shared_ptr<tally::AppEvents> events_;
    bool active_;
};

// Connects the Qt application's state changes and aboutToQuit to the installed runtime's events
// through a forwarder. Needs the Qt application object; call once on the GUI thread.
void forwardApplicationEvents();

// The analytics client library behind the application's AnalyticsClient.
class TallyAnalyticsClient final : public AnalyticsClient {
public:
    // Uses whatever runtime is installed (tests install theirs).
    TallyAnalyticsClient() = default;
    // Installs the runtime of `setup` and forwards the application's events before the first
    // initialisation.
    explicit TallyAnalyticsClient(TallyHostSetup setup) : setup_(std::move(setup)) {}

    // Installs the library's process-wide manager with the configuration of `appID` (no salt, base
    // URL or namespace; every other setting at its default).
    void initialize(const std::string& appID) override;
    // One signal without float value or custom user identifier.
    void signal(const std::string& name, const SignalParameters& parameters) override;

private:
    std::optional<TallyHostSetup> setup_;
};

} // namespace pelapp
