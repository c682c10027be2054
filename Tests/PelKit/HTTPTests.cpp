#include "PelKit/HTTP.hpp"
#include "PelKit/Models.hpp"
#include "Platform/Errors.hpp"
#include "Support/TestServer.hpp"
#include "Support/VirtualSleeper.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace std::chrono_literals;
using pelkit::ErrorCode;
using pelkit::HostThrottle;
using pelkit::HTTP;
using pelkit::PelError;
using pelsupport::RecordedRequest;
using pelsupport::Reply;
using pelsupport::TestServer;
using pelsupport::VirtualSleeper;
using platform::Url;

namespace {

double secondsBetween(platform::TimePoint a, platform::TimePoint b) {
    return std::chrono::duration<double>(b - a).count();
}

// The curl transport, plus: hosts ending in ".invalid" are not found (no real lookup is made),
// and the injected clock's time of every request is kept.
class ObservedTransport final : public platform::HttpTransport {
public:
    explicit ObservedTransport(platform::Clock& clock) : clock_(clock) {}
    using HttpTransport::perform;
    platform::HttpResponseHead perform(const platform::HttpRequest& request, platform::BodySink& sink,
                                       std::stop_token stop) override {
        {
            std::lock_guard lock(mutex_);
            times_.push_back(clock_.now());
        }
        if (request.url.host().ends_with(".invalid")) {
            throw platform::TransportError(
                platform::TransportErrorKind::hostNotFound,
                std::string(platform::describe(platform::TransportErrorKind::hostNotFound)));
        }
        return real_.perform(request, sink, stop);
    }
    std::vector<platform::TimePoint> times() const {
        std::lock_guard lock(mutex_);
        return times_;
    }

private:
    platform::Clock& clock_;
    platform::CurlTransport real_;
    mutable std::mutex mutex_;
    std::vector<platform::TimePoint> times_;
};

class HTTPTest : public ::testing::Test {
protected:
    HTTPTest() : sleeper(clock), transport(clock) {
        pelkit::HTTPOptions o;
        o.caFile = server.caFile();
        o.clock = &clock;
        o.sleeper = &sleeper;
        o.transport = &transport;
        http = std::make_unique<HTTP>(o);
    }

    // Seconds on the injected clock from the first request to each request.
    std::vector<double> requestOffsets() const {
        auto t = transport.times();
        std::vector<double> out;
        for (auto x : t)
            out.push_back(secondsBetween(t.front(), x));
        return out;
    }

    PelError getFailure(const Url& url) { return getFailure(url, *http); }
    PelError getFailure(const Url& url, HTTP& client) {
        try {
            client.get(url);
        } catch (const PelError& e) {
            return e;
        }
        ADD_FAILURE() << "no PelError for " << url.text();
        return PelError(ErrorCode::SRC_NO_MATCH, std::nullopt, std::nullopt, "", false);
    }

