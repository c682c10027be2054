#include "Support/TempDir.hpp"
#include "Support/TestServer.hpp"
#include "Tally/Signals/SignalManager.hpp"
#include "Tally/Tally.hpp"
#include "TallyTestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>

using namespace std::chrono_literals;
using pelsupport::Reply;
using platform::Json;
using tally::Tally;

namespace {

// The real transport against the local HTTPS server, driven in virtual time: each upload runs on the
// test's thread inside advance().
class UploadToServer : public ::testing::Test {
protected:
    void SetUp() override {
        platform::testing::setDefaultCAFile(server.caFile());
        install();
    }
    void TearDown() override {
        Tally::terminate();
        platform::testing::setDefaultCAFile(std::nullopt);
    }

    void install() {
        rt = tallytest::VirtualRuntime{};
        rt.transport = std::make_shared<platform::CurlTransport>();
        rt.makePipeline = tally::makeSignalManager;
        rt.install(caches.path());
    }
    void start() {
        auto config = std::make_shared<tally::TelemetryManagerConfiguration>(
            "com.pelloran", std::nullopt, platform::Url::parse(server.baseUrl()));
        config->setLogHandler(log.handler(tally::LogLevel::info));
        config->setSessionStatsEnabled(false);
        config->setSendNewSessionBeganSignal(false);
        Tally::initialize(config);
    }
    static std::size_t headerCount(const pelsupport::RecordedRequest& request, std::string_view name) {
        std::size_t n = 0;
        for (const auto& [key, value] : request.headers.entries()) {
            if (platform::equalsIgnoringCase(key, name)) ++n;
        }
        return n;
    }

    pelsupport::TestServer server;
    pelsupport::TempDir caches{"tally-upload"};
    tallytest::VirtualRuntime rt;
    tallytest::CapturedLog log;
};

TEST_F(UploadToServer, PostsTheBatchAsJsonWithOneContentType) {
    server.script("/v2/", {Reply::ok("{}")});
    start();
    Tally::signal("app.launched", {{"source", "test"}});
    Tally::signal("error", {{"code", "NET_TIMEOUT"}}, 2.0);
    rt.executor->runPending();
    rt.executor->advance(10s);

    const auto requests = server.requests("/v2/");
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(headerCount(request, "Content-Type"), 1u);
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(headerCount(request, "Expect"), 0u);
    EXPECT_EQ(headerCount(request, "User-Agent"), 0u);
    const auto batch = Json::parse(request.body);
    ASSERT_TRUE(batch.is_array());
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch[0].at("type"), "app.launched");
    EXPECT_EQ(batch[0].at("payload").at("source"), "test");
    EXPECT_EQ(batch[1].at("floatValue"), 2.0);
    const std::regex date(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+0000)");
    EXPECT_TRUE(std::regex_match(batch[0].at("receivedAt").get<std::string>(), date));
    EXPECT_TRUE(log.contains("INFO Sending 2 signals leaving a cache of 0 signals"));
}

TEST_F(UploadToServer, PayloadTooLargeDropsTheBatch) {
    server.script("/v2/", {Reply::withStatus(413)});
    start();
    Tally::signal("big");
    rt.executor->runPending();
    rt.executor->advance(10s);
    EXPECT_TRUE(log.contains("ERROR Dropping 1 signal(s): rejected by server Payload Too Large (413)"));
    rt.executor->advance(60s);
    EXPECT_EQ(server.requests("/v2/").size(), 1u);
}

TEST_F(UploadToServer, UnsentQueueSurvivesTerminateAndRelaunch) {
    server.script("/v2/", {Reply::withStatus(503), Reply::ok("")});
    start();
    Tally::signal("kept");
    rt.executor->runPending();
    rt.executor->advance(10s); // 503: queued again
    rt.appEvents->post(tally::AppEvent::willTerminate);

    install();
    start(); // the first attempt goes out at creation
    rt.executor->runPending();
    const auto requests = server.requests("/v2/");
    ASSERT_EQ(requests.size(), 2u);
    const auto batch = Json::parse(requests[1].body);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].at("type"), "kept");
}

} // namespace
