#include "Sentry/Client.hpp"

#include "Platform/HttpTransport.hpp"
#include "Support/LoopbackPort.hpp"
#include "Support/TestServer.hpp"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <atomic>
#include <future>
#include <stdexcept>

using namespace std::chrono_literals;
using pelsupport::Reply;
using pelsupport::TestServer;
using platform::Json;

namespace {

constexpr const char* key = "0123456789abcdef0123456789abcdef";
constexpr const char* endpointPath = "/api/42/envelope/";

// Lines of an envelope body; the last one is the event.
std::vector<std::string> lines(const std::string& body) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = body.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(body.substr(start, nl - start));
    if (start < body.size()) out.push_back(body.substr(start));
    return out;
}

class SentryClientTest : public ::testing::Test {
protected:
    SentryClientTest() { server.script(endpointPath, {Reply::ok("{}")}); }

    std::string dsn() const { return fmt::format("https://{}@127.0.0.1:{}/42", key, server.port()); }

    sentry::Options options() {
        sentry::Options o;
        o.dsn = dsn();
        o.releaseName = "pelloran@1.2+build.34";
        o.environment = "release";
        o.caFile = server.caFile();
        o.clock = &clock;
        return o;
    }

    // The event JSON of every envelope the server received.
    std::vector<Json> sentEvents() {
        std::vector<Json> events;
        for (const auto& r : server.requests(endpointPath))
            events.push_back(Json::parse(lines(r.body).at(2)));
        return events;
    }

    TestServer server;
    platform::ManualClock clock; // 2023-11-14T22:13:20Z
};

TEST_F(SentryClientTest, PostsOneEnvelopeWithTheAuthHeaderToTheProjectEndpoint) {
    sentry::Client client(options());
    client.addBreadcrumb({.category = "scan", .message = "started", .data = {{"count", 3}}});
    clock.advance(5s);

    sentry::Event event;
    event.eventId = "fedcba9876543210fedcba9876543210";
    event.level = sentry::Level::warning;
    event.message = "download failed: \"Zed\" — 50%";
    event.tags = {{"code", "NET_TIMEOUT"}};
    event.fingerprint = {"NET_TIMEOUT", "dev.zed.Zed"};
    auto id = client.capture(event, [](sentry::Scope& scope) {
        scope.setTag("source", "sparkle");
        scope.setTag("code", "ignored: the event's own tag wins");
    });
    EXPECT_EQ(id, "fedcba9876543210fedcba9876543210");
    ASSERT_TRUE(client.flush(30s));

    auto requests = server.requests(endpointPath);
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.header("X-Sentry-Auth"),
              fmt::format("Sentry sentry_version=7, sentry_key={}, sentry_client=pelloran-crash/0.1.0", key));
    EXPECT_EQ(r.header("Content-Type"), "application/x-sentry-envelope");

    const std::string eventJson =
        R"({"breadcrumbs":{"values":[{"category":"scan","data":{"count":3},"level":"info",)"
        R"("message":"started","timestamp":"2023-11-14T22:13:20Z"}]},"environment":"release",)"
        R"("event_id":"fedcba9876543210fedcba9876543210","fingerprint":["NET_TIMEOUT","dev.zed.Zed"],)"
        R"("level":"warning","message":{"formatted":"download failed: \"Zed\" — 50%"},"platform":"native",)"
        R"("release":"pelloran@1.2+build.34","tags":{"code":"NET_TIMEOUT","source":"sparkle"},)"
        R"("timestamp":"2023-11-14T22:13:25Z"})";
    const std::string expected = fmt::format(
        R"({{"event_id":"fedcba9876543210fedcba9876543210","dsn":"{}","sent_at":"2023-11-14T22:13:25Z"}})"
        "\n{{\"type\":\"event\",\"length\":{}}}\n{}\n",
        dsn(), eventJson.size(), eventJson);
    EXPECT_EQ(r.body, expected);
}

TEST_F(SentryClientTest, FillsAFreshLowerCaseIdentifierForEachEvent) {
    sentry::Client client(options());
    auto first = client.capture({});
    auto second = client.capture({});
    ASSERT_TRUE(client.flush(30s));
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    auto events = sentEvents();
    ASSERT_EQ(events.size(), 2u);
    for (const auto& e : events) {
        auto id = e.at("event_id").get<std::string>();
        EXPECT_EQ(id.size(), 32u);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        EXPECT_FALSE(e.contains("message")); // an event without a message has none
    }
    EXPECT_EQ(events[0].at("event_id"), *first);
}

