#include "PelKit/KillSwitch.hpp"

#include "Platform/HttpTransport.hpp"
#include "Support/TestServer.hpp"

#include <gtest/gtest.h>

#include <chrono>

using namespace pelkit;
using pelsupport::Reply;
using pelsupport::TestServer;

namespace {

class KillSwitchTest : public ::testing::Test {
protected:
    TestServer server;
    KillSwitchOptions options{.baseURL = server.baseUrl(), .caFile = server.caFile()};

    std::optional<KillSwitchDecision> fetchWith(std::vector<Reply> replies,
                                                std::string_view current = "1.2.0") {
        server.script("/killswitch.json", std::move(replies));
        return KillSwitch::fetch(current, options);
    }
};

// Answers every request itself, claiming the final URL it is given.
class FixedTransport final : public platform::HttpTransport {
public:
    FixedTransport(std::string finalURL, std::string body)
        : finalURL_(std::move(finalURL)), body_(std::move(body)) {}
    using HttpTransport::perform;
    platform::HttpResponseHead perform(const platform::HttpRequest&, platform::BodySink& sink,
                                       std::stop_token) override {
        platform::HttpResponseHead head{
            .status = 200, .headers = {}, .url = *platform::Url::parse(finalURL_)};
        sink.begin(head);
        sink.write(body_);
        return head;
    }

private:
    std::string finalURL_;
    std::string body_;
};

KillSwitchDecision decision(bool force, std::optional<std::string> minVersion,
                            std::optional<std::string> message, std::vector<std::string> disabled = {}) {
    return KillSwitchDecision{force, std::move(minVersion), std::move(message), std::move(disabled)};
}

} // namespace

TEST(KillSwitch, EndpointIsTheMakersDocumentOverHttps) {
    EXPECT_EQ(KillSwitch::endpoint().scheme(), "https");
    EXPECT_EQ(KillSwitch::endpoint().path(), "/killswitch.json");
    EXPECT_EQ(KillSwitch::userAgent, "pel-poc/0.1");
}

TEST_F(KillSwitchTest, SendsOneGetWithItsOwnUserAgent) {
    ASSERT_TRUE(fetchWith({Reply::ok("{}")}));
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/killswitch.json");
    EXPECT_EQ(requests[0].header("User-Agent"), "pel-poc/0.1");
}

TEST_F(KillSwitchTest, DocumentsGiveTheirDecision) {
    struct Case {
        const char* document;
        const char* current;
        KillSwitchDecision want;
    };
    const Case cases[] = {
        // The running copy is older than the minimum.
        {R"({"forceUpgrade":true,"minVersion":"1.3.0","message":"Security fix"})", "1.2.0",
         decision(true, "1.3.0", "Security fix")},
        {R"({"forceUpgrade":true,"minVersion":"1.10"})", "1.9", decision(true, "1.10", std::nullopt)},
        // Equal or newer: no upgrade, the rest still carried.
        {R"({"forceUpgrade":true,"minVersion":"1.2.0","message":"m"})", "1.2.0",
         decision(false, "1.2.0", "m")},
        {R"({"forceUpgrade":true,"minVersion":"1.2"})", "1.2.0", decision(false, "1.2", std::nullopt)},
        {R"({"forceUpgrade":true,"minVersion":"1.1"})", "1.2.0", decision(false, "1.1", std::nullopt)},
        // The document does not ask, or cannot name a minimum.
        {R"({"forceUpgrade":false,"minVersion":"2.0"})", "1.2.0", decision(false, "2.0", std::nullopt)},
        {R"({"minVersion":"2.0","message":"m"})", "1.2.0", decision(false, "2.0", "m")},
        {R"({"forceUpgrade":true,"message":"m"})", "1.2.0", decision(false, std::nullopt, "m")},
        {"{}", "1.2.0", decision(false, std::nullopt, std::nullopt)},
        // Wrong types count as absent, never spoil the rest.
        {R"({"forceUpgrade":"true","minVersion":"2.0"})", "1.2.0", decision(false, "2.0", std::nullopt)},
        {R"({"forceUpgrade":1,"minVersion":"2.0"})", "1.2.0", decision(false, "2.0", std::nullopt)},
        {R"({"forceUpgrade":true,"minVersion":2})", "1.2.0", decision(false, std::nullopt, std::nullopt)},
        {R"({"forceUpgrade":true,"minVersion":"2.0","message":["m"]})", "1.2.0",
         decision(true, "2.0", std::nullopt)},
        // Disabled sources.
        {R"({"disabledSources":["homebrew","sparkle"]})", "1.2.0",
         decision(false, std::nullopt, std::nullopt, {"homebrew", "sparkle"})},
        {R"({"disabledSources":"homebrew","message":"m"})", "1.2.0", decision(false, std::nullopt, "m")},
        {R"({"disabledSources":["homebrew",3],"forceUpgrade":true,"minVersion":"2"})", "1.2.0",
         decision(true, "2", std::nullopt)},
        {R"({"disabledSources":{"homebrew":true}})", "1.2.0", decision(false, std::nullopt, std::nullopt)},
        // Unknown keys are passed over.
        {R"({"minVersion":"1.0","extra":{"deep":[1,2,3]}})", "1.2.0", decision(false, "1.0", std::nullopt)},
    };
    for (const Case& c : cases) {
        auto got = fetchWith({Reply::ok(c.document)}, c.current);
        ASSERT_TRUE(got) << c.document;
        EXPECT_EQ(*got, c.want) << c.document << " for " << c.current;
    }
}

