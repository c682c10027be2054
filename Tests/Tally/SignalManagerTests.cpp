#include "Platform/Files.hpp"
#include "ScriptedTransport.hpp"
#include "Support/TempDir.hpp"
#include "Tally/Helpers/CryptoHashing.hpp"
#include "Tally/Signals/SignalManager.hpp"
#include "Tally/Tally.hpp"
#include "Tally/TelemetryManager.hpp"
#include "TallyTestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using platform::Json;
using tally::Tally;
using tally::TelemetryManagerConfiguration;
using tallytest::ScriptedAnswer;
using tallytest::ScriptedTransport;

namespace {

class Pipeline : public ::testing::Test {
protected:
    void SetUp() override { install(); }
    void TearDown() override { Tally::terminate(); }

    // A fresh process: new executors and transport over the same caches directory.
    void install() {
        rt = tallytest::VirtualRuntime{};
        transport = std::make_shared<ScriptedTransport>(*rt.clock);
        rt.transport = transport;
        rt.makePipeline = tally::makeSignalManager;
        rt.install(caches.path());
    }

    std::shared_ptr<TelemetryManagerConfiguration>
    start(std::optional<std::string> namespace_ = std::nullopt) {
        config = std::make_shared<TelemetryManagerConfiguration>(
            "com.pelloran", "salt", platform::Url::parse("https://ingest.example"), std::move(namespace_));
        config->setLogHandler(log.handler());
        config->setSessionStatsEnabled(false);
        config->setSendNewSessionBeganSignal(false);
        Tally::initialize(config);
        created = rt.clock->now();
        return config;
    }

    tally::SignalManager& pipeline() {
        return dynamic_cast<tally::SignalManager&>(*tally::TelemetryManager::shared()->signalManager());
    }

    // Sends and runs both stages.
    void signals(int count, const std::string& prefix = "s") {
        for (int i = 0; i < count; ++i) {
            Tally::signal(prefix + std::to_string(i));
        }
        rt.executor->runPending();
    }
    void advance(std::chrono::nanoseconds d) { rt.executor->advance(d); }

    static std::vector<Json> batchOf(const ScriptedTransport::Call& call) {
        auto parsed = Json::parse(call.request.body);
        return {parsed.begin(), parsed.end()};
    }
    static std::vector<std::string> typesOf(const ScriptedTransport::Call& call) {
        std::vector<std::string> out;
        for (const auto& record : batchOf(call)) {
            out.push_back(record.at("type").get<std::string>());
        }
        return out;
    }
    // Every uploaded record, in upload order.
    std::vector<Json> uploaded() const {
        std::vector<Json> out;
        for (const auto& call : transport->calls()) {
            for (auto& record : batchOf(call))
                out.push_back(std::move(record));
        }
        return out;
    }
    double secondsSinceCreation(const ScriptedTransport::Call& call) const {
        return std::chrono::duration<double>(call.at - created).count();
    }
    static std::vector<std::string> names(const std::string& prefix, int from, int to) {
        std::vector<std::string> out;
        for (int i = from; i < to; ++i)
            out.push_back(prefix + std::to_string(i));
        return out;
    }

    pelsupport::TempDir caches{"tally-pipeline"};
    tallytest::VirtualRuntime rt;
    std::shared_ptr<ScriptedTransport> transport;
    std::shared_ptr<TelemetryManagerConfiguration> config;
    tallytest::CapturedLog log;
    platform::TimePoint created;
};

TEST_F(Pipeline, RequestCarriesTheBatchAsJson) {
    start();
    signals(2);
    advance(10s);
    const auto calls = transport->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(secondsSinceCreation(calls[0]), 10.0);
    const auto& request = calls[0].request;
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url.text(), "https://ingest.example/v2/");
    ASSERT_EQ(request.headers.entries().size(), 1u);
    EXPECT_EQ(request.headers.get("Content-Type"), "application/json");
    EXPECT_EQ(request.stallTimeout, 60s);
    EXPECT_FALSE(request.followRedirects);
    EXPECT_EQ(typesOf(calls[0]), names("s", 0, 2));
    const auto record = batchOf(calls[0])[0];
    EXPECT_EQ(record.at("appID"), "com.pelloran");
    EXPECT_EQ(record.at("receivedAt"), "2023-11-14T22:13:20+0000");
    EXPECT_EQ(record.at("isTestMode"), "false");
    EXPECT_FALSE(record.contains("floatValue"));
    EXPECT_EQ(record.at("payload").at("platform"), "macOS");
    EXPECT_TRUE(log.contains("INFO Sending 2 signals leaving a cache of 0 signals"));
    EXPECT_EQ(pipeline().pendingCount(), 0u);
}

