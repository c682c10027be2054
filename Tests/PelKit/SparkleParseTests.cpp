#include "PelKit/UpdateSources/Sparkle.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <filesystem>

using namespace pelkit;

namespace {

std::string feed(const std::string& items) {
    return R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
<channel><title>Foo</title>
)" + items + "</channel></rss>";
}

SparkleSource::Item only(const std::string& items) {
    auto parsed = SparkleSource::parse(feed(items));
    EXPECT_EQ(parsed.size(), 1u);
    return parsed.empty() ? SparkleSource::Item{} : parsed[0];
}

}  // namespace

TEST(SparkleParse, PrecedenceRules) {
    struct Case {
        const char* name;
        const char* item;
        std::string version;
        std::optional<std::string> build;
        std::optional<std::string> channel;
    };
    const Case cases[] = {
        {"element version beats attribute (attribute first)",
         R"(<item><enclosure url="https://x/a.zip" sparkle:shortVersionString="2.0"/><sparkle:shortVersionString>2.1</sparkle:shortVersionString></item>)",
         "2.1", {}, {}},
        {"element version beats attribute (element first)",
         R"(<item><sparkle:shortVersionString>2.1</sparkle:shortVersionString><enclosure url="https://x/a.zip" sparkle:shortVersionString="2.0"/></item>)",
         "2.1", {}, {}},
        {"last non-empty version element wins",
         R"(<item><sparkle:shortVersionString>1</sparkle:shortVersionString><sparkle:shortVersionString>2</sparkle:shortVersionString><sparkle:shortVersionString>  </sparkle:shortVersionString></item>)",
         "2", {}, {}},
        {"first build: element before attribute",
         R"(<item><sparkle:version>100</sparkle:version><enclosure sparkle:version="200" sparkle:shortVersionString="1"/></item>)",
         "1", "100", {}},
        {"first build: attribute before element",
         R"(<item><enclosure sparkle:version="200" sparkle:shortVersionString="1"/><sparkle:version>100</sparkle:version></item>)",
         "1", "200", {}},
        {"empty attribute counts as a build",
         R"(<item><enclosure sparkle:version="" sparkle:shortVersionString="1"/><sparkle:version>100</sparkle:version></item>)",
         "1", "", {}},
        {"channel attribute overrides element (element first)",
         R"(<item><sparkle:channel>beta</sparkle:channel><enclosure sparkle:channel="stable" sparkle:shortVersionString="1"/></item>)",
         "1", {}, "stable"},
        {"channel attribute is not replaced by a later element",
         R"(<item><enclosure sparkle:channel="stable" sparkle:shortVersionString="1"/><sparkle:channel>beta</sparkle:channel></item>)",
         "1", {}, "stable"},
        {"CDATA text counts",
         R"(<item><sparkle:shortVersionString><![CDATA[2.1]]></sparkle:shortVersionString><sparkle:version><![CDATA[ 210 ]]></sparkle:version></item>)",
         "2.1", "210", {}},
        {"white space only changes nothing, trimmed text",
         "<item><sparkle:shortVersionString>\n  3.0\u00a0\n</sparkle:shortVersionString><sparkle:channel> \n</sparkle:channel></item>",
         "3.0", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto item = only(c.item);
        EXPECT_EQ(item.version, c.version);
        EXPECT_EQ(item.build, c.build);
        EXPECT_EQ(item.channel, c.channel);
    }
}

TEST(SparkleParse, EnclosuresAndLengths) {
    auto item = only(R"(<item><sparkle:shortVersionString>1</sparkle:shortVersionString>
        <enclosure url="https://x/one.zip" length="10"/>
        <enclosure url="https://x/two.zip" length="-20"/>
        <enclosure url="not a url" length="1,000"/></item>)");
    ASSERT_TRUE(item.enclosureURL);
    EXPECT_EQ(item.enclosureURL->text(), "https://x/two.zip");
    EXPECT_EQ(item.length, -20);

    for (const char* bad : {"1,000", " 5", "5 ", "", "+", "0x10", "99999999999999999999"}) {
        auto i = only(std::string(R"(<item><enclosure sparkle:shortVersionString="1" length=")") + bad + "\"/></item>");
        EXPECT_FALSE(i.length) << bad;
    }
    EXPECT_EQ(only(R"(<item><enclosure sparkle:shortVersionString="1" length="+7"/></item>)").length, 7);
}

TEST(SparkleParse, ItemsWithoutVersionAndStrayEnclosuresDrop) {
    auto items = SparkleSource::parse(feed(R"(
        <enclosure url="https://x/outside.zip" sparkle:shortVersionString="9"/>
        <item><sparkle:version>100</sparkle:version></item>
        <item><title>unclosed then reopened</title><enclosure sparkle:shortVersionString="5"/>
        <item><enclosure url="https://x/b.zip" sparkle:shortVersionString="6"/></item>
        <item><description><![CDATA[<h1>2.0</h1><p>notes</p>]]></description><sparkle:shortVersionString>7</sparkle:shortVersionString></item>
        </item>)"));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].version, "6");
    EXPECT_EQ(items[0].enclosureURL->text(), "https://x/b.zip");
    EXPECT_EQ(items[1].version, "7");
}

TEST(SparkleParse, MalformedInputIsFeedMalformed) {
    const std::string bomb = R"(<?xml version="1.0"?>
<!DOCTYPE lolz [<!ENTITY lol "lol"><!ENTITY lol2 "&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;">
<!ENTITY lol3 "&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;">]>
<rss><channel><item><sparkle:shortVersionString>&lol3;</sparkle:shortVersionString></item></channel></rss>)";
    const std::string external = R"(<?xml version="1.0"?>
<!DOCTYPE r [<!ENTITY x SYSTEM "file:///etc/passwd">]><rss><item><sparkle:shortVersionString>&x;</sparkle:shortVersionString></item></rss>)";
    for (const std::string& body : {std::string(), std::string("<html><body>Forbidden</body>"),
                                    std::string("<rss><channel><item></channel></rss>"), bomb, external}) {
        try {
            SparkleSource::parse(body);
            ADD_FAILURE() << "parsed: " << body;
        } catch (const PelError& e) {
            EXPECT_EQ(e.code(), ErrorCode::SRC_FEED_MALFORMED);
            EXPECT_EQ(e.source(), AppSource::sparkle);
            EXPECT_EQ(e.message().rfind("XML parse failed: ", 0), 0u) << e.message();
        }
    }
    EXPECT_TRUE(SparkleSource::parse("<html><body><p>Forbidden</p></body></html>").empty());
}