TEST_F(SentryClientTest, BeforeSendRewritesOrDropsTheEvent) {
    auto o = options();
    o.beforeSend = [](sentry::Event e) -> std::optional<sentry::Event> {
        if (e.message == "drop me") return std::nullopt;
        if (e.message) e.message = "scrubbed " + *e.message;
        return e;
    };
    sentry::Client client(o);
    sentry::Event keep;
    keep.message = "/home/ann";
    keep.tags = {{"bundleID", "dev.zed.Zed"}};
    sentry::Event drop;
    drop.message = "drop me";
    EXPECT_TRUE(client.capture(keep));
    EXPECT_EQ(client.capture(drop), std::nullopt);
    ASSERT_TRUE(client.flush(30s));

    auto events = sentEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].at("message").at("formatted"), "scrubbed /home/ann");
    EXPECT_EQ(events[0].at("tags").at("bundleID"), "dev.zed.Zed");
}

TEST_F(SentryClientTest, ABrokenUtf8MessageIsStillSent) {
    sentry::Client client(options());
    sentry::Event event;
    event.message = "bad byte \xff in /Applications/Zed.app";
    event.tags = {{"path", "\xc3"}};
    EXPECT_TRUE(client.capture(event));
    ASSERT_TRUE(client.flush(30s));
    auto events = sentEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].at("message").at("formatted"), "bad byte \xEF\xBF\xBD in /Applications/Zed.app");
}

TEST_F(SentryClientTest, SampleRateDecidesByTheInjectedRandomSource) {
    struct Case {
        double rate;
        double draw;
        bool sent;
    };
    const Case cases[] = {
        {1.0, 0.999999, true}, {1.0, 0.0, true},    {0.0, 0.0, false},
        {0.25, 0.2, true},     {0.25, 0.25, false}, {0.25, 0.9, false},
    };
    size_t expectedRequests = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(fmt::format("rate {} draw {}", c.rate, c.draw));
        auto o = options();
        o.sampleRate = c.rate;
        o.random = [draw = c.draw] { return draw; };
        bool hookSaw = false;
        o.beforeSend = [&](sentry::Event e) -> std::optional<sentry::Event> {
            hookSaw = true;
            return e;
        };
        sentry::Client client(o);
        EXPECT_EQ(client.capture({}).has_value(), c.sent);
        EXPECT_EQ(hookSaw, c.sent); // a sampled-out event never reaches the hook
        ASSERT_TRUE(client.flush(30s));
        if (c.sent) ++expectedRequests;
        EXPECT_EQ(server.requests(endpointPath).size(), expectedRequests);
    }
}

TEST_F(SentryClientTest, KeepsOnlyTheNewestBreadcrumbsAndSendsThemWithTheEvent) {
    auto o = options();
    o.maxBreadcrumbs = 3;
    sentry::Client client(o);
    for (int i = 1; i <= 5; ++i)
        client.addBreadcrumb({.category = "step", .message = std::to_string(i)});

    auto kept = client.breadcrumbs();
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept.front().message, "3");
    EXPECT_EQ(kept.back().message, "5");

    client.capture({});
    ASSERT_TRUE(client.flush(30s));
    auto events = sentEvents();
    ASSERT_EQ(events.size(), 1u);
    const auto& values = events[0].at("breadcrumbs").at("values");
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].at("message"), "3");
    EXPECT_EQ(values[2].at("message"), "5");
}

// Counts requests; fails the first `failures` of them with an exception of its own.
class ScriptedTransport final : public platform::HttpTransport {
public:
    using HttpTransport::perform;
    platform::HttpResponseHead perform(const platform::HttpRequest& request, platform::BodySink& sink,
                                       std::stop_token) override {
        int n = ++calls;
        if (n <= failures) throw std::runtime_error("socket exploded");
        bodies.push_back(request.body);
        platform::HttpResponseHead head;
        head.status = 200;
        sink.begin(head);
        return head;
    }
    std::atomic<int> calls{0};
    int failures = 0;
    std::vector<std::string> bodies; // read after flush only
};

TEST(SentryClient, WithoutAValidDsnNothingLeavesTheMachine) {
    for (const std::string dsn : {"", "http://abc@127.0.0.1/42", "https://127.0.0.1/42"}) {
        SCOPED_TRACE(dsn);
        ScriptedTransport transport;
        sentry::Options o;
        o.dsn = dsn;
        o.transport = &transport;
        bool hookSaw = false;
        o.beforeSend = [&](sentry::Event e) -> std::optional<sentry::Event> {
            hookSaw = true;
            return e;
        };
        sentry::Client client(o);
        EXPECT_FALSE(client.isEnabled());
        sentry::Event event;
        event.message = "boom";
        EXPECT_EQ(client.capture(event), std::nullopt);
        EXPECT_TRUE(client.flush(0ms));
        EXPECT_EQ(transport.calls, 0);
        EXPECT_FALSE(hookSaw);
    }
}

