// What archives unpack to, and extraction refusing what the volume cannot hold before any tool
// runs. Hostile archives are in InstallerExpandedSizeHostileTests.cpp.

#include "PelKit/Installer.hpp"

#include "PelKit/ExpandedSizeOutcome.hpp"

#include "Support/ArchiveBuilder.hpp"
#include "Support/BundleBuilder.hpp"
#include "Support/FakeDiskTools.hpp"
#include "Support/FakeTools.hpp"
#include "Support/PelErrorAssertions.hpp"
#include "Support/TempDir.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>

using namespace pelkit;
using pelsupport::FakeTools;
using pelsupport::readText;
using pelsupport::TempDir;
using pelsupport::writeText;
namespace fs = std::filesystem;
using Format = Installer::Format;
using expandedsize::fileUrl;
using expandedsize::outcome;
using expandedsize::unreadable;

namespace {

std::string noise(std::size_t n) {
    std::string bytes(n, '\0');
    std::mt19937 random(11);
    for (char& c : bytes)
        c = static_cast<char>(random() & 0xFF);
    return bytes;
}

// Foo.app with 3 MiB of zeros (a few kilobytes packed) and some incompressible bytes.
fs::path fooTree(const fs::path& tree) {
    const fs::path app = pelsupport::BundleBuilder("Foo.app").bundleID("com.example.foo").build(tree);
    writeText(app / "Contents/Resources/zeros.bin", std::string(3 << 20, '\0'));
    writeText(app / "Contents/Resources/noise.bin", noise(5000));
    return tree;
}

// The bytes the tree's regular files hold, what a listing must add up to.
std::int64_t regularBytes(const fs::path& tree) {
    std::int64_t total = 0;
    for (const auto& e : fs::recursive_directory_iterator(tree)) {
        if (e.is_regular_file() && !e.is_symlink()) total += static_cast<std::int64_t>(e.file_size());
    }
    return total;
}

using pelsupport::tarBlocks;
using pelsupport::tarHeader;
using pelsupport::tarOctal;

// The real gzip over `bytes`.
fs::path gzipped(const TempDir& dir, const std::string& name, const std::string& bytes) {
    writeText(dir / (name + ".raw"), bytes);
    return pelsupport::gzipFile(dir / (name + ".raw"), dir / name);
}

} // namespace

