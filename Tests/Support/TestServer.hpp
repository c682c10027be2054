#pragma once

// An HTTPS server on 127.0.0.1 for tests: scripted answers per path, recorded requests.
//
//     pelsupport::TestServer server;                       // free port, fresh self-signed certificate
//     server.script("/feed.xml", {Reply::withStatus(503), Reply::ok("<rss/>")});
//     pelkit::HTTPOptions options;
//     options.caFile = server.caFile();
//     options.sleeper = &sleeper;                            // pelsupport::VirtualSleeper
//     pelkit::HTTP http(options);
//     auto r = http.get(server.url("/feed.xml"));           // 503, then 200 with "<rss/>"
//     EXPECT_EQ(server.requests("/feed.xml").size(), 2u);
//
// Certificate: made at start for IP 127.0.0.1 and DNS localhost; `caFile()` is its PEM file,
// to be given to the client (HTTPOptions::caFile, HttpRequest::caFile, or
// platform::testing::setDefaultCAFile). `url(path, "localhost")` reaches the same server under a
// second host name, which the client's throttle treats as a different host.
//
// Answers: each path has a list of replies served in turn, the last one repeated for every later
// request; or a handler that builds the reply from the request. Paths without either answer 404.
// Paths match exactly; the query is not part of the path. HEAD requests are answered by the
// script of the path like GET, without a body (the announced Content-Length stays).
//
// Body shapes of a Reply:
//   - `body` (default), or `file` for big bodies streamed from disk;
//   - `ranges`: answers one "Range: bytes=a-b" / "bytes=a-" with 206 and Content-Range
//     ("bytes a-b/total"), or 416 when it starts past the end; an "If-Range" that differs from the
//     reply's ETag and Last-Modified headers gets the whole body with the reply's status. Without
//     `ranges`, a Range header is ignored (the whole body is sent);
//   - `chunked`: no Content-Length (chunked transfer coding);
//   - `announcedLength`: the Content-Length to announce instead of the body's size;
//   - `dropAfter`: send that many body bytes (of what the answer would carry), then close the
//     connection — a connection lost mid-body;
//   - `stallAfter`: send that many body bytes, then nothing for `stallFor` (or until the server
//     stops), then close;
//   - `delay`: wait before the status line is sent.
// Waits end early when the server is destroyed, so tests never hang on them.
//
// Each request is recorded (arrival time on the steady clock, method, path, query, headers, body)
// before its reply is chosen.

#include "Platform/HttpTransport.hpp"
#include "Platform/Url.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelsupport {

// Holds each caller until `expected` callers are waiting at once, or `patience` has passed: handlers
// that arrive here show whether requests were in flight together, without timing them.
class Rendezvous {
public:
    explicit Rendezvous(int expected, std::chrono::milliseconds patience = std::chrono::seconds(20))
        : expected_(expected), patience_(patience) {}

    void arriveAndWait() {
        std::unique_lock lock(mutex_);
        if (++arrived_ >= expected_) met_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, patience_, [&] { return met_; });
    }
    bool met() const {
        std::lock_guard lock(mutex_);
        return met_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int expected_;
    int arrived_ = 0;
    bool met_ = false;
    std::chrono::milliseconds patience_;
};

struct RecordedRequest {
    std::chrono::steady_clock::time_point time;
    std::string method;
    std::string path;
    std::string query; // raw text after "?", or empty
    platform::HttpHeaders headers;
    std::string body;
    std::optional<std::string> header(std::string_view name) const { return headers.get(name); }
};

struct Reply {
    int status = 200;
    platform::HttpHeaders headers; // sent as given; Content-Type defaults to application/octet-stream
    std::string body;
    std::optional<std::filesystem::path> file; // body from this file instead, streamed
    bool ranges = false;
    bool chunked = false;
    std::optional<std::uint64_t> announcedLength;
    std::optional<std::uint64_t> dropAfter;
    std::optional<std::uint64_t> stallAfter;
    std::optional<std::chrono::milliseconds> stallFor; // default: until the server stops
    std::chrono::milliseconds delay{0};

    static Reply ok(std::string body, platform::HttpHeaders headers = {});
    static Reply withStatus(int status, std::string body = {});
    static Reply redirect(int status, std::string location);
    static Reply withHeaders(int status, platform::HttpHeaders headers, std::string body = {});
    // `file` served with ranges on, its ETag (when given) as validator.
    static Reply fromFile(std::filesystem::path file, std::optional<std::string> etag = std::nullopt);
};

class TestServer {
public:
    TestServer(); // listening when the constructor returns
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int port() const;
    // "https://<host>:<port>"
    std::string baseUrl(std::string_view host = "127.0.0.1") const;
    // baseUrl(host) + pathAndQuery, parsed.
    platform::Url url(std::string_view pathAndQuery, std::string_view host = "127.0.0.1") const;
    const std::filesystem::path& caFile() const;

    void script(const std::string& path, std::vector<Reply> replies);
    void on(const std::string& path, std::function<Reply(const RecordedRequest&)> handler);

    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requests(const std::string& path) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace pelsupport