TEST(SparkleParse, LargeFeedInOnePass) {
    std::string items;
    for (int i = 0; i < 3000; ++i) {
        items += "<item><title>r</title><description><![CDATA[" + std::string(500, 'x') +
                 "]]></description><enclosure url=\"https://x/" + std::to_string(i) +
                 ".zip\" sparkle:shortVersionString=\"1." + std::to_string(i) + "\" length=\"12\"/></item>\n";
    }
    auto parsed = SparkleSource::parse(feed(items));
    ASSERT_EQ(parsed.size(), 3000u);
    EXPECT_EQ(parsed.back().version, "1.2999");
}

namespace {

std::string realAppcast(const std::string& name) {
    return pelsupport::readText(std::filesystem::path(PEL_TEST_SOURCE_DIR) / "Tests/Fixtures/realworld/appcasts" / name);
}

}  // namespace

TEST(SparkleParse, DeltaEnclosuresAreNotTheRelease) {
    // Real feeds: the full archive first, then binary patches inside <sparkle:deltas>.
    struct Case {
        const char* file;
        std::size_t items;
        const char* url;
        std::int64_t length;
    } cases[] = {
        {"mythic.xml", 3,
         "https://dl.getmythic.app/updates/92033dfd-7a35-4629-9ca5-60d66576fb65/Mythic.zip", 31858295},
        {"swish.xml", 1, "https://github.com/chrenn/swish-dl/releases/download/1.13.2/Swish.sparkle.dmg",
         10562211},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        auto items = SparkleSource::parse(realAppcast(c.file));
        ASSERT_EQ(items.size(), c.items);
        ASSERT_TRUE(items[0].enclosureURL);
        EXPECT_EQ(items[0].enclosureURL->text(), c.url);
        EXPECT_EQ(items[0].length, c.length);
        for (const auto& item : items) {
            ASSERT_TRUE(item.enclosureURL) << item.version;
            EXPECT_FALSE(item.enclosureURL->text().ends_with(".delta")) << item.version;
        }
    }

    // A delta's attributes set nothing either, even before the item's own enclosure.
    auto item = only(R"(<item><sparkle:deltas><enclosure url="https://x/p.delta" length="5"
        sparkle:shortVersionString="9" sparkle:version="900" sparkle:channel="beta"/></sparkle:deltas>
        <enclosure url="https://x/full.zip" length="50" sparkle:shortVersionString="2"/></item>)");
    EXPECT_EQ(item.version, "2");
    EXPECT_FALSE(item.build);
    EXPECT_FALSE(item.channel);
    EXPECT_EQ(item.enclosureURL->text(), "https://x/full.zip");
    EXPECT_EQ(item.length, 50);
}

