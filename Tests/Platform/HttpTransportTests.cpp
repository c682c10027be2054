#include "Platform/Errors.hpp"
#include "Platform/HttpTransport.hpp"
#include "Support/LoopbackPort.hpp"
#include "Support/TempDir.hpp"
#include "Support/TestServer.hpp"

#include <curl/curl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include <fstream>
#include <future>
#include <iterator>
#include <thread>

using namespace std::chrono_literals;
using pelsupport::Reply;
using pelsupport::TempDir;
using pelsupport::TestServer;
using platform::HttpRequest;
using platform::TransportError;
using platform::TransportErrorKind;

namespace {

class HttpTransportTest : public ::testing::Test {
protected:
    HttpRequest request(std::string_view path, std::string method = "GET") {
        HttpRequest r;
        r.url = server.url(path);
        r.method = std::move(method);
        r.caFile = server.caFile();
        return r;
    }

    TransportErrorKind failureKind(const HttpRequest& r) {
        try {
            transport.perform(r);
        } catch (const TransportError& e) {
            return e.kind();
        }
        ADD_FAILURE() << "no transport error";
        return TransportErrorKind::other;
    }

    TestServer server;
    platform::CurlTransport transport;
};

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    return s;
}

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace

TEST(HttpHeaders, NamesCompareCaseInsensitivelyAndSetReplaces) {
    platform::HttpHeaders h{{"ETag", "\"a\""}};
    h.add("x-Two", "1");
    h.add("X-TWO", "2");
    EXPECT_EQ(h.get("etag"), "\"a\"");
    EXPECT_EQ(h.get("x-two"), "1"); // first value wins
    h.set("x-two", "3");
    EXPECT_EQ(h.get("X-Two"), "3");
    EXPECT_EQ(h.entries().size(), 2u);
    EXPECT_FALSE(h.get("Missing"));
    EXPECT_TRUE(platform::equalsIgnoringCase("Content-Length", "content-LENGTH"));
    EXPECT_FALSE(platform::equalsIgnoringCase("Content-Length", "Content-Lengt"));
}

TEST(HttpTransportMapping, CurlResultsMapToTheFourKinds) {
    struct Case {
        CURLcode code;
        TransportErrorKind kind;
    };
    for (auto [code, kind] : {Case{CURLE_COULDNT_RESOLVE_HOST, TransportErrorKind::hostNotFound},
                              Case{CURLE_OPERATION_TIMEDOUT, TransportErrorKind::timedOut},
                              Case{CURLE_PARTIAL_FILE, TransportErrorKind::connectionLost},
                              Case{CURLE_RECV_ERROR, TransportErrorKind::connectionLost},
                              Case{CURLE_SEND_ERROR, TransportErrorKind::connectionLost},
                              Case{CURLE_GOT_NOTHING, TransportErrorKind::connectionLost},
                              Case{CURLE_COULDNT_CONNECT, TransportErrorKind::other},
                              Case{CURLE_PEER_FAILED_VERIFICATION, TransportErrorKind::other},
                              Case{CURLE_SSL_CONNECT_ERROR, TransportErrorKind::other}}) {
        EXPECT_EQ(platform::detail::kindForCurlCode(code), kind) << code;
    }
}

TEST_F(HttpTransportTest, ReturnsStatusHeadersBodyAndSendsRequestHeaders) {
    server.script("/a", {Reply::withHeaders(404, {{"ETag", "\"v1\""}, {"X-Thing", " spaced "}}, "gone")});
    auto r = request("/a?x=1");
    r.headers.set("User-Agent", "ua/1");
    auto response = transport.perform(r);
    EXPECT_EQ(response.status, 404);
    EXPECT_EQ(response.body, "gone");
    EXPECT_EQ(response.headers.get("etag"), "\"v1\"");
    EXPECT_EQ(response.headers.get("x-thing"), "spaced");
    EXPECT_EQ(response.url, server.url("/a?x=1"));
    auto seen = server.requests("/a");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].query, "x=1");
    EXPECT_EQ(seen[0].header("user-agent"), "ua/1");
}

