// The free-space bound of a download without a published size, at the client: which volume is
// asked, what an unreadable answer means, and what a resumed attempt still has to fit.

#include "PelKit/Downloader.hpp"
#include "PelKit/HTTP.hpp"
#include "PelKit/Models.hpp"
#include "Support/TempDir.hpp"
#include "Support/TestServer.hpp"
#include "Support/VirtualSleeper.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <mutex>

using pelkit::ErrorCode;
using pelkit::HTTP;
using pelkit::PelError;
using pelkit::SpaceLimit;
using pelsupport::Reply;
using pelsupport::TempDir;
using pelsupport::TestServer;
using platform::Url;
namespace fs = std::filesystem;

namespace {

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    return s;
}

// A free-space seam answering `free` and keeping the folders it was asked about.
class FreeSpace {
public:
    explicit FreeSpace(std::optional<std::int64_t> free) : free_(free) {}
    SpaceLimit limit() {
        return SpaceLimit{[this](const Url& folder) {
            std::lock_guard lock(mutex_);
            asked_.push_back(folder.filePath());
            return free_;
        }};
    }
    std::vector<std::string> asked() {
        std::lock_guard lock(mutex_);
        return asked_;
    }

private:
    std::mutex mutex_;
    std::optional<std::int64_t> free_;
    std::vector<std::string> asked_;
};

class DownloadSpaceTest : public ::testing::Test {
protected:
    DownloadSpaceTest() : sleeper(clock) {
        pelkit::HTTPOptions o;
        o.caFile = server.caFile();
        o.clock = &clock;
        o.sleeper = &sleeper;
        http = std::make_unique<HTTP>(o);
    }

    bool leftovers() const {
        for (const auto& e : fs::directory_iterator(out.path()))
            if (e.path().filename().native().starts_with("pel-dl-")) return true;
        return false;
    }

    TestServer server;
    platform::ManualClock clock;
    pelsupport::VirtualSleeper sleeper;
    TempDir out{"pel-dl-out"};
    TempDir files{"pel-dl-src"};
    std::unique_ptr<HTTP> http;
};

} // namespace

TEST_F(DownloadSpaceTest, TheVolumeAskedIsTheDestinationsFolder) {
    const std::string content = pattern(300'000);
    server.script("/f", {Reply::ok(content)});
    FreeSpace space(SpaceLimit::reserve + 300'000);
    fs::create_directories(out / "cache");
    const auto got =
        http->downloadFile(server.url("/f"), out / "cache" / "file.zip", {}, {}, std::nullopt, space.limit());
    EXPECT_EQ(got.bytes, 300'000);
    ASSERT_FALSE(space.asked().empty());
    for (const std::string& folder : space.asked())
        EXPECT_EQ(fs::path(folder), out / "cache");
}

TEST_F(DownloadSpaceTest, FreeSpaceThatCannotBeReadBoundsNothing) {
    const std::string content = pattern(6 << 20);
    Reply chunked = Reply::ok(content);
    chunked.chunked = true;
    server.script("/f", {chunked});
    FreeSpace space(std::nullopt);
    const auto got =
        http->downloadFile(server.url("/f"), out / "file.zip", {}, {}, std::nullopt, space.limit());
    EXPECT_EQ(got.bytes, 6 << 20);
    // Asked at the start and again as the file grew.
    EXPECT_GE(space.asked().size(), 2u);
}

// The offset a continued request asked for ("bytes=<offset>-").
std::int64_t continuedFrom(const pelsupport::RecordedRequest& request) {
    const auto range = request.header("Range");
    if (!range || !range->starts_with("bytes=")) return -1;
    return std::stoll(range->substr(6));
}

// 600 000 bytes arrive without a length, the connection drops, and the rest is continued: only
// the rest has to fit, the whole 1 500 000 would not.
TEST_F(DownloadSpaceTest, AContinuedAnswerNeedsRoomOnlyForTheRest) {
    const std::string content = pattern(1'500'000);
    pelsupport::writeText(files / "f", content);
    Reply start = Reply::fromFile(files / "f", "\"v1\"");
    start.chunked = true;
    start.dropAfter = 600'000;
    server.script("/f", {start, Reply::fromFile(files / "f", "\"v1\"")});
    FreeSpace space(SpaceLimit::reserve + 1'300'000);
    const auto got =
        http->downloadFile(server.url("/f"), out / "file.zip", {}, {}, std::nullopt, space.limit());
    EXPECT_EQ(got.bytes, 1'500'000);
    EXPECT_TRUE(pelsupport::readText(out / "file.zip") == content);
    ASSERT_EQ(server.requests("/f").size(), 2u);
    EXPECT_GT(continuedFrom(server.requests("/f")[1]), 0);

    // Less room than the rest: refused when the rest is announced, before its first byte.
    server.script("/g", {start, Reply::fromFile(files / "f", "\"v1\"")});
    FreeSpace less(SpaceLimit::reserve + 800'000);
    std::optional<PelError> error;
    try {
        http->downloadFile(server.url("/g"), out / "file.zip", {}, {}, std::nullopt, less.limit());
    } catch (const PelError& e) {
        error = e;
    }
    ASSERT_TRUE(error);
    ASSERT_EQ(server.requests("/g").size(), 2u);
    const std::int64_t offset = continuedFrom(server.requests("/g")[1]);
    ASSERT_GT(offset, 0);
    EXPECT_EQ(error->code(), ErrorCode::ENV_DISK_FULL);
    EXPECT_EQ(error->message(),
              fmt::format("need ~{} bytes free, have {}", 1'500'000 - offset + SpaceLimit::reserve,
                          SpaceLimit::reserve + 800'000));
    EXPECT_TRUE(pelsupport::readText(out / "file.zip") == content); // the former file stays
    EXPECT_FALSE(leftovers());
}
