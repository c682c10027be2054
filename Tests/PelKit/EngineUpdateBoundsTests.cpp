// Hostile downloads through the whole update: a file that is not the published one is never
// unpacked, a body past the published size is stopped while it arrives, and an archive that
// declares more than the volume holds is refused before any tool unpacks it.

#include "PelKit/Engine.hpp"

#include "Support/ArchiveBuilder.hpp"
#include "Support/UpdateAssertions.hpp"
#include "Support/UpdateFixture.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

using namespace pelkit;
namespace fs = std::filesystem;
using pelsupport::BundleBuilder;
using pelsupport::expectOneFailure;
using pelsupport::FakeTools;
using pelsupport::Reply;
using pelsupport::UpdateFixture;
using pelsupport::UpdateRun;

namespace {

constexpr const char* kFoo = "com.example.foo";
const std::vector<std::string> kUnpackers = {"ditto", "tar", "hdiutil"};

// Foo 2.0 with 3 MiB of zeros: a few kilobytes packed.
fs::path fooTree(const fs::path& tree) {
    const fs::path app =
        BundleBuilder("Foo.app").bundleID(kFoo).name("Foo").shortVersion("2.0").buildVersion("1").build(tree);
    pelsupport::writeText(app / "Contents/Resources/zeros.bin", std::string(3 << 20, '\0'));
    return tree;
}

using Packer = std::function<fs::path(const fs::path& tree, const fs::path& out)>;
struct Packing {
    std::string name;
    std::string file;
    Packer pack;
};
const std::vector<Packing>& packings() {
    static const std::vector<Packing> all = {
        {"Zip", "Foo.zip", pelsupport::buildZip},
        {"TarGz", "Foo.tar.gz", pelsupport::buildTarGz},
        {"DiskImage", "Foo.dmg", pelsupport::buildDiskImage},
    };
    return all;
}

// Every extraction tool logs its calls; tar still unpacks with the real one.
void watchUnpackers(UpdateFixture& fx) {
    fx.tools.installScript("tar", "exec '" + *FakeTools::realTool("tar") + "' \"$@\"\n");
}

// Foo 1.0 installed, with the extraction tools watched.
InstalledApp installFoo(UpdateFixture& fx) {
    watchUnpackers(fx);
    return fx.installApp(
        BundleBuilder("Foo.app").bundleID(kFoo).name("Foo").shortVersion("1.0").buildVersion("1"));
}

// Foo 2.0 packed as `p` says, served and published with its true size and hash.
RemoteVersion publishPacked(UpdateFixture& fx, const Packing& p) {
    const fs::path file = p.pack(fooTree(fx.dir / "tree"), fx.dir / "built" / p.file);
    return fx.publish(file, "/dl/" + p.file, "2.0");
}

int unpackerCalls(const UpdateFixture& fx) {
    int calls = 0;
    for (const auto& tool : kUnpackers)
        calls += fx.tools.callCount(tool);
    return calls;
}

std::vector<std::string> eventNames(UpdateFixture& fx) {
    std::vector<std::string> names;
    for (const auto& e : fx.events())
        names.push_back(e["event"].get<std::string>() +
                        (e.contains("step") ? ":" + e["step"].get<std::string>() : std::string()));
    return names;
}

} // namespace

TEST(EngineUpdateBounds, AFileThatIsNotThePublishedOneIsNeverUnpacked) {
    for (const Packing& p : packings()) {
        for (const bool wrongHash : {true, false}) {
            SCOPED_TRACE(p.name + (wrongHash ? " wrong hash" : " wrong size"));
            UpdateFixture fx;
            const InstalledApp installed = installFoo(fx);
            const auto before = UpdateFixture::snapshot(installed.path.filePath());
            RemoteVersion remote = publishPacked(fx, p);
            const std::int64_t size = *remote.sizeBytes;
            if (wrongHash)
                remote.sha256 = std::string(64, 'a');
            else
                remote.sizeBytes = size * 2; // more than arrives: the transfer itself is not cut

            const UpdateRun run = fx.update(installed, remote);
            expectOneFailure(fx, run,
                             wrongHash ? ErrorCode::SRC_HASH_MISMATCH : ErrorCode::SRC_FEED_MALFORMED);
            EXPECT_EQ(unpackerCalls(fx), 0);
            const std::string downloading =
                fmt::format("Downloading Foo ({:.1f} MB)", static_cast<double>(*remote.sizeBytes) / 1048576);
            EXPECT_EQ(run.texts, (std::vector<std::string>{"Pre-flight", downloading}));
            // The events of a refused download, in their order: the failing step last.
            const std::vector<std::string> journalled =
                wrongHash
                    ? std::vector<std::string>{"download_started", "download_finished", "verify_step:size",
                                               "verify_step:sha256", "install_result"}
                    : std::vector<std::string>{"download_started", "download_finished", "verify_step:size",
                                               "install_result"};
            EXPECT_EQ(eventNames(fx), journalled);
            EXPECT_EQ(fx.events("verify_step").back()["passed"], false);
            EXPECT_FALSE(fs::exists(fx.cacheFile(kFoo, "2.0", p.file)));
            EXPECT_EQ(UpdateFixture::snapshot(installed.path.filePath()), before);
        }
    }
}

