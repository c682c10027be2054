#include "PelKit/HTTP.hpp"
#include "PelKit/UpdateSources/MacAppStore.hpp"

#include "Support/TestServer.hpp"
#include "Support/VirtualSleeper.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace pelkit;
using pelsupport::Reply;
using pelsupport::TestServer;

namespace {

InstalledApp storeApp(std::string bundleID = "com.example.notes", bool fromStore = true) {
    return InstalledApp{*Url::parse("file:///Applications/Notes%20Pro.app"),
                        std::move(bundleID),
                        "Notes Pro",
                        "1.0",
                        "100",
                        "Notes Pro",
                        "13.0",
                        std::nullopt,
                        fromStore,
                        false,
                        std::nullopt,
                        {"arm64"}};
}

// A lookup service on the test server, with the client's waits and spacing in virtual time.
class MacAppStoreTest : public ::testing::Test {
protected:
    TestServer server;
    platform::ManualClock clock;
    pelsupport::VirtualSleeper sleeper{clock};
    HTTP http{{.caFile = server.caFile(), .clock = &clock, .sleeper = &sleeper}};
    MacAppStoreSource source{http, server.baseUrl()};

    std::optional<RemoteVersion> lookUp(Reply reply) {
        server.script("/lookup", {std::move(reply)});
        return source.latest(storeApp(), std::nullopt);
    }
};

} // namespace

TEST_F(MacAppStoreTest, AnAppNotFromTheStoreGetsNothingWithoutARequest) {
    server.script("/lookup", {Reply::ok(R"({"results":[{"version":"9.0"}]})")});
    EXPECT_FALSE(source.latest(storeApp("com.example.notes", false), std::nullopt));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(MacAppStoreTest, AsksTheLookupPathWithBundleIdAndCountry) {
    server.script("/lookup", {Reply::ok(R"({"results":[]})")});
    EXPECT_FALSE(source.latest(storeApp("com.example.notes"), std::nullopt));
    EXPECT_FALSE(source.latest(storeApp("com.ex ample&country=fr"), std::nullopt));

    auto requests = server.requests("/lookup");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].query, "bundleId=com.example.notes&country=us");
    // The value is percent-encoded, so it cannot add query items of its own.
    EXPECT_EQ(requests[1].query, "bundleId=com.ex%20ample%26country%3Dfr&country=us");
    EXPECT_EQ(requests[0].header("User-Agent"), http.userAgent());
}

TEST_F(MacAppStoreTest, AFullAnswerBecomesAStoreReleaseWithoutDownload) {
    auto remote = lookUp(Reply::ok(R"({"resultCount":1,"results":[{"version":"2.4.1","trackId":497799835,
        "minimumOsVersion":"12.0","price":4.99,"releaseNotes":"x","fileSizeBytes":"123",
        "currentVersionReleaseDate":"2024-01-01T00:00:00Z"}]})"));
    ASSERT_TRUE(remote);
    EXPECT_EQ(remote->source, AppSource::macAppStore);
    EXPECT_EQ(remote->sourceToken, "497799835");
    EXPECT_EQ(remote->version, "2.4.1");
    EXPECT_EQ(remote->minSystemVersion, "12.0");
    EXPECT_EQ(remote->notes, "Mac App Store \u2014 update via App Store.app");
    EXPECT_FALSE(remote->buildVersion);
    EXPECT_FALSE(remote->downloadURL);
    EXPECT_FALSE(remote->sha256);
    EXPECT_FALSE(remote->sizeBytes);
    EXPECT_FALSE(remote->publishedAt);
    EXPECT_FALSE(remote->artifactType);
}

TEST_F(MacAppStoreTest, AnswersThatNameNoReleaseGiveNothing) {
    const char* bodies[] = {
        R"({"resultCount":0,"results":[]})",
        R"({"resultCount":0})",
        R"({"results":{"version":"1.0"}})",
        R"({"results":"1.0"})",
        R"({"results":[1]})",
        R"({"results":[{"version":"2.0"},"x"]})",
        R"({"results":[null]})",
        R"({"results":[{"trackId":42}]})",
        R"({"results":[{"version":2}]})",
        R"({"results":[{"version":null}]})",
        R"([{"version":"2.0"}])",
        R"("2.0")",
        "null",
    };
    for (const char* body : bodies)
        EXPECT_FALSE(lookUp(Reply::ok(body))) << body;
}