TEST_F(KillSwitchTest, AnythingButAJsonObjectWithStatus200GivesNothing) {
    const std::string good = R"({"forceUpgrade":true,"minVersion":"9.0"})";
    struct Case {
        const char* what;
        Reply reply;
    };
    const Case cases[] = {
        {"404", Reply::withStatus(404, good)},
        {"500", Reply::withStatus(500, good)},
        {"503", Reply::withStatus(503, good)},
        {"201", Reply::withStatus(201, good)},
        {"204", Reply::withStatus(204)},
        {"empty body", Reply::ok("")},
        {"not JSON", Reply::ok("<html>maintenance</html>")},
        {"truncated JSON", Reply::ok(R"({"forceUpgrade":true,)")},
        {"an array", Reply::ok(R"([{"forceUpgrade":true,"minVersion":"9.0"}])")},
        {"a string", Reply::ok(R"("forceUpgrade")")},
        {"null", Reply::ok("null")},
        {"too large", Reply::ok("{\"message\":\"" + std::string(2 << 20, 'x') + "\"}")},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(fetchWith({c.reply})) << c.what;
    }
    // No retries: one request per fetch.
    EXPECT_EQ(server.requests("/killswitch.json").size(), std::size(cases));
}

TEST_F(KillSwitchTest, FollowsAnHttpsRedirect) {
    server.script("/moved.json", {Reply::ok(R"({"forceUpgrade":true,"minVersion":"2.0"})")});
    auto got = fetchWith({Reply::redirect(302, server.baseUrl("localhost") + "/moved.json")});
    ASSERT_TRUE(got);
    EXPECT_TRUE(got->forceUpgrade);
}

TEST_F(KillSwitchTest, ARedirectToPlainHttpGivesNothing) {
    std::string plain = "http://127.0.0.1:" + std::to_string(server.port()) + "/moved.json";
    server.script("/moved.json", {Reply::ok(R"({"forceUpgrade":true,"minVersion":"2.0","message":"evil"})")});
    EXPECT_FALSE(fetchWith({Reply::redirect(301, plain)}));
    EXPECT_TRUE(server.requests("/moved.json").empty());
}

TEST_F(KillSwitchTest, AFinalURLThatIsNotHttpsGivesNothing) {
    const std::string document = R"({"forceUpgrade":true,"minVersion":"2.0","message":"evil"})";
    FixedTransport plain("http://example.com/killswitch.json", document);
    options.transport = &plain;
    EXPECT_FALSE(KillSwitch::fetch("1.0", options));

    FixedTransport secure("https://example.com/killswitch.json", document);
    options.transport = &secure;
    auto got = KillSwitch::fetch("1.0", options);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->message, "evil");
}

TEST_F(KillSwitchTest, AServerThatDoesNotAnswerInTimeGivesNothing) {
    options.timeout = std::chrono::milliseconds(200);
    Reply slow = Reply::ok(R"({"forceUpgrade":true,"minVersion":"2.0"})");
    slow.delay = std::chrono::milliseconds(5'000);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(fetchWith({slow}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(KillSwitchTest, TransportFailuresAndBadAddressesGiveNothing) {
    KillSwitchOptions unreachable = options;
    {
        TestServer gone;
        unreachable.baseURL = gone.baseUrl();
    }
    EXPECT_FALSE(KillSwitch::fetch("1.0", unreachable));

    // A certificate the client was not told to trust.
    KillSwitchOptions untrusted = options;
    untrusted.caFile.reset();
    TestServer other;
    untrusted.caFile = other.caFile();
    server.script("/killswitch.json", {Reply::ok(R"({"forceUpgrade":true,"minVersion":"2.0"})")});
    EXPECT_FALSE(KillSwitch::fetch("1.0", untrusted));

    for (std::string base :
         {"http://127.0.0.1:" + std::to_string(server.port()), std::string("not a url"), std::string("")}) {
        KillSwitchOptions bad = options;
        bad.baseURL = base;
        EXPECT_FALSE(KillSwitch::fetch("1.0", bad)) << base;
    }
    EXPECT_TRUE(server.requests().empty());
}