TEST(EngineUpdateBounds, ABodyFarPastThePublishedSizeIsStoppedWhileItArrives) {
    UpdateFixture fx;
    const InstalledApp installed = installFoo(fx);
    const auto before = UpdateFixture::snapshot(installed.path.filePath());
    RemoteVersion remote = fx.publish(
        fx.zipBundle(BundleBuilder("Foo.app").bundleID(kFoo).shortVersion("2.0")), "/dl/Foo.zip", "2.0");
    remote.sizeBytes = 1125;
    // 32 MiB without an announced length.
    std::string body(32 << 20, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    Reply endless = Reply::ok(body);
    endless.chunked = true;
    fx.server.script("/dl/Foo.zip", {endless});

    const UpdateRun run = fx.update(installed, remote);
    expectOneFailure(fx, run, ErrorCode::SRC_FEED_MALFORMED);
    std::int64_t seen = 0;
    ASSERT_EQ(std::sscanf(run.pelError()->message().c_str(), "size mismatch %ld vs 1125", &seen), 1)
        << run.pelError()->message();
    EXPECT_LE(seen, 1136 + 256 * 1024); // one piece of the transport past the bound, not 32 MiB
    for (const auto& [got, expected] : run.bytes)
        EXPECT_LE(got, 1136);
    EXPECT_EQ(eventNames(fx), (std::vector<std::string>{"download_started", "install_result"}));
    EXPECT_EQ(fx.server.requests("/dl/Foo.zip").size(), 1u);
    EXPECT_EQ(unpackerCalls(fx), 0);
    EXPECT_FALSE(fs::exists(fx.cacheFile(kFoo, "2.0", "Foo.zip")));
    EXPECT_TRUE(fs::is_empty(fs::path(fx.cacheFile(kFoo, "2.0", "Foo.zip")).parent_path()));
    EXPECT_EQ(UpdateFixture::snapshot(installed.path.filePath()), before);
}

TEST(EngineUpdateBounds, AnArchiveDeclaringMoreThanTheFreeSpaceIsRefusedBeforeExtraction) {
    // Archives of 3 MiB of zeros, and an image of a few kilobytes that says it is 512 MiB.
    const std::vector<Packing> cases = {
        packings()[0],
        packings()[1],
        {"DiskImage", "Foo.dmg",
         [](const fs::path& tree, const fs::path& out) {
             fs::remove(tree / "Foo.app/Contents/Resources/zeros.bin");
             return pelsupport::buildDiskImageOfSectors(tree, out, std::uint64_t{1} << 20);
         }},
    };
    for (const Packing& p : cases) {
        SCOPED_TRACE(p.name);
        UpdateFixture fx;
        const InstalledApp installed = installFoo(fx);
        const auto before = UpdateFixture::snapshot(installed.path.filePath());
        const RemoteVersion remote = publishPacked(fx, p);
        // Room for the pre-flight's three copies of the download, not for what it unpacks to.
        fx.freeBytes = 1 << 20;
        ASSERT_LT(3 * *remote.sizeBytes, fx.freeBytes.load());

        const UpdateRun run = fx.update(installed, remote);
        expectOneFailure(fx, run, ErrorCode::ENV_DISK_FULL);
        const std::string message = run.pelError()->message();
        std::int64_t need = 0;
        ASSERT_EQ(std::sscanf(message.c_str(), "need ~%ld bytes free, have 1048576", &need), 1) << message;
        EXPECT_TRUE(message.ends_with(" bytes free, have 1048576")) << message;
        EXPECT_GE(need, 3 << 20);
        EXPECT_EQ(unpackerCalls(fx), 0);
        EXPECT_EQ(run.texts.back(), "Extracting 0.0 MB");
        EXPECT_EQ(eventNames(fx),
                  (std::vector<std::string>{"download_started", "download_finished", "install_result"}));
        // Not the file's fault: a retry with more room reuses it.
        EXPECT_TRUE(fs::exists(fx.cacheFile(kFoo, "2.0", p.file)));
        EXPECT_EQ(UpdateFixture::snapshot(installed.path.filePath()), before);
    }
}