TEST_F(Pipeline, DispositionOfEachAnswerAndTheDelayThatFollows) {
    struct Case {
        ScriptedAnswer answer;
        std::string line; // empty: no line of its own
        double delay;     // to the next attempt
        bool requeued;
    };
    auto drop = [](const char* reason) {
        return std::string("ERROR Dropping 1 signal(s): rejected by server ") + reason;
    };
    auto retry = [](int status) {
        return "DEBUG Failed to send events (status " + std::to_string(status) + "), will try again later";
    };
    ScriptedAnswer moved = ScriptedAnswer::withStatus(302);
    moved.location = "https://elsewhere.example/";
    const std::vector<Case> cases = {
        {ScriptedAnswer::withStatus(200), "", 10, false},
        {ScriptedAnswer::withStatus(204), "", 10, false},
        {ScriptedAnswer::withStatus(400), drop("Bad Request (400)"), 10, false},
        {ScriptedAnswer::withStatus(401), drop("Unauthorized (401)"), 10, false},
        {ScriptedAnswer::withStatus(403), drop("Forbidden (403)"), 10, false},
        {ScriptedAnswer::withStatus(404), drop("Not Found (404)"), 10, false},
        {ScriptedAnswer::withStatus(413), drop("Payload Too Large (413)"), 10, false},
        {ScriptedAnswer::withStatus(422), drop("Unprocessable Entity (422)"), 10, false},
        {ScriptedAnswer::withStatus(501), drop("Not Implemented (501)"), 10, false},
        {ScriptedAnswer::withStatus(505), drop("HTTP Version Not Supported (505)"), 10, false},
        {ScriptedAnswer::withStatus(408), retry(408), 20, true},
        {ScriptedAnswer::withStatus(429), retry(429), 20, true},
        {ScriptedAnswer::withStatus(500), retry(500), 20, true},
        {ScriptedAnswer::withStatus(503), retry(503), 20, true},
        {ScriptedAnswer::error("The network connection was lost."), "ERROR The network connection was lost.",
         20, true},
        {moved, retry(302), 20, true},
    };
    for (const auto& c : cases) {
        const std::string label = c.answer.failure ? *c.answer.failure : std::to_string(c.answer.status);
        install();
        log = tallytest::CapturedLog{};
        start();
        transport->script({c.answer, ScriptedAnswer::withStatus(200)});
        signals(1, "first");
        advance(10s);
        signals(1, "second");
        if (!c.line.empty()) {
            EXPECT_TRUE(log.contains(c.line)) << label;
        }
        advance(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(c.delay)) -
                1ms);
        EXPECT_EQ(transport->calls().size(), 1u) << label;
        advance(1ms);
        const auto calls = transport->calls();
        ASSERT_EQ(calls.size(), 2u) << label;
        EXPECT_EQ(secondsSinceCreation(calls[1]), 10 + c.delay) << label;
        const std::vector<std::string> expected =
            c.requeued ? std::vector<std::string>{"first0", "second0"} : std::vector<std::string>{"second0"};
        EXPECT_EQ(typesOf(calls[1]), expected) << label;
        Tally::terminate();
    }
}

TEST_F(Pipeline, BackOffDoublesUpToTheMaximumAndResets) {
    start();
    std::vector<ScriptedAnswer> answers(6, ScriptedAnswer::withStatus(500));
    answers.push_back(ScriptedAnswer::withStatus(200));
    transport->script(answers);
    signals(1);
    advance(10s + 20s + 40s + 80s + 160s + 300s + 300s);
    auto calls = transport->calls();
    ASSERT_EQ(calls.size(), 7u);
    std::vector<double> gaps;
    double previous = 0;
    for (const auto& call : calls) {
        gaps.push_back(secondsSinceCreation(call) - previous);
        previous = secondsSinceCreation(call);
    }
    EXPECT_EQ(gaps, (std::vector<double>{10, 20, 40, 80, 160, 300, 300}));
    // The success reset the count: one interval, then a failure doubles from the start again.
    transport->script({ScriptedAnswer::withStatus(500), ScriptedAnswer::withStatus(200)});
    signals(1, "after");
    advance(10s);
    ASSERT_EQ(transport->calls().size(), 8u);
    advance(20s);
    calls = transport->calls();
    ASSERT_EQ(calls.size(), 9u);
    EXPECT_EQ(secondsSinceCreation(calls[8]) - secondsSinceCreation(calls[7]), 20.0);
}

