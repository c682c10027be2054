// The expanded size archives declare, and extraction refusing what the volume cannot hold before
// any tool runs.

#include "PelKit/Installer.hpp"

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

namespace {

Url fileUrl(const fs::path& p) {
    return Url::fromFilePath(p.string());
}

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

std::string octal(std::uint64_t v, std::size_t width) {
    std::string digits = fmt::format("{:o}", v);
    return std::string(width - 1 - digits.size(), '0') + digits + '\0';
}

// One tar header block with a correct checksum; `size` is the raw 12-byte size field.
std::string tarHeader(const std::string& name, const std::string& size, char type) {
    std::string h(512, '\0');
    h.replace(0, name.size(), name);
    h.replace(100, 8, octal(0644, 8));
    h.replace(108, 8, octal(0, 8));
    h.replace(116, 8, octal(0, 8));
    h.replace(124, 12, size);
    h.replace(136, 12, octal(0, 12));
    h[156] = type;
    h.replace(257, 6, std::string("ustar\0", 6));
    h.replace(263, 2, "00");
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < 512; ++i)
        sum += i >= 148 && i < 156 ? ' ' : static_cast<unsigned char>(h[i]);
    h.replace(148, 8, octal(sum, 7) + ' ');
    return h;
}

std::string padded(std::string data) {
    data.resize((data.size() + 511) / 512 * 512, '\0');
    return data;
}

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
        std::optional<std::int64_t> expected;
    };
    const Case cases[] = {
        {"Zip", zip, Format::zip, files},
        {"ZipWithStub", dir / "Stub.zip", Format::zip, files},
        {"Zip64", dir / "Wide.zip", Format::zip, files},
        {"TarGz", tarGz, Format::targz, files},
        {"TarBz2", tarBz2, Format::tbz, files},
        {"GzipMembers", dir / "Members.tar.gz", Format::targz, files},
        {"Bzip2Streams", dir / "Streams.tar.bz2", Format::tbz, files},
        {"GzipTrailingZeros", dir / "Trailing.tar.gz", Format::targz, files},
        {"Package", zip, Format::pkg, std::nullopt},
        {"Unknown", zip, Format::unknown, std::nullopt},
        {"NoZipDirectory", tarGz, Format::zip, std::nullopt},
        {"Missing", dir / "none.zip", Format::zip, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Installer::declaredExpandedSize(fileUrl(c.file), c.format), c.expected);
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
    const std::string pax = "19 size=5000000000\n";
    std::string broken = tarHeader("broken", octal(kOctalMost, 12), '0');
    broken[148] = '7'; // checksum no longer matches: the unpacker passes over the block

    struct Case {
        std::string name;
        std::string tar;
        std::int64_t expected;
    };
    const Case cases[] = {
        // The stream ends long before the terabyte: the header's claim still counts.
        {"CutShort", tarHeader("big", octal(kOctalMost, 12), '0') + std::string(4096, 'x'),
         static_cast<std::int64_t>(kOctalMost)},
        {"Base256", tarHeader("big", base256, '0'), static_cast<std::int64_t>(3 * kTiB)},
        {"ExtendedSize",
         tarHeader("pax", octal(pax.size(), 12), 'x') + padded(pax) + tarHeader("f", octal(0, 12), '0'),
         5'000'000'000},
        {"FolderAndLinkAddNothing",
         tarHeader("d/", octal(0, 12), '5') + tarHeader("l", octal(0, 12), '2') +
             tarHeader("f", octal(10, 12), '0') + padded("0123456789") + std::string(1024, '\0'),
         10},
        {"BadChecksumPassedOver", broken + tarHeader("f", octal(10, 12), '0') + padded("0123456789"), 10},
        {"StopsAtTheEndBlock",
         tarHeader("f", octal(10, 12), '0') + padded("0123456789") + std::string(1024, '\0') +
             tarHeader("after", octal(kOctalMost, 12), '0'),
         10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = gzipped(dir, c.name + ".tar.gz", c.tar);
        EXPECT_EQ(Installer::declaredExpandedSize(fileUrl(file), Format::targz), c.expected);
    }
}

TEST(InstallerExpandedSize, ADiskImageDeclaresItsOwnSize) {
    TempDir dir("pel-expanded");
    const fs::path tree = fooTree(dir / "tree");
    const fs::path small = pelsupport::buildDiskImage(tree, dir / "Foo.dmg");
    EXPECT_EQ(Installer::declaredExpandedSize(fileUrl(small), Format::dmg),
              static_cast<std::int64_t>(fs::file_size(small) - 512));
    const fs::path large =
        pelsupport::buildDiskImageOfSectors(tree, dir / "Large.dmg", std::uint64_t{1} << 31);
    EXPECT_EQ(Installer::declaredExpandedSize(fileUrl(large), Format::dmg), std::int64_t{1} << 40);
    const fs::path absurd = pelsupport::buildDiskImageOfSectors(tree, dir / "Absurd.dmg", ~std::uint64_t{0});
    EXPECT_EQ(Installer::declaredExpandedSize(fileUrl(absurd), Format::dmg),
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
