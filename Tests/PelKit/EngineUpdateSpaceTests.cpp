// A release that publishes no size gets no pre-flight space test, so only the free space of the
// download cache's volume bounds what its server may send: a transfer stops short of the reserve
// (error bodies too), a length that cannot fit is refused before its first byte, and a write that
// meets a full volume says so. None of it is retried, and nothing is left behind.

#include "PelKit/BundleReader.hpp"
#include "PelKit/Downloader.hpp"
#include "PelKit/Engine.hpp"

#include "Support/UpdateAssertions.hpp"
#include "Support/UpdateFixture.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

using namespace pelkit;
namespace fs = std::filesystem;
using pelsupport::BundleBuilder;
using pelsupport::Reply;
using pelsupport::UpdateFixture;
using pelsupport::UpdateRun;

namespace {

constexpr const char* kFoo = "com.example.foo";
constexpr std::int64_t kMiB = std::int64_t{1} << 20;
constexpr std::int64_t kReserve = SpaceLimit::reserve;

InstalledApp installFoo(UpdateFixture& fx) {
    return fx.installApp(
        BundleBuilder("Foo.app").bundleID(kFoo).name("Foo").shortVersion("1.0").buildVersion("1"));
}

// Foo 2.0 served at /dl/Foo.zip and described as a catalogue release without a size.
RemoteVersion publishUnsized(UpdateFixture& fx) {
    const fs::path zip = fx.zipBundle(
        BundleBuilder("Foo.app").bundleID(kFoo).name("Foo").shortVersion("2.0").buildVersion("1"));
    RemoteVersion remote = fx.publish(zip, "/dl/Foo.zip", "2.0");
    remote.sizeBytes.reset();
    return remote;
}

// 64 MiB of zeros that take no room on the test machine's disk.
fs::path hugeFile(UpdateFixture& fx) {
    const fs::path file = fx.dir / "built" / "huge.bin";
    { std::ofstream touch(file, std::ios::binary); }
    fs::resize_file(file, 64 * kMiB);
    return file;
}

std::int64_t mostWritten(const UpdateRun& run) {
    std::int64_t most = 0;
    for (const auto& [got, expected] : run.bytes)
        most = std::max(most, got);
    return most;
}

std::string installedVersion(const InstalledApp& app) {
    return BundleReader::read(app.path).shortVersion.value_or("");
}

// The failed update left one journalled failure and one report, and no file anywhere: no work
// directory, nothing in the cache's folder.
void expectCleanFailure(UpdateFixture& fx, const UpdateRun& run, ErrorCode code) {
    pelsupport::expectOneFailure(fx, run, code);
    const fs::path cached = fx.cacheFile(kFoo, "2.0", "Foo.zip");
    EXPECT_FALSE(fs::exists(cached));
    EXPECT_TRUE(fs::is_empty(cached.parent_path()));
    // Not retried.
    EXPECT_EQ(fx.server.requests("/dl/Foo.zip").size(), 1u);
}

} // namespace