TEST_F(Pipeline, LongQueueGoesOutInBatchesOfAHundredOneIntervalApart) {
    start();
    signals(250);
    advance(30s);
    const auto calls = transport->calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(typesOf(calls[0]), names("s", 0, 100));
    EXPECT_EQ(typesOf(calls[1]), names("s", 100, 200));
    EXPECT_EQ(typesOf(calls[2]), names("s", 200, 250));
    EXPECT_EQ(secondsSinceCreation(calls[0]), 10.0);
    EXPECT_EQ(secondsSinceCreation(calls[1]), 20.0);
    EXPECT_EQ(secondsSinceCreation(calls[2]), 30.0);
    advance(60s);
    EXPECT_EQ(transport->calls().size(), 3u); // nothing left: the loop ticks without sending
}

TEST_F(Pipeline, TheLaterOfTwoAttemptsInFlightSetsTheDelay) {
    struct Case {
        int first, second;
        double delay;
    };
    for (const auto& c : {Case{200, 500, 20}, Case{500, 200, 10}}) {
        install();
        start();
        signals(150);
        transport->script({ScriptedAnswer::withStatus(c.first), ScriptedAnswer::withStatus(c.second)});
        pipeline().attemptToSendNextBatchOfCachedSignals();
        pipeline().attemptToSendNextBatchOfCachedSignals();
        rt.executor->runPending();
        ASSERT_EQ(transport->calls().size(), 2u);
        EXPECT_EQ(typesOf(transport->calls()[1]).size(), 50u);
        transport->script({ScriptedAnswer::withStatus(200)});
        advance(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(c.delay)) -
                1ms);
        EXPECT_EQ(transport->calls().size(), 2u) << c.first << " then " << c.second;
        advance(1ms);
        EXPECT_EQ(transport->calls().size(), 3u) << c.first << " then " << c.second;
        Tally::terminate();
    }
}

TEST_F(Pipeline, Endpoints) {
    struct Case {
        const char* base;
        std::optional<std::string> namespace_;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"https://h.example", std::nullopt, "https://h.example/v2/"},
        {"https://h.example/", std::string(), "https://h.example/v2/"},
        {"https://h.example/ingest", std::nullopt, "https://h.example/ingest/v2/"},
        {"https://h.example/ingest/", "ns", "https://h.example/ingest/v2/namespace/ns/"},
        {"https://h.example", "a b", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto url = tally::SignalManager::getServiceUrl(*platform::Url::parse(c.base), c.namespace_);
        EXPECT_EQ(url ? std::optional(url->text()) : std::nullopt, c.expected) << c.base;
    }
}

TEST_F(Pipeline, UnbuildableEndpointIsAFailedAttempt) {
    start("a b");
    signals(1);
    advance(10s);
    EXPECT_TRUE(transport->calls().empty());
    EXPECT_TRUE(log.contains("ERROR Unable to construct signal API URL for namespace a b"));
    EXPECT_TRUE(log.contains("ERROR Invalid endpoint URL"));
    EXPECT_EQ(pipeline().pendingCount(), 1u);
}

class FixedEnricher final : public tally::SignalEnricher {
public:
    explicit FixedEnricher(tally::Parameters values) : values_(std::move(values)) {}
    tally::Parameters enrichSignal(const std::string&, const std::optional<std::string>& customUserID,
                                   std::optional<double>) override {
        if (customUserID) seenUsers.push_back(*customUserID);
        return values_;
    }
    std::vector<std::string> seenUsers;

private:
    tally::Parameters values_;
};

