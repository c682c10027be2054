#include "PelKit/Config.hpp"
#include "PelKit/HTTP.hpp"
#include "PelKit/UpdateSources/Sparkle.hpp"
#include "Support/TestServer.hpp"
#include "Support/VirtualSleeper.hpp"

#include <gtest/gtest.h>

using namespace pelkit;
using pelsupport::Reply;

namespace {

std::string feedOf(const std::string& items) {
    return "<?xml version=\"1.0\"?><rss xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
           "<channel>" +
           items + "</channel></rss>";
}

std::string item(const std::string& version, const std::string& extra = "") {
    return "<item><enclosure url=\"https://dl.example/Foo-" + version + ".zip\" length=\"100\" "
           "sparkle:shortVersionString=\"" + version + "\" " + extra + "/></item>";
}

class SparkleSourceTest : public ::testing::Test {
protected:
    pelsupport::TestServer server;
    platform::ManualClock clock;
    pelsupport::VirtualSleeper sleeper{clock};
    std::unique_ptr<HTTP> http;
    platform::SystemVersion system{14, 5, 0};

    void SetUp() override {
        HTTPOptions options;
        options.caFile = server.caFile();
        options.clock = &clock;
        options.sleeper = &sleeper;
        http = std::make_unique<HTTP>(options);
    }

    InstalledApp app(std::optional<std::string> shortVersion = "1.0", bool withFeed = true) {
        InstalledApp a;
        a.path = Url::fromFilePath("/Applications/Foo.app");
        a.bundleID = "com.example.foo";
        a.name = "Foo";
        a.shortVersion = shortVersion;
        if (withFeed) a.sparkleFeedURL = server.url("/appcast.xml");
        return a;
    }

    std::optional<RemoteVersion> latest(const InstalledApp& a, const std::optional<OverrideEntry>& o = {}) {
        SparkleSource source(*http, system);
        return source.latest(a, o);
    }

    PelError failure(const InstalledApp& a, const std::optional<OverrideEntry>& o = {}) {
        try {
            latest(a, o);
        } catch (const PelError& e) {
            return e;
        }
        ADD_FAILURE() << "no error";
        return PelError(ErrorCode::INT_UNEXPECTED, {}, {}, "", false);
    }
};

}  // namespace

TEST_F(SparkleSourceTest, NewestItemBecomesTheRelease) {
    server.script("/appcast.xml",
                  {Reply::ok(feedOf(item("1.2") + item("1.10", "sparkle:version=\"110\"") + item("1.10") +
                                    item("1.9")))});
    auto r = latest(app());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->source, AppSource::sparkle);
    EXPECT_EQ(r->sourceToken, server.url("/appcast.xml").text());
    EXPECT_EQ(r->version, "1.10");
    EXPECT_EQ(r->buildVersion, "110");  // the first of the equal versions
    EXPECT_EQ(r->downloadURL->text(), "https://dl.example/Foo-1.10.zip");
    EXPECT_EQ(r->sizeBytes, 100);
    EXPECT_FALSE(r->sha256);
    EXPECT_FALSE(r->publishedAt);
    EXPECT_FALSE(r->notes);
    EXPECT_FALSE(r->artifactType);
    ASSERT_EQ(server.requests("/appcast.xml").size(), 1u);
    EXPECT_TRUE(server.requests("/appcast.xml")[0].header("User-Agent"));
}

TEST_F(SparkleSourceTest, FeedAddressRule) {
    server.script("/override.xml", {Reply::ok(feedOf(item("3.0")))});
    server.script("/appcast.xml", {Reply::ok(feedOf(item("2.0")))});
    OverrideEntry good;
    good.sparkleFeedURL = server.url("/override.xml").text();
    EXPECT_EQ(latest(app(), good)->version, "3.0");
    EXPECT_EQ(latest(app(), good)->sourceToken, server.url("/override.xml").text());

    OverrideEntry bad;
    bad.sparkleFeedURL = "not a url";
    EXPECT_EQ(latest(app(), bad)->version, "2.0");

    EXPECT_FALSE(latest(app("1.0", false)));
    EXPECT_FALSE(latest(app("1.0", false), bad));
    EXPECT_EQ(server.requests("/appcast.xml").size(), 1u);
}

TEST_F(SparkleSourceTest, FetchFailures) {
    server.script("/appcast.xml", {Reply::withStatus(404, "<html>missing</html>")});
    auto e = failure(app());
    EXPECT_EQ(e.code(), ErrorCode::SRC_FEED_404);
    EXPECT_EQ(e.message(), "feed 404 " + server.url("/appcast.xml").text());
    EXPECT_EQ(e.source(), AppSource::sparkle);

    server.script("/appcast.xml", {Reply::withStatus(503)});
    e = failure(app());
    EXPECT_EQ(e.code(), ErrorCode::SRC_FEED_404);
    EXPECT_EQ(e.message(), "feed unreachable " + server.url("/appcast.xml").text());

    server.script("/appcast.xml", {Reply::withStatus(403, "<html><body>Forbidden<br></body></html>")});
    e = failure(app());
    EXPECT_EQ(e.code(), ErrorCode::SRC_FEED_MALFORMED);
    EXPECT_EQ(e.message().rfind("XML parse failed: ", 0), 0u);

    server.script("/appcast.xml", {Reply::withStatus(403, "<html><body>Forbidden</body></html>")});
    EXPECT_FALSE(latest(app()));

    server.script("/appcast.xml", {Reply::ok("")});
    EXPECT_EQ(failure(app()).code(), ErrorCode::SRC_FEED_MALFORMED);

    // Other client errors pass through unchanged.
    auto plain = app();
    plain.sparkleFeedURL = Url::parse("http://127.0.0.1:1/appcast.xml");
    try {
        latest(plain);
        ADD_FAILURE();
    } catch (const PelError& err) {
        EXPECT_NE(err.source(), AppSource::sparkle);
    }
}

