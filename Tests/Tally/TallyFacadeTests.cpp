#include "CapturingPipeline.hpp"
#include "Support/TempDir.hpp"
#include "Tally/Helpers/CryptoHashing.hpp"
#include "Tally/Tally.hpp"
#include "Tally/TelemetryManager.hpp"
#include "TallyTestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using tally::Parameters;
using tally::Tally;
using tally::TelemetryManager;
using tally::TelemetryManagerConfiguration;
using tallytest::CapturedLog;
using tallytest::CapturingPipelines;

namespace {

class TallyFacade : public ::testing::Test {
protected:
    void SetUp() override { installRuntime(); }
    void TearDown() override { Tally::terminate(); }

    void installRuntime(tally::Runtime::EnvironmentLookup environment = {},
                        std::optional<std::filesystem::path> caches = std::nullopt) {
        rt.makePipeline = pipelines.factory();
        rt.logHandler = fallbackLog.handler();
        rt.install(std::move(caches), std::move(environment));
    }

    std::shared_ptr<TelemetryManagerConfiguration> makeConfig(const std::string& appID = "com.pelloran") {
        auto config = std::make_shared<TelemetryManagerConfiguration>(appID);
        config->setLogHandler(log.handler());
        config->setSessionStatsEnabled(false);
        return config;
    }
    std::shared_ptr<TelemetryManagerConfiguration> start() {
        auto config = makeConfig();
        Tally::initialize(config);
        return config;
    }
    void advance(std::chrono::nanoseconds d) { rt.executor->advance(d); }