TEST_F(Pipeline, EnrichersOverrideDefaultsAndCallersOverrideEnrichers) {
    start();
    auto first = std::make_shared<FixedEnricher>(tally::Parameters{{"platform", "first"}, {"extra", "1"}});
    auto second = std::make_shared<FixedEnricher>(tally::Parameters{{"platform", "enriched"}});
    config->setMetadataEnrichers({first, second});
    Tally::signal("plain");
    Tally::signal("override", {{"platform", "caller"}}, std::nullopt, "alice");
    rt.executor->runPending();
    advance(10s);
    const auto records = uploaded();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].at("payload").at("platform"), "enriched");
    EXPECT_EQ(records[0].at("payload").at("extra"), "1");
    EXPECT_EQ(records[1].at("payload").at("platform"), "caller");
    EXPECT_EQ(first->seenUsers, std::vector<std::string>{"alice"}); // as given, not hashed
}

TEST_F(Pipeline, UsersAreHashedWithTheSalt) {
    start();
    config->setDefaultUser("bob");
    Tally::signal("a", {}, 1.5, "alice");
    Tally::signal("b", {}, std::nullopt, "alice");
    Tally::signal("c");
    rt.executor->runPending();
    advance(10s);
    const auto records = uploaded();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].at("clientUser"), tally::CryptoHashing::sha256("alice", "salt"));
    EXPECT_EQ(records[1].at("clientUser"), records[0].at("clientUser"));
    EXPECT_EQ(records[2].at("clientUser"), tally::CryptoHashing::sha256("bob", "salt"));
    EXPECT_EQ(records[0].at("floatValue"), 1.5);
}

TEST_F(Pipeline, StoredDefaultUserIsKeptInTheSuite) {
    start();
    const std::string user = pipeline().defaultUserIdentifier();
    EXPECT_EQ(pipeline().defaultUserIdentifier(), user);
    EXPECT_EQ(Tally::customDefaults()->string("defaultUserIdentifier"), user);
    config->setDefaultUser("explicit");
    EXPECT_EQ(pipeline().defaultUserIdentifier(), "explicit");
}

TEST_F(Pipeline, TestModeAndSessionAreReadInStageTwo) {
    start();
    Tally::signal("before");
    rt.executor->runPending();
    config->setTestMode(true);
    Tally::signal("after");
    const std::string renewed = "0F8C7E0A-5D7B-4C36-9E0A-2C1A1E9F3B11";
    config->setSessionID(renewed); // between the send and its stage 2
    rt.executor->runPending();
    advance(10s);
    const auto records = uploaded();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].at("isTestMode"), "false");
    EXPECT_NE(records[0].at("sessionID"), renewed);
    EXPECT_EQ(records[1].at("isTestMode"), "true");
    EXPECT_EQ(records[1].at("sessionID"), renewed);
}

std::vector<tally::SignalPostBody> readBackup(const std::filesystem::path& file) {
    std::vector<tally::SignalPostBody> out;
    const auto document = Json::parse(pelsupport::readText(file));
    for (const auto& element : document) {
        out.push_back(tally::signalPostBodyFromJson(element));
    }
    return out;
}

TEST_F(Pipeline, WillTerminateBacksUpAndTheNextRunSendsThoseFirst) {
    start();
    signals(3, "old");
    rt.appEvents->post(tally::AppEvent::willTerminate);
    EXPECT_TRUE(log.contains("DEBUG appWillTerminate()"));
    const auto file = caches / "telemetrysignalcache";
    ASSERT_EQ(readBackup(file).size(), 3u);

    install(); // the next launch
    start();
    signals(2, "new");
    EXPECT_FALSE(std::filesystem::exists(file));
    rt.executor->runPending();
    auto calls = transport->calls();
    ASSERT_EQ(calls.size(), 1u); // the attempt made at creation
    EXPECT_EQ(typesOf(calls[0]), names("old", 0, 3));
    advance(10s);
    calls = transport->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(typesOf(calls[1]), names("new", 0, 2));
}

