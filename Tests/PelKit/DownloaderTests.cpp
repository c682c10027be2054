#include "PelKit/Downloader.hpp"
#include "PelKit/HTTP.hpp"
#include "PelKit/Models.hpp"
#include "PelKit/Verifier.hpp"
#include "Platform/Errors.hpp"
#include "Platform/Sha256.hpp"
#include "Support/LoopbackPort.hpp"
#include "Support/TempDir.hpp"
#include "Support/TestServer.hpp"
#include "Support/VirtualSleeper.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>
#include <limits>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using pelkit::ErrorCode;
using pelkit::HTTP;
using pelkit::PelError;
using pelsupport::RecordedRequest;
using pelsupport::Reply;
using pelsupport::TempDir;
using pelsupport::TestServer;
using pelsupport::VirtualSleeper;
using platform::Url;
namespace fs = std::filesystem;

namespace {

std::string pattern(size_t n, int seed = 1) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + i / 251 + static_cast<size_t>(seed) * 7) & 0xFF);
    return s;
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const fs::path& p, const std::string& content) {
    std::ofstream(p, std::ios::binary) << content;
}

// Progress calls, kept from whatever thread makes them.
struct ProgressLog {
    std::mutex mutex;
    std::vector<std::pair<std::int64_t, std::int64_t>> calls;
    platform::ProgressHandler handler() {
        return [this](std::int64_t got, std::int64_t expected) {
            std::lock_guard lock(mutex);
            calls.emplace_back(got, expected);
        };
    }
};

class DownloadTest : public ::testing::Test {
protected:
    DownloadTest() : sleeper(clock) { http = makeClient(60s); }

    std::unique_ptr<HTTP> makeClient(std::chrono::milliseconds requestTimeout,
                                     platform::HttpTransport* transport = nullptr) {
        pelkit::HTTPOptions o;
        o.caFile = server.caFile();
        o.clock = &clock;
        o.sleeper = &sleeper;
        o.transport = transport;
        o.requestTimeout = requestTimeout;
        return std::make_unique<HTTP>(o);
    }

    // Partial files left beside the destination, where downloads are received.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(out.path())) {
            if (e.path().filename().native().starts_with("pel-dl-")) names.push_back(e.path().filename());
        }
        return names;
    }

    PelError downloadFailure(const Url& url, HTTP* client = nullptr) {
        try {
            (client ? client : http.get())->download(url, out / "file.zip");
        } catch (const PelError& e) {
            return e;
        }
        ADD_FAILURE() << "no PelError";
        return PelError(ErrorCode::SRC_NO_MATCH, std::nullopt, std::nullopt, "", false);
    }

    TestServer server;
    platform::ManualClock clock;
    VirtualSleeper sleeper;
    TempDir out{"pel-dl-out"};
    TempDir files{"pel-dl-src"};
    std::unique_ptr<HTTP> http;
};

// The whole file with a validator, dropped after `dropAt` bytes.
Reply droppedFile(const fs::path& file, std::uint64_t dropAt, std::optional<std::string> etag = "\"v1\"") {
    Reply r = Reply::fromFile(file, etag);
    r.dropAfter = dropAt;
    return r;
}

} // namespace

