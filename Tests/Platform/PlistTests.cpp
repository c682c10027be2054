#include "Platform/Plist.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <random>
#include <system_error>

using platform::PlistError;
using platform::PlistValue;

namespace {

const char* kInfoXml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>com.example.foo</string>
  <key>CFBundleShortVersionString</key><string>1.2 &amp; more</string>
  <key>CFBundleVersion</key><integer>120</integer>
  <key>LSUIElement</key><true/>
  <key>Archs</key><array><string>arm64</string><string>x86_64</string></array>
</dict>
</plist>
)";

}  // namespace

TEST(Plist, XmlDictionaryAndTypedReads) {
    auto p = PlistValue::parse(kInfoXml);
    ASSERT_TRUE(p.isDictionary());
    EXPECT_EQ(p.stringForKey("CFBundleIdentifier"), "com.example.foo");
    EXPECT_EQ(p.stringForKey("CFBundleShortVersionString"), "1.2 & more");
    EXPECT_FALSE(p.stringForKey("CFBundleVersion"));  // an integer is not text
    EXPECT_EQ(p.find("CFBundleVersion")->integer(), 120);
    EXPECT_EQ(p.find("LSUIElement")->boolean(), true);
    ASSERT_TRUE(p.find("Archs")->array());
    EXPECT_EQ(p.find("Archs")->array()->size(), 2u);
    EXPECT_FALSE(p.stringForKey("Missing"));
}

TEST(Plist, BinaryRoundTrip) {
    auto p = PlistValue::parse(kInfoXml);
    std::string bin = p.toBinary();
    ASSERT_EQ(bin.rfind("bplist00", 0), 0u);
    auto q = PlistValue::parse(bin);
    EXPECT_EQ(q.stringForKey("CFBundleIdentifier"), "com.example.foo");
    EXPECT_EQ(PlistValue::parse(q.toXml()).stringForKey("CFBundleShortVersionString"), "1.2 & more");
}

TEST(Plist, NonDictionaryRootIsAValue) {
    auto p = PlistValue::parse("<plist version=\"1.0\"><array><string>a</string></array></plist>");
    EXPECT_FALSE(p.isDictionary());
    EXPECT_TRUE(p.isArray());
    EXPECT_EQ(p.find("a"), nullptr);
}

TEST(Plist, MalformedInputThrowsPlistError) {
    std::string bin = PlistValue::parse(kInfoXml).toBinary();
    for (const std::string& bad : {std::string(), std::string("not a plist"), std::string("<plist><dict><key>a"),
                                   std::string("bplist00"), bin.substr(0, bin.size() / 2)}) {
        EXPECT_THROW(PlistValue::parse(bad), PlistError) << bad.size();
    }
}

TEST(Plist, CorruptedBinaryNeverCrashes) {
    std::string bin = PlistValue::parse(kInfoXml).toBinary();
    std::mt19937 rng(7);
    for (int i = 0; i < 300; ++i) {
        std::string b = bin;
        for (int k = 0; k < 4; ++k) b[8 + rng() % (b.size() - 8)] = static_cast<char>(rng());
        try {
            PlistValue::parse(b);
        } catch (const PlistError&) {
        }
    }
}

TEST(Plist, MissingFileIsAFileSystemError) {
    EXPECT_THROW(PlistValue::readFile("/nonexistent/Info.plist"), std::system_error);
}

