#include "Tally/Helpers/TelemetryEncoder.hpp"
#include "Tally/Signals/SignalPostBody.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

using platform::Json;
using tally::DateRule;
using tally::SignalPostBody;

namespace {

SignalPostBody sample() {
    SignalPostBody b;
    b.receivedAt = 736257600.0; // 2024-05-01 12:00:00 UTC
    b.appID = "com.pelloran";
    b.clientUser = "c0ffee";
    b.sessionID = "8F1D2C3B-0000-4000-8000-000000000001";
    b.type = "app.launched";
    b.floatValue = 1.5;
    b.payload = {{"platform", "macOS"}, {"path", "/a/b"}};
    b.isTestMode = "false";
    return b;
}

Json validBackup() { return tally::toJson(sample(), DateRule::backup); }

} // namespace

TEST(SignalPostBody, WireBytesOfOneRecord) {
    EXPECT_EQ(tally::encodeSignals({sample()}, DateRule::wire),
              R"([{"appID":"com.pelloran","clientUser":"c0ffee","floatValue":1.5,"isTestMode":"false",)"
              R"("payload":{"path":"/a/b","platform":"macOS"},"receivedAt":"2024-05-01T12:00:00+0000",)"
              R"("sessionID":"8F1D2C3B-0000-4000-8000-000000000001","type":"app.launched"}])");
    SignalPostBody noFloat = sample();
    noFloat.floatValue.reset();
    const Json j = tally::toJson(noFloat, DateRule::wire);
    EXPECT_FALSE(j.contains("floatValue"));
    EXPECT_EQ(j.size(), 7u);
}

TEST(SignalPostBody, BackupRoundTripIsExact) {
    SignalPostBody b = sample();
    b.receivedAt = 736257600.123456789; // a fraction no decimal text of fewer digits holds
    b.floatValue.reset();
    b.payload["ünïcode"] = "€ — →";
    const std::string text = tally::encodeSignals({b, sample()}, DateRule::backup);
    const Json parsed = Json::parse(text);
    ASSERT_TRUE(parsed.is_array());
    EXPECT_TRUE(parsed[0]["receivedAt"].is_number());
    const SignalPostBody back = tally::signalPostBodyFromJson(parsed[0]);
    EXPECT_EQ(back, b);
    EXPECT_EQ(tally::signalPostBodyFromJson(parsed[1]), sample());
}

TEST(SignalPostBody, Equality) {
    SignalPostBody other = sample();
    EXPECT_EQ(other, sample());
    other.payload["platform"] = "Linux";
    EXPECT_NE(other, sample());
    other = sample();
    other.floatValue.reset();
    EXPECT_NE(other, sample());
}

TEST(SignalPostBody, DecodingTable) {
    struct Case {
        const char* name;
        void (*edit)(Json&);
        bool decodes;
    };
    const Case cases[] = {
        {"valid", [](Json&) {}, true},
        {"receivedAt missing", [](Json& j) { j.erase("receivedAt"); }, false},
        {"receivedAt text", [](Json& j) { j["receivedAt"] = "2024-05-01T12:00:00+0000"; }, false},
        {"receivedAt integer", [](Json& j) { j["receivedAt"] = 736257600; }, true},
        {"appID missing", [](Json& j) { j.erase("appID"); }, false},
        {"appID number", [](Json& j) { j["appID"] = 1; }, false},
        {"clientUser missing", [](Json& j) { j.erase("clientUser"); }, false},
        {"clientUser null", [](Json& j) { j["clientUser"] = nullptr; }, false},
        {"sessionID missing", [](Json& j) { j.erase("sessionID"); }, false},
        {"sessionID array", [](Json& j) { j["sessionID"] = Json::array(); }, false},
        {"type missing", [](Json& j) { j.erase("type"); }, false},
        {"type object", [](Json& j) { j["type"] = Json::object(); }, false},
        {"payload missing", [](Json& j) { j.erase("payload"); }, false},
        {"payload array", [](Json& j) { j["payload"] = Json::array(); }, false},
        {"payload number value", [](Json& j) { j["payload"]["n"] = 3; }, false},
        {"payload null value", [](Json& j) { j["payload"]["n"] = nullptr; }, false},
        {"isTestMode missing", [](Json& j) { j.erase("isTestMode"); }, false},
        {"isTestMode boolean", [](Json& j) { j["isTestMode"] = true; }, false},
        {"floatValue missing", [](Json& j) { j.erase("floatValue"); }, true},
        {"floatValue null", [](Json& j) { j["floatValue"] = nullptr; }, true},
        {"floatValue text", [](Json& j) { j["floatValue"] = "1.5"; }, false},
        {"floatValue boolean", [](Json& j) { j["floatValue"] = false; }, false},
        {"extra keys", [](Json& j) { j["extra"] = Json::array({1, 2}); j["more"] = nullptr; }, true},
        {"not an object", [](Json& j) { j = Json::array(); }, false},
    };
    for (const auto& c : cases) {
        Json j = validBackup();
        c.edit(j);
        if (c.decodes) {
            EXPECT_NO_THROW(tally::signalPostBodyFromJson(j)) << c.name;
        } else {
            EXPECT_THROW(tally::signalPostBodyFromJson(j), platform::JsonDecodeError) << c.name;
        }
    }
    Json j = validBackup();
    j["floatValue"] = nullptr;
    EXPECT_FALSE(tally::signalPostBodyFromJson(j).floatValue);
}

TEST(SignalPostBody, UnencodableRecordsAreReportedNotAltered) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (DateRule rule : {DateRule::wire, DateRule::backup}) {
        SignalPostBody b = sample();
        b.floatValue = nan;
        EXPECT_THROW(tally::encodeSignals({sample(), b}, rule), tally::EncodingError);
        b.floatValue = -inf;
        EXPECT_THROW(tally::encodeSignals({b}, rule), tally::EncodingError);

        b = sample();
        b.receivedAt = inf;
        EXPECT_THROW(tally::encodeSignals({b}, rule), tally::EncodingError);

        b = sample();
        b.payload["bad"] = std::string("\xff\xfe", 2);
        EXPECT_THROW(tally::encodeSignals({b}, rule), tally::EncodingError);
        b = sample();
        b.type = "cut \xe2\x82";
        EXPECT_THROW(tally::encodeSignals({b}, rule), tally::EncodingError);
        b = sample();
        b.payload[std::string("\xc0\xaf")] = "overlong key";
        EXPECT_THROW(tally::encodeSignals({b}, rule), tally::EncodingError);
    }
}
