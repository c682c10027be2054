#include "Platform/Plist.hpp"

#include <gtest/gtest.h>

#include <random>

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