TEST_F(HttpTransportTest, FollowsRedirectsOneHopAtATime) {
    server.script("/start", {Reply::redirect(301, "/middle")});
    server.script("/middle", {Reply::redirect(307, server.baseUrl("localhost") + "/end")});
    server.script("/end", {Reply::ok("done")});
    auto response = transport.perform(request("/start"));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "done");
    EXPECT_EQ(response.url, server.url("/end", "localhost"));
    EXPECT_EQ(server.requests().size(), 3u);
}

TEST_F(HttpTransportTest, RedirectAwayFromHttpsIsRefusedBeforeAnythingGoesThere) {
    server.script("/start", {Reply::redirect(302, fmt::format("http://127.0.0.1:{}/target", server.port()))});
    server.script("/target", {Reply::ok("should not be asked")});
    try {
        transport.perform(request("/start"));
        FAIL() << "redirect followed";
    } catch (const platform::RedirectRefused& e) {
        EXPECT_EQ(e.scheme(), "http");
    }
    EXPECT_TRUE(server.requests("/target").empty());
}

TEST_F(HttpTransportTest, RedirectLoopEndsAsAnError) {
    server.script("/loop", {Reply::redirect(302, "/loop")});
    auto r = request("/loop");
    r.maxRedirects = 3;
    EXPECT_EQ(failureKind(r), TransportErrorKind::other);
    EXPECT_EQ(server.requests("/loop").size(), 4u);
}

TEST_F(HttpTransportTest, RedirectNotFollowedIsTheAnswer) {
    auto moved = Reply::redirect(302, "/elsewhere");
    moved.body = "moved";
    server.script("/post", {moved});
    server.script("/elsewhere", {Reply::ok("should not be asked")});
    auto r = request("/post", "POST");
    r.body = "payload";
    r.followRedirects = false;
    r.maxRedirects = 0; // not followed, so no redirect counts against the limit
    auto response = transport.perform(r);
    EXPECT_EQ(response.status, 302);
    EXPECT_EQ(response.headers.get("Location"), "/elsewhere");
    EXPECT_EQ(response.body, "moved");
    EXPECT_EQ(response.url, server.url("/post"));
    EXPECT_TRUE(server.requests("/elsewhere").empty());
}

TEST_F(HttpTransportTest, SeeOtherTurnsAPostIntoAGet) {
    server.script("/form", {Reply::redirect(303, "/result")});
    server.script("/result", {Reply::ok("ok")});
    auto r = request("/form", "POST");
    r.body = "payload";
    r.headers.set("Content-Type", "application/json");
    EXPECT_EQ(transport.perform(r).body, "ok");
    auto all = server.requests();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].method, "POST");
    EXPECT_EQ(all[0].body, "payload");
    EXPECT_EQ(all[1].method, "GET");
}

TEST_F(HttpTransportTest, HeadReadsHeadersWithoutBody) {
    server.script("/f", {Reply::ok(pattern(5000))});
    auto response = transport.perform(request("/f", "HEAD"));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.headers.get("Content-Length"), "5000");
    EXPECT_TRUE(response.body.empty());
    EXPECT_EQ(server.requests("/f").at(0).method, "HEAD");
}

TEST_F(HttpTransportTest, StreamsBigBodyToFileWithProgress) {
    TempDir dir;
    std::string content = pattern(3 * 1024 * 1024 + 17);
    { std::ofstream(dir / "source", std::ios::binary) << content; }
    server.script("/big", {Reply::fromFile(dir / "source")});
    auto r = request("/big");
    std::vector<std::pair<std::int64_t, std::int64_t>> calls;
    r.progress = [&](std::int64_t got, std::int64_t expected) { calls.emplace_back(got, expected); };
    platform::FileSink sink(dir / "copy");
    auto head = transport.perform(r, sink, {});
    sink.close();
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(readFile(dir / "copy") == content);
    ASSERT_FALSE(calls.empty());
    for (size_t i = 1; i < calls.size(); ++i)
        EXPECT_GT(calls[i].first, calls[i - 1].first);
    EXPECT_EQ(calls.back(), std::make_pair(std::int64_t(content.size()), std::int64_t(content.size())));
}