TEST_F(Pipeline, UnencodableSignalsAreRefusedAndNeverSpoilABatchOrTheBackup) {
    start();
    signals(75, "a");
    Tally::signal("nan", {}, std::numeric_limits<double>::quiet_NaN());
    Tally::signal("utf8", {{"k", "\xC3\x28"}});
    Tally::signal("inf", {}, std::numeric_limits<double>::infinity());
    rt.executor->runPending();
    signals(75, "b");
    EXPECT_TRUE(log.contains("ERROR Signal 'nan' refused: floatValue is not a finite number"));
    EXPECT_TRUE(log.contains("ERROR Signal 'utf8' refused: text is not valid UTF-8"));
    EXPECT_TRUE(log.contains("ERROR Signal 'inf' refused: floatValue is not a finite number"));
    EXPECT_EQ(pipeline().pendingCount(), 150u);

    rt.appEvents->post(tally::AppEvent::willTerminate);
    const auto backup = readBackup(caches / "telemetrysignalcache");
    ASSERT_EQ(backup.size(), 150u);

    install();
    start();
    advance(10s);
    const auto records = uploaded();
    ASSERT_EQ(records.size(), 150u);
    EXPECT_EQ(records.front().at("type"), "a0");
    EXPECT_EQ(records.back().at("type"), "b74");
}

TEST_F(Pipeline, LongAnswerIsReadToTheEndButOnlyItsStartKept) {
    // 64 KiB chunks whose two-byte characters straddle the kept prefix's end: 256 MiB in all.
    std::string chunk = "x";
    for (int i = 0; i < 32767; ++i)
        chunk += "\xC3\xA9";
    std::string kept = "x";
    for (int i = 0; i < 2047; ++i)
        kept += "\xC3\xA9";
    ASSERT_EQ(kept.size() + 1, tally::SignalManager::answerPrefixLimit); // the cut splits a character
    struct Case {
        int status;
        bool requeued;
    };
    for (const auto& c : {Case{200, false}, Case{500, true}}) {
        install();
        log = tallytest::CapturedLog{};
        start();
        ScriptedAnswer huge = ScriptedAnswer::withStatus(c.status);
        huge.body = chunk;
        huge.bodyRepeats = 4096;
        transport->script({huge, ScriptedAnswer::withStatus(200)});
        signals(1, "first");
        advance(10s);
        ASSERT_EQ(transport->calls().size(), 1u) << c.status;
        std::vector<std::string> answerLines;
        for (const auto& line : log.lines()) {
            if (line.starts_with("DEBUG x")) answerLines.push_back(line);
        }
        if (c.requeued) {
            EXPECT_TRUE(answerLines.empty());
            EXPECT_TRUE(log.contains("DEBUG Failed to send events (status 500), will try again later"));
        } else {
            EXPECT_EQ(answerLines, std::vector<std::string>{"DEBUG " + kept});
        }
        EXPECT_EQ(pipeline().pendingCount(), c.requeued ? 1u : 0u) << c.status;
        signals(1, "second");
        advance(c.requeued ? 20s : 10s);
        const auto calls = transport->calls();
        ASSERT_EQ(calls.size(), 2u) << c.status;
        EXPECT_EQ(typesOf(calls[1]), c.requeued ? (std::vector<std::string>{"first0", "second0"})
                                                : (std::vector<std::string>{"second0"}));
        Tally::terminate();
    }
}

TEST_F(Pipeline, BackedUpRecordWithoutAWireDateIsDroppedAndTheOthersAreSent) {
    auto record = [](const std::string& type, double receivedAt) {
        tally::SignalPostBody b;
        b.receivedAt = receivedAt;
        b.appID = "com.pelloran";
        b.clientUser = "user";
        b.sessionID = "S";
        b.type = type;
        b.isTestMode = "false";
        return b;
    };
    const double year10000 = 252423993600.0; // 10000-01-01T00:00:00 UTC
    pelsupport::writeText(caches / "telemetrysignalcache",
                          tally::encodeSignals({record("before", -63113904000.0), record("far", year10000),
                                                record("after", 252423993599.5)},
                                               tally::DateRule::backup));
    start();
    rt.executor->runPending();
    EXPECT_TRUE(log.contains("ERROR Dropped 1 signal(s) of the backup: date cannot be sent"));
    const auto calls = transport->calls();
    ASSERT_EQ(calls.size(), 1u); // the attempt made at creation
    EXPECT_EQ(typesOf(calls[0]), (std::vector<std::string>{"before", "after"}));
    const auto batch = batchOf(calls[0]);
    EXPECT_EQ(batch[0].at("receivedAt"), "0001-01-01T00:00:00+0000");
    EXPECT_EQ(batch[1].at("receivedAt"), "9999-12-31T23:59:59+0000");
    for (const auto& line : log.lines()) {
        EXPECT_EQ(line.find("Failed to encode signal batch"), std::string::npos) << line;
    }

    rt.appEvents->post(tally::AppEvent::willTerminate);
    EXPECT_TRUE(readBackup(caches / "telemetrysignalcache").empty()); // the dropped record is not kept
}