TEST(SparkleParse, EnclosuresForAnotherSystemAreNotTheItems) {
    struct Case {
        const char* name;
        const char* enclosures;
        std::optional<std::string> url;  // nullopt with dropped: no item at all
        bool dropped = false;
    } cases[] = {
        {"no os attribute", R"(<enclosure url="https://x/mac.zip"/>)", "https://x/mac.zip"},
        {"macos", R"(<enclosure url="https://x/mac.zip" sparkle:os="macos"/>)", "https://x/mac.zip"},
        {"macOS in other letter case", R"(<enclosure url="https://x/mac.zip" sparkle:os="macOS"/>)",
         "https://x/mac.zip"},
        {"windows after mac", R"(<enclosure url="https://x/mac.zip" sparkle:os="macos"/>
            <enclosure url="https://x/win.exe" sparkle:os="windows" length="9"/>)",
         "https://x/mac.zip"},
        {"windows before mac", R"(<enclosure url="https://x/win.exe" sparkle:os="windows"/>
            <enclosure url="https://x/mac.zip"/>)",
         "https://x/mac.zip"},
        {"empty os", R"(<enclosure url="https://x/mac.zip"/><enclosure url="https://x/o.zip" sparkle:os=""/>)",
         "https://x/mac.zip"},
        {"only windows", R"(<enclosure url="https://x/win.exe" sparkle:os="windows"/>)", std::nullopt, true},
        {"no enclosure at all", "", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto items = SparkleSource::parse(feed(std::string("<item><sparkle:shortVersionString>1</sparkle:shortVersionString>") +
                                               c.enclosures + "</item>"));
        if (c.dropped) {
            EXPECT_TRUE(items.empty());
            continue;
        }
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].enclosureURL ? std::optional(items[0].enclosureURL->text()) : std::nullopt, c.url);
        EXPECT_FALSE(items[0].length);
    }
}

TEST(SparkleParse, RelativeEnclosureAddressesFollowTheFeed) {
    const auto feedURL = Url::parse("https://feeds.example/app/appcast.xml?track=1");
    struct Case {
        const char* url;
        std::optional<std::string> resolved;
    } cases[] = {
        {"Spectrum.zip", "https://feeds.example/app/Spectrum.zip"},
        {"/dl/Spectrum.zip", "https://feeds.example/dl/Spectrum.zip"},
        {"../Spectrum.zip", "https://feeds.example/Spectrum.zip"},
        {"//cdn.example/Spectrum.zip", "https://cdn.example/Spectrum.zip"},
        {"https://dl.example/a.zip", "https://dl.example/a.zip"},
        {"http://dl.example/a.zip", "http://dl.example/a.zip"},  // kept; the downloader refuses it
        {"", std::nullopt},                                        // would be the feed itself
        {"#top", std::nullopt},
        {"has space.zip", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const std::string body = feed(std::string(R"(<item><enclosure sparkle:shortVersionString="1" url=")") +
                                      c.url + "\"/></item>");
        auto items = SparkleSource::parse(body, feedURL);
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].enclosureURL ? std::optional(items[0].enclosureURL->text()) : std::nullopt, c.resolved);
    }

    // The real feed whose oldest item names its archive relative to the feed.
    auto items = SparkleSource::parse(realAppcast("impact-spectrum.xml"),
                                      Url::parse("https://impact-boulder.github.io/appcast.xml"));
    ASSERT_EQ(items.size(), 6u);
    EXPECT_EQ(items.back().version, "3.0.8");
    ASSERT_TRUE(items.back().enclosureURL);
    EXPECT_EQ(items.back().enclosureURL->text(), "https://impact-boulder.github.io/Spectrum.zip");
    EXPECT_EQ(items.front().enclosureURL->text(), "https://impact.colorado.edu/Spectrum.zip");
}
