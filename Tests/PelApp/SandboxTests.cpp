#include "PelApp/Launch/Sandbox.hpp"
#include "PelKit/Proc.hpp"
#include "Platform/Files.hpp"
#include "Support/TempDir.hpp"
#include "Support/TestServer.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

using pelapp::readSandbox;

std::string config(const std::string& baseURL) {
    return R"({"baseURL": ")" + baseURL +
           R"(", "caFile": "/s/ca.pem", "toolDirectory": "/s/bin", "applications": "/s/Applications"})";
}

TEST(Sandbox, ReadsTheServerToolsAndApplicationsOfTheFolder) {
    pelsupport::TempDir dir("pel-sandbox");
    platform::atomicWrite(dir.path() / "sandbox.json", config("https://127.0.0.1:4443"));
    auto sandbox = readSandbox(dir.path());
    EXPECT_EQ(sandbox.baseURL, "https://127.0.0.1:4443");
    EXPECT_EQ(sandbox.caFile, "/s/ca.pem");
    EXPECT_EQ(sandbox.toolDirectory, "/s/bin");
    EXPECT_EQ(sandbox.applications, "/s/Applications");
}

// A named sandbox that cannot be used must stop the start, never fall back to the real machine.
TEST(Sandbox, RefusesAMissingBrokenOrPlainHttpConfiguration) {
    struct Case {
        const char* what;
        std::optional<std::string> content;
    };
    const Case cases[] = {
        {"missing file", std::nullopt},
        {"not JSON", std::string("{")},
        {"missing key", std::string(R"({"baseURL": "https://127.0.0.1:1"})")},
        {"plain http", config("http://127.0.0.1:4443")},
    };
    for (const auto& c : cases) {
        pelsupport::TempDir dir("pel-sandbox");
        if (c.content) platform::atomicWrite(dir.path() / "sandbox.json", *c.content);
        EXPECT_ANY_THROW(readSandbox(dir.path())) << c.what;
    }
}

TEST(Sandbox, WithoutTheVariableTheProductionDefaultsHold) {
    ::unsetenv("PELLORAN_SANDBOX");
    EXPECT_FALSE(pelapp::sandboxFromEnvironment());
}

TEST(Sandbox, EnteringPointsTheToolLookupAtTheSandboxOnly) {
    pelsupport::TempDir dir("pel-sandbox");
    // Restores the lookup the test found when it ends.
    pelkit::testing::ScopedToolDirectories restore(pelkit::testing::toolDirectories());
    pelapp::SandboxConfig sandbox{"https://127.0.0.1:4443", dir.path() / "ca.pem", dir.path().string(),
                                  dir.path() / "Applications"};
    auto services = pelapp::enterSandbox(sandbox);
    EXPECT_EQ(pelkit::testing::toolDirectories(), (std::vector<std::string>{dir.path().string() + "/"}));
    EXPECT_EQ(services.killSwitch.baseURL, "https://127.0.0.1:4443");
    EXPECT_EQ(services.killSwitch.caFile, dir.path() / "ca.pem");
    EXPECT_NE(services.http, nullptr);
    EXPECT_TRUE(services.engineBuilder);
    EXPECT_NE(services.analyticsTransport, nullptr);
}

// Analytics uploads from a sandboxed run reach the sandbox's server, never the address they name.
TEST(Sandbox, AnalyticsUploadsGoToTheSandboxServer) {
    pelsupport::TestServer server;
    server.script("/v2/", {pelsupport::Reply::withStatus(200, "{}")});
    pelapp::RedirectedTransport transport(server.baseUrl() + "/", server.caFile(),
                                          platform::defaultTransport());
    platform::HttpRequest request;
    request.url = *platform::Url::parse("https://ingest.example.invalid/v2/?batch=1");
    request.method = "POST";
    request.body = R"([{"type":"appLaunched"}])";
    auto response = transport.perform(request);
    EXPECT_EQ(response.status, 200);
    auto seen = server.requests("/v2/");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].query, "batch=1");
    EXPECT_EQ(seen[0].body, request.body);
}

} // namespace