TEST_F(MacAppStoreTest, ReadsTrackIdAndMinimumSystemLoosely) {
    struct Case {
        const char* result;
        std::optional<std::string> token;
        std::optional<std::string> minimum;
    };
    const Case cases[] = {
        {R"({"version":"1","trackId":42})", "42", std::nullopt},
        {R"({"version":"1","trackId":-7})", "-7", std::nullopt},
        {R"({"version":"1","trackId":18446744073709551615})", "18446744073709551615", std::nullopt},
        {R"({"version":"1","trackId":"id42"})", "id42", std::nullopt},
        {R"({"version":"1","trackId":""})", "", std::nullopt},
        {R"({"version":"1","trackId":4.5})", std::nullopt, std::nullopt},
        {R"({"version":"1","trackId":true})", std::nullopt, std::nullopt},
        {R"({"version":"1","trackId":[42]})", std::nullopt, std::nullopt},
        {R"({"version":"1","minimumOsVersion":"11.0"})", std::nullopt, "11.0"},
        {R"({"version":"1","minimumOsVersion":11})", std::nullopt, std::nullopt},
        {R"({"version":"1","minimumOsVersion":{"v":"11"}})", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        auto remote = lookUp(Reply::ok(std::string(R"({"results":[)") + c.result + "]}"));
        ASSERT_TRUE(remote) << c.result;
        EXPECT_EQ(remote->version, "1") << c.result;
        EXPECT_EQ(remote->sourceToken, c.token) << c.result;
        EXPECT_EQ(remote->minSystemVersion, c.minimum) << c.result;
    }
}

TEST_F(MacAppStoreTest, OnlyTheFirstResultCounts) {
    auto remote =
        lookUp(Reply::ok(R"({"results":[{"version":"1.5","trackId":1},{"version":"9.0","trackId":2}]})"));
    ASSERT_TRUE(remote);
    EXPECT_EQ(remote->version, "1.5");
    EXPECT_EQ(remote->sourceToken, "1");
}

TEST_F(MacAppStoreTest, TheStatusIsNotExamined) {
    EXPECT_FALSE(
        lookUp(Reply::withStatus(404, R"({"errorMessage":"Invalid value(s) for key(s): [bundleId]"})")));
    auto remote = lookUp(Reply::withStatus(404, R"({"results":[{"version":"3.0"}]})"));
    ASSERT_TRUE(remote);
    EXPECT_EQ(remote->version, "3.0");
}

TEST_F(MacAppStoreTest, ABodyThatIsNotJsonThrowsTheDecoderError) {
    for (int status : {200, 404}) {
        for (const char* body : {"<html>busy</html>", "", R"({"results":[)"}) {
            server.script("/lookup", {Reply::withStatus(status, body)});
            EXPECT_THROW(source.latest(storeApp(), std::nullopt), nlohmann::json::parse_error)
                << status << " " << body;
        }
    }
}

TEST_F(MacAppStoreTest, ClientErrorsPropagateUnchanged) {
    server.script("/lookup", {Reply::withStatus(503)});
    try {
        source.latest(storeApp(), std::nullopt);
        FAIL() << "expected a PelError";
    } catch (const PelError& e) {
        EXPECT_EQ(e.code(), ErrorCode::NET_HTTP_5XX);
        EXPECT_FALSE(e.source());
        EXPECT_FALSE(e.bundleID());
    }
    EXPECT_EQ(server.requests("/lookup").size(), 3u);
}

TEST(MacAppStoreSource, IsTheStoreKindAndBuildsItsURLFromTheBase) {
    HTTP http;
    MacAppStoreSource source(http);
    EXPECT_EQ(source.kind(), AppSource::macAppStore);
    EXPECT_EQ(source.lookupURL("com.example.a")->text(),
              "https://itunes.apple.com/lookup?bundleId=com.example.a&country=us");
    MacAppStoreSource trailing(http, "https://127.0.0.1:9/");
    EXPECT_EQ(trailing.lookupURL("a.b")->text(), "https://127.0.0.1:9/lookup?bundleId=a.b&country=us");
}
