#include "PelApp/Launch/AppDelegate.hpp"
#include "PelApp/Launch/PelAppMain.hpp"
#include "PelApp/ModelHarness.hpp"
#include "PelApp/QtTestApp.hpp"
#include "PelApp/RecordingAnalytics.hpp"
#include "PelApp/RunUntil.hpp"
#include "PelApp/ScanHarness.hpp"
#include "PelApp/SinkState.hpp"
#include "PelApp/Views/MainWindow.hpp"
#include "PelApp/Views/WindowGroup.hpp"
#include "Support/TestServer.hpp"

#include <QAction>
#include <QGuiApplication>
#include <QMenu>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace {

using pelapp::AnalyticsTelemetry;
using pelapp::AppDelegate;
using pelapptest::RecordingAnalytics;
using pelkit::Telemetry;

// ---- Consent and the sink chain ----

enum class Chain { analyticsOverSentry, analyticsOverNoop, sentry, noop };

Chain chainOf(const std::shared_ptr<pelkit::TelemetrySink>& sink) {
    if (auto analytics = std::dynamic_pointer_cast<AnalyticsTelemetry>(sink)) {
        if (std::dynamic_pointer_cast<pelapp::SentryTelemetry>(analytics->inner()))
            return Chain::analyticsOverSentry;
        EXPECT_TRUE(std::dynamic_pointer_cast<pelkit::NoopTelemetry>(analytics->inner()));
        return Chain::analyticsOverNoop;
    }
    if (std::dynamic_pointer_cast<pelapp::SentryTelemetry>(sink)) return Chain::sentry;
    EXPECT_TRUE(std::dynamic_pointer_cast<pelkit::NoopTelemetry>(sink));
    return Chain::noop;
}

pelapp::SentryInitOptions offlineCrashReporting() {
    pelapp::SentryInitOptions options;
    options.dsn = ""; // started, but nothing leaves the machine
    return options;
}

TEST(LaunchSequence, ConsentDecidesTheSinkChainAndTheLaunchSignal) {
    struct Case {
        bool telemetry;
        bool analytics;
        Chain chain;
    };
    const Case cases[] = {
        {true, true, Chain::analyticsOverSentry},
        {false, true, Chain::analyticsOverNoop},
        {true, false, Chain::sentry},
        {false, false, Chain::noop},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "telemetry " << c.telemetry << ", analytics " << c.analytics);
        pelapptest::SinkStateGuard guard;
        auto defaults = platform::Defaults::inMemory();
        defaults.setBoolean(pelapp::kTelemetryConsentKey, c.telemetry);
        defaults.setBoolean(pelapp::kAnalyticsConsentKey, c.analytics);
        auto client = std::make_shared<RecordingAnalytics>();
        AppDelegate(defaults, {"1.2.3", "45", ""}, client, offlineCrashReporting())
            .applicationDidFinishLaunching();

        EXPECT_EQ(chainOf(Telemetry::impl()), c.chain);
        EXPECT_EQ(pelapp::ProductAnalytics::enabled.load(), c.analytics);
        if (c.analytics) {
            EXPECT_EQ(client->appIDs(), std::vector<std::string>{"com.pelloran"});
            EXPECT_EQ(client->signals(),
                      (std::vector<RecordingAnalytics::Signal>{{"app.launched", {{"version", "1.2.3"}}}}));
        } else {
            EXPECT_TRUE(client->appIDs().empty()) << "the client is never initialised";
            EXPECT_TRUE(client->signals().empty());
        }
    }
}

TEST(LaunchSequence, ValuesThatAreNoBooleanCountAsConsent) {
    pelapptest::SinkStateGuard guard;
    auto defaults = platform::Defaults::inMemory();
    defaults.setString(pelapp::kTelemetryConsentKey, "false");
    defaults.setInteger(pelapp::kAnalyticsConsentKey, 0);
    auto consent = pelapp::readConsent(defaults);
    EXPECT_TRUE(consent.telemetry);
    EXPECT_TRUE(consent.analytics);
    consent = pelapp::readConsent(platform::Defaults::inMemory());
    EXPECT_TRUE(consent.telemetry && consent.analytics) << "missing values count as consent";

    auto client = std::make_shared<RecordingAnalytics>();
    AppDelegate(defaults, {}, client, offlineCrashReporting()).applicationDidFinishLaunching();
    EXPECT_EQ(chainOf(Telemetry::impl()), Chain::analyticsOverSentry);
    EXPECT_EQ(client->signals(),
              (std::vector<RecordingAnalytics::Signal>{{"app.launched", {{"version", "?"}}}}));
}

