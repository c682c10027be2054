#include "PelApp/RecordingAnalytics.hpp"
#include "PelApp/SinkState.hpp"
#include "PelApp/Telemetry/Scrubbing.hpp"
#include "PelApp/Telemetry/SentryBridge.hpp"
#include "Sentry/Envelope.hpp"
#include "Support/TestServer.hpp"
#include "Tally/ScriptedTransport.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <sstream>

namespace {

using pelapp::AnalyticsTelemetry;
using pelapp::ProductAnalytics;
using pelapp::SignalParameters;
using pelapptest::RecordingAnalytics;
using pelapptest::RecordingSink;
using pelkit::AppSource;
using pelkit::ErrorCode;
using pelkit::PelError;

constexpr const char* kKey = "0123456789abcdef0123456789abcdef";

PelError error(ErrorCode code, std::optional<std::string> bundleID = std::nullopt,
               std::optional<AppSource> source = std::nullopt, std::string message = "failed") {
    return PelError(code, std::move(bundleID), source, std::move(message), false);
}

// ---- Scrubbing ----

TEST(Scrubbing, HomeFirstThenLoginNameAndNothingElse) {
    struct Case {
        const char* text;
        const char* home;
        const char* login;
        const char* expected;
    };
    const Case cases[] = {
        // Home twice, the login name once more elsewhere.
        {"copy /Users/ann/a to /Users/ann/b for ann", "/Users/ann", "ann",
         "copy $HOME/a to $HOME/b for $USER"},
        // The login name inside the home path goes with it.
        {"/Users/ann/Library/ann.log", "/Users/ann", "ann", "$HOME/Library/$USER.log"},
        // A home with a trailing slash keeps the separator after "$HOME".
        {"/Users/ann/x", "/Users/ann/", "ann", "$HOME/x"},
        // Empty and "/" needles are never replaced.
        {"/opt/ann", "", "ann", "/opt/$USER"},
        {"/opt/ann", "/", "", "/opt/ann"},
        {"/Users/ann/x", "/Users/ann", "/", "$HOME/x"},
        {"", "/Users/ann", "ann", ""},
        // A login name found in "$HOME" itself leaves the mark alone.
        {"/home/HOME/x HOME", "/home/HOME", "HOME", "$HOME/x $USER"},
        {"/home/O/x", "/home/O", "O", "$HOME/x"},
        // Nothing to replace; other users' folders stay.
        {"/Users/annabel", "/Users/bob", "bob", "/Users/annabel"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pelapp::scrubPersonalText(c.text, c.home, c.login), c.expected)
            << c.text << " | " << c.home << " | " << c.login;
}

TEST(Scrubbing, HookRewritesOnlyTheMessage) {
    auto hook = pelapp::makeScrubbingHook([] { return std::filesystem::path("/Users/ann"); },
                                          [] { return std::string("ann"); });
    sentry::Event event;
    event.message = "no room in /Users/ann/Downloads for ann";
    event.tags = {{"path", "/Users/ann/x"}};
    event.fingerprint = {"ENV_DISK_FULL", "ann"};
    auto out = hook(event);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->message, "no room in $HOME/Downloads for $USER");
    EXPECT_EQ(out->tags, event.tags);
    EXPECT_EQ(out->fingerprint, event.fingerprint);

    sentry::Event silent;
    silent.tags = {{"k", "/Users/ann"}};
    auto kept = hook(silent);
    ASSERT_TRUE(kept) << "the hook never drops an event";
    EXPECT_FALSE(kept->message);
    EXPECT_EQ(kept->tags, silent.tags);
}

TEST(Scrubbing, LoginNameFromThePasswordDatabaseOrEmpty) {
    EXPECT_EQ(pelapp::passwordDatabaseName(0), "root");
    EXPECT_EQ(pelapp::currentLoginName([](uid_t) { return std::optional<std::string>("ann"); }), "ann");
    EXPECT_EQ(pelapp::currentLoginName([](uid_t) { return std::optional<std::string>(); }), "");
    EXPECT_EQ(pelapp::currentLoginName(pelapp::passwordDatabaseName),
              pelapp::passwordDatabaseName(::getuid()));
}

// ---- Crash-report sink ----

TEST(SentryInit, ReleaseNameWithZeroForEachMissingVersion) {
    EXPECT_EQ(pelapp::sentryReleaseName({"1.2.3", "45", ""}), "pelloran@1.2.3+build.45");
    EXPECT_EQ(pelapp::sentryReleaseName({}), "pelloran@0+build.0");
    const auto options = pelapp::sentryOptions({"2.0", std::nullopt, ""}, {});
    EXPECT_EQ(options.releaseName, "pelloran@2.0+build.0");
    EXPECT_EQ(options.environment, "release");
    EXPECT_EQ(options.tracesSampleRate, 0.1);
    EXPECT_TRUE(options.attachStacktrace);
    EXPECT_FALSE(options.sendDefaultPii);
    EXPECT_TRUE(options.beforeSend);
}

std::size_t threadCount() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                                  std::filesystem::directory_iterator{}));
}