TEST_F(SentryClientTest, FailedSendsNeverReachTheCallerAndLaterEventsStillGo) {
    // An error status, then a refused connection: both swallowed.
    server.script(endpointPath, {Reply::withStatus(500, "down")});
    {
        sentry::Client client(options());
        EXPECT_TRUE(client.capture({}));
        EXPECT_TRUE(client.flush(30s));
        EXPECT_EQ(server.requests(endpointPath).size(), 1u);
    }
    {
        auto o = options();
        o.dsn = fmt::format("https://{}@127.0.0.1:{}/42", key, pelsupport::closedLoopbackPort());
        sentry::Client client(o);
        EXPECT_TRUE(client.capture({}));
        EXPECT_TRUE(client.flush(30s));
    }
    // A transport that throws does not stop the worker.
    ScriptedTransport transport;
    transport.failures = 1;
    auto o = options();
    o.transport = &transport;
    sentry::Client client(o);
    sentry::Event first, second;
    first.message = "first";
    second.message = "second";
    EXPECT_TRUE(client.capture(first));
    EXPECT_TRUE(client.capture(second));
    ASSERT_TRUE(client.flush(30s));
    EXPECT_EQ(transport.calls, 2);
    ASSERT_EQ(transport.bodies.size(), 1u);
    EXPECT_NE(transport.bodies[0].find("\"second\""), std::string::npos);
}

// Holds every send until opened; a cancelled send ends at once.
class GatedTransport final : public platform::HttpTransport {
public:
    using HttpTransport::perform;
    platform::HttpResponseHead perform(const platform::HttpRequest&, platform::BodySink&,
                                       std::stop_token stop) override {
        if (!announced.exchange(true)) started.set_value();
        std::unique_lock lock(mutex);
        gate.wait(lock, stop, [&] { return opened; });
        if (stop.stop_requested()) cancelled = true;
        return {};
    }
    void open() {
        {
            std::lock_guard lock(mutex);
            opened = true;
        }
        gate.notify_all();
    }
    std::promise<void> started; // at the first send
    std::atomic<bool> announced{false};
    std::mutex mutex;
    std::condition_variable_any gate;
    bool opened = false;
    std::atomic<bool> cancelled{false};
};

TEST(SentryClient, CaptureReturnsWhileTheSendIsStillRunning) {
    GatedTransport transport;
    sentry::Options o;
    o.dsn = "https://abc@127.0.0.1/42";
    o.transport = &transport;
    o.maxQueuedEvents = 1;
    sentry::Client client(o);
    ASSERT_TRUE(client.capture({})); // returns although the send cannot finish yet
    transport.started.get_future().wait();
    EXPECT_TRUE(client.capture({}));             // waits behind the send
    EXPECT_EQ(client.capture({}), std::nullopt); // the queue is full: dropped, not blocked on
    EXPECT_FALSE(client.flush(20ms));            // the bound is kept
    transport.open();
    EXPECT_TRUE(client.flush(60s));
    EXPECT_FALSE(transport.cancelled);
}

TEST(SentryClient, DestroyingAClientCancelsItsSend) {
    GatedTransport transport;
    auto started = transport.started.get_future();
    {
        sentry::Options o;
        o.dsn = "https://abc@127.0.0.1/42";
        o.transport = &transport;
        sentry::Client client(o);
        ASSERT_TRUE(client.capture({}));
        started.wait();
    }
    EXPECT_TRUE(transport.cancelled);
}

TEST(SentrySDK, CallsBeforeStartDoNothingAndStartMakesTheProcessClient) {
    EXPECT_FALSE(sentry::SDK::isStarted());
    EXPECT_EQ(sentry::SDK::capture({}), std::nullopt);
    sentry::SDK::addBreadcrumb({.category = "c", .message = "m"});
    EXPECT_TRUE(sentry::SDK::flush(0ms));

    ScriptedTransport* transport = new ScriptedTransport(); // outlives the process-wide client
    sentry::Options o;
    o.dsn = "https://abc@127.0.0.1/42";
    o.transport = transport;
    sentry::SDK::start(o);
    EXPECT_TRUE(sentry::SDK::isStarted());
    sentry::SDK::addBreadcrumb({.category = "c", .message = "crumb"});
    EXPECT_TRUE(sentry::SDK::capture({}, [](sentry::Scope& s) { s.setTag("k", "v"); }));
    ASSERT_TRUE(sentry::SDK::flush(30s));
    ASSERT_EQ(transport->bodies.size(), 1u);
    EXPECT_NE(transport->bodies[0].find("\"crumb\""), std::string::npos);
    EXPECT_NE(transport->bodies[0].find(R"("tags":{"k":"v"})"), std::string::npos);
}

} // namespace
