#include "PelKit/Telemetry.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace pelkit;

namespace {

struct RecordingSink : TelemetrySink {
    std::vector<Tags> captured;
    void captureError(const PelError&, const Tags& tags) override { captured.push_back(tags); }
    void breadcrumb(const std::string&, const std::string&, const Json&) override {}
};

struct SinkScope {
    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    SinkScope() { Telemetry::setImpl(sink); }
    ~SinkScope() { Telemetry::setImpl(std::make_shared<NoopTelemetry>()); }
};

}  // namespace

TEST(Telemetry, InitialSinkDoesNothing) {
    EXPECT_NE(dynamic_cast<NoopTelemetry*>(Telemetry::impl().get()), nullptr);
    Telemetry::captureError(PelError(ErrorCode::INT_UNEXPECTED, {}, {}, "x", false), {{"a", "b"}});
}

TEST(Telemetry, TagPrecedence) {
    struct Case {
        std::string name;
        PelError error;
        Tags extra;
        Tags expected;
    };
    const Case cases[] = {
        {"error's code wins", PelError(ErrorCode::SEC_TEAMID_MISMATCH, {}, {}, "m", false),
         {{"code", "OTHER"}, {"installed", "1.0"}},
         {{"code", "SEC_TEAMID_MISMATCH"}, {"class", "safety"}, {"installed", "1.0"}}},
        {"caller's source survives without one on the error",
         PelError(ErrorCode::UNS_ARCHIVE_FORMAT, {}, {}, "m", false), {{"source", "sparkle"}, {"bundleID", "c.d"}},
         {{"code", "UNS_ARCHIVE_FORMAT"}, {"class", "unsupported"}, {"source", "sparkle"}, {"bundleID", "c.d"}}},
        {"source none is set", PelError(ErrorCode::SRC_NO_MATCH, "a.b", AppSource::none, "m", false),
         {{"source", "homebrew"}, {"bundleID", "x"}},
         {{"code", "SRC_NO_MATCH"}, {"class", "sourceDefect"}, {"source", "none"}, {"bundleID", "a.b"}}},
        {"no bundleID without one", PelError(ErrorCode::ENV_MOUNT_FAILED, {}, AppSource::homebrew, "m", false), {},
         {{"code", "ENV_MOUNT_FAILED"}, {"class", "localEnv"}, {"source", "homebrew"}}},
    };
    for (const auto& c : cases) {
        SinkScope scope;
        Telemetry::captureError(c.error, c.extra);
        ASSERT_EQ(scope.sink->captured.size(), 1u) << c.name;
        EXPECT_EQ(scope.sink->captured[0], c.expected) << c.name;
    }
}

TEST(Telemetry, SwappingWhileReportingIsSafe) {
    std::atomic<bool> stop{false};
    std::thread reporter([&] {
        while (!stop) Telemetry::captureError(PelError(ErrorCode::NET_DNS, {}, {}, "m", false));
    });
    for (int i = 0; i < 200; ++i) Telemetry::setImpl(std::make_shared<RecordingSink>());
    stop = true;
    reporter.join();
    Telemetry::setImpl(std::make_shared<NoopTelemetry>());
}