// Holds every upload until the test opens the gate, and records how many were in flight at once.
class GatedTransport final : public platform::HttpTransport {
public:
    using platform::HttpTransport::perform;
    platform::HttpResponseHead perform(const platform::HttpRequest& request, platform::BodySink& sink,
                                       std::stop_token) override {
        std::unique_lock lock(mutex_);
        bodies_.push_back(request.body);
        mostInFlight_ = std::max(mostInFlight_, ++inFlight_);
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
        --inFlight_;
        ++finished_;
        changed_.notify_all();
        lock.unlock();
        platform::HttpResponseHead head{200, {}, request.url};
        sink.begin(head);
        return head;
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    // Waits (with a generous safety bound) until `n` uploads have reached the server.
    bool awaitStarted(std::size_t n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 60s, [&] { return bodies_.size() >= n; });
    }
    bool awaitFinished(int n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 60s, [&] { return finished_ >= n; });
    }
    bool isOpen() const {
        std::lock_guard lock(mutex_);
        return open_;
    }
    int mostInFlight() const {
        std::lock_guard lock(mutex_);
        return mostInFlight_;
    }
    std::vector<std::string> bodies() const {
        std::lock_guard lock(mutex_);
        return bodies_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int inFlight_ = 0;
    int mostInFlight_ = 0;
    int finished_ = 0;
    std::vector<std::string> bodies_;
};

// Polls `condition` until it holds; false when it still does not after a generous safety bound.
template <class Condition> bool eventually(Condition condition) {
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(PipelineThreads, SignalsReachTheQueueWhileUploadsHang) {
    pelsupport::TempDir caches{"tally-slow-upload"};
    tally::SignalPostBody restored;
    restored.receivedAt = 736257600;
    restored.appID = "com.pelloran";
    restored.type = "restored";
    restored.isTestMode = "false";
    pelsupport::writeText(caches / "telemetrysignalcache",
                          tally::encodeSignals({restored}, tally::DateRule::backup));

    // Real threads: a main queue, the two-thread utility pool, a serial queue per label.
    auto transport = std::make_shared<GatedTransport>();
    tally::Runtime r;
    r.transport = transport;
    r.makePipeline = tally::makeSignalManager;
    r.cachesDirectory = caches.path();
    tally::testing::reset(std::move(r));
    // Also when an assertion ends the test early: the next reset drains the queues, so none may hang.
    platform::ScopeGuard restore([&] {
        transport->open();
        Tally::terminate();
        tallytest::VirtualRuntime{}.install();
    });
    auto config = std::make_shared<TelemetryManagerConfiguration>("com.pelloran");
    config->setLogHandler(std::nullopt);
    config->setSessionStatsEnabled(false);
    config->setSendNewSessionBeganSignal(false);
    config->setTransmitInterval(3600); // no timer attempt while the test runs
    Tally::initialize(config);         // the first upload: the restored backlog
    auto& pipeline = dynamic_cast<tally::SignalManager&>(*tally::TelemetryManager::shared()->signalManager());
    ASSERT_TRUE(transport->awaitStarted(1));

    Tally::signal("queued");
    ASSERT_TRUE(eventually([&] { return pipeline.pendingCount() == 1; }));
    pipeline.attemptToSendNextBatchOfCachedSignals(); // a second upload, behind the hanging one
    EXPECT_EQ(pipeline.pendingCount(), 0u);

    Tally::signal("fresh");
    const bool reachedQueue = eventually([&] { return pipeline.pendingCount() == 1; });
    EXPECT_FALSE(transport->isOpen()); // both uploads were still waiting for their answers
    transport->open();
    EXPECT_TRUE(reachedQueue);
    ASSERT_TRUE(transport->awaitFinished(2));
    EXPECT_EQ(transport->mostInFlight(), 1); // one upload at a time
    const auto bodies = transport->bodies();
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(Json::parse(bodies[0]).at(0).at("type"), "restored");
    EXPECT_EQ(Json::parse(bodies[1]).at(0).at("type"), "queued");
}

} // namespace