    tallytest::VirtualRuntime rt;
    CapturingPipelines pipelines;
    CapturedLog log;         // the configuration's handler
    CapturedLog fallbackLog; // the runtime's handler
};

const std::string kPrefixWarning =
    "ERROR Sending signal with reserved prefix 'Tally.' will cause unexpected behavior. "
    "Please use another prefix instead.";
const std::string kKeyPrefixWarning =
    "ERROR Sending parameter with reserved key prefix 'Tally.' will cause unexpected "
    "behavior. Please use another prefix instead.";
std::string nameWarning(const std::string& name) {
    return "ERROR Sending signal with reserved name '" + name +
           "' will cause unexpected behavior. Please use another name instead.";
}
std::string keyWarning(const std::string& key) {
    return "ERROR Sending parameter with reserved key '" + key +
           "' will cause unexpected behavior. Please use another key instead.";
}

struct SendCase {
    const char* label;
    std::function<void(TelemetryManagerConfiguration&)> configure;
    bool internal; // through internalSignal instead of signal
    std::string name;
    Parameters parameters;
    std::string expectedName;
    Parameters expectedParameters;
    std::vector<std::string> expectedLines;
};

TEST_F(TallyFacade, SendsApplyPrefixesDefaultsAndReservedNameWarnings) {
    const auto none = [](TelemetryManagerConfiguration&) {};
    const std::vector<SendCase> cases = {
        {"signal prefix",
         [](auto& c) { c.setDefaultSignalPrefix("App."); },
         false,
         "launched",
         {},
         "App.launched",
         {},
         {}},
        {"reserved check after the prefix",
         [](auto& c) { c.setDefaultSignalPrefix("App."); },
         false,
         "type",
         {},
         "App.type",
         {},
         {}},
        {"reserved name in other case", none, false, "Type", {}, "Type", {}, {nameWarning("Type")}},
        {"parameter prefix; Tally. keys unchanged",
         [](auto& c) { c.setDefaultParameterPrefix("my."); },
         false,
         "s",
         {{"a", "1"}, {"Tally.x", "2"}},
         "s",
         {{"my.a", "1"}, {"Tally.x", "2"}},
         {kKeyPrefixWarning}},
        {"reserved keys in other case, sent as written",
         none,
         false,
         "s",
         {{"Type", "t"}, {"APPID", "i"}},
         "s",
         {{"Type", "t"}, {"APPID", "i"}},
         {keyWarning("APPID"), keyWarning("Type")}},
        {"tally. name in any case through signal",
         none,
         false,
         "TALLY.thing",
         {},
         "TALLY.thing",
         {},
         {kPrefixWarning}},
        {"the same name through internalSignal",
         none,
         true,
         "TALLY.thing",
         {{"Tally.k", "v"}},
         "TALLY.thing",
         {{"Tally.k", "v"}},
         {}},
        {"internalSignal applies no prefix",
         [](auto& c) {
             c.setDefaultSignalPrefix("App.");
             c.setDefaultParameterPrefix("my.");
         },
         true,
         "n",
         {{"a", "1"}},
         "n",
         {{"a", "1"}},
         {}},
        {"call beats default; defaults get the parameter prefix",
         [](auto& c) {
             c.setDefaultParameterPrefix("my.");
             c.setDefaultParameters([] { return Parameters{{"k", "default"}, {"d", "1"}}; });
         },
         false,
         "s",
         {{"k", "call"}},
         "s",
         {{"my.k", "call"}, {"my.d", "1"}},
         {}},
        {"warnings off, reserved default key still reported",
         [](auto& c) {
             c.setReservedParameterWarningsEnabled(false);
             c.setDefaultParameters([] { return Parameters{{"platform", "x"}}; });
         },
         false,
         "type",
         {{"appID", "a"}, {"Tally.y", "b"}},
         "type",
         {{"appID", "a"}, {"Tally.y", "b"}, {"platform", "x"}},
         {keyWarning("platform")}},
        {"reserved default key through internalSignal",
         [](auto& c) { c.setDefaultParameters([] {
                           return Parameters{{"Tally.z", "x"}};
                       }); },
         true,
         "n",
         {},
         "n",
         {{"Tally.z", "x"}},
         {kKeyPrefixWarning}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        installRuntime();
        pipelines = CapturingPipelines();
        installRuntime();
        log = CapturedLog();
        auto config = makeConfig();
        c.configure(*config);
        Tally::initialize(config);
        if (c.internal) {
            Tally::internalSignal(c.name, c.parameters, 2.5, "user");
        } else {
            Tally::signal(c.name, c.parameters, 2.5, "user");
        }
        const auto signals = pipelines.signals();
        ASSERT_EQ(signals.size(), 1u);
        EXPECT_EQ(signals[0].name, c.expectedName);
        EXPECT_EQ(signals[0].parameters, c.expectedParameters);
        EXPECT_EQ(signals[0].floatValue, 2.5);
        EXPECT_EQ(signals[0].customUserID, "user");
        EXPECT_EQ(log.lines(), c.expectedLines);
        Tally::terminate();
    }
}

TEST_F(TallyFacade, GatesDropSilentlyBeforeDefaultsAndWarnings) {
    int defaultCalls = 0;
    auto config = start();
    config->setDefaultParameters([&] {
        ++defaultCalls;
        return Parameters{{"platform", "x"}};
    });
    config->setAnalyticsDisabled(true);
    Tally::signal("type", {{"Tally.k", "v"}});
    Tally::internalSignal("n");
    TelemetryManager::send("legacy");
    EXPECT_EQ(defaultCalls, 0);
    EXPECT_TRUE(pipelines.signals().empty());
    EXPECT_TRUE(log.lines().empty());

    config->setAnalyticsDisabled(false);
    config->setSwiftUIPreviewMode(true);
    Tally::signal("type");
    EXPECT_EQ(defaultCalls, 0);
    EXPECT_TRUE(log.lines().empty());

    // Preview mode from the environment, read on every access.
    std::string previews = "0";
    Tally::terminate();
    installRuntime([&](const std::string& name) -> std::optional<std::string> {
        if (name == "XCODE_RUNNING_FOR_PREVIEWS") return previews;
        return std::nullopt;
    });
    auto fromEnvironment = makeConfig();
    Tally::initialize(fromEnvironment);
    EXPECT_FALSE(fromEnvironment->swiftUIPreviewMode());
    previews = "1";
    EXPECT_TRUE(fromEnvironment->swiftUIPreviewMode());
    Tally::signal("s");
    EXPECT_TRUE(pipelines.signals().empty());
    // Nothing installed in a preview process: still silent.
    Tally::terminate();
    Tally::signal("s");
    EXPECT_TRUE(fallbackLog.lines().empty());
}

TEST_F(TallyFacade, WithoutAnInstalledManagerEverySendIsDroppedWithOneLine) {
    pelsupport::TempDir caches;
    const auto backup = caches / "telemetrysignalcache";
    pelsupport::writeText(backup, "[]");
    installRuntime({}, caches.path());
    auto sendAll = [] {
        Tally::signal("a");
        Tally::internalSignal("b");
        TelemetryManager::send("c");
        TelemetryManager::send("d", "user", 1.0, {{"k", "v"}});
        Tally::requestImmediateSync();
        Tally::generateNewSession();
        Tally::updateDefaultUserID("someone");
    };
    const std::vector<std::string> oneRound = {"ERROR Tally is not initialized; signal 'a' dropped",
                                               "ERROR Tally is not initialized; signal 'b' dropped",
                                               "ERROR Tally is not initialized; signal 'c' dropped",
                                               "ERROR Tally is not initialized; signal 'd' dropped"};

    EXPECT_FALSE(TelemetryManager::isInitialized());
    sendAll();
    advance(3s);
    EXPECT_EQ(pipelines.creations(), 0);
    EXPECT_EQ(fallbackLog.lines(), oneRound);

    auto config = start();
    Tally::terminate();
    sendAll();
    advance(3s);
    EXPECT_EQ(pipelines.creations(), 1);
    EXPECT_TRUE(pipelines.signals().empty());
    EXPECT_EQ(pipelines.attempts(), 0);
    EXPECT_EQ(fallbackLog.lines().size(), 2 * oneRound.size());
    EXPECT_EQ(pelsupport::readText(backup), "[]");
    EXPECT_FALSE(config->defaultUser());

    // One inert stand-in, never installed.
    auto inert = TelemetryManager::shared();
    EXPECT_TRUE(inert->isInert());
    EXPECT_EQ(inert, TelemetryManager::shared());
    EXPECT_EQ(inert->configuration()->telemetryAppID(), "");
    EXPECT_FALSE(TelemetryManager::isInitialized());
    const auto session = inert->configuration()->sessionID();
    inert->willEnterForeground();
    advance(1s);
    EXPECT_EQ(inert->configuration()->sessionID(), session);
}

TEST_F(TallyFacade, FirstSessionStepAssignsItsOwnManagersSession) {
    auto config = start();
    const auto initial = config->sessionID();
    EXPECT_EQ(initial.size(), 36u);
    advance(400ms);
    Tally::signal("early");
    advance(100ms);
    auto signals = pipelines.signals();
    ASSERT_EQ(signals.size(), 2u);
    EXPECT_EQ(signals[0].name, "early");
    EXPECT_EQ(signals[0].sessionID, initial);
    EXPECT_EQ(signals[1].name, "Tally.Session.started");
    EXPECT_NE(signals[1].sessionID, initial);
    EXPECT_EQ(signals[1].sessionID, config->sessionID());
    advance(10s);
    EXPECT_EQ(pipelines.signals().size(), 2u);
}

TEST_F(TallyFacade, FirstSessionStepOfAReleasedManagerDoesNothing) {
    auto config = start();
    const auto initial = config->sessionID();
    advance(200ms);
    Tally::terminate();
    advance(1s);
    EXPECT_TRUE(pipelines.signals().empty());
    EXPECT_EQ(config->sessionID(), initial);
    EXPECT_TRUE(fallbackLog.lines().empty());

    auto first = start();
    const auto firstSession = first->sessionID();
    advance(100ms);
    auto second = start();
    advance(1s);
    const auto signals = pipelines.signals();
    ASSERT_EQ(signals.size(), 1u);
    EXPECT_EQ(signals[0].name, "Tally.Session.started");
    EXPECT_EQ(signals[0].sessionID, second->sessionID());
    EXPECT_EQ(first->sessionID(), firstSession);
}

TEST_F(TallyFacade, EachSessionSwitchTurnsItsStepOff) {
    struct Switches {
        bool stats;
        bool began;
    };
    for (const auto s :
         {Switches{true, true}, Switches{true, false}, Switches{false, true}, Switches{false, false}}) {
        SCOPED_TRACE(::testing::Message() << "stats " << s.stats << " began " << s.began);
        pipelines = CapturingPipelines();
        installRuntime();
        auto config = makeConfig();
        config->setSessionStatsEnabled(s.stats);
        config->setSendNewSessionBeganSignal(s.began);
        Tally::initialize(config);
        advance(500ms);
        // A first session of the statistics on an empty store is a new install.
        EXPECT_EQ(pipelines.count("Tally.Acquisition.newInstallDetected"), s.stats ? 1u : 0u);
        EXPECT_EQ(pipelines.count("Tally.Session.started"), s.began ? 1u : 0u);
        const auto before = config->sessionID();
        Tally::generateNewSession();
        EXPECT_NE(config->sessionID(), before);
        EXPECT_EQ(pipelines.count("Tally.Session.started"), s.began ? 2u : 0u);
        Tally::terminate();
    }
}

TEST_F(TallyFacade, NewSessionFromAWorkerRunsItsStepsOnTheMainExecutor) {
    auto config = makeConfig();
    config->setSessionStatsEnabled(true);
    Tally::initialize(config);
    advance(500ms);
    const auto afterFirst = pipelines.signals().size();
    const auto before = config->sessionID();
    std::thread worker([] { Tally::generateNewSession(); });
    worker.join();
    EXPECT_NE(config->sessionID(), before);
    EXPECT_EQ(pipelines.signals().size(), afterFirst);
    rt.executor->runPending();
    // startNewSession ran (no session has lasted a second yet, so it reports a new install), then the signal.
    const auto signals = pipelines.signals();
    ASSERT_EQ(signals.size(), afterFirst + 2);
    EXPECT_EQ(signals[afterFirst].name, "Tally.Acquisition.newInstallDetected");
    EXPECT_EQ(signals.back().name, "Tally.Session.started");
    EXPECT_EQ(signals.back().sessionID, config->sessionID());
}

TEST_F(TallyFacade, ImmediateSyncIsSpacedByMoreThanTheTransmitInterval) {
    auto config = start();
    Tally::requestImmediateSync();
    advance(49ms);
    EXPECT_EQ(pipelines.attempts(), 0);
    advance(1ms);
    EXPECT_EQ(pipelines.attempts(), 1);
    advance(4950ms); // 5 s after the first request
    Tally::requestImmediateSync();
    advance(1s);
    EXPECT_EQ(pipelines.attempts(), 1);
    advance(4s); // exactly 10 s
    TelemetryManager::shared()->requestImmediateSync();
    advance(1s);
    EXPECT_EQ(pipelines.attempts(), 1);
    advance(1ms); // 10.001 s after the last passing request, since one at exactly 10 s does not count
    Tally::requestImmediateSync();
    advance(50ms);
    EXPECT_EQ(pipelines.attempts(), 2);

    config->setTransmitInterval(0);
    advance(1ms);
    Tally::requestImmediateSync();
    Tally::terminate(); // the manager goes before its attempt
    advance(1s);
    EXPECT_EQ(pipelines.attempts(), 2);
}

TEST_F(TallyFacade, ForegroundStartsASessionOnlyAfterMoreThanFiveMinutes) {
    auto config = start();
    advance(1s);
    auto manager = TelemetryManager::shared();
    const auto first = config->sessionID();
    manager->didEnterBackground();
    advance(300s);
    manager->willEnterForeground();
    EXPECT_EQ(config->sessionID(), first);
    manager->didEnterBackground();
    advance(301s);
    manager->willEnterForeground();
    EXPECT_NE(config->sessionID(), first);
    EXPECT_EQ(pipelines.count("Tally.Session.started"), 2u);
}

TEST_F(TallyFacade, CustomDefaultsFollowTheInstalledManager) {
    EXPECT_EQ(Tally::customDefaultsSuiteName("com.pelloran"), "com.pelloran.tally.5426f824a16b");
    EXPECT_FALSE(Tally::customDefaults());
    EXPECT_FALSE(TelemetryManager::isInitialized());
    start();
    EXPECT_TRUE(TelemetryManager::isInitialized());
    auto suite = Tally::customDefaults();
    ASSERT_TRUE(suite);
    suite->setString("k", "v");
    EXPECT_EQ(rt.defaults.suite("com.pelloran.tally.5426f824a16b").string("k"), "v");
    EXPECT_EQ(Tally::customDefaults()->string("k"), "v");
    Tally::terminate();
    EXPECT_FALSE(Tally::customDefaults());
    EXPECT_FALSE(TelemetryManager::isInitialized());
}

TEST_F(TallyFacade, DefaultUserAndLegacyForms) {
    auto config = makeConfig();
    auto salted = std::make_shared<TelemetryManagerConfiguration>("app", "pepper");
    EXPECT_EQ(salted->salt(), "pepper");
    EXPECT_EQ(config->salt(), "");
    EXPECT_EQ(config->apiBaseURL(), TelemetryManagerConfiguration::defaultBaseURL());
    config->setDefaultSignalPrefix("App.");
    Tally::initialize(config);
    auto manager = TelemetryManager::shared();
    EXPECT_EQ(manager->hashedDefaultUser(), tally::CryptoHashing::sha256("default-user", ""));

    Tally::updateDefaultUserID("someone");
    EXPECT_EQ(config->defaultUser(), "someone");
    TelemetryManager::updateDefaultUser(std::nullopt);
    EXPECT_FALSE(config->defaultUser());

    config->setTelemetryAllowDebugBuilds(true);
    EXPECT_TRUE(config->sendSignalsInDebugConfiguration());
    EXPECT_FALSE(config->testMode());
    config->setTestMode(true);

    manager->send("one", {{"k", "v"}});
    TelemetryManager::send("two", "user", 3.0, {});
    const auto signals = pipelines.signals();
    ASSERT_EQ(signals.size(), 2u);
    EXPECT_EQ(signals[0].name, "App.one");
    EXPECT_EQ(signals[0].parameters, (Parameters{{"k", "v"}}));
    EXPECT_EQ(signals[1].name, "App.two");
    EXPECT_EQ(signals[1].customUserID, "user");
    EXPECT_EQ(signals[1].floatValue, 3.0);
    EXPECT_TRUE(signals[1].testMode);
    EXPECT_EQ(signals[1].appID, "com.pelloran");
}

} // namespace
