// The whole update with little room on the volume: archives that understate what they unpack to,
// or whose listing cannot be read, are refused before any tool unpacks them, and ordinary
// archives still install.

#include "PelKit/BundleReader.hpp"
#include "PelKit/Engine.hpp"

#include "Support/ArchiveBuilder.hpp"
#include "Support/UpdateFixture.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <functional>

using namespace pelkit;
namespace fs = std::filesystem;
using pelsupport::BundleBuilder;
using pelsupport::FakeTools;
using pelsupport::UpdateFixture;
using pelsupport::UpdateRun;

namespace {

constexpr const char* kFoo = "com.example.foo";
constexpr std::int64_t kFree = 4 << 20;

BundleBuilder foo(const std::string& version) {
    return BundleBuilder("Foo.app").bundleID(kFoo).name("Foo").shortVersion(version).buildVersion("1");
}

// Foo 2.0 with `zeros` bytes of zeros: a few kilobytes packed.
fs::path fooTree(const fs::path& tree, std::int64_t zeros) {
    const fs::path app = foo("2.0").build(tree);
    pelsupport::writeText(app / "Contents/Resources/zeros.bin",
                          std::string(static_cast<std::size_t>(zeros), '\0'));
    return tree;
}

// Foo 1.0 installed, every unpacker logging its calls (tar still the real one).
InstalledApp installFoo(UpdateFixture& fx) {
    fx.tools.installScript("tar", "exec '" + *FakeTools::realTool("tar") + "' \"$@\"\n");
    return fx.installApp(foo("1.0"));
}

// What the tree's regular files hold: what the archive unpacks to.
std::int64_t regularBytes(const fs::path& tree) {
    std::int64_t total = 0;
    for (const auto& e : fs::recursive_directory_iterator(tree)) {
        if (e.is_regular_file() && !e.is_symlink()) total += static_cast<std::int64_t>(e.file_size());
    }
    return total;
}

int unpackerCalls(const UpdateFixture& fx) {
    return fx.tools.callCount("ditto") + fx.tools.callCount("tar") + fx.tools.callCount("hdiutil");
}

std::uint32_t get32(const std::string& bytes, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 4; i-- > 0;)
        v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

void put32(std::string& bytes, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A zip whose every entry's central directory and local header say it unpacks to at most 1 KiB.
fs::path understatedZip(const fs::path& tree, const fs::path& out) {
    pelsupport::buildZip(tree, out);
    std::string zip = pelsupport::readText(out);
    for (std::size_t at = zip.find(std::string("PK\x01\x02", 4)); at != std::string::npos;
         at = zip.find(std::string("PK\x01\x02", 4), at + 4)) {
        const std::size_t local = get32(zip, at + 42);
        put32(zip, at + 24, std::min<std::uint32_t>(get32(zip, at + 24), 1024));
        put32(zip, local + 22, std::min<std::uint32_t>(get32(zip, local + 22), 1024));
    }
    pelsupport::writeText(out, zip);
    return out;
}

// The tar of the tree, uncompressed, under the name `out`.
fs::path plainTar(const fs::path& tree, const fs::path& out) {
    fs::create_directories(out.parent_path());
    pelsupport::runRealTool({*FakeTools::realTool("tar"), "-cf", out.string(), "-C", tree.string(), "."});
    return out;
}

} // namespace

TEST(EngineUpdateExpandedSize, ArchivesUnpackingToMoreThanTheyListAreRefusedBeforeAnyTool) {
    struct Case {
        std::string name;
        std::string file;
        std::function<fs::path(const fs::path& tree, const fs::path& out)> pack;
        ErrorCode code;
        std::string message;
    };
    const Case cases[] = {
        // The message names what the zip really unpacks to.
        {"ZipUnderstatingItsSizes", "Foo.zip", understatedZip, ErrorCode::ENV_DISK_FULL, ""},
        {"PlainTarAsTarGz", "Foo.tar.gz", plainTar, ErrorCode::UNS_ARCHIVE_FORMAT,
         "cannot read the archive's listing: not gzip data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateFixture fx;
        const InstalledApp installed = installFoo(fx);
        const auto before = UpdateFixture::snapshot(installed.path.filePath());
        // 32 MiB of zeros: the zip is small enough for the pre-flight's three copies of it.
        const fs::path file = c.pack(fooTree(fx.dir / "tree", 32 << 20), fx.dir / "built" / c.file);
        const RemoteVersion remote = fx.publish(file, "/dl/" + c.file, "2.0");
        fx.freeBytes = c.code == ErrorCode::ENV_DISK_FULL ? kFree : std::int64_t{1} << 40;

        const UpdateRun run = fx.update(installed, remote);
        ASSERT_TRUE(run.pelError());
        EXPECT_EQ(rawValue(run.pelError()->code()), rawValue(c.code)) << run.pelError()->message();
        if (c.code == ErrorCode::ENV_DISK_FULL) {
            EXPECT_EQ(run.pelError()->message(),
                      fmt::format("need ~{} bytes free, have {}", regularBytes(fx.dir / "tree"), kFree));
        } else {
            EXPECT_EQ(run.pelError()->message(), c.message);
        }
        EXPECT_EQ(unpackerCalls(fx), 0);
        EXPECT_EQ(fx.events("install_result").size(), 1u);
        EXPECT_TRUE(fx.workDirs().empty());
        EXPECT_EQ(UpdateFixture::snapshot(installed.path.filePath()), before);
    }
}

TEST(EngineUpdateExpandedSize, OrdinaryArchivesStillInstallWithLittleRoom) {
    struct Case {
        std::string name;
        std::string file;
        std::function<fs::path(const fs::path& tree, const fs::path& out)> pack;
    };
    const Case cases[] = {
        {"Zip", "Foo.zip", pelsupport::buildZip},
        {"TarGz", "Foo.tar.gz", pelsupport::buildTarGz},
        {"TarBz2", "Foo.tar.bz2", pelsupport::buildTarBz2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateFixture fx;
        const InstalledApp installed = installFoo(fx);
        // 3 MiB of zeros: a few kilobytes packed, less than the 4 MiB free unpacked.
        const fs::path file = c.pack(fooTree(fx.dir / "tree", 3 << 20), fx.dir / "built" / c.file);
        const RemoteVersion remote = fx.publish(file, "/dl/" + c.file, "2.0");
        fx.freeBytes = kFree;

        const UpdateRun run = fx.update(installed, remote);
        ASSERT_TRUE(run.result) << (run.pelError() ? run.pelError()->message() : "not a PelError");
        EXPECT_TRUE(run.result->success());
        EXPECT_GE(unpackerCalls(fx), 1);
        EXPECT_EQ(BundleReader::read(installed.path).shortVersion, "2.0");
    }
}