TEST_F(DownloadTest, DownloadsToTheDestinationWithProgressAndNoLeftovers) {
    std::string content = pattern(300'000);
    writeFile(files / "app.zip", content);
    server.script("/app.zip", {Reply::fromFile(files / "app.zip", "\"v1\"")});
    writeFile(out / "file.zip", "old content"); // replaced
    ProgressLog log;
    auto size = http->download(server.url("/app.zip"), out / "file.zip", log.handler());
    EXPECT_EQ(size, 300'000);
    EXPECT_TRUE(readFile(out / "file.zip") == content);
    ASSERT_GE(log.calls.size(), 2u);
    for (size_t i = 1; i + 1 < log.calls.size(); ++i) {
        EXPECT_GT(log.calls[i].first, log.calls[i - 1].first);
        EXPECT_EQ(log.calls[i].second, 300'000);
    }
    EXPECT_EQ(log.calls.back(), std::make_pair(std::int64_t(300'000), std::int64_t(300'000)));
    EXPECT_TRUE(leftovers().empty());
    auto seen = server.requests("/app.zip");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].header("User-Agent"), std::string(pelkit::defaultUserAgent));
    EXPECT_FALSE(seen[0].header("Range"));
}

TEST_F(DownloadTest, DropAtHalfResumesToAByteIdenticalFile) {
    std::string content = pattern(1 << 20);
    writeFile(files / "big.dmg", content);
    server.script("/big.dmg",
                  {droppedFile(files / "big.dmg", 1 << 19), Reply::fromFile(files / "big.dmg", "\"v1\"")});
    ProgressLog log;
    EXPECT_EQ(http->download(server.url("/big.dmg"), out / "file.zip", log.handler()), 1 << 20);
    EXPECT_TRUE(readFile(out / "file.zip") == content);
    EXPECT_EQ(sleeper.waits(), (std::vector<double>{2}));

    auto seen = server.requests("/big.dmg");
    ASSERT_EQ(seen.size(), 2u);
    auto range = seen[1].header("Range");
    ASSERT_TRUE(range);
    auto offset = std::stoll(range->substr(6));
    EXPECT_GT(offset, 0);
    EXPECT_LE(offset, 1 << 19);
    EXPECT_EQ(*range, fmt::format("bytes={}-", offset));
    EXPECT_EQ(seen[1].header("If-Range"), "\"v1\"");
    // The resumed attempt counts on from what was on disk, never back to zero.
    for (size_t i = 1; i < log.calls.size(); ++i)
        EXPECT_GE(log.calls[i].first, log.calls[i - 1].first);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(DownloadTest, ResumeFallsBackToTheLastModifiedValidator) {
    std::string content = pattern(200'000);
    writeFile(files / "f", content);
    Reply first = droppedFile(files / "f", 100'000, "W/\"weak\"");
    first.headers.set("Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT");
    Reply rest = Reply::fromFile(files / "f");
    rest.headers.set("Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT");
    server.script("/f", {first, rest});
    http->download(server.url("/f"), out / "file.zip");
    EXPECT_TRUE(readFile(out / "file.zip") == content);
    EXPECT_EQ(server.requests("/f").at(1).header("If-Range"), "Tue, 01 Dec 2026 10:00:00 GMT");
}

TEST_F(DownloadTest, ServerIgnoringRangeRestartsCleanly) {
    std::string content = pattern(400'000);
    writeFile(files / "f", content);
    server.script("/f", {droppedFile(files / "f", 200'000), Reply::ok(content, {{"ETag", "\"v1\""}})});
    EXPECT_EQ(http->download(server.url("/f"), out / "file.zip"), 400'000);
    EXPECT_TRUE(readFile(out / "file.zip") == content);
    EXPECT_TRUE(server.requests("/f").at(1).header("Range"));
}

TEST_F(DownloadTest, ChangedValidatorRestartsWithTheNewFile) {
    std::string before = pattern(300'000, 1);
    std::string after = pattern(250'000, 2);
    writeFile(files / "old", before);
    writeFile(files / "new", after);
    server.script("/f",
                  {droppedFile(files / "old", 150'000, "\"v1\""), Reply::fromFile(files / "new", "\"v2\"")});
    EXPECT_EQ(http->download(server.url("/f"), out / "file.zip"), 250'000);
    EXPECT_TRUE(readFile(out / "file.zip") == after);
    EXPECT_EQ(server.requests("/f").at(1).header("If-Range"), "\"v1\"");
}

TEST_F(DownloadTest, NoValidatorMeansAFreshSecondAttempt) {
    std::string content = pattern(100'000);
    writeFile(files / "f", content);
    server.script("/f", {droppedFile(files / "f", 50'000, std::nullopt), Reply::fromFile(files / "f")});
    http->download(server.url("/f"), out / "file.zip");
    EXPECT_TRUE(readFile(out / "file.zip") == content);
    EXPECT_FALSE(server.requests("/f").at(1).header("Range"));
}

TEST_F(DownloadTest, PartialAnswerAtTheWrongOffsetFails) {
    std::string content = pattern(100'000);
    writeFile(files / "f", content);
    server.script("/f", {droppedFile(files / "f", 50'000),
                         Reply::withHeaders(206, {{"Content-Range", "bytes 0-9/100000"}}, "0123456789")});
    PelError e = downloadFailure(server.url("/f"));
    EXPECT_EQ(e.code(), ErrorCode::NET_HTTP_5XX);
    EXPECT_EQ(e.message(), "download 206 " + server.url("/f").text());
    EXPECT_TRUE(leftovers().empty());
    EXPECT_FALSE(fs::exists(out / "file.zip"));
}

TEST_F(DownloadTest, StatusOtherThan200FailsOnceAndKeepsTheDestination) {
    server.script("/missing", {Reply::withStatus(404, "not here")});
    server.script("/busy", {Reply::withStatus(503, "later")});
    writeFile(out / "file.zip", "kept");
    PelError e = downloadFailure(server.url("/missing"));
    EXPECT_EQ(e.code(), ErrorCode::NET_HTTP_5XX);
    EXPECT_EQ(e.message(), "download 404 " + server.url("/missing").text());
    EXPECT_EQ(downloadFailure(server.url("/busy")).message(), "download 503 " + server.url("/busy").text());
    EXPECT_EQ(server.requests("/missing").size(), 1u);
    EXPECT_EQ(server.requests("/busy").size(), 1u);
    for (double w : sleeper.waits())
        EXPECT_LE(w, 1.0); // the throttle's spacing only, no retry
    EXPECT_EQ(readFile(out / "file.zip"), "kept");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(DownloadTest, StallsTimeOutAfterThreeAttempts) {
    Reply stall = Reply::fromFile(files / "f", "\"v1\"");
    writeFile(files / "f", pattern(50'000));
    stall.stallAfter = 1000;
    server.script("/f", {stall});
    // Only a stall may strike: the bytes before it must arrive in time even on a busy machine.
    auto client = makeClient(2s);
    PelError e = downloadFailure(server.url("/f"), client.get());
    EXPECT_EQ(e.code(), ErrorCode::NET_TIMEOUT);
    EXPECT_EQ(e.message(), "download failed after 3 attempts: The request timed out.");
    EXPECT_EQ(sleeper.waits(), (std::vector<double>{2, 8}));
    auto seen = server.requests("/f");
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].header("Range"), "bytes=1000-");
    EXPECT_EQ(seen[2].header("Range"), "bytes=2000-");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(DownloadTest, TwoStallsThenSuccess) {
    std::string content = pattern(60'000);
    writeFile(files / "f", content);
    Reply stall = Reply::fromFile(files / "f", "\"v1\"");
    stall.stallAfter = 20'000;
    server.script("/f", {stall, stall, Reply::fromFile(files / "f", "\"v1\"")});
    auto client = makeClient(2s); // as above: only the stalls may strike
    EXPECT_EQ(client->download(server.url("/f"), out / "file.zip"), 60'000);
    EXPECT_TRUE(readFile(out / "file.zip") == content);
    EXPECT_EQ(sleeper.waits(), (std::vector<double>{2, 8}));
}

TEST_F(DownloadTest, CancellationMidTransferLeavesNoTemporaryFile) {
    writeFile(files / "f", pattern(100'000));
    Reply stall = Reply::fromFile(files / "f");
    stall.stallAfter = 30'000;
    server.script("/f", {stall});
    std::stop_source stop;
    ProgressLog log;
    auto result = std::async(std::launch::async, [&] {
        return http->download(server.url("/f"), out / "file.zip", log.handler(), stop.get_token());
    });
    // Wait until bytes are on disk, then cancel.
    for (;;) {
        {
            std::lock_guard lock(log.mutex);
            if (!log.calls.empty() && log.calls.back().first >= 30'000) break;
        }
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_FALSE(leftovers().empty());
    stop.request_stop();
    EXPECT_THROW(result.get(), platform::Cancelled);
    EXPECT_TRUE(leftovers().empty());
    EXPECT_FALSE(fs::exists(out / "file.zip"));
    EXPECT_EQ(server.requests("/f").size(), 1u);
}

TEST_F(DownloadTest, CancellationDuringTheBackOffLeavesNoTemporaryFile) {
    writeFile(files / "f", pattern(100'000));
    server.script("/f", {droppedFile(files / "f", 40'000)});
    std::stop_source stop;
    sleeper.onSleep([&] { stop.request_stop(); });
    EXPECT_THROW(http->download(server.url("/f"), out / "file.zip", {}, stop.get_token()),
                 platform::Cancelled);
    EXPECT_TRUE(leftovers().empty());
    EXPECT_EQ(server.requests("/f").size(), 1u);
}

TEST_F(DownloadTest, RefusedUrlsAndRedirects) {
    try {
        http->download(*Url::parse("http://127.0.0.1/x.zip"), out / "file.zip");
        FAIL();
    } catch (const PelError& e) {
        EXPECT_EQ(e.code(), ErrorCode::INT_UNEXPECTED);
        EXPECT_EQ(e.message(), "TLS required: http://127.0.0.1/x.zip");
    }
    server.script("/r", {Reply::redirect(302, fmt::format("http://127.0.0.1:{}/plain", server.port()))});
    PelError e = downloadFailure(server.url("/r"));
    EXPECT_EQ(e.code(), ErrorCode::INT_UNEXPECTED);
    EXPECT_EQ(e.message(), "download redirect downgraded");

    // A downgrade met on the resumed attempt drops the partial file too.
    writeFile(files / "f", pattern(100'000));
    server.script("/f", {droppedFile(files / "f", 50'000),
                         Reply::redirect(302, fmt::format("http://127.0.0.1:{}/plain", server.port()))});
    EXPECT_EQ(downloadFailure(server.url("/f")).message(), "download redirect downgraded");
    EXPECT_TRUE(server.requests("/plain").empty());
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(DownloadTest, HttpsRedirectsAreFollowed) {
    server.script("/latest", {Reply::redirect(302, "/files/v2.zip")});
    server.script("/files/v2.zip", {Reply::ok("zip bytes")});
    EXPECT_EQ(http->download(server.url("/latest"), out / "file.zip"), 9);
    EXPECT_EQ(readFile(out / "file.zip"), "zip bytes");
}

TEST_F(DownloadTest, UnknownLengthReportsMinusOneThenTheSize) {
    Reply chunked = Reply::ok(pattern(70'000));
    chunked.chunked = true;
    server.script("/c", {chunked});
    ProgressLog log;
    EXPECT_EQ(http->download(server.url("/c"), out / "file.zip", log.handler()), 70'000);
    ASSERT_GE(log.calls.size(), 2u);
    for (size_t i = 0; i + 1 < log.calls.size(); ++i)
        EXPECT_EQ(log.calls[i].second, -1);
    EXPECT_EQ(log.calls.back(), std::make_pair(std::int64_t(70'000), std::int64_t(70'000)));
}

TEST_F(DownloadTest, OtherTransferErrorsAreThrownUnchangedAtOnce) {
    auto refused = *Url::parse(fmt::format("https://127.0.0.1:{}/f", pelsupport::closedLoopbackPort()));
    EXPECT_THROW(http->download(refused, out / "file.zip"), platform::TransportError);
    EXPECT_TRUE(sleeper.waits().empty());
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(DownloadTest, DestinationFolderThatCannotTakeFilesFailsWithTheFileError) {
    writeFile(out / "not-a-dir", "x");
    server.script("/f", {Reply::ok("x")});
    EXPECT_THROW(http->download(server.url("/f"), out / "not-a-dir" / "file.zip"), fs::filesystem_error);
    EXPECT_TRUE(server.requests("/f").empty());
}

// The digest comes from the bytes as they were written; it must be the finished file's whatever
// the attempts did: resumed, restarted because the server ignored the range or the file changed.
TEST_F(DownloadTest, DigestIsTheWholeFinishedFilesAcrossAttempts) {
    const std::string content = pattern(400'000);
    const std::string changed = pattern(250'000, 2);
    writeFile(files / "f", content);
    writeFile(files / "new", changed);
    struct Case {
        const char* name;
        std::vector<Reply> replies;
        const std::string& expected;
    };
    const Case cases[] = {
        {"whole", {Reply::fromFile(files / "f", "\"v1\"")}, content},
        {"resumed", {droppedFile(files / "f", 150'000), Reply::fromFile(files / "f", "\"v1\"")}, content},
        {"range ignored",
         {droppedFile(files / "f", 150'000), Reply::ok(content, {{"ETag", "\"v1\""}})},
         content},
        {"changed", {droppedFile(files / "f", 150'000), Reply::fromFile(files / "new", "\"v2\"")}, changed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = fmt::format("/digest-{}", static_cast<const void*>(&c));
        server.script(path, c.replies);
        const HTTP::DownloadedFile got = http->downloadFile(server.url(path), out / "file.zip");
        EXPECT_EQ(got.bytes, static_cast<std::int64_t>(c.expected.size()));
        EXPECT_TRUE(readFile(out / "file.zip") == c.expected);
        EXPECT_EQ(got.sha256, platform::sha256Hex(c.expected));
        EXPECT_EQ(server.requests(path).size(), c.replies.size());
    }
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(DownloadTest, AFolderAtTheDestinationIsReplacedByTheFile) {
    fs::create_directories(out / "file.zip" / "inner");
    writeFile(out / "file.zip" / "inner" / "x", "x");
    server.script("/f", {Reply::ok("payload")});
    EXPECT_EQ(http->download(server.url("/f"), out / "file.zip"), 7);
    EXPECT_EQ(readFile(out / "file.zip"), "payload");
}

TEST_F(DownloadTest, DownloadsToOneHostTakeTurnsOtherHostsRunTogether) {
    Reply slow = Reply::ok(pattern(10'000, 3));
    slow.delay = 300ms;
    server.script("/a", {slow});
    ProgressLog logA, logB;
    auto a = std::async(std::launch::async,
                        [&] { return http->download(server.url("/a"), out / "a", logA.handler()); });
    auto b = std::async(std::launch::async,
                        [&] { return http->download(server.url("/a"), out / "b", logB.handler()); });
    EXPECT_EQ(a.get(), 10'000);
    EXPECT_EQ(b.get(), 10'000);
    auto seen = server.requests("/a");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_GE(seen[1].time - seen[0].time, 300ms);

    // Each answer waits until both requests are in: only downloads sent together meet.
    pelsupport::Rendezvous together(2);
    server.on("/c", [&](const RecordedRequest&) {
        together.arriveAndWait();
        return Reply::ok(pattern(30'000, 5));
    });
    server.on("/d", [&](const RecordedRequest&) {
        together.arriveAndWait();
        return Reply::ok(pattern(40'000, 6));
    });
    ProgressLog logC, logD;
    auto c = std::async(std::launch::async, [&] {
        return http->download(server.url("/c", "127.0.0.1"), out / "c", logC.handler());
    });
    auto d = std::async(std::launch::async, [&] {
        return http->download(server.url("/d", "localhost"), out / "d", logD.handler());
    });
    EXPECT_EQ(c.get(), 30'000);
    EXPECT_EQ(d.get(), 40'000);
    EXPECT_TRUE(together.met()) << "the second download waited for the first one's answer";
    // Each one's progress went only to its own handler.
    for (auto [got, expected] : logC.calls)
        EXPECT_EQ(expected, 30'000);
    for (auto [got, expected] : logD.calls)
        EXPECT_EQ(expected, 40'000);
    EXPECT_EQ(logC.calls.back(), std::make_pair(std::int64_t(30'000), std::int64_t(30'000)));
    EXPECT_EQ(logD.calls.back(), std::make_pair(std::int64_t(40'000), std::int64_t(40'000)));
}

TEST(MoveFile, FallsBackToCopyAcrossFileSystems) {
    struct stat tmpStat {};
    struct stat shmStat {};
    if (::stat("/tmp", &tmpStat) != 0 || ::stat("/dev/shm", &shmStat) != 0 ||
        tmpStat.st_dev == shmStat.st_dev) {
        GTEST_SKIP() << "no second file system at /dev/shm";
    }
    char shmPattern[] = "/dev/shm/pel-move-XXXXXX";
    ASSERT_TRUE(::mkdtemp(shmPattern));
    fs::path shm = shmPattern;
    TempDir dest;
    std::string content = pattern(3 << 20);
    writeFile(shm / "pel-dl-x", content);
    pelkit::moveFile(shm / "pel-dl-x", dest / "file.zip");
    EXPECT_TRUE(readFile(dest / "file.zip") == content);
    EXPECT_FALSE(fs::exists(shm / "pel-dl-x"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dest.path()), fs::directory_iterator()),
              1); // no staging file

    // A failed copy leaves nothing behind beside the destination.
    writeFile(shm / "pel-dl-y", content);
    EXPECT_THROW(pelkit::moveFile(shm / "pel-dl-y", dest / "missing-dir" / "file.zip"), fs::filesystem_error);
    EXPECT_TRUE(fs::exists(shm / "pel-dl-y"));
    fs::remove_all(shm);
}

TEST_F(DownloadTest, DownloadToAnotherFileSystemIsReceivedThere) {
    struct stat tmpStat {};
    struct stat shmStat {};
    if (::stat(fs::temp_directory_path().c_str(), &tmpStat) != 0 || ::stat("/dev/shm", &shmStat) != 0 ||
        tmpStat.st_dev == shmStat.st_dev) {
        GTEST_SKIP() << "no second file system at /dev/shm";
    }
    char shmPattern[] = "/dev/shm/pel-dl-XXXXXX";
    ASSERT_TRUE(::mkdtemp(shmPattern));
    const fs::path shm = shmPattern;
    std::string content = pattern(500'000);
    server.script("/f", {Reply::ok(content)});
    EXPECT_EQ(http->download(server.url("/f"), shm / "file.zip"), 500'000);
    EXPECT_TRUE(readFile(shm / "file.zip") == content);
    EXPECT_EQ(std::distance(fs::directory_iterator(shm), fs::directory_iterator()), 1);
    fs::remove_all(shm);
}

// ---- Bounds of a transfer ----

TEST(TransferBound, IsTheLargestSizeTheVerifierStillTakes) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const std::vector<std::pair<std::int64_t, std::int64_t>> cases = {
        {1000, 1009}, {1125, 1136}, {100, 100},
        {101, 102},   {1, 1},       {0, 0},
        {-5, 0},      {kMax, kMax}, {std::int64_t{1} << 40, (std::int64_t{1} << 40) + 10995116277},
    };
    for (const auto& [expected, most] : cases) {
        SCOPED_TRACE(expected);
        EXPECT_EQ(pelkit::Verifier::largestMatchingSize(expected), most);
        if (expected >= 1) {
            EXPECT_TRUE(pelkit::Verifier::sizeMatches(most, expected));
            if (most < kMax) {
                EXPECT_FALSE(pelkit::Verifier::sizeMatches(most + 1, expected));
            }
        }
    }
}

// A published size of 1125 bytes admits at most 1136: nothing past that reaches the disk.
TEST_F(DownloadTest, ATransferPastThePublishedSizeStopsBeforeTheExcessIsWritten) {
    const pelkit::SizeLimit limit{1125, 1136};
    const std::string big = pattern(8 << 20);
    writeFile(files / "two-thousand", pattern(2000));
    Reply chunkedBig = Reply::ok(big);
    chunkedBig.chunked = true;
    Reply unannouncedStart = droppedFile(files / "two-thousand", 600);
    unannouncedStart.chunked = true;
    Reply chunked404 = Reply::withStatus(404, big);
    chunked404.chunked = true;

    struct Case {
        std::string name;
        std::vector<Reply> replies;
        std::optional<std::string> message; // none: the file arrives whole
        std::int64_t mostWritten;
    };
    const Case cases[] = {
        {"NoLengthAnnounced", {chunkedBig}, std::nullopt, 1136},
        {"LengthAnnounced", {Reply::ok(big)}, fmt::format("size mismatch {} vs 1125", big.size()), 0},
        {"AtTheBound", {Reply::ok(pattern(1136))}, "", 1136},
        {"OneBytePast", {Reply::ok(pattern(1137))}, "size mismatch 1137 vs 1125", 0},
        // 600 bytes of unknown length, then the resumed rest announces 1400 more: 2000 in all.
        {"ResumedPastTheBound",
         {unannouncedStart, Reply::fromFile(files / "two-thousand", "\"v1\"")},
         "size mismatch 2000 vs 1125",
         600},
        {"ErrorPageIsCutAndJudgedByItsStatus", {chunked404}, std::nullopt, 1136},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = "/bound-" + c.name;
        server.script(path, c.replies);
        writeFile(out / "file.zip", "kept");
        ProgressLog log;
        std::optional<PelError> error;
        try {
            http->downloadFile(server.url(path), out / "file.zip", log.handler(), {}, limit);
        } catch (const PelError& e) {
            error = e;
        }
        std::int64_t written = 0;
        for (const auto& call : log.calls)
            written = std::max(written, call.first);

        if (c.message && c.message->empty()) {
            EXPECT_FALSE(error) << error->message();
            EXPECT_EQ(readFile(out / "file.zip").size(), 1136u);
        } else if (c.message) {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), ErrorCode::SRC_FEED_MALFORMED);
            EXPECT_EQ(error->message(), *c.message);
            EXPECT_LE(written, c.mostWritten);
            EXPECT_EQ(readFile(out / "file.zip"), "kept");
        } else if (c.name == "NoLengthAnnounced") {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), ErrorCode::SRC_FEED_MALFORMED);
            // Stopped at the first piece past the bound (the transport hands over at most 256 KiB
            // at a time), not at the end of the 8 MiB.
            std::int64_t seen = 0;
            ASSERT_EQ(std::sscanf(error->message().c_str(), "size mismatch %ld vs 1125", &seen), 1)
                << error->message();
            EXPECT_GT(seen, 1136);
            EXPECT_LE(seen, 1136 + 256 * 1024);
            EXPECT_LE(written, c.mostWritten);
            EXPECT_EQ(readFile(out / "file.zip"), "kept");
        } else {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), ErrorCode::NET_HTTP_5XX);
            EXPECT_EQ(error->message(), "download 404 " + server.url(path).text());
            EXPECT_LE(written, c.mostWritten);
        }
        // Refused once: a file too large is not asked for again.
        EXPECT_EQ(server.requests(path).size(), c.replies.size());
        EXPECT_TRUE(leftovers().empty());
    }
}

namespace {

// Announces `announced` bytes and then sends more, in pieces, as a broken or hostile server can.
class OverrunTransport final : public platform::HttpTransport {
public:
    OverrunTransport(int status, std::int64_t announced, std::vector<std::string> pieces)
        : status_(status), announced_(announced), pieces_(std::move(pieces)) {}
    using HttpTransport::perform;
    platform::HttpResponseHead perform(const platform::HttpRequest& request, platform::BodySink& sink,
                                       std::stop_token) override {
        platform::HttpResponseHead head{
            status_, {{"Content-Length", std::to_string(announced_)}}, request.url};
        sink.begin(head);
        for (const auto& piece : pieces_)
            sink.write(piece);
        return head;
    }

private:
    int status_;
    std::int64_t announced_;
    std::vector<std::string> pieces_;
};

} // namespace

TEST_F(DownloadTest, ABodyLongerThanItsAnnouncedLengthIsStoppedAtTheLength) {
    const std::vector<std::string> pieces(3, pattern(600));
    OverrunTransport overrun(200, 1000, pieces);
    auto client = makeClient(60s, &overrun);
    writeFile(out / "file.zip", "kept");
    ProgressLog log;
    try {
        client->downloadFile(Url::parse("https://files.example/f.zip").value(), out / "file.zip",
                             log.handler());
        ADD_FAILURE() << "no error";
    } catch (const PelError& e) {
        EXPECT_EQ(e.code(), ErrorCode::SRC_FEED_MALFORMED);
        EXPECT_EQ(e.message(), "size mismatch 1200 vs 1000");
    }
    EXPECT_EQ(log.calls, (std::vector<std::pair<std::int64_t, std::int64_t>>{{600, 1000}}));
    EXPECT_EQ(readFile(out / "file.zip"), "kept");
    EXPECT_TRUE(leftovers().empty());

    // An error answer's body is cut there too and the status decides.
    OverrunTransport overrunError(500, 1000, pieces);
    auto errorClient = makeClient(60s, &overrunError);
    try {
        errorClient->downloadFile(Url::parse("https://files.example/f.zip").value(), out / "file.zip");
        ADD_FAILURE() << "no error";
    } catch (const PelError& e) {
        EXPECT_EQ(e.code(), ErrorCode::NET_HTTP_5XX);
        EXPECT_EQ(e.message(), "download 500 https://files.example/f.zip");
    }
    EXPECT_TRUE(leftovers().empty());
}
