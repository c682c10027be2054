#include "PelKit/Journal.hpp"
#include "PelKit/UpdateSources/Sparkle.hpp"
#include "PelKit/UpdateSources/SparkleEncoding.hpp"

#include <gtest/gtest.h>

using namespace pelkit;

namespace {

// A feed in `encoding` with one item whose version and channel are the given raw bytes.
std::string feedIn(const std::string& encoding, const std::string& version, const std::string& channel) {
    return "<?xml version=\"1.0\" encoding=\"" + encoding +
           "\"?>\n<rss xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>"
           "<title>T\xff\xfe</title><item><sparkle:shortVersionString>" +
           version + "</sparkle:shortVersionString><enclosure url=\"https://x/a.zip\" sparkle:channel=\"" + channel +
           "\"/></item></channel></rss>";
}

std::string utf16le(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

}  // namespace

TEST(SparkleEncoding, EncodingsExpatLacksAreDecodedThroughICU) {
    struct Case {
        const char* name;
        std::string encoding;
        std::string version;  // raw bytes in the encoding
        std::string channel;
        std::string wantVersion;  // UTF-8
        std::string wantChannel;
    } cases[] = {
        // Single-byte: an expat byte map built from the converter.
        {"windows-1252", "windows-1252", "2.0\x96" "beta\x80", "b\xe9ta\x93", "2.0\u2013beta\u20ac", "b\u00e9ta\u201c"},
        {"ISO-8859-8, unassigned byte", "ISO-8859-8", "2.0\xa1\xe0", "x", "2.0\ufffd\u05d0", "x"},
        {"windows-1252, C1 byte as ICU maps it", "windows-1252", "2.0\x81", "x", "2.0\u0081", "x"},
        {"cp1251", "windows-1251", "1.0 \xc1\xe5\xf2\xe0", "x", "1.0 \u0411\u0435\u0442\u0430", "x"},
        {"ISO-8859-15", "ISO-8859-15", "3\xa4", "x", "3\u20ac", "x"},
        {"KOI8-R", "KOI8-R", "1\xc2", "x", "1\u0431", "x"},
        // Multi-byte: the whole document converted to UTF-8 first.
        {"Shift_JIS", "Shift_JIS", "1.0\x94\xc5", "\x83\x5c", "1.0\u7248", "\u30bd"},
        {"EUC-JP", "EUC-JP", "1.0\xc8\xc7", "x", "1.0\u7248", "x"},
        {"GB18030", "GB18030", "1.0\xb0\xe6", "x", "1.0\u7248", "x"},
        {"Big5", "Big5", "1.0\xaa\xa9", "x", "1.0\u7248", "x"},
        {"EUC-KR", "EUC-KR", "1.0\xc6\xc7", "x", "1.0\ud310", "x"},
        {"Shift_JIS, ill-formed lead byte", "Shift_JIS", "1.0\xa0", "x", "1.0\ufffd", "x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<SparkleSource::Item> items;
        ASSERT_NO_THROW(items = SparkleSource::parse(feedIn(c.encoding, c.version, c.channel)));
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].version, c.wantVersion);
        EXPECT_EQ(items[0].channel, c.wantChannel);
        EXPECT_EQ(items[0].enclosureURL->text(), "https://x/a.zip");
        // What reaches the records can be journalled.
        EXPECT_TRUE(Journal::serialize(Json{{"version", items[0].version}, {"channel", *items[0].channel}}));
    }
}

TEST(SparkleEncoding, IllFormedUTF8BecomesReplacementCharacters) {
    struct Case {
        const char* name;
        std::string declared;
        std::string version;
        std::string want;
    } cases[] = {
        {"Latin-1 byte in a UTF-8 feed", "utf-8", "1.0 b\xe9ta", "1.0 b\ufffdta"},
        {"truncated sequence", "UTF-8", "1.0\xe2\x82", "1.0\ufffd"},
        {"surrogate encoded", "UTF-8", "1.0\xed\xa0\x80", "1.0\ufffd\ufffd\ufffd"},
        {"no declaration", "", "2\xff", "2\ufffd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string body = feedIn(c.declared, c.version, "stable");
        if (c.declared.empty()) body.erase(0, body.find("<rss"));
        std::vector<SparkleSource::Item> items;
        ASSERT_NO_THROW(items = SparkleSource::parse(body));
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].version, c.want);
        EXPECT_EQ(items[0].channel, "stable");
    }
}

TEST(SparkleEncoding, NativeEncodingsAndRefusals) {
    // Encodings expat reads itself are untouched by the fallback.
    auto latin1 = SparkleSource::parse(feedIn("ISO-8859-1", "1\xe9", "x"));
    ASSERT_EQ(latin1.size(), 1u);
    EXPECT_EQ(latin1[0].version, "1\u00e9");
    auto wide = SparkleSource::parse(
        utf16le("<rss><channel><item><sparkle:shortVersionString>4.2</sparkle:shortVersionString></item></channel></rss>"));
    ASSERT_EQ(wide.size(), 1u);
    EXPECT_EQ(wide[0].version, "4.2");

    // An encoding nobody knows, and markup that is broken whatever the encoding, stay malformed.
    for (const std::string& body :
         {feedIn("x-no-such-encoding", "1", "x"), std::string("<rss><item>\xe9</rss>"),
          feedIn("windows-1252", "1</item>", "x"), feedIn("Shift_JIS", "1", "x").substr(0, 90)}) {
        try {
            SparkleSource::parse(body);
            ADD_FAILURE() << "parsed: " << body;
        } catch (const PelError& e) {
            EXPECT_EQ(e.code(), ErrorCode::SRC_FEED_MALFORMED);
            EXPECT_TRUE(e.message().starts_with("XML parse failed: ")) << e.message();
        }
    }
}

TEST(SparkleEncoding, SingleByteEncodingsBecomeAByteMapOthersAreConvertedWhole) {
    struct Case {
        const char* name;
        bool byteMap;
        bool known;
    } cases[] = {
        {"windows-1252", true, true}, {"KOI8-R", true, true},   {"Shift_JIS", false, true},
        {"GB18030", false, true},     {"ibm-037", false, true}, {"x-no-such-encoding", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        XML_Encoding info{};
        appcast::EncodingNote note;
        EXPECT_EQ(appcast::unknownEncoding(&note, c.name, &info) == XML_STATUS_OK, c.byteMap);
        EXPECT_TRUE(note.asked);
        EXPECT_EQ(note.convertWhole.has_value(), !c.byteMap && c.known);
        if (c.byteMap) {
            for (int ascii : {'<', '>', '&', '"', 'a', '\n'})
                EXPECT_EQ(info.map[ascii], ascii);
            EXPECT_EQ(info.convert, nullptr);
        }
    }
}