TEST(LaunchSequence, FailedUpdatesReachAnalyticsWithCrashReportingOff) {
    pelapptest::SinkStateGuard guard;
    auto defaults = platform::Defaults::inMemory();
    defaults.setBoolean(pelapp::kTelemetryConsentKey, false);
    auto client = std::make_shared<RecordingAnalytics>();
    AppDelegate(defaults, {"1.0", "1", ""}, client, offlineCrashReporting()).applicationDidFinishLaunching();
    Telemetry::captureError(pelkit::PelError(pelkit::ErrorCode::ENV_DISK_FULL, "com.a",
                                             pelkit::AppSource::homebrew, "no room", false));
    const auto signals = client->signals();
    ASSERT_EQ(signals.size(), 2u);
    EXPECT_EQ(signals[1],
              (RecordingAnalytics::Signal{
                  "error", {{"code", "ENV_DISK_FULL"}, {"class", "localEnv"}, {"source", "homebrew"}}}));
}

TEST(AppDefaults, PreferencesFileInTheStateFolderSharedByEveryHandle) {
    pelsupport::TempDir dir("pel-app-prefs");
    pelkit::testing::ScopedHomeOverride home(dir / "home");
    auto first = pelapp::appDefaults();
    first.setBoolean(pelapp::kAnalyticsConsentKey, false);
    EXPECT_EQ(first.path(), dir / "home/.local/state/pel/preferences.json");
    EXPECT_TRUE(std::filesystem::exists(first.path()));
    EXPECT_EQ(pelapp::appDefaults().boolean(pelapp::kAnalyticsConsentKey), false);
    EXPECT_FALSE(pelapp::readConsent(pelapp::appDefaults()).analytics);
}

// ---- Kill switch ----

TEST(KillSwitchCheck, StatusTextOnlyWhenAnUpgradeIsDemanded) {
    pelkit::KillSwitchDecision d;
    d.minVersion = "2.0";
    d.message = "Please update.";
    EXPECT_EQ(pelapp::killSwitchStatus(d), std::nullopt);
    d.forceUpgrade = true;
    EXPECT_EQ(pelapp::killSwitchStatus(d), "New required version 2.0. Please update.");
    d.message.reset();
    EXPECT_EQ(pelapp::killSwitchStatus(d), "New required version 2.0. ");
    d.minVersion.reset();
    EXPECT_EQ(pelapp::killSwitchStatus(d), "New required version ?. ");
}

class KillSwitchServerTest : public ::testing::Test {
protected:
    pelkit::KillSwitchOptions options() const {
        pelkit::KillSwitchOptions o;
        o.baseURL = server.baseUrl();
        o.caFile = server.caFile();
        return o;
    }
    // Runs the check for a model of `info` and answers the status line it leaves.
    std::string statusAfterCheck(const pelapp::AppInfo& info) {
        pelapp::AppModel model(h.executor, h.factory, h.workspace, h.urls, info);
        auto task = pelapp::MainTask::start(h.executor, pelapp::checkKillSwitch(model, options()));
        EXPECT_TRUE(pelapptest::runUntil(h.executor, [&] { return task.isDone(); }));
        return model.statusMessage;
    }

    pelsupport::TestServer server;
    pelapptest::ModelHarness h;
};