TEST(EngineUpdateSpace, AnUnsizedTransferStopsShortOfTheReserve) {
    struct Case {
        std::string name;
        int status;
        bool chunked; // else 64 MiB announced
    };
    const Case cases[] = {
        {"ChunkedOk", 200, true},
        {"AnnouncedOk", 200, false},
        {"ChunkedServerError", 500, true},
        {"AnnouncedServerError", 500, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateFixture fx;
        const InstalledApp installed = installFoo(fx);
        const auto before = UpdateFixture::snapshot(installed.path.filePath());
        const RemoteVersion remote = publishUnsized(fx);
        Reply hostile = Reply::fromFile(hugeFile(fx));
        hostile.status = c.status;
        hostile.ranges = false;
        hostile.chunked = c.chunked;
        fx.server.script("/dl/Foo.zip", {hostile});
        fx.freeBytes = kReserve + 4 * kMiB;

        const UpdateRun run = fx.update(installed, remote);
        expectCleanFailure(fx, run, ErrorCode::ENV_DISK_FULL);
        const std::string message = run.pelError()->message();
        if (c.chunked) {
            // Stopped at the piece that would have crossed the reserve.
            std::int64_t need = 0;
            std::int64_t have = 0;
            ASSERT_EQ(std::sscanf(message.c_str(), "need ~%ld bytes free, have %ld", &need, &have), 2)
                << message;
            EXPECT_GT(need, have);
            EXPECT_LE(have, kReserve + 4 * kMiB);
            EXPECT_GT(mostWritten(run), 3 * kMiB);
            EXPECT_LE(mostWritten(run), 4 * kMiB);
        } else {
            // The announced length cannot fit: refused before its first byte.
            EXPECT_EQ(message,
                      fmt::format("need ~{} bytes free, have {}", 64 * kMiB + kReserve, kReserve + 4 * kMiB));
            EXPECT_TRUE(run.bytes.empty());
        }
        EXPECT_EQ(run.texts, (std::vector<std::string>{"Pre-flight", "Downloading Foo"}));
        EXPECT_EQ(UpdateFixture::snapshot(installed.path.filePath()), before);
    }
}

// The reserve is the line: a file that leaves exactly that much installs, one byte more fails,
// whether its length is announced or not. A release with a published size keeps no reserve.
TEST(EngineUpdateSpace, AReleaseThatFitsInstalls) {
    struct Case {
        std::string name;
        bool published;
        bool chunked;
        std::int64_t spare; // free bytes beyond the file (and the reserve, when unsized)
        bool installs;
    };
    const Case cases[] = {
        {"AnnouncedWithRoom", false, false, 1 << 30, true},
        {"ChunkedWithRoom", false, true, 1 << 30, true},
        {"AnnouncedExactly", false, false, 0, true},
        {"ChunkedExactly", false, true, 0, true},
        {"AnnouncedOneShort", false, false, -1, false},
        {"ChunkedOneShort", false, true, -1, false},
        // Room for the pre-flight's three copies, far less than the reserve.
        {"PublishedSizeWithoutReserve", true, true, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateFixture fx;
        const InstalledApp installed = installFoo(fx);
        RemoteVersion remote = publishUnsized(fx);
        const fs::path zip = fx.dir / "built" / "Foo.zip";
        const auto size = static_cast<std::int64_t>(fs::file_size(zip));
        Reply reply = Reply::fromFile(zip);
        reply.chunked = c.chunked;
        fx.server.script("/dl/Foo.zip", {reply});
        if (c.published) {
            remote.sizeBytes = size;
            ASSERT_LT(3 * size, kMiB);
            fx.freeBytes = kMiB;
        } else {
            fx.freeBytes = kReserve + size + c.spare;
        }

        const UpdateRun run = fx.update(installed, remote);
        if (c.installs) {
            ASSERT_TRUE(run.result) << (run.pelError() ? run.pelError()->message() : "not a PelError");
            EXPECT_TRUE(run.result->success());
            EXPECT_EQ(installedVersion(installed), "2.0");
            EXPECT_EQ(fx.events("download_finished").at(0)["bytes"], size);
        } else {
            expectCleanFailure(fx, run, ErrorCode::ENV_DISK_FULL);
            EXPECT_EQ(installedVersion(installed), "1.0");
        }
    }
}

// Free space is read again as the file grows: room taken meanwhile by something else on the
// volume stops the transfer too, within a few MiB.
TEST(EngineUpdateSpace, RoomTakenDuringTheTransferIsSeen) {
    UpdateFixture fx;
    const InstalledApp installed = installFoo(fx);
    const RemoteVersion remote = publishUnsized(fx);
    Reply hostile = Reply::fromFile(hugeFile(fx));
    hostile.chunked = true;
    fx.server.script("/dl/Foo.zip", {hostile});
    fx.freeBytes = kReserve + 128 * kMiB;
    fx.onBytes = [&](std::int64_t got, std::int64_t) {
        if (got >= kMiB) fx.freeBytes = kReserve + kMiB;
    };

    const UpdateRun run = fx.update(installed, remote);
    expectCleanFailure(fx, run, ErrorCode::ENV_DISK_FULL);
    EXPECT_LE(mostWritten(run), 6 * kMiB);
}

// A volume that fills up under the transfer (ENOSPC, or the user's quota) is a full disk, with
// a published size or without; any other write failure stays the file system's error.
TEST(EngineUpdateSpace, AWriteThatFindsNoSpaceIsDiskFull) {
    struct Case {
        std::string name;
        int error;
        bool published;
    };
    const Case cases[] = {
        {"NoSpaceUnsized", ENOSPC, false},
        {"NoSpacePublished", ENOSPC, true},
        {"QuotaUnsized", EDQUOT, false},
        {"InputOutputError", EIO, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateFixture fx;
        const InstalledApp installed = installFoo(fx);
        RemoteVersion remote = publishUnsized(fx);
        const fs::path zip = fx.dir / "built" / "Foo.zip";
        if (c.published) remote.sizeBytes = static_cast<std::int64_t>(fs::file_size(zip));
        fx.downloadWriteFault = [&](std::int64_t) { return std::optional<int>(c.error); };

        const UpdateRun run = fx.update(installed, remote);
        if (c.error == EIO) {
            ASSERT_FALSE(run.pelError());
            ASSERT_TRUE(run.error);
            EXPECT_THROW(std::rethrow_exception(run.error), fs::filesystem_error);
            EXPECT_EQ(fx.events("install_result").at(0)["code"], "INT_UNEXPECTED");
            continue;
        }
        expectCleanFailure(fx, run, ErrorCode::ENV_DISK_FULL);
        EXPECT_EQ(run.pelError()->message(),
                  "download stopped after 0 bytes: " + std::generic_category().message(c.error));
        EXPECT_EQ(installedVersion(installed), "1.0");
    }
}