namespace {

void bigEndian(std::string& out, std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// A binary property list of `levels` one-level arrays, each holding `fanOut` references to the
// next, ending in a text; `cycle` makes the last array refer back to the first instead.
std::string binaryChain(int levels, int fanOut = 1, bool cycle = false) {
    std::string s = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (int i = 0; i < levels; ++i) {
        offsets.push_back(s.size());
        s.push_back(static_cast<char>(0xA0 | fanOut));
        std::uint64_t next = cycle && i == levels - 1 ? 0 : static_cast<std::uint64_t>(i + 1);
        for (int k = 0; k < fanOut; ++k)
            bigEndian(s, next, 4);
    }
    offsets.push_back(s.size());
    s += "\x51x";
    std::uint64_t table = s.size();
    for (auto o : offsets)
        bigEndian(s, o, 4);
    s.append(6, '\0');
    s.push_back(4); // offset size
    s.push_back(4); // reference size
    bigEndian(s, offsets.size(), 8);
    bigEndian(s, 0, 8);
    bigEndian(s, table, 8);
    return s;
}

// A binary dictionary of `keys` members, every value the same shared `true`.
std::string binaryDictionary(int keys) {
    std::string s = "bplist00";
    std::vector<std::uint64_t> offsets;
    offsets.push_back(s.size());
    s.push_back(static_cast<char>(0xDF));
    s.push_back(static_cast<char>(0x12)); // a 4-byte count follows
    bigEndian(s, static_cast<std::uint64_t>(keys), 4);
    for (int i = 0; i < keys; ++i)
        bigEndian(s, static_cast<std::uint64_t>(2 + i), 4);
    for (int i = 0; i < keys; ++i)
        bigEndian(s, 1, 4);
    offsets.push_back(s.size());
    s.push_back(0x09); // true
    for (int i = 0; i < keys; ++i) {
        std::string key = "k" + std::to_string(i);
        offsets.push_back(s.size());
        s.push_back(static_cast<char>(0x50 | key.size()));
        s += key;
    }
    std::uint64_t table = s.size();
    for (auto o : offsets)
        bigEndian(s, o, 4);
    s.append(6, '\0');
    s.push_back(4);
    s.push_back(4);
    bigEndian(s, offsets.size(), 8);
    bigEndian(s, 0, 8);
    bigEndian(s, table, 8);
    return s;
}

std::string errorOf(const std::string& bytes) {
    try {
        PlistValue::parse(bytes);
    } catch (const PlistError& e) {
        return e.what();
    }
    return "parsed";
}

std::string xmlDictionary(int keys) {
    std::string s = "<plist><dict>";
    for (int i = 0; i < keys; ++i)
        s += "<key>k" + std::to_string(i) + "</key><true/>";
    return s + "</dict></plist>";
}

std::string xmlNest(int levels, const std::string& filler = "") {
    std::string s = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                    "<string>x</string><key>deep</key>";
    for (int i = 0; i < levels; ++i)
        s += "<array>" + filler;
    s += "<string>leaf</string>";
    for (int i = 0; i < levels; ++i)
        s += "</array>";
    return s + "</dict></plist>";
}

} // namespace

// The parser underneath recurses per level: such documents must be refused before it sees them
// (each refusal's message is that of a check made before parsing).
TEST(Plist, DeepNestingIsRefusedWithoutCrashing) {
    const std::string xmlTooDeep = "property list nested too deeply";
    const std::string binaryTooDeep = "property list nested too deeply or too large";
    struct Case {
        const char* name;
        std::string bytes;
        std::string error; // empty: parses
    };
    const std::vector<Case> cases = {
        {"XML, 200 levels", xmlNest(200), ""},
        {"XML, 300 levels", xmlNest(300), xmlTooDeep},
        {"XML, 130000 levels", xmlNest(130'000), xmlTooDeep},
        {"XML, 300000 levels", xmlNest(300'000), "property list too large"}, // counted first
        {"XML, tags in comments, CDATA and attributes do not nest",
         xmlNest(200, "<!-- <array><array> --><string a=\"<array>\"><![CDATA[<array><dict>]]></string>"),
         ""},
        {"binary, 200 levels", binaryChain(200), ""},
        {"binary, 300 levels", binaryChain(300), binaryTooDeep},
        {"binary, 200000 levels", binaryChain(200'000), binaryTooDeep},
        {"binary, a reference cycle", binaryChain(50, 1, true), binaryTooDeep},
        // Shared references: 60 objects, 2^60 paths through them.
        {"binary, shared references within bounds", binaryChain(12, 2), ""},
        {"binary, shared references unfolding past any Info.plist", binaryChain(60, 2), binaryTooDeep},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.error.empty()) {
            EXPECT_NO_THROW(PlistValue::parse(c.bytes));
        } else {
            EXPECT_EQ(errorOf(c.bytes), c.error);
        }
    }
    EXPECT_EQ(PlistValue::parse(xmlNest(200)).stringForKey("CFBundleIdentifier"), "x");
}

TEST(Plist, SomethingOtherThanAFileIsAReadError) {
    pelsupport::TempDir dir("pel-plist");
    std::filesystem::create_directory(dir / "folder.plist");
    try {
        PlistValue::readFile((dir / "folder.plist").string());
        FAIL() << "read a folder";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::is_a_directory);
    }

    // A pipe with no writer must not block the reader.
    const std::string fifo = (dir / "pipe.plist").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto read = std::async(std::launch::async, [&] { PlistValue::readFile(fifo); });
    if (read.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "reading a pipe blocked";
        int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK); // lets the reader go
        if (w >= 0) ::close(w);
    }
    EXPECT_THROW(read.get(), std::system_error);
}

// libplist is quadratic in the members of one dictionary and the entities of one text: a
// hostile document of a few megabytes would take minutes. Each refusal's message is that of a
// count made before parsing.
TEST(Plist, DocumentsTooCostlyToParseAreRefused) {
    std::string entities = "<plist><string>";
    for (int i = 0; i < 70'000; ++i)
        entities += "&amp;";
    entities += "</string></plist>";
    const std::string tooLarge = "property list too large";
    struct Case {
        const char* name;
        std::string bytes;
        std::string error; // empty: parses
    };
    const std::vector<Case> cases = {
        {"XML, 10000 keys", xmlDictionary(10'000), ""},
        {"XML, 140000 keys", xmlDictionary(140'000), tooLarge},
        {"XML, 70000 entities", entities, tooLarge},
        {"binary, 10000 keys", binaryDictionary(10'000), ""},
        {"binary, 140000 keys", binaryDictionary(140'000), "property list nested too deeply or too large"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.error.empty()) {
            EXPECT_EQ(PlistValue::parse(c.bytes).dictionary()->size(), 10'000u);
        } else {
            EXPECT_EQ(errorOf(c.bytes), c.error);
        }
    }
}