TEST_F(KillSwitchServerTest, DocumentsFromTheServerBecomeTheStatusLine) {
    struct Case {
        std::vector<pelsupport::Reply> replies;
        const char* expected;
    };
    using pelsupport::Reply;
    const Case cases[] = {
        {{Reply::ok(R"({"forceUpgrade":true,"minVersion":"2.0","message":"Please update."})")},
         "New required version 2.0. Please update."},
        {{Reply::ok(R"({"forceUpgrade":true,"minVersion":"2.0"})")}, "New required version 2.0. "},
        {{Reply::ok(R"({"forceUpgrade":false,"minVersion":"2.0","message":"x"})")}, "Ready"},
        {{Reply::ok(R"({"forceUpgrade":true,"minVersion":"1.0","message":"x"})")}, "Ready"},
        {{Reply::withStatus(500, R"({"forceUpgrade":true,"minVersion":"2.0"})")}, "Ready"},
        {{Reply::ok("not json")}, "Ready"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        server.script("/killswitch.json", c.replies);
        EXPECT_EQ(statusAfterCheck({"1.2.3", "45", ""}), c.expected);
    }
    EXPECT_EQ(server.requests("/killswitch.json").size(), std::size(cases));
}

TEST_F(KillSwitchServerTest, AModelWithoutVersionAsksAsVersionZero) {
    server.script("/killswitch.json", {pelsupport::Reply::ok(R"({"forceUpgrade":true,"minVersion":"0.5"})")});
    EXPECT_EQ(statusAfterCheck({}), "New required version 0.5. ");
    EXPECT_EQ(statusAfterCheck({"1.2.3", "45", ""}), "Ready");
}

TEST_F(KillSwitchServerTest, AnUnreachableServerChangesNothing) {
    pelkit::KillSwitchOptions o = options();
    {
        pelsupport::TestServer gone;
        o.baseURL = gone.baseUrl();
    }
    pelapp::AppModel model(h.executor, h.factory, h.workspace, h.urls, {"1.2.3", "45", ""});
    auto task = pelapp::MainTask::start(h.executor, pelapp::checkKillSwitch(model, o));
    ASSERT_TRUE(pelapptest::runUntil(h.executor, [&] { return task.isDone(); }));
    EXPECT_EQ(model.statusMessage, "Ready");
}

// ---- Window tasks ----

// Holds each request until the test lets one more through, then answers `reply`.
class Gate {
public:
    explicit Gate(pelsupport::Reply reply) : reply_(std::move(reply)) {}
    pelsupport::Reply pass() {
        std::unique_lock lock(mutex_);
        ++arrived_;
        changed_.wait(lock, [&] { return opened_ > passed_; });
        ++passed_;
        return reply_;
    }
    void openOnce() {
        std::lock_guard lock(mutex_);
        ++opened_;
        changed_.notify_all();
    }
    int arrived() const {
        std::lock_guard lock(mutex_);
        return arrived_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    pelsupport::Reply reply_;
    int arrived_ = 0;
    int opened_ = 0;
    int passed_ = 0;
};

// A kill-switch endpoint that demands version 9, one request at a time, when the test says so.
struct GatedKillSwitch {
    pelsupport::TestServer server;
    std::shared_ptr<Gate> gate =
        std::make_shared<Gate>(pelsupport::Reply::ok(R"({"forceUpgrade":true,"minVersion":"9"})"));
    GatedKillSwitch() {
        server.on("/killswitch.json", [g = gate](const pelsupport::RecordedRequest&) { return g->pass(); });
    }
    ~GatedKillSwitch() {
        for (int i = 0; i < 8; ++i)
            gate->openOnce(); // lets an unexpected request end before the server stops
    }
    pelkit::KillSwitchOptions options() const {
        pelkit::KillSwitchOptions o;
        o.baseURL = server.baseUrl();
        o.caFile = server.caFile();
        return o;
    }
};

constexpr const char* kDemand = "New required version 9. ";

TEST(WindowTasks, StartUpAndKillSwitchCheckDoNotWaitForEachOther) {
    GatedKillSwitch killSwitch;
    pelapptest::ScanHarness h;
    h.scanFinds({"com.a"});

    auto tasks = pelapp::startWindowTasks(*h.model, killSwitch.options());
    // Start-up waits for its check while the kill-switch request is unanswered: the first finishes
    // before the second, then the second finishes while start-up could not go on.
    ASSERT_TRUE(h.runUntil([&] {
        return h.engine.pendingChecks() == std::vector<std::string>{"com.a"} &&
               killSwitch.gate->arrived() == 1;
    }));
    h.engine.answerCheck("com.a", pelapptest::resolution(pelkit::Outcome::upToDate, "1.0"));
    ASSERT_TRUE(h.runUntil([&] { return tasks.bootstrap.isDone(); }));
    EXPECT_FALSE(tasks.killSwitch.isDone());
    EXPECT_EQ(h.model->statusMessage, "Ready");
    killSwitch.gate->openOnce();
    ASSERT_TRUE(h.runUntil([&] { return tasks.killSwitch.isDone(); }));
    EXPECT_EQ(h.model->statusMessage, kDemand);

    h.scanFinds({"com.b"});
    tasks = pelapp::startWindowTasks(*h.model, killSwitch.options());
    ASSERT_TRUE(h.runUntil([&] {
        return h.engine.pendingChecks() == std::vector<std::string>{"com.b"} &&
               killSwitch.gate->arrived() == 2;
    }));
    killSwitch.gate->openOnce();
    ASSERT_TRUE(h.runUntil([&] { return tasks.killSwitch.isDone(); }));
    EXPECT_FALSE(tasks.bootstrap.isDone());
    EXPECT_EQ(h.model->statusMessage, kDemand);
    h.engine.answerCheck("com.b", pelapptest::resolution(pelkit::Outcome::upToDate, "1.0"));
    ASSERT_TRUE(h.runUntil([&] { return tasks.bootstrap.isDone(); }));
}

TEST(WindowTasks, EachShownWindowStartsBothTasksAndCarriesTheRescanCommand) {
    GatedKillSwitch killSwitch;
    pelapptest::ScanHarness h;
    h.scanFinds({"com.a"});
    h.engine.setCheckReply("com.a", pelapptest::resolution(pelkit::Outcome::upToDate, "1.0"));
    pelapp::WindowGroup group(*h.model);
    pelapp::PelAppMain shell(*h.model, group, killSwitch.options());
    EXPECT_TRUE(QGuiApplication::quitOnLastWindowClosed());
    // Start-up ends first, then the demand is let through and stays in the status line.
    const auto bothTasksRan = [&](int scans, int requests) {
        EXPECT_TRUE(h.runUntil([&] {
            return h.engine.scanCount() == scans && !h.model->busy && h.model->statusMessage == "Ready" &&
                   killSwitch.gate->arrived() == requests;
        }));
        killSwitch.gate->openOnce();
        EXPECT_TRUE(h.runUntil([&] { return h.model->statusMessage == kDemand; }));
    };

    auto* window = shell.openMainWindow();
    pelapptest::flushUi();
    bothTasksRan(1, 1);

    auto* rescan = window->fileMenu()->findChild<QAction*>("rescanCommand");
    ASSERT_NE(rescan, nullptr);
    EXPECT_EQ(rescan->text(), "Rescan");
    EXPECT_EQ(rescan->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    h.model->busy = true;
    h.model->changed(pelapp::ModelChange::status);
    pelapptest::flushUi();
    EXPECT_TRUE(rescan->isEnabled()) << "the command works during a scan";
    h.model->busy = false;
    rescan->trigger();
    ASSERT_TRUE(h.runUntil([&] { return h.engine.scanCount() == 2 && !h.model->busy; }));
    ASSERT_TRUE(h.runUntil([&] { return h.model->statusMessage == "Ready"; }));

    // Showing the window again repeats both tasks, without a second command.
    window->hide();
    window->show();
    pelapptest::flushUi();
    bothTasksRan(3, 2);
    EXPECT_EQ(window->fileMenu()->findChildren<QAction*>("rescanCommand").size(), 1);

    for (auto* w : group.windows())
        delete w;
    pelapptest::flushUi();
}

} // namespace

namespace {

TEST(StartUp, TheNewEngineSweepsWhatEarlierRunsLeftBehind) {
    pelsupport::TempDir dir("pel-app-sweep");
    pelkit::testing::ScopedHomeOverride home(dir / "home");
    pelsupport::SharedTestDB db(dir / "pel.db");
    const auto tmp = dir / "tmp";
    const auto stale = tmp / "pel-0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9";
    const auto fresh = tmp / "pel-11111111-2222-4333-8444-555555555555";
    pelsupport::writeText(stale / "x", "x");
    pelsupport::writeText(fresh / "x", "x");
    const auto twoHoursAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(2);
    std::filesystem::last_write_time(stale, twoHoursAgo);

    int built = 0;
    std::vector<std::function<void()>> jobs;
    const auto build = [&](pelkit::Overrides& o, pelkit::Journal& j) {
        ++built;
        pelkit::EngineSeams seams;
        seams.temporaryRoot = tmp;
        return std::make_unique<pelkit::Engine>(o, j, std::vector<std::shared_ptr<pelkit::UpdateSource>>{},
                                                seams);
    };
    pelapp::CoreEngineFactory factory(
        pelapp::sweepingLeftovers(build, [&](std::function<void()> job) { jobs.push_back(std::move(job)); }));
    factory.make();
    factory.make();
    ASSERT_EQ(jobs.size(), 1u) << "one sweep, away from the caller";
    EXPECT_TRUE(std::filesystem::exists(stale));
    jobs[0]();
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_TRUE(std::filesystem::exists(fresh));
    EXPECT_EQ(built, 1);
}

} // namespace

namespace {

TEST(Quit, TheJournalIsWrittenOutBeforeTheProcessEnds) {
    pelapptest::ScanHarness h;
    h.startedWithRows({});
    const auto runs = h.dir / "home/.local/state/pel/runs";
    // In the child, the journal (and its writer) is made, fed and left to terminate.
    EXPECT_EXIT(
        {
            h.engine.journal().emit("quit_probe", {{"n", 1}});
            pelapp::PelAppMain::terminate(*h.model, 3);
        },
        ::testing::ExitedWithCode(3), "");
    std::string written;
    for (const auto& entry : std::filesystem::directory_iterator(runs))
        written += pelsupport::readText(entry.path());
    EXPECT_NE(written.find("\"event\":\"quit_probe\""), std::string::npos) << written;
}

} // namespace
