#include "PelApp/Telemetry/TallyBridge.hpp"
#include "Platform/ManualExecutor.hpp"
#include "Support/TempDir.hpp"
#include "Tally/CapturingPipeline.hpp"
#include "Tally/Runtime.hpp"
#include "Tally/Signals/SignalManager.hpp"
#include "Tally/Tally.hpp"
#include "Tally/TallyTestSupport.hpp"

#include <QGuiApplication>
#include <QScreen>
#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(TallyBridge, InitialisesTheClientForTheAppAndForwardsSignals) {
    tallytest::VirtualRuntime runtime;
    tallytest::CapturingPipelines pipelines;
    runtime.makePipeline = pipelines.factory();
    runtime.install();

    pelapp::TallyAnalyticsClient client;
    client.initialize("com.pelloran");
    client.signal("app.launched", {{"version", "1.2.3"}});
    runtime.executor->runPending();

    EXPECT_EQ(pipelines.creations(), 1);
    const auto signals = pipelines.signals();
    auto launched =
        std::find_if(signals.begin(), signals.end(), [](const auto& s) { return s.name == "app.launched"; });
    ASSERT_NE(launched, signals.end());
    EXPECT_EQ(launched->appID, "com.pelloran");
    EXPECT_EQ(launched->parameters.at("version"), "1.2.3");
    EXPECT_FALSE(launched->floatValue);
    EXPECT_FALSE(launched->customUserID);
    tally::Tally::terminate();
}

} // namespace

namespace {

std::optional<std::string> noEnvironment(const std::string&) {
    return std::nullopt;
}

TEST(TallyBridge, HostInformationFromQtAndTheBuild) {
    pelapp::AppInfo info;
    info.shortVersion = "1.4";
    info.buildVersion = "27";
    auto host = pelapp::qtHostInfo(info, [](const std::string& name) -> std::optional<std::string> {
        if (name == "LANG") return "de_CH.UTF-8";
        return std::nullopt;
    });
    EXPECT_EQ(host.shortVersion, "1.4");
    EXPECT_EQ(host.buildVersion, "27");
    EXPECT_EQ(host.localeIdentifier, "de_CH");
    ASSERT_TRUE(host.mainScreen);
    const QScreen* screen = QGuiApplication::primaryScreen();
    EXPECT_EQ(host.mainScreen->width, screen->geometry().width());
    EXPECT_EQ(host.mainScreen->height, screen->geometry().height());
    EXPECT_EQ(host.mainScreen->scale, screen->devicePixelRatio());
    EXPECT_EQ(host.layoutDirection, tally::LayoutDirection::leftToRight);

    QGuiApplication::setLayoutDirection(Qt::RightToLeft);
    host = pelapp::qtHostInfo(info, noEnvironment);
    QGuiApplication::setLayoutDirection(Qt::LeftToRight);
    EXPECT_EQ(host.layoutDirection, tally::LayoutDirection::rightToLeft);
    EXPECT_FALSE(host.modelIdentifier || host.appearance || host.universalAccess);
}

TEST(TallyBridge, RuntimeKeepsTheClientInTheApplicationsFolders) {
    pelsupport::TempDir dir;
    platform::ManualExecutor gui;
    pelapp::TallyHostSetup setup;
    setup.main = &gui;
    setup.appInfo.shortVersion = "2.0";
    setup.cachesDirectory = dir / "cache";
    setup.defaultsDirectory = dir / "state/analytics";
    tally::Runtime runtime = pelapp::tallyRuntime(setup);
    EXPECT_EQ(runtime.main.get(), &gui);
    EXPECT_EQ(runtime.cachesDirectory, dir / "cache");
    ASSERT_TRUE(runtime.defaults);
    EXPECT_EQ(runtime.defaults->root(), dir / "state/analytics");
    EXPECT_FALSE(runtime.makePipeline); // the client's own pipeline
    EXPECT_EQ(runtime.hostInfo().shortVersion, "2.0");
}

TEST(TallyBridge, ApplicationStatesBecomeActivityEvents) {
    auto events = std::make_shared<tally::AppEvents>();
    std::vector<std::string> seen;
    auto record = [&](tally::AppEvent event, const char* name) {
        return events->subscribe(event, [&seen, name] { seen.push_back(name); });
    };
    auto a = record(tally::AppEvent::willBecomeActive, "active");
    auto b = record(tally::AppEvent::didResignActive, "resign");
    auto c = record(tally::AppEvent::willTerminate, "terminate");
    pelapp::ApplicationEventForwarder forwarder(events, true);
    for (auto state : {Qt::ApplicationActive, Qt::ApplicationInactive, Qt::ApplicationHidden,
                       Qt::ApplicationActive, Qt::ApplicationSuspended}) {
        forwarder.stateChanged(state);
    }
    forwarder.aboutToQuit();
    EXPECT_EQ(seen, (std::vector<std::string>{"resign", "active", "resign", "terminate"}));
}

TEST(TallyBridge, QuittingBacksUpThePendingSignals) {
    pelsupport::TempDir caches;
    tallytest::VirtualRuntime runtime;
    runtime.makePipeline = tally::makeSignalManager;
    runtime.install(caches.path());
    pelapp::TallyAnalyticsClient client;
    client.initialize("com.pelloran");
    client.signal("app.launched", {});
    runtime.executor->runPending();
    pelapp::ApplicationEventForwarder(runtime.appEvents, true).aboutToQuit();
    const auto backup = platform::Json::parse(pelsupport::readText(caches / "telemetrysignalcache"));
    ASSERT_EQ(backup.size(), 1u);
    EXPECT_EQ(backup[0].at("type"), "app.launched");
    EXPECT_EQ(backup[0].at("payload").at("Tally.Device.screenResolutionWidth"),
              "N/A"); // the test's host info
    tally::Tally::terminate();
}

} // namespace