TEST_F(SparkleSourceTest, ChannelAndMinimumSystemFilters) {
    struct Case {
        const char* name;
        std::string items;
        std::optional<std::string> channel;
        std::optional<std::string> want;
    };
    const Case cases[] = {
        {"beta dropped by default", item("1.1") + item("2.0", "sparkle:channel=\"beta\""), {}, "1.1"},
        {"stable in any case stays", item("1.1") + item("1.5", "sparkle:channel=\"STABLE\""), {}, "1.5"},
        {"override Beta keeps beta and channel-less", item("1.1") + item("2.0", "sparkle:channel=\"beta\"") +
                                                         item("3.0", "sparkle:channel=\"nightly\""),
         "Beta", "2.0"},
        {"no item of the channel: nothing", item("2.0", "sparkle:channel=\"beta\""), {}, std::nullopt},
        {"minimum 14.0 stays, 15 drops",
         item("1.4", "sparkle:minimumSystemVersion=\"14.0\"") + item("2.0", "sparkle:minimumSystemVersion=\"15\""),
         {}, "1.4"},
        {"minimum equal to the running system stays", item("1.6", "sparkle:minimumSystemVersion=\"14.5\""), {},
         "1.6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.script("/appcast.xml", {Reply::ok(feedOf(c.items))});
        std::optional<OverrideEntry> o;
        if (c.channel) {
            o = OverrideEntry{};
            o->channel = c.channel;
        }
        auto r = latest(app(), o);
        EXPECT_EQ(r ? std::optional<std::string>(r->version) : std::nullopt, c.want);
    }
}

TEST_F(SparkleSourceTest, StaleFeed) {
    server.script("/appcast.xml", {Reply::ok(feedOf(item("1.2")))});
    auto e = failure(app("1.3"));
    EXPECT_EQ(e.code(), ErrorCode::SRC_FEED_STALE);
    EXPECT_EQ(e.message(), "feed advertises 1.2 but installed is 1.3");
    EXPECT_EQ(latest(app(std::nullopt))->version, "1.2");
    EXPECT_EQ(latest(app("1.2"))->version, "1.2");
}

TEST_F(SparkleSourceTest, ParsesRunAtOnceThroughOneSource) {
    std::string items;
    for (int i = 0; i < 200; ++i) items += item("1." + std::to_string(i));
    server.script("/appcast.xml", {Reply::ok(feedOf(items))});
    server.script("/other.xml", {Reply::ok(feedOf(item("9.0")))});
    SparkleSource source(*http, system);
    auto other = app();
    other.sparkleFeedURL = server.url("/other.xml", "localhost");
    std::optional<RemoteVersion> a, b;
    std::thread t([&] { a = source.latest(app(), {}); });
    b = source.latest(other, {});
    t.join();
    EXPECT_EQ(a->version, "1.199");
    EXPECT_EQ(b->version, "9.0");
}

TEST_F(SparkleSourceTest, PublishedSizeBelowOneByteIsNoSize) {
    struct Case {
        const char* length;
        std::optional<std::int64_t> size;
    } cases[] = {{"0", std::nullopt}, {"-1", std::nullopt}, {"-77679755", std::nullopt}, {"1", 1}, {"+2", 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        server.script("/appcast.xml",
                      {Reply::ok(feedOf(std::string("<item><enclosure url=\"https://dl.example/a.zip\" length=\"") +
                                        c.length + "\" sparkle:shortVersionString=\"2.0\"/></item>"))});
        auto r = latest(app());
        ASSERT_TRUE(r);
        EXPECT_EQ(r->sizeBytes, c.size);
        EXPECT_FALSE(r->sha256);
    }
}

TEST_F(SparkleSourceTest, RelativeEnclosureAddressIsResolvedAgainstTheFeedFetched) {
    server.script("/feeds/appcast.xml",
                  {Reply::ok(feedOf("<item><enclosure url=\"Spectrum.zip\" sparkle:shortVersionString=\"2.0\"/></item>"))});
    server.script("/appcast.xml",
                  {Reply::ok(feedOf("<item><enclosure url=\"/dl/Foo.zip\" sparkle:shortVersionString=\"2.0\"/></item>"))});
    OverrideEntry o;
    o.sparkleFeedURL = server.url("/feeds/appcast.xml").text();
    auto viaOverride = latest(app(), o);
    ASSERT_TRUE(viaOverride && viaOverride->downloadURL);
    EXPECT_EQ(viaOverride->downloadURL->text(), server.url("/feeds/Spectrum.zip").text());
    EXPECT_EQ(viaOverride->downloadURL->scheme(), "https");

    auto own = latest(app());
    ASSERT_TRUE(own && own->downloadURL);
    EXPECT_EQ(own->downloadURL->text(), server.url("/dl/Foo.zip").text());
}
