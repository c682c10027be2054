#include "PelKit/Models.hpp"

#include <gtest/gtest.h>

using namespace pelkit;

namespace {

InstalledApp sampleApp() {
    return InstalledApp{*Url::parse("file:///Applications/Foo.app"),
                        "com.example.foo",
                        "Foo",
                        "1.2",
                        "120",
                        "Foo",
                        "13.0",
                        Url::parse("https://example.com/appcast.xml"),
                        false,
                        false,
                        "ABCDE12345",
                        {"arm64", "x86_64"}};
}

}  // namespace

TEST(RawValues, EveryCaseRoundTrips) {
    for (int i = 0; i < 4; ++i) {
        auto v = static_cast<AppSource>(i);
        EXPECT_EQ(fromRawValue<AppSource>(rawValue(v)), v);
    }
    for (int i = 0; i < 5; ++i) {
        auto v = static_cast<Outcome>(i);
        EXPECT_EQ(fromRawValue<Outcome>(rawValue(v)), v);
    }
    for (int i = 0; i < 21; ++i) {
        auto v = static_cast<ErrorCode>(i);
        EXPECT_EQ(fromRawValue<ErrorCode>(rawValue(v)), v) << rawValue(v);
    }
    for (int i = 0; i < 6; ++i) {
        auto v = static_cast<ErrorClass>(i);
        EXPECT_EQ(fromRawValue<ErrorClass>(rawValue(v)), v);
    }
    for (int i = 0; i < 4; ++i) EXPECT_EQ(rawValue(*exitCodeFromRawValue(i)), i);
    EXPECT_FALSE(exitCodeFromRawValue(4));
    EXPECT_FALSE(exitCodeFromRawValue(-1));
}

TEST(RawValues, OnlyExactTextConverts) {
    for (const char* text : {"Homebrew", "HOMEBREW", "macappstore", "MacAppStore", "", " none", "none "}) {
        EXPECT_FALSE(fromRawValue<AppSource>(text)) << text;
    }
    for (const char* text : {"net_timeout", " NET_TIMEOUT", "NET_TIMEOUT ", "Net_Timeout", ""}) {
        EXPECT_FALSE(fromRawValue<ErrorCode>(text)) << text;
    }
    EXPECT_FALSE(fromRawValue<Outcome>("UpToDate"));
    EXPECT_FALSE(fromRawValue<ErrorClass>("Safety"));
    EXPECT_EQ(fromRawValue<ErrorCode>("NET_TIMEOUT"), ErrorCode::NET_TIMEOUT);
}

TEST(ErrorTaxonomy, ClassTableFollowsCodeOrder) {
    std::string classes;
    for (int i = 0; i < 21; ++i) {
        classes += std::string(rawValue(klass(static_cast<ErrorCode>(i)))) + " ";
    }
    EXPECT_EQ(classes,
              "transient transient transient transient "
              "sourceDefect sourceDefect sourceDefect sourceDefect sourceDefect sourceDefect "
              "localEnv localEnv localEnv localEnv safety safety safety "
              "unsupported unsupported unsupported internalBug ");
    EXPECT_TRUE(retryable(ErrorClass::transient));
    for (auto c : {ErrorClass::sourceDefect, ErrorClass::localEnv, ErrorClass::safety, ErrorClass::unsupported,
                   ErrorClass::internalBug}) {
        EXPECT_FALSE(retryable(c)) << rawValue(c);
    }
}

TEST(PelErrorText, GenericRendering) {
    struct Case {
        PelError error;
        std::string text;
    };
    const Case cases[] = {
        {PelError(ErrorCode::INT_UNEXPECTED, std::nullopt, std::nullopt, "boom", false),
         R"(PelError(code: PelKit.ErrorCode.INT_UNEXPECTED, bundleID: nil, source: nil, message: "boom", overrideCanFix: false))"},
        {PelError(ErrorCode::SRC_FEED_404, "com.example.foo", AppSource::sparkle, "feed 404", true),
         R"(PelError(code: PelKit.ErrorCode.SRC_FEED_404, bundleID: Optional("com.example.foo"), source: Optional(PelKit.AppSource.sparkle), message: "feed 404", overrideCanFix: true))"},
        {PelError(ErrorCode::NET_DNS, "a\"b", AppSource::none, "say \"hi\" it's a\\b\t\n\r" + std::string(1, '\0'),
                  false),
         R"(PelError(code: PelKit.ErrorCode.NET_DNS, bundleID: Optional("a\"b"), source: Optional(PelKit.AppSource.none), message: "say \"hi\" it\'s a\\b\t\n\r\0", overrideCanFix: false))"},
        {PelError(ErrorCode::UNS_PKG, std::nullopt, std::nullopt, "caf\xC3\xA9 \x1b", false),
         "PelError(code: PelKit.ErrorCode.UNS_PKG, bundleID: nil, source: nil, message: \"caf\xC3\xA9 \\u{1B}\", "
         "overrideCanFix: false)"},
    };
    for (const auto& c : cases) EXPECT_EQ(std::string(c.error.what()), c.text);
}