    TestServer server;
    platform::ManualClock clock;
    VirtualSleeper sleeper;
    ObservedTransport transport;
    std::unique_ptr<HTTP> http;
};

Reply dropped() {
    Reply r = Reply::ok(std::string(10'000, 'x'));
    r.dropAfter = 100;
    return r;
}

} // namespace

// ---- throttle ----

TEST(HostThrottle, SpacesGrantsForOneHostBySecondAndLeavesOthersAlone) {
    platform::ManualClock clock;
    VirtualSleeper sleeper(clock);
    HostThrottle throttle(clock, sleeper);
    auto start = clock.now();
    throttle.acquire("a.example");
    throttle.release("a.example");
    throttle.acquire("b.example"); // another host: at once
    throttle.release("b.example");
    EXPECT_TRUE(sleeper.waits().empty());
    clock.advance(300ms);
    throttle.acquire("a.example");
    EXPECT_EQ(sleeper.waits().size(), 1u);
    EXPECT_NEAR(sleeper.waits()[0], 0.7, 1e-9);
    EXPECT_NEAR(secondsBetween(start, clock.now()), 1.0, 1e-9);
    throttle.release("a.example");
    throttle.release("a.example"); // releasing twice is harmless
    throttle.release("never.example");
}

TEST(HostThrottle, ClockSetBackCostsAtMostOneSpacing) {
    platform::ManualClock clock;
    VirtualSleeper sleeper(clock);
    HostThrottle throttle(clock, sleeper);
    throttle.acquire("a.example");
    throttle.release("a.example");
    clock.advance(-std::chrono::hours(2));
    throttle.acquire("a.example");
    EXPECT_EQ(sleeper.waits(), (std::vector<double>{1.0}));
    throttle.release("a.example");
}

TEST(HostThrottle, OneHolderPerHostTheOtherPollsUntilRelease) {
    platform::ManualClock clock;
    VirtualSleeper sleeper(clock);
    HostThrottle throttle(clock, sleeper);
    auto first = clock.now();
    throttle.acquire("h");
    std::atomic<bool> granted{false};
    platform::TimePoint secondGrant;
    std::thread second([&] {
        throttle.acquire("h");
        secondGrant = clock.now();
        granted = true;
        throttle.release("h");
    });
    // Well past the one-second spacing on the injected clock, the host is still held.
    while (sleeper.waits().size() < 30)
        std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(granted);
    EXPECT_GE(secondsBetween(first, clock.now()), 1.0);
    auto waits = sleeper.waits();
    EXPECT_NEAR(waits[0], 1.0, 1e-9);
    for (size_t i = 1; i < waits.size(); ++i)
        EXPECT_NEAR(waits[i], 0.05, 1e-9);
    throttle.release("h");
    second.join();
    EXPECT_TRUE(granted);
    EXPECT_GE(secondsBetween(first, secondGrant), 1.0);
}

TEST_F(HTTPTest, TwoGetsToOneHostRunOneAfterTheOtherOtherHostsTogether) {
    Reply slow = Reply::ok("slow");
    slow.delay = 300ms;
    server.script("/slow", {slow});
    auto a = std::async(std::launch::async, [&] { return http->get(server.url("/slow")); });
    auto b = std::async(std::launch::async, [&] { return http->get(server.url("/slow")); });
    EXPECT_EQ(a.get().data, "slow");
    EXPECT_EQ(b.get().data, "slow");
    auto seen = server.requests("/slow");
    ASSERT_EQ(seen.size(), 2u);
    // The second request left only after the first had its answer.
    EXPECT_GE(seen[1].time - seen[0].time, 300ms);
    EXPECT_GE(requestOffsets().at(1), 1.0);

    // Each answer waits until both requests are in: only requests sent together meet.
    pelsupport::Rendezvous together(2);
    server.on("/other", [&](const RecordedRequest&) {
        together.arriveAndWait();
        return Reply::ok("slower");
    });
    auto c = std::async(std::launch::async, [&] { return http->get(server.url("/other", "127.0.0.1")); });
    auto d = std::async(std::launch::async, [&] { return http->get(server.url("/other", "localhost")); });
    c.get();
    d.get();
    EXPECT_EQ(server.requests("/other").size(), 2u);
    EXPECT_TRUE(together.met()) << "the second request waited for the first one's answer";
}

// ---- get: retries ----

TEST_F(HTTPTest, RateLimitedThreeTimesWithoutRetryAfter) {
    server.script("/r", {Reply::withStatus(429)});
    PelError e = getFailure(server.url("/r"));
    EXPECT_EQ(e.code(), ErrorCode::NET_RATE_LIMITED);
    EXPECT_EQ(e.message(), "429 after 3 attempts " + server.url("/r").text());
    EXPECT_EQ(sleeper.waits(), (std::vector<double>{2, 8}));
    auto at = requestOffsets();
    ASSERT_EQ(at.size(), 3u);
    EXPECT_NEAR(at[1], 2, 1e-6);
    EXPECT_NEAR(at[2], 10, 1e-6);
    EXPECT_FALSE(e.bundleID());
    EXPECT_FALSE(e.source());
    EXPECT_FALSE(e.overrideCanFix());
}

TEST_F(HTTPTest, RetryAfterIsWaitedWhenReadableAndHeldTo32Seconds) {
    struct Case {
        const char* header;
        double firstWait;
    };
    for (auto [header, firstWait] : {Case{"5", 5}, Case{"1.5", 1.5}, Case{"0", 0}, Case{"86400", 32},
                                     Case{"Wed, 21 Oct 2015 07:28:00 GMT", 2}, Case{"-3", 2}, Case{"nan", 2},
                                     Case{"inf", 2}, Case{"1e400", 2}, Case{"5s", 2}}) {
        SCOPED_TRACE(header);
        TestServer s;
        platform::ManualClock c;
        VirtualSleeper z(c);
        pelkit::HTTPOptions o;
        o.caFile = s.caFile();
        o.clock = &c;
        o.sleeper = &z;
        HTTP client(o);
        s.script("/r", {Reply::withHeaders(429, {{"Retry-After", header}}), Reply::withStatus(429),
                        Reply::ok("in")});
        EXPECT_EQ(client.get(s.url("/r")).data, "in");
        // The stored back-off grows past a Retry-After wait as well. A wait under a second is
        // followed by the throttle's own spacing before the host is granted again.
        std::vector<double> expected{firstWait, 8};
        if (firstWait < 1) expected.insert(expected.begin() + 1, 1 - firstWait);
        EXPECT_EQ(z.waits(), expected);
    }
}

TEST_F(HTTPTest, ServerErrorThenSuccessReturnsTheSuccess) {
    server.script(
        "/s", {Reply::withStatus(503),
               Reply::ok("fine", {{"ETag", "\"e1\""}, {"Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT"}})});
    auto r = http->get(server.url("/s"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.data, "fine");
    EXPECT_EQ(r.etag, "\"e1\"");
    EXPECT_EQ(r.lastModified, "Tue, 01 Dec 2026 10:00:00 GMT");
    EXPECT_EQ(sleeper.waits(), (std::vector<double>{2}));
    EXPECT_NEAR(requestOffsets().at(1), 2, 1e-6);
}

TEST_F(HTTPTest, ThreeServerErrorsFailWithTheLastStatus) {
    server.script("/s", {Reply::withStatus(500), Reply::withStatus(502), Reply::withStatus(599)});
    PelError e = getFailure(server.url("/s"));
    EXPECT_EQ(e.code(), ErrorCode::NET_HTTP_5XX);
    EXPECT_EQ(e.message(), "599 " + server.url("/s").text());
    EXPECT_EQ(sleeper.waits(), (std::vector<double>{2, 8}));
}

TEST_F(HTTPTest, OtherStatusesAreReturnedWithoutRetry) {
    for (int status : {404, 304, 418, 600}) {
        std::string path = fmt::format("/status{}", status);
        server.script(path, {Reply::withStatus(status, "b")});
        EXPECT_EQ(http->get(server.url(path)).status, status);
        EXPECT_EQ(server.requests(path).size(), 1u);
    }
    for (double w : sleeper.waits())
        EXPECT_LE(w, 1.0); // only the throttle's spacing
}

TEST_F(HTTPTest, DroppedConnectionsAreRetriedThenTimeOut) {
    server.script("/d", {dropped()});
    PelError e = getFailure(server.url("/d"));
    EXPECT_EQ(e.code(), ErrorCode::NET_TIMEOUT);
    EXPECT_EQ(e.message(), "The network connection was lost. " + server.url("/d").text());
    EXPECT_EQ(sleeper.waits(), (std::vector<double>{2, 8}));

    // The three kinds of retry share one counter and one back-off.
    server.script("/mixed", {Reply::withStatus(503), dropped(), Reply::ok("third")});
    VirtualSleeper fresh(clock);
    pelkit::HTTPOptions o;
    o.caFile = server.caFile();
    o.clock = &clock;
    o.sleeper = &fresh;
    HTTP client(o);
    EXPECT_EQ(client.get(server.url("/mixed")).data, "third");
    EXPECT_EQ(fresh.waits(), (std::vector<double>{2, 8}));
}

TEST_F(HTTPTest, UnknownHostFailsAsDnsAfterRetries) {
    auto url = *Url::parse("https://nowhere.invalid/cask.json");
    PelError e = getFailure(url);
    EXPECT_EQ(e.code(), ErrorCode::NET_DNS);
    EXPECT_EQ(e.message(),
              "A server with the specified hostname could not be found. https://nowhere.invalid/cask.json");
    EXPECT_EQ(sleeper.waits(), (std::vector<double>{2, 8}));
    EXPECT_EQ(transport.times().size(), 3u);
}

TEST_F(HTTPTest, StallsTimeOut) {
    Reply stall = Reply::ok("abcdef");
    stall.stallAfter = 2;
    server.script("/stall", {stall});
    pelkit::HTTPOptions o;
    o.caFile = server.caFile();
    o.clock = &clock;
    o.sleeper = &sleeper;
    o.requestTimeout = 400ms;
    HTTP client(o);
    try {
        client.get(server.url("/stall"));
        FAIL();
    } catch (const PelError& e) {
        EXPECT_EQ(e.code(), ErrorCode::NET_TIMEOUT);
        EXPECT_EQ(e.message(), "The request timed out. " + server.url("/stall").text());
    }
}

// ---- get: refusals ----

TEST_F(HTTPTest, BodiesOverTheLimitAreRefusedWithoutRetry) {
    pelkit::HTTPOptions o;
    o.caFile = server.caFile();
    o.clock = &clock;
    o.sleeper = &sleeper;
    o.maxBodyBytes = 1000;
    HTTP client(o);
    struct Case {
        const char* path;
        size_t size;
        bool chunked;
        bool fits;
    };
    for (auto [path, size, chunked, fits] :
         {Case{"/at-limit", 1000, false, true}, Case{"/over", 1001, false, false},
          Case{"/chunked-at-limit", 1000, true, true}, Case{"/chunked-over", 50'000, true, false}}) {
        SCOPED_TRACE(path);
        Reply reply = Reply::ok(std::string(size, 'b'));
        reply.chunked = chunked;
        server.script(path, {reply});
        if (fits) {
            EXPECT_EQ(client.get(server.url(path)).data.size(), size);
        } else {
            PelError e = getFailure(server.url(path), client);
            EXPECT_EQ(e.code(), ErrorCode::INT_UNEXPECTED);
            EXPECT_EQ(e.message(), "response larger than 1000 bytes: " + server.url(path).text());
        }
        EXPECT_EQ(server.requests(path).size(), 1u);
    }
    for (double w : sleeper.waits())
        EXPECT_LE(w, 1.0); // the throttle's spacing only, no retry
}

TEST_F(HTTPTest, PlainHttpIsRefusedBeforeAnyRequest) {
    for (const char* text : {"http://127.0.0.1/x", "ftp://127.0.0.1/x", "file:///etc/hosts"}) {
        try {
            http->get(*Url::parse(text));
            FAIL() << text;
        } catch (const PelError& e) {
            EXPECT_EQ(e.code(), ErrorCode::INT_UNEXPECTED);
            EXPECT_EQ(e.message(), std::string("TLS required: ") + text);
        }
    }
    EXPECT_TRUE(transport.times().empty());
}

TEST_F(HTTPTest, DowngradeRedirectFailsAtOnceWithoutRetry) {
    server.script("/r", {Reply::redirect(302, fmt::format("http://127.0.0.1:{}/plain", server.port()))});
    server.script("/odd", {Reply::redirect(301, "gopher://127.0.0.1/x")});
    PelError e = getFailure(server.url("/r"));
    EXPECT_EQ(e.code(), ErrorCode::INT_UNEXPECTED);
    EXPECT_EQ(e.message(), "redirect downgraded to http");
    EXPECT_EQ(getFailure(server.url("/odd")).message(), "redirect downgraded to gopher");
    EXPECT_TRUE(server.requests("/plain").empty());
    EXPECT_EQ(server.requests("/r").size(), 1u);
    for (double w : sleeper.waits())
        EXPECT_LE(w, 1.0); // only the throttle's spacing
}

TEST_F(HTTPTest, SendsTheFixedUserAgentUnlessTheCallerSetsOne) {
    server.script("/ua", {Reply::ok("x")});
    http->get(server.url("/ua"));
    http->get(server.url("/ua"), {{"user-agent", "custom/2"}, {"Accept", "application/json"}});
    auto seen = server.requests("/ua");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].header("User-Agent"), "pel-poc/0.1 (+https://pelloran.app; personal use)");
    EXPECT_EQ(http->userAgent(), "pel-poc/0.1 (+https://pelloran.app; personal use)");
    EXPECT_EQ(seen[1].header("User-Agent"), "custom/2");
    EXPECT_EQ(seen[1].header("Accept"), "application/json");
}

TEST_F(HTTPTest, CancellationDuringBackOffEndsWithCancelled) {
    server.script("/s", {Reply::withStatus(503)});
    std::stop_source stop;
    sleeper.onSleep([&] { stop.request_stop(); });
    EXPECT_THROW(http->get(server.url("/s"), {}, stop.get_token()), platform::Cancelled);
    EXPECT_EQ(server.requests("/s").size(), 1u);
    // The host was released on the way out.
    server.script("/after", {Reply::ok("ok")});
    EXPECT_EQ(http->get(server.url("/after")).data, "ok");
}

TEST(HTTPShared, IsOneClientAndCanBeReplacedInTests) {
    HTTP& a = HTTP::shared();
    EXPECT_EQ(&a, &HTTP::shared());
    EXPECT_EQ(a.userAgent(), pelkit::defaultUserAgent);
    HTTP mine;
    {
        pelkit::testing::ScopedSharedHTTP scope(mine);
        EXPECT_EQ(&HTTP::shared(), &mine);
    }
    EXPECT_EQ(&HTTP::shared(), &a);
}

TEST(HTTPHelpers, RetryAfterAndDecimalParsing) {
    EXPECT_EQ(pelkit::retryAfterSeconds(std::string("7")), 7.0);
    EXPECT_EQ(pelkit::retryAfterSeconds(std::string("32.5")), 32.0);
    EXPECT_FALSE(pelkit::retryAfterSeconds(std::nullopt));
    EXPECT_FALSE(pelkit::retryAfterSeconds(std::string("")));
    EXPECT_FALSE(pelkit::retryAfterSeconds(std::string(" 5")));
    EXPECT_EQ(pelkit::parseDecimalInt64("+42"), 42);
    EXPECT_EQ(pelkit::parseDecimalInt64("-9223372036854775808"), INT64_MIN);
    for (const char* bad : {"", "+", "12a", "9223372036854775808", " 1", "0x10", "*"}) {
        EXPECT_FALSE(pelkit::parseDecimalInt64(bad)) << bad;
    }
}

// ---- head ----

namespace {
Reply byMethod(const RecordedRequest& r, Reply onHead, Reply onGet) {
    return r.method == "HEAD" ? onHead : onGet;
}
} // namespace

TEST_F(HTTPTest, HeadReadsContentLength) {
    server.script("/f", {Reply::ok(std::string(4321, 'z'))});
    EXPECT_EQ(http->head(server.url("/f")), 4321);
    auto seen = server.requests("/f");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "HEAD");
    EXPECT_EQ(seen[0].header("User-Agent"), std::string(pelkit::defaultUserAgent));
}

TEST_F(HTTPTest, HeadRefusedMeansNoSizeAndNoGet) {
    server.script("/f", {Reply::withStatus(405)});
    EXPECT_EQ(http->head(server.url("/f")), std::nullopt);
    EXPECT_EQ(server.requests("/f").size(), 1u);
}

TEST_F(HTTPTest, HeadFallsBackToARangedGet) {
    struct Case {
        const char* contentRange;
        std::optional<std::int64_t> size;
    };
    for (auto [contentRange, size] : {Case{"bytes 0-0/12345", 12345}, Case{"bytes 0-0/*", std::nullopt},
                                      Case{"bytes 0-0/0", 0}, Case{"garbage", std::nullopt}}) {
        SCOPED_TRACE(contentRange);
        std::string path = fmt::format("/p{}", server.requests().size());
        Reply noLength = Reply::ok("");
        Reply ranged = Reply::withHeaders(206, {{"Content-Range", contentRange}}, "a");
        server.on(path, [=](const RecordedRequest& r) { return byMethod(r, noLength, ranged); });
        EXPECT_EQ(http->head(server.url(path)), size);
        auto seen = server.requests(path);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[1].method, "GET");
        EXPECT_EQ(seen[1].header("Range"), "bytes=0-0");
    }
}

TEST_F(HTTPTest, HeadFallbackDoesNotReadABodyThatIgnoresRange) {
    Reply noLength = Reply::ok("");
    Reply whole = Reply::ok(std::string(1000, 'w'));
    whole.stallAfter = 10; // the probe would hang here if it read the body
    server.on("/f", [=](const RecordedRequest& r) { return byMethod(r, noLength, whole); });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(http->head(server.url("/f")), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
}

TEST_F(HTTPTest, HeadNeverThrows) {
    EXPECT_EQ(http->head(*Url::parse("http://127.0.0.1/x")), std::nullopt);
    EXPECT_EQ(http->head(*Url::parse("https://nowhere.invalid/x")), std::nullopt);
    server.script("/r", {Reply::redirect(302, "http://127.0.0.1/x")});
    EXPECT_EQ(http->head(server.url("/r")), std::nullopt);
    EXPECT_EQ(server.requests("/r").size(), 1u); // no retries
}