TEST(SentryInit, WithoutConsentInstallsNoopAndStartsNothingNew) {
    pelapptest::SinkStateGuard guard;
    pelkit::Telemetry::setImpl(std::make_shared<RecordingSink>());
    pelapp::SentryInit::start(false, {"1.0", "1", ""}, {});
    EXPECT_TRUE(std::dynamic_pointer_cast<pelkit::NoopTelemetry>(pelkit::Telemetry::impl()));

    // In a process of its own, where no test has started a client: with a valid project address and
    // a transport that records, nothing starts and nothing is sent, whatever is reported.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            tallytest::ScriptedTransport transport(platform::systemClock());
            pelapp::SentryInitOptions options;
            options.dsn = std::string("https://") + kKey + "@127.0.0.1:1/7";
            options.transport = &transport;
            const std::size_t threadsBefore = threadCount();
            pelapp::SentryInit::start(false, {"1.0", "1", ""}, options);
            pelkit::Telemetry::impl()->captureError(error(ErrorCode::SEC_SIGNATURE_INVALID, "com.a"), {});
            pelkit::Telemetry::impl()->breadcrumb("scan", "started", pelkit::Json::object());
            const bool noClient = !sentry::SDK::isStarted() && !sentry::SDK::capture(sentry::Event{});
            sentry::SDK::flush(std::chrono::milliseconds(100));
            const bool quiet = transport.calls().empty() && threadCount() == threadsBefore;
            std::exit(noClient && quiet ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Starts a process-wide crash client that records each event and sends nothing.
class CapturedEvents {
public:
    CapturedEvents() {
        sentry::Options options;
        options.dsn = std::string("https://") + kKey + "@127.0.0.1:1/7";
        options.beforeSend = [state = state_](sentry::Event event) -> std::optional<sentry::Event> {
            std::lock_guard lock(state->mutex);
            state->events.push_back(std::move(event));
            return std::nullopt;
        };
        sentry::SDK::start(options);
    }
    std::vector<sentry::Event> events() const {
        std::lock_guard lock(state_->mutex);
        return state_->events;
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<sentry::Event> events;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

TEST(SentryTelemetry, LevelByClassAndFingerprintOfCodeAndBundle) {
    struct Case {
        ErrorCode code;
        std::optional<std::string> bundleID;
        sentry::Level level;
        std::vector<std::string> fingerprint;
    };
    const Case cases[] = {
        {ErrorCode::SEC_SIGNATURE_INVALID, "com.a", sentry::Level::error, {"SEC_SIGNATURE_INVALID", "com.a"}},
        {ErrorCode::SEC_TEAMID_MISMATCH, "com.a", sentry::Level::error, {"SEC_TEAMID_MISMATCH", "com.a"}},
        {ErrorCode::ENV_DISK_FULL, "com.b", sentry::Level::warning, {"ENV_DISK_FULL", "com.b"}},
        {ErrorCode::NET_TIMEOUT, std::nullopt, sentry::Level::warning, {"NET_TIMEOUT", "unknown"}},
    };
    pelapptest::SinkStateGuard guard;
    CapturedEvents captured;
    pelkit::Telemetry::setImpl(std::make_shared<pelapp::SentryTelemetry>());
    for (const auto& c : cases)
        pelkit::Telemetry::captureError(error(c.code, c.bundleID, AppSource::sparkle, "went wrong"),
                                        {{"step", "x"}});

    const auto events = captured.events();
    ASSERT_EQ(events.size(), std::size(cases));
    for (std::size_t i = 0; i < events.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(std::string(pelkit::rawValue(c.code)));
        EXPECT_EQ(events[i].level, c.level);
        EXPECT_EQ(events[i].fingerprint, c.fingerprint);
        EXPECT_EQ(events[i].message, "went wrong");
        EXPECT_EQ(events[i].tags.at("code"), pelkit::rawValue(c.code));
        EXPECT_EQ(events[i].tags.at("source"), "sparkle");
        EXPECT_EQ(events[i].tags.at("step"), "x");
        EXPECT_EQ(events[i].tags.count("bundleID"), c.bundleID ? 1u : 0u);
    }
}

TEST(SentryTelemetry, BreadcrumbAtLevelInfoWithItsData) {
    pelapptest::SinkStateGuard guard;
    CapturedEvents captured;
    pelapp::SentryTelemetry sink;
    sink.breadcrumb("scan", "started", {{"count", 3}});
    sink.captureError(error(ErrorCode::NET_TIMEOUT), {});
    const auto events = captured.events();
    ASSERT_EQ(events.size(), 1u);
    ASSERT_EQ(events[0].breadcrumbs.size(), 1u);
    const auto& crumb = events[0].breadcrumbs[0];
    EXPECT_EQ(crumb.category, "scan");
    EXPECT_EQ(crumb.message, "started");
    EXPECT_EQ(crumb.level, sentry::Level::info);
    EXPECT_EQ(crumb.data, (platform::Json{{"count", 3}}));
}

std::vector<std::string> lines(const std::string& body) {
    std::vector<std::string> out;
    std::istringstream in(body);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

TEST(SentryTelemetry, FailedUpdateReachesTheServerAsAScrubbedEnvelope) {
    pelapptest::SinkStateGuard guard;
    pelsupport::TestServer server;
    server.script("/api/42/envelope/", {pelsupport::Reply::ok("{}")});
    const std::string dsn =
        std::string("https://") + kKey + "@127.0.0.1:" + std::to_string(server.port()) + "/42";
    pelapp::SentryInitOptions options;
    options.dsn = dsn;
    options.caFile = server.caFile();
    options.home = [] { return std::filesystem::path("/Users/ann"); };
    options.loginName = [] { return std::string("ann"); };
    pelapp::SentryInit::start(true, {"1.2.3", "45", ""}, options);
    ASSERT_TRUE(std::dynamic_pointer_cast<pelapp::SentryTelemetry>(pelkit::Telemetry::impl()));

    pelkit::Telemetry::captureError(error(ErrorCode::ENV_DISK_FULL, "com.a", AppSource::homebrew,
                                          "no room in /Users/ann/Downloads for ann"));
    ASSERT_TRUE(sentry::SDK::flush(std::chrono::seconds(60)));

    const auto requests = server.requests("/api/42/envelope/");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].header("X-Sentry-Auth"),
              std::string("Sentry sentry_version=7, sentry_key=") + kKey + ", sentry_client=" +
                  std::string(sentry::clientName) + "/" + std::string(sentry::clientVersion));

    const std::string& body = requests[0].body;
    ASSERT_FALSE(body.empty());
    EXPECT_EQ(body.back(), '\n');
    const auto parts = lines(body);
    ASSERT_EQ(parts.size(), 3u) << body;
    const auto header = platform::Json::parse(parts[0]);
    const auto event = platform::Json::parse(parts[2]);
    EXPECT_EQ(parts[1], "{\"type\":\"event\",\"length\":" + std::to_string(parts[2].size()) + "}");
    EXPECT_EQ(header.at("dsn"), dsn);
    EXPECT_EQ(header.at("event_id"), event.at("event_id"));
    EXPECT_EQ(event.at("event_id").get<std::string>().size(), 32u);
    EXPECT_EQ(event.at("platform"), "native");
    EXPECT_EQ(event.at("level"), "warning");
    EXPECT_EQ(event.at("message"), (platform::Json{{"formatted", "no room in $HOME/Downloads for $USER"}}));
    EXPECT_EQ(event.at("fingerprint"), (platform::Json{"ENV_DISK_FULL", "com.a"}));
    EXPECT_EQ(event.at("tags"), (platform::Json{{"bundleID", "com.a"},
                                                {"class", "localEnv"},
                                                {"code", "ENV_DISK_FULL"},
                                                {"source", "homebrew"}}));
    EXPECT_EQ(event.at("release"), "pelloran@1.2.3+build.45");
    EXPECT_EQ(event.at("environment"), "release");
    EXPECT_EQ(body.find("/Users/ann"), std::string::npos);
}

// ---- Analytics sink and send rule ----

TEST(ProductAnalytics, SendRuleDropsTheFiveKeysAndHonoursTheFlag) {
    pelapptest::SinkStateGuard guard;
    RecordingAnalytics client;
    const SignalParameters all{{"path", "/a"},        {"url", "https://x"}, {"message", "m"},
                               {"bundleID", "com.a"}, {"sourceToken", "t"}, {"version", "1.0"},
                               {"code", "X"}};
    ProductAnalytics::send(client, "sig", all);
    ProductAnalytics::enabled = false;
    ProductAnalytics::send(client, "off", all);
    const auto signals = client.signals();
    ASSERT_EQ(signals.size(), 1u);
    EXPECT_EQ(signals[0], (RecordingAnalytics::Signal{"sig", {{"version", "1.0"}, {"code", "X"}}}));
}

TEST(AnalyticsTelemetry, InnerFirstThenTheErrorSignalWithoutIdentifiers) {
    pelapptest::SinkStateGuard guard;
    auto inner = std::make_shared<RecordingSink>();
    auto client = std::make_shared<RecordingAnalytics>();
    pelkit::Telemetry::setImpl(std::make_shared<AnalyticsTelemetry>(inner, client));

    pelkit::Telemetry::captureError(error(ErrorCode::SEC_TEAMID_MISMATCH, "com.a", AppSource::sparkle),
                                    {{"path", "/Applications/A.app"}});
    pelkit::Telemetry::captureError(error(ErrorCode::ENV_DISK_FULL, "com.b"));
    pelkit::Telemetry::breadcrumb("c", "m", platform::Json::object());

    ASSERT_EQ(inner->errors().size(), 2u);
    EXPECT_EQ(inner->errors()[0].tags.at("path"), "/Applications/A.app") << "the inner sink gets every tag";
    EXPECT_EQ(inner->breadcrumbs().size(), 1u);
    const auto signals = client->signals();
    ASSERT_EQ(signals.size(), 2u) << "breadcrumbs send nothing";
    EXPECT_EQ(signals[0],
              (RecordingAnalytics::Signal{
                  "error", {{"code", "SEC_TEAMID_MISMATCH"}, {"class", "safety"}, {"source", "sparkle"}}}));
    EXPECT_EQ(signals[1],
              (RecordingAnalytics::Signal{
                  "error", {{"code", "ENV_DISK_FULL"}, {"class", "localEnv"}, {"source", "unknown"}}}));
}

TEST(AnalyticsTelemetry, AnalyticsOffStillCallsTheInnerSink) {
    pelapptest::SinkStateGuard guard;
    auto inner = std::make_shared<RecordingSink>();
    auto client = std::make_shared<RecordingAnalytics>();
    ProductAnalytics::enabled = false;
    AnalyticsTelemetry sink(inner, client);
    sink.captureError(error(ErrorCode::NET_TIMEOUT), {});
    EXPECT_EQ(inner->errors().size(), 1u);
    EXPECT_TRUE(client->signals().empty());
}

} // namespace