TEST(PelErrorText, DisplayFormAndThrowing) {
    try {
        throw PelError(ErrorCode::ENV_DISK_FULL, "x", std::nullopt, "need more", false);
    } catch (const std::exception& e) {
        auto* pel = dynamic_cast<const PelError*>(&e);
        ASSERT_NE(pel, nullptr);
        EXPECT_EQ(displayText(*pel), "[ENV_DISK_FULL] need more");
    }
}

TEST(InstalledAppRecord, EqualityIsFieldByField) {
    auto a = sampleApp();
    auto b = sampleApp();
    EXPECT_EQ(a, b);
    b.archs = {"x86_64", "arm64"};
    EXPECT_NE(a, b);
    auto c = sampleApp();
    auto d = sampleApp();
    c.teamID = std::nullopt;
    d.teamID = "";
    EXPECT_NE(c, d);
}

TEST(InstalledAppRecord, JsonRoundTripKeepsEveryField) {
    auto app = sampleApp();
    Json j = toJson(app);
    EXPECT_EQ(j["path"], "file:///Applications/Foo.app");
    EXPECT_EQ(j["sparkleFeedURL"], "https://example.com/appcast.xml");
    EXPECT_EQ(installedAppFromJson(Json::parse(j.dump())), app);
}

TEST(InstalledAppRecord, AbsentOptionalsAreLeftOut) {
    InstalledApp app{*Url::parse("file:///A.app"), "id", "A", {}, {}, {}, {}, {}, true, false, {}, {}};
    Json j = toJson(app);
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"archs", "bundleID", "isAppleOwned", "isMacAppStore", "name", "path"}));
    EXPECT_EQ(j.dump().find("null"), std::string::npos);
    EXPECT_EQ(installedAppFromJson(j), app);
}

TEST(InstalledAppRecord, DecodeFailsPerRequiredKey) {
    const Json good = toJson(sampleApp());
    struct Case {
        std::string key;
        Json value;  // null means: remove the key
    };
    const Case cases[] = {
        {"path", nullptr},          {"path", 5},           {"path", "not a url"}, {"bundleID", nullptr},
        {"bundleID", 1},            {"name", nullptr},     {"name", false},       {"isMacAppStore", nullptr},
        {"isMacAppStore", "false"}, {"isAppleOwned", nullptr}, {"isAppleOwned", 0}, {"archs", nullptr},
        {"archs", "arm64"},         {"archs", Json::array({1})}, {"teamID", 7},   {"sparkleFeedURL", true},
    };
    for (const auto& c : cases) {
        Json j = good;
        if (c.value.is_null()) {
            j.erase(c.key);
        } else {
            j[c.key] = c.value;
        }
        try {
            installedAppFromJson(j);
            ADD_FAILURE() << "decoded despite bad " << c.key;
        } catch (const platform::JsonDecodeError& e) {
            EXPECT_NE(std::string(e.what()).find(c.key), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(installedAppFromJson(Json::array()), platform::JsonDecodeError);
}

TEST(EnumJson, SourceAndCodeAreSingleStrings) {
    EXPECT_EQ(Json(AppSource::macAppStore).dump(), "\"macAppStore\"");
    EXPECT_EQ(Json(ErrorCode::SEC_TEAMID_MISMATCH).dump(), "\"SEC_TEAMID_MISMATCH\"");
    EXPECT_EQ(Json::parse("\"sparkle\"").get<AppSource>(), AppSource::sparkle);
    EXPECT_THROW(Json::parse("\"Sparkle\"").get<AppSource>(), platform::JsonDecodeError);
    EXPECT_THROW(Json::parse("3").get<ErrorCode>(), platform::JsonDecodeError);
}