TEST(InstallerExpandedSize, ListingsAddUpWhatTheArchiveUnpacksTo) {
    TempDir dir("pel-expanded");
    const fs::path tree = fooTree(dir / "tree");
    const std::int64_t files = regularBytes(tree);
    const fs::path zip = pelsupport::buildZip(tree, dir / "Foo.zip");
    const fs::path tarGz = pelsupport::buildTarGz(tree, dir / "Foo.tar.gz");
    const fs::path tarBz2 = pelsupport::buildTarBz2(tree, dir / "Foo.tar.bz2");
    ASSERT_LT(fs::file_size(zip), 100'000u);

    // Bytes in front of a zip move its offsets; the unpacker still finds the directory.
    writeText(dir / "Stub.zip", "#!/bin/sh\nexit 0\n" + readText(zip));
    // A zip whose sizes all sit in 64-bit fields.
    pelsupport::runRealTool(
        {*FakeTools::realTool("zip"), "-q", "-r", "-y", "-fz", (dir / "Wide.zip").string(), "."}, tree);
    // One tar split over two gzip members (nearly every header in the second), and a gzip file
    // with zeros after its member.
    pelsupport::runRealTool(
        {*FakeTools::realTool("tar"), "-cf", (dir / "plain.tar").string(), "-C", tree.string(), "."});
    const std::string tarBytes = readText(dir / "plain.tar");
    const std::string half1 = readText(gzipped(dir, "a.gz", tarBytes.substr(0, 1024)));
    const std::string half2 = readText(gzipped(dir, "b.gz", tarBytes.substr(1024)));
    writeText(dir / "Members.tar.gz", half1 + half2);
    // The same halves as two bzip2 streams one after the other.
    writeText(dir / "a.raw", tarBytes.substr(0, 1024));
    writeText(dir / "b.raw", tarBytes.substr(1024));
    pelsupport::runRealTool({*FakeTools::realTool("sh"), "-c",
                             "\"$0\" -c a.raw > Streams.tar.bz2 && \"$0\" -c b.raw >> Streams.tar.bz2",
                             *FakeTools::realTool("bzip2")},
                            dir.path());
    writeText(dir / "Trailing.tar.gz", readText(tarGz) + std::string(1024, '\0'));

    struct Case {
        std::string name;
        fs::path file;
        Format format;
        std::string expected;
    };
    const std::string all = std::to_string(files);
    const Case cases[] = {
        {"Zip", zip, Format::zip, all},
        {"ZipWithStub", dir / "Stub.zip", Format::zip, all},
        {"Zip64", dir / "Wide.zip", Format::zip, all},
        {"TarGz", tarGz, Format::targz, all},
        {"TarBz2", tarBz2, Format::tbz, all},
        {"GzipMembers", dir / "Members.tar.gz", Format::targz, all},
        {"Bzip2Streams", dir / "Streams.tar.bz2", Format::tbz, all},
        {"GzipTrailingZeros", dir / "Trailing.tar.gz", Format::targz, all},
        {"Package", zip, Format::pkg, "none"},
        {"Unknown", zip, Format::unknown, "none"},
        {"NoZipDirectory", tarGz, Format::zip, unreadable("no central directory")},
        {"Missing", dir / "none.zip", Format::zip, "none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(outcome(c.file, c.format), c.expected);
    }
}

TEST(InstallerExpandedSize, HostileTarHeadersDeclareWhatTheyClaim) {
    TempDir dir("pel-expanded");
    constexpr std::uint64_t kTiB = std::uint64_t{1} << 40;
    constexpr std::uint64_t kOctalMost = 077777777777; // eleven octal digits: just under 8 GiB
    std::string base256(12, '\0');
    base256[0] = static_cast<char>(0x80);
    for (int i = 0; i < 8; ++i)
        base256[static_cast<std::size_t>(4 + i)] = static_cast<char>((kTiB * 3 >> (8 * (7 - i))) & 0xFF);
    std::string broken = tarHeader("broken", tarOctal(kOctalMost, 12), '0');
    broken[148] = '7'; // checksum no longer matches: an unpacker would look past the block

    struct Case {
        std::string name;
        std::string tar;
        std::string expected;
    };
    const Case cases[] = {
        // The stream ends long before the terabyte: the header's claim still counts.
        {"CutShort", tarHeader("big", tarOctal(kOctalMost, 12), '0') + std::string(4096, 'x'),
         std::to_string(kOctalMost)},
        {"Base256", tarHeader("big", base256, '0'), std::to_string(3 * kTiB)},
        {"ExtendedSize",
         pelsupport::paxHeader({{"size", "5000000000"}}) + tarHeader("f", tarOctal(0, 12), '0'),
         "5000000000"},
        {"FolderAndLinkAddNothing",
         tarHeader("d/", tarOctal(0, 12), '5') + tarHeader("l", tarOctal(0, 12), '2') +
             tarHeader("f", tarOctal(10, 12), '0') + tarBlocks("0123456789") + std::string(1024, '\0'),
         "10"},
        {"BadChecksumRefused", tarHeader("f", tarOctal(10, 12), '0') + tarBlocks("0123456789") + broken,
         unreadable("a damaged tar header")},
        {"StopsAtTheEndBlock",
         tarHeader("f", tarOctal(10, 12), '0') + tarBlocks("0123456789") + std::string(1024, '\0') +
             tarHeader("after", tarOctal(kOctalMost, 12), '0'),
         "10"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = gzipped(dir, c.name + ".tar.gz", c.tar);
        EXPECT_EQ(outcome(file, Format::targz), c.expected);
    }
}

TEST(InstallerExpandedSize, ADiskImageDeclaresItsOwnSize) {
    TempDir dir("pel-expanded");
    const fs::path tree = fooTree(dir / "tree");
    const fs::path small = pelsupport::buildDiskImage(tree, dir / "Foo.dmg");
    EXPECT_EQ(Installer::expandedSize(fileUrl(small), Format::dmg),
              static_cast<std::int64_t>(fs::file_size(small) - 512));
    const fs::path large =
        pelsupport::buildDiskImageOfSectors(tree, dir / "Large.dmg", std::uint64_t{1} << 31);
    EXPECT_EQ(Installer::expandedSize(fileUrl(large), Format::dmg), std::int64_t{1} << 40);
    const fs::path absurd = pelsupport::buildDiskImageOfSectors(tree, dir / "Absurd.dmg", ~std::uint64_t{0});
    EXPECT_EQ(Installer::expandedSize(fileUrl(absurd), Format::dmg),
              std::numeric_limits<std::int64_t>::max());
}

// An archive whose declared size exceeds the free space of the destination's volume is refused
// before any tool touches it; one that fits exactly is unpacked.
TEST(InstallerExpandedSize, ExtractionRefusesWhatTheVolumeCannotHoldBeforeAnyTool) {
    TempDir dir("pel-expanded");
    FakeTools tools;
    pelsupport::installFakeDitto(tools);
    pelsupport::installFakeHdiutil(tools);
    // The real tar, behind a fake that logs its calls.
    tools.installScript("tar", "exec '" + *FakeTools::realTool("tar") + "' \"$@\"\n");
    const fs::path tree = fooTree(dir / "tree");
    const std::int64_t files = regularBytes(tree);

    struct Case {
        std::string name;
        fs::path archive;
        std::string tool;
        std::int64_t declared;
    };
    const fs::path image = pelsupport::buildDiskImage(tree, dir / "Foo.dmg");
    const Case cases[] = {
        {"Zip", pelsupport::buildZip(tree, dir / "Foo.zip"), "ditto", files},
        {"TarGz", pelsupport::buildTarGz(tree, dir / "Foo.tar.gz"), "tar", files},
        {"TarBz2", pelsupport::buildTarBz2(tree, dir / "Foo.tar.bz2"), "tar", files},
        {"DiskImage", image, "hdiutil", static_cast<std::int64_t>(fs::file_size(image) - 512)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tools.clearCalls();
        const fs::path into = dir / ("work-" + c.name) / "extracted";
        std::vector<std::string> asked;
        auto freeBytes = [&](std::int64_t free) {
            return [&asked, free](const Url& folder) {
                asked.push_back(folder.filePath());
                return std::optional<std::int64_t>(free);
            };
        };
        const PelError e = pelsupport::pelErrorOf(
            [&] { Installer::extract(fileUrl(c.archive), fileUrl(into), freeBytes(c.declared - 1)); });
        EXPECT_EQ(e.code(), ErrorCode::ENV_DISK_FULL);
        EXPECT_EQ(e.message(), fmt::format("need ~{} bytes free, have {}", c.declared, c.declared - 1));
        EXPECT_EQ(asked, (std::vector<std::string>{fileUrl(into).filePath()}));
        EXPECT_TRUE(tools.calls().empty()) << tools.calls().front().tool;
        EXPECT_TRUE(fs::is_empty(into));

        // Room for exactly the declared size is enough; a volume that reports nothing is not tested.
        for (std::optional<std::int64_t> free :
             {std::optional<std::int64_t>(c.declared), std::optional<std::int64_t>()}) {
            tools.clearCalls();
            fs::remove_all(into);
            const Url found =
                Installer::extract(fileUrl(c.archive), fileUrl(into), [free](const Url&) { return free; });
            EXPECT_EQ(fs::path(found.filePath()).filename(), "Foo.app");
            EXPECT_GE(tools.callCount(c.tool), 1);
        }
    }
}

// A listing that reads leaves the rest to the tools: a tar cut inside its file's data, and a
// stored zip entry whose bytes no longer match their checksum, fail in the tool with its standard
// error appended.
TEST(InstallerExpandedSize, ToolsStillJudgeWhatTheirListingsLetThrough) {
    TempDir dir("pel-expanded");
    FakeTools tools;
    pelsupport::installFakeDitto(tools);
    const fs::path tree = dir / "tree";
    writeText(tree / "Foo.app/Contents/Resources/data.bin", std::string(5000, 'd'));
    pelsupport::runRealTool(
        {*FakeTools::realTool("tar"), "-cf", (dir / "cut.tar").string(), "-C", tree.string(), "."});
    const std::string whole = readText(dir / "cut.tar");
    writeText(dir / "cut.tar", whole.substr(0, whole.find(std::string(5000, 'd')) + 1000));
    const fs::path cut = pelsupport::gzipFile(dir / "cut.tar", dir / "Cut.tar.gz");
    pelsupport::runRealTool({*FakeTools::realTool("zip"), "-q", "-0", "-r", (dir / "crc.zip").string(), "."},
                            tree);
    std::string stored = readText(dir / "crc.zip");
    stored[stored.find(std::string(5000, 'd')) + 10] = 'e';
    writeText(dir / "crc.zip", stored);

    for (const auto& [archive, tool] :
         {std::pair{cut, std::string("tar")}, std::pair{dir / "crc.zip", std::string("ditto")}}) {
        SCOPED_TRACE(tool);
        EXPECT_EQ(outcome(archive, Installer::detectFormat(fileUrl(archive))), "5000");
        const PelError e = pelsupport::pelErrorOf([&] {
            Installer::extract(fileUrl(archive), fileUrl(dir / ("work-" + tool)),
                               [](const Url&) { return std::optional<std::int64_t>(5000); });
        });
        EXPECT_EQ(e.code(), ErrorCode::UNS_ARCHIVE_FORMAT);
        ASSERT_EQ(e.message().rfind(tool + " failed: ", 0), 0u) << e.message();
        EXPECT_GT(e.message().size(), tool.size() + 9) << "standard error appended";
    }
}