TEST_F(HttpTransportTest, UnknownLengthIsReportedAsMinusOne) {
    Reply chunked = Reply::ok("abcdef");
    chunked.chunked = true;
    server.script("/c", {chunked});
    auto r = request("/c");
    std::int64_t expected = 0;
    r.progress = [&](std::int64_t, std::int64_t e) { expected = e; };
    EXPECT_EQ(transport.perform(r).body, "abcdef");
    EXPECT_EQ(expected, -1);
}

TEST_F(HttpTransportTest, SinkErrorsReachTheCallerUnchanged) {
    TempDir dir;
    { std::ofstream(dir / "file") << "x"; }
    server.script("/a", {Reply::ok("body")});
    platform::FileSink sink(dir / "file" / "child"); // a regular file where a folder should be
    EXPECT_THROW(transport.perform(request("/a"), sink, {}), std::filesystem::filesystem_error);
}

TEST_F(HttpTransportTest, FailuresAreReportedByKind) {
    Reply drop = Reply::ok(pattern(100'000));
    drop.dropAfter = 50'000;
    Reply stall = Reply::ok(pattern(1000));
    stall.stallAfter = 10;
    Reply slowStart = Reply::ok("late");
    slowStart.delay = 10s;
    server.script("/drop", {drop});
    server.script("/stall", {stall});
    server.script("/slow", {slowStart});

    EXPECT_EQ(failureKind(request("/drop")), TransportErrorKind::connectionLost);

    auto stalled = request("/stall");
    stalled.stallTimeout = 300ms;
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(failureKind(stalled), TransportErrorKind::timedOut);
    auto slow = request("/slow");
    slow.stallTimeout = 300ms;
    EXPECT_EQ(failureKind(slow), TransportErrorKind::timedOut);
    auto overall = request("/slow");
    overall.totalTimeout = 300ms;
    EXPECT_EQ(failureKind(overall), TransportErrorKind::timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST_F(HttpTransportTest, ConnectionRefusedAndUntrustedCertificateAreOtherFailures) {
    const int closedPort = pelsupport::closedLoopbackPort();
    HttpRequest refused = request("/");
    refused.url = *platform::Url::parse(fmt::format("https://127.0.0.1:{}/", closedPort));
    EXPECT_EQ(failureKind(refused), TransportErrorKind::other);

    TestServer stranger;
    HttpRequest untrusted = request("/");
    untrusted.caFile = stranger.caFile();
    try {
        transport.perform(untrusted);
        FAIL() << "untrusted certificate accepted";
    } catch (const TransportError& e) {
        EXPECT_EQ(e.kind(), TransportErrorKind::other);
        EXPECT_EQ(e.description(), "The certificate for this server is invalid.");
    }
}

TEST_F(HttpTransportTest, StopTokenCancelsATransferAndANewOne) {
    Reply stall = Reply::ok(pattern(1000));
    stall.stallAfter = 10;
    server.script("/stall", {stall});
    std::stop_source source;
    auto started = std::chrono::steady_clock::now();
    auto result = std::async(std::launch::async,
                             [&] { return transport.perform(request("/stall"), source.get_token()); });
    while (server.requests("/stall").empty())
        std::this_thread::sleep_for(5ms);
    source.request_stop();
    EXPECT_THROW(result.get(), platform::Cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);

    server.script("/fresh", {Reply::ok("x")});
    EXPECT_THROW(transport.perform(request("/fresh"), source.get_token()), platform::Cancelled);
    EXPECT_TRUE(server.requests("/fresh").empty());
}

TEST_F(HttpTransportTest, OnlyHttpsIsSpoken) {
    HttpRequest plain = request("/");
    plain.url = *platform::Url::parse(fmt::format("http://127.0.0.1:{}/", server.port()));
    EXPECT_EQ(failureKind(plain), TransportErrorKind::other);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(HttpTransportTest, DefaultCAFileIsUsedWhenARequestNamesNone) {
    server.script("/a", {Reply::ok("trusted")});
    platform::testing::setDefaultCAFile(server.caFile());
    HttpRequest r = request("/a");
    r.caFile.reset();
    EXPECT_EQ(transport.perform(r).body, "trusted");
    platform::testing::setDefaultCAFile(std::nullopt);
}

TEST_F(HttpTransportTest, ParallelTransfersFromManyThreads) {
    server.script("/p", {Reply::ok(pattern(20'000))});
    std::vector<std::future<std::string>> results;
    for (int i = 0; i < 6; ++i) {
        results.push_back(
            std::async(std::launch::async, [&] { return transport.perform(request("/p")).body; }));
    }
    for (auto& f : results)
        EXPECT_EQ(f.get().size(), 20'000u);
}

namespace {

// A CONNECT proxy on loopback that tunnels each connection to the port it names on 127.0.0.1.
class TunnelProxy {
public:
    TunnelProxy() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener_, 8) != 0)
            throw std::runtime_error("proxy: cannot listen");
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~TunnelProxy() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }
    int tunnels() const { return tunnels_; }

private:
    void run() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) tunnel(client);
        }
    }
    void tunnel(int client) {
        std::string head;
        char c;
        while (!head.ends_with("\r\n\r\n") && head.size() < 8192 && ::read(client, &c, 1) == 1)
            head.push_back(c);
        auto colon = head.find(':', head.find(' '));
        int port = colon == std::string::npos ? 0 : std::atoi(head.c_str() + colon + 1);
        int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (head.starts_with("CONNECT ") &&
            ::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            ++tunnels_;
            const std::string ok = "HTTP/1.1 200 Connection established\r\nProxy-Agent: tunnel\r\n\r\n";
            if (::write(client, ok.data(), ok.size()) == static_cast<ssize_t>(ok.size()))
                relay(client, server);
        }
        ::close(server);
        ::close(client);
    }
    void relay(int a, int b) {
        char buffer[16384];
        for (int idle = 0; !stop_ && idle < 100;) { // at most 5 s without traffic
            pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
            int n = ::poll(p, 2, 50);
            if (n == 0) {
                ++idle;
                continue;
            }
            idle = 0;
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                ssize_t got = ::read(p[i].fd, buffer, sizeof buffer);
                if (got <= 0 || ::write(i == 0 ? b : a, buffer, static_cast<size_t>(got)) != got) return;
            }
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> tunnels_{0};
    std::thread thread_;
};

// Proxy variables for this process while alive; loopback is no longer exempt.
class ScopedProxyEnvironment {
public:
    explicit ScopedProxyEnvironment(const std::string& proxy) {
        for (const char* name : {"https_proxy", "HTTPS_PROXY", "NO_PROXY", "no_proxy"}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        ::setenv("https_proxy", proxy.c_str(), 1);
        ::setenv("HTTPS_PROXY", proxy.c_str(), 1);
        ::unsetenv("NO_PROXY");
        ::unsetenv("no_proxy");
    }
    ~ScopedProxyEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

struct RecordingSink final : platform::BodySink {
    std::vector<int> statuses;
    std::string body;
    void begin(const platform::HttpResponseHead& head) override {
        statuses.push_back(head.status);
        body.clear();
    }
    void write(std::string_view bytes) override { body.append(bytes); }
};

} // namespace

// The proxy's own "200 Connection established" is no answer of the server: a sink that took it
// for one would cut a resumed download back to zero before the real 206 arrived.
TEST_F(HttpTransportTest, ProxyTunnelAnswersAreNotTheServersAnswer) {
    TunnelProxy proxy;
    ScopedProxyEnvironment env(fmt::format("http://127.0.0.1:{}", proxy.port()));
    server.script("/part", {Reply::withHeaders(206, {{"Content-Range", "bytes 5-9/10"}}, "56789")});
    server.script("/moved", {Reply::redirect(302, "/part")});
    for (const char* path : {"/part", "/moved"}) {
        SCOPED_TRACE(path);
        RecordingSink sink;
        platform::HttpResponseHead head = transport.perform(request(path), sink, {});
        EXPECT_EQ(head.status, 206);
        EXPECT_EQ(head.headers.get("Content-Range"), "bytes 5-9/10");
        EXPECT_FALSE(head.headers.contains("Proxy-Agent"));
        EXPECT_EQ(sink.statuses, std::vector<int>{206});
        EXPECT_EQ(sink.body, "56789");
    }
    EXPECT_GE(proxy.tunnels(), 2);
}
