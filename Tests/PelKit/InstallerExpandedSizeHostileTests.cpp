// Archives that understate what they unpack to, or that an unpacker reads otherwise than their
// listing says: each is counted at what the real tools unpack, or refused before any tool runs.

#include "PelKit/Installer.hpp"

#include "PelKit/ExpandedSizeOutcome.hpp"

#include "Support/ArchiveBuilder.hpp"
#include "Support/FakeDiskTools.hpp"
#include "Support/FakeTools.hpp"
#include "Support/PelErrorAssertions.hpp"
#include "Support/TempDir.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

using namespace pelkit;
using pelsupport::FakeTools;
using pelsupport::paxHeader;
using pelsupport::readText;
using pelsupport::tarBlocks;
using pelsupport::tarHeader;
using pelsupport::tarOctal;
using pelsupport::TempDir;
using pelsupport::writeText;
namespace fs = std::filesystem;
using Format = Installer::Format;
using expandedsize::fileUrl;
using expandedsize::outcome;
using expandedsize::unreadable;

namespace {

constexpr std::int64_t k32MiB = 32 << 20;
constexpr std::int64_t kGiB = std::int64_t{1} << 30;
constexpr std::int64_t kFree = 4 << 20;

// ---- zip bytes ----

void put16(std::string& bytes, std::size_t at, std::uint16_t v) {
    bytes[at] = static_cast<char>(v & 0xFF);
    bytes[at + 1] = static_cast<char>(v >> 8);
}

void put32(std::string& bytes, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint32_t get32(const std::string& bytes, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 4; i-- > 0;)
        v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

std::uint16_t get16(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
}

std::size_t endRecord(const std::string& zip) {
    return zip.rfind(std::string("PK\x05\x06", 4));
}

struct ZipEntry {
    std::size_t directory; // its central directory entry
    std::size_t local;     // its local header
    std::size_t data;      // its data
};

std::vector<ZipEntry> zipEntries(const std::string& zip) {
    std::vector<ZipEntry> entries;
    std::size_t at = get32(zip, endRecord(zip) + 16);
    while (zip.compare(at, 4, std::string("PK\x01\x02", 4)) == 0) {
        const std::size_t local = get32(zip, at + 42);
        entries.push_back({at, local, local + 30 + get16(zip, local + 26) + get16(zip, local + 28)});
        at += 46 + get16(zip, at + 28) + get16(zip, at + 30) + get16(zip, at + 32);
    }
    return entries;
}

// The same field of both headers of every entry.
void patchZip(std::string& zip, std::size_t directoryField, std::size_t localField,
              const std::function<std::uint32_t(std::uint32_t)>& change, int width = 4) {
    for (const ZipEntry& e : zipEntries(zip)) {
        for (const auto& [base, field] :
             {std::pair{e.directory, directoryField}, std::pair{e.local, localField}}) {
            if (width == 4)
                put32(zip, base + field, change(get32(zip, base + field)));
            else
                put16(zip, base + field, static_cast<std::uint16_t>(change(get16(zip, base + field))));
        }
    }
}

// ---- tar bytes ----

std::string gnuHeader(std::string header) {
    header.replace(257, 8, std::string("ustar  \0", 8));
    pelsupport::setTarChecksum(header);
    return header;
}

// An old GNU sparse file of `real` bytes that holds 512 bytes of data at its end and, with
// `extended`, at the start of four of its mebibytes: the map's first four pieces in the header,
// the fifth in an extension block after it.
std::string oldSparse(std::int64_t real, bool extended) {
    std::vector<std::int64_t> offsets;
    if (extended) offsets = {0, 1 << 20, 2 << 20, 3 << 20};
    offsets.push_back(real - 512);
    std::string h = tarHeader("sparse.img", tarOctal(512 * offsets.size(), 12), 'S');
    std::string extension(512, '\0');
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        const std::string piece = tarOctal(static_cast<std::uint64_t>(offsets[i]), 12) + tarOctal(512, 12);
        if (i < 4)
            h.replace(386 + 24 * i, 24, piece);
        else
            extension.replace(24 * (i - 4), 24, piece);
    }
    if (extended) h[482] = 1;
    h.replace(483, 12, tarOctal(static_cast<std::uint64_t>(real), 12));
    return gnuHeader(h) + (extended ? extension : "") + std::string(512 * offsets.size(), 's');
}

std::string endBlocks() {
    return std::string(1024, '\0');
}

std::string zeros(std::int64_t n) {
    return std::string(static_cast<std::size_t>(n), '\0');
}

// What the tools unpacked: the apparent sizes of the regular files below `folder`.
std::int64_t unpackedBytes(const fs::path& folder) {
    std::int64_t total = 0;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        if (e.is_regular_file() && !e.is_symlink()) total += static_cast<std::int64_t>(e.file_size());
    }
    return total;
}

struct Case {
    std::string name;
    fs::path archive;
    std::string expected; // what the listing gives
};

class ExpandedSizeHostile : public ::testing::Test {
protected:
    // Foo.app with 32 MiB of zeros and a small file, zipped by the real tool.
    std::string bigZip() {
        const fs::path tree = dir / "tree";
        if (!fs::exists(tree)) {
            writeText(tree / "Foo.app/Contents/Resources/zeros.bin", zeros(k32MiB));
            writeText(tree / "Foo.app/Contents/Resources/small.txt", "small\n");
        }
        const fs::path out = dir / "big.zip";
        fs::remove(out);
        pelsupport::runRealTool({*FakeTools::realTool("zip"), "-q", "-r", out.string(), "."}, tree);
        return readText(out);
    }
    fs::path save(const std::string& name, const std::string& bytes) {
        writeText(dir / name, bytes);
        return dir / name;
    }
    // The real gzip over `tar`.
    fs::path tarGz(const std::string& name, const std::string& tar) {
        return pelsupport::gzipFile(save(name + ".raw", tar), dir / (name + ".tar.gz"));
    }

    TempDir dir{"pel-hostile"};
};

} // namespace

// Small archives that unpack to far more than their headers say: counted at what the tools
// unpack, so extraction with 4 MiB free is refused before any tool runs, while the real tools
// (run here directly) unpack exactly that much.
TEST_F(ExpandedSizeHostile, ArchivesThatUnderstateTheirSizeAreCountedAtWhatTheToolsUnpack) {
    const std::int64_t zipFiles = k32MiB + 6;

    std::string understated = bigZip();
    patchZip(understated, 24, 22, [](std::uint32_t size) { return std::min<std::uint32_t>(size, 1024); });
    // Streamed through a pipe: sizes after the data, the local header's left empty; the
    // directory's understated.
    pelsupport::runRealTool({*FakeTools::realTool("sh"), "-c",
                             "cd \"$1\" && \"$0\" -q -r - . | cat > ../streamed.zip",
                             *FakeTools::realTool("zip"), (dir / "tree").string()});
    std::string streamed = readText(dir / "streamed.zip");
    const auto entries = zipEntries(streamed);
    ASSERT_TRUE(std::any_of(entries.begin(), entries.end(), [&](const ZipEntry& e) {
        return (get16(streamed, e.local + 6) & 8) != 0;
    })) << "no data descriptor";
    for (const ZipEntry& e : entries)
        put32(streamed, e.directory + 24, std::min<std::uint32_t>(get32(streamed, e.directory + 24), 1024));

    const std::string small = tarHeader("small", tarOctal(10, 12), '0') + tarBlocks("0123456789");
    const std::string big = tarHeader("big", tarOctal(k32MiB, 12), '0') + zeros(k32MiB);
    // An old writer's checksum (bytes taken as signed: the name's UTF-8 makes it differ), over a
    // file of zeros, before the big entry.
    const std::string signedSum = tarHeader("caf\xc3\xa9", tarOctal(1024, 12), '0', true) + zeros(1024);
    const std::string sparseMap = tarBlocks("1\n" + std::to_string(kGiB - 512) + "\n512\n");

    const Case cases[] = {
        {"ZipUnderstated", save("understated.zip", understated), std::to_string(zipFiles)},
        {"ZipStreamedUnderstated", save("streamed-understated.zip", streamed), std::to_string(zipFiles)},
        {"TarSignedChecksum", tarGz("signed", signedSum + big + endBlocks()), std::to_string(1024 + k32MiB)},
        {"TarSizeInOldExtendedHeader",
         tarGz("old-extended", paxHeader({{"size", std::to_string(k32MiB)}}, 'X') +
                                   tarHeader("big", tarOctal(0, 12), '0') + zeros(k32MiB) + endBlocks()),
         std::to_string(k32MiB)},
        {"PaxSparseRealSize",
         tarGz("pax-sparse-1.0",
               paxHeader({{"GNU.sparse.major", "1"},
                          {"GNU.sparse.minor", "0"},
                          {"GNU.sparse.name", "sparse.img"},
                          {"GNU.sparse.realsize", std::to_string(kGiB)}}) +
                   tarHeader("GNUSparseFile.0/sparse.img", tarOctal(sparseMap.size() + 512, 12), '0') +
                   sparseMap + std::string(512, 's') + endBlocks()),
         std::to_string(kGiB)},
        {"PaxSparseOlderSize",
         tarGz("pax-sparse-0.1", paxHeader({{"GNU.sparse.size", std::to_string(kGiB)},
                                            {"GNU.sparse.numblocks", "1"},
                                            {"GNU.sparse.map", std::to_string(kGiB - 512) + ",512"}}) +
                                     tarHeader("sparse.img", tarOctal(512, 12), '0') + std::string(512, 's') +
                                     endBlocks()),
         std::to_string(kGiB)},
        {"GnuOldSparse", tarGz("old-sparse", oldSparse(kGiB, false) + small + endBlocks()),
         std::to_string(kGiB + 10)},
        {"GnuOldSparseExtended", tarGz("old-sparse-extended", oldSparse(kGiB, true) + small + endBlocks()),
         std::to_string(kGiB + 10)},
    };

    FakeTools tools;
    pelsupport::installFakeDitto(tools);
    tools.installScript("tar", "exec '" + *FakeTools::realTool("tar") + "' \"$@\"\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_LT(fs::file_size(c.archive), 200'000u);
        EXPECT_EQ(outcome(c.archive, Installer::detectFormat(fileUrl(c.archive))), c.expected);

        tools.clearCalls();
        const fs::path into = dir / ("work-" + c.name) / "extracted";
        const PelError e = pelsupport::pelErrorOf(
            [&] { Installer::extract(fileUrl(c.archive), fileUrl(into), [](const Url&) { return kFree; }); });
        EXPECT_EQ(rawValue(e.code()), rawValue(ErrorCode::ENV_DISK_FULL)) << e.message();
        EXPECT_EQ(e.message(), fmt::format("need ~{} bytes free, have {}", c.expected, kFree));
        EXPECT_TRUE(tools.calls().empty()) << tools.calls().front().tool;
        EXPECT_TRUE(fs::is_empty(into));

        // What the tools make of it when nothing stops them.
        const fs::path unpacked = dir / ("unpacked-" + c.name);
        fs::create_directories(unpacked);
        const std::vector<std::string> unpack =
            c.archive.extension() == ".zip"
                ? std::vector<std::string>{*FakeTools::realTool("unzip"), "-q", c.archive.string(), "-d",
                                           unpacked.string()}
                : std::vector<std::string>{*FakeTools::realTool("tar"), "-xf", c.archive.string(), "-C",
                                           unpacked.string()};
        EXPECT_NO_THROW(pelsupport::runRealTool(unpack));
        EXPECT_EQ(std::to_string(unpackedBytes(unpacked)), c.expected);
        fs::remove_all(unpacked);
    }
}

// Archives an unpacker could read otherwise than their listing says, or whose listing cannot be
// read: refused before any tool runs, never counted as 0 bytes.
TEST_F(ExpandedSizeHostile, ListingsAnUnpackerCouldReadOtherwiseAreRefusedBeforeAnyTool) {
    const std::string zip = bigZip();
    const std::vector<ZipEntry> entries = zipEntries(zip);
    ASSERT_GE(entries.size(), 4u); // Foo.app/, Contents/, Resources/, the files
    const ZipEntry zeroes = *std::find_if(entries.begin(), entries.end(), [&](const ZipEntry& e) {
        return get16(zip, e.local + 8) == 8 && get32(zip, e.local + 22) == k32MiB;
    });
    auto changed = [&](const std::function<void(std::string&)>& change) {
        std::string bytes = zip;
        change(bytes);
        return bytes;
    };
    const std::size_t directory = get32(zip, endRecord(zip) + 16);

    std::vector<Case> cases;
    for (std::uint16_t method : {9, 12, 14}) // deflate64, bzip2, lzma
        cases.push_back({fmt::format("ZipMethod{}", method),
                         save(fmt::format("method-{}.zip", method), changed([&](std::string& b) {
                                  put16(b, zeroes.directory + 10, method);
                                  put16(b, zeroes.local + 8, method);
                              })),
                         unreadable(fmt::format("an entry uses compression method {}", method))});
    struct Changed {
        std::string name;
        std::string bytes;
        std::string reason;
    };
    const Changed zipCases[] = {
        {"Encrypted", changed([&](std::string& b) {
             patchZip(
                 b, 8, 6, [](std::uint32_t flags) { return flags | 1; }, 2);
         }),
         "an entry is encrypted"},
        {"HeadersDisagreeOnMethod", changed([&](std::string& b) { put16(b, zeroes.local + 8, 0); }),
         "an entry's two headers disagree on its compression"},
        {"DamagedDeflate", changed([&](std::string& b) { b.replace(zeroes.data, 4, "\xff\xff\xff\xff"); }),
         "an entry's compressed data is damaged"},
        {"CompressedSizeNotItsData", changed([&](std::string& b) {
             put32(b, zeroes.directory + 20, get32(b, zeroes.directory + 20) - 1);
             put32(b, zeroes.local + 18, get32(b, zeroes.local + 18) - 1);
         }),
         "an entry's compressed size is not its data's"},
        // Two listed entries sharing one local header, as in a bomb of overlapping files.
        {"OverlappingEntries", changed([&](std::string& b) {
             put32(b, entries[1].directory + 42, get32(b, entries[0].directory + 42));
         }),
         "entries the directory does not list, or entries that overlap"},
        // An entry before the first listed one, only an unpacker walking the local headers sees.
        {"UnlistedEntryInFront", zip.substr(0, directory) + zip, "an entry the directory does not list"},
        // The same between two listed entries: the directory lists all but the big one.
        {"UnlistedEntryBetween", changed([&](std::string& b) {
             const std::size_t from = zeroes.directory;
             const std::size_t length = 46 + get16(b, from + 28) + get16(b, from + 30) + get16(b, from + 32);
             b.erase(from, length);
             const std::size_t end = endRecord(b);
             put16(b, end + 8, static_cast<std::uint16_t>(get16(b, end + 8) - 1));
             put16(b, end + 10, static_cast<std::uint16_t>(get16(b, end + 10) - 1));
             put32(b, end + 12, static_cast<std::uint32_t>(get32(b, end + 12) - length));
         }),
         "entries the directory does not list, or entries that overlap"},
        {"CountsMoreEntriesThanListed", changed([&](std::string& b) {
             put16(b, endRecord(b) + 10, static_cast<std::uint16_t>(get16(b, endRecord(b) + 10) + 1));
         }),
         "the directory lists fewer entries than it counts"},
    };
    for (const Changed& c : zipCases)
        cases.push_back({c.name, save(c.name + ".zip", c.bytes), unreadable(c.reason)});
    // Stored data with its sizes after it, holding a local header: an unpacker looking for the end
    // of the data by its descriptor would find an entry there.
    writeText(dir / "inner/f.bin", std::string("abcPK\x03\x04xyz", 10));
    pelsupport::runRealTool({*FakeTools::realTool("zip"), "-q", "-0", (dir / "stored.zip").string(), "f.bin"},
                            dir / "inner");
    std::string stored = readText(dir / "stored.zip");
    patchZip(
        stored, 8, 6, [](std::uint32_t flags) { return flags | 8; }, 2);
    cases.push_back({"StoredWithDescriptorHoldingAnEntry", save("stored-described.zip", stored),
                     unreadable("an entry the directory does not list")});

    // What a refused listing hides behind the point it cannot be read.
    const std::string small = tarHeader("small", tarOctal(10, 12), '0') + tarBlocks("0123456789");
    const std::string big = tarHeader("big", tarOctal(1 << 20, 12), '0') + zeros(1 << 20);
    std::string badSum = tarHeader("bad", tarOctal(0, 12), '0');
    badSum[148] = '7';
    std::string v7 = tarHeader("old", tarOctal(0, 12), '0');
    v7.replace(257, 8, zeros(8));
    pelsupport::setTarChecksum(v7);
    std::string garbledSize = tarHeader("big", std::string("0000000001x\0", 12), '0') + zeros(1 << 20);
    pelsupport::runRealTool({*FakeTools::realTool("tar"), "-cf", (dir / "plain.tar").string(), "-C",
                             (dir / "inner").string(), "."});
    const std::string plainTar = readText(dir / "plain.tar");

    const Case tarCases[] = {
        {"TarBadChecksum", tarGz("bad-sum", small + badSum + big + endBlocks()),
         unreadable("a damaged tar header")},
        {"TarWithoutMagic", tarGz("v7", v7 + big + endBlocks()), unreadable("not a tar archive")},
        {"TarEmpty", tarGz("empty", endBlocks() + big), unreadable("no tar header")},
        {"TarGarbledSize", tarGz("garbled-size", small + garbledSize),
         unreadable("a tar header's size cannot be read")},
        {"TarLinkWithContents", tarGz("link", small + tarHeader("l", tarOctal(k32MiB, 12), '2') + big),
         unreadable("a link, folder or device with contents")},
        {"TarFolderWithContents", tarGz("folder", small + tarHeader("d/", tarOctal(k32MiB, 12), '0') + big),
         unreadable("a folder with contents")},
        {"TarPaxFolderWithContents",
         tarGz("pax-folder",
               small + paxHeader({{"path", "d/"}}) + tarHeader("d", tarOctal(k32MiB, 12), '0') + big),
         unreadable("a folder with contents")},
        {"TarTwoExtendedHeaders",
         tarGz("two-extended", paxHeader({{"size", "0"}}) + paxHeader({{"size", "0"}}) + big),
         unreadable("two extended headers for one entry")},
        {"TarGlobalSize", tarGz("global-size", paxHeader({{"size", "0"}}, 'g') + big),
         unreadable("a global header that sets sizes")},
        {"TarExtendedSizeNotDecimal",
         tarGz("size-not-decimal", paxHeader({{"size", std::to_string(k32MiB) + "x"}}) + big),
         unreadable("an extended header's number cannot be read")},
        {"TarExtendedRecordCutShort",
         tarGz("record-cut", tarHeader("x", tarOctal(12, 12), 'x') + tarBlocks("99 size=1\n") + big),
         unreadable("an extended header cannot be read")},
        // Named .tar.gz or .tbz, content that is no gzip or bzip2 is unpacked all the same.
        {"PlainTarNamedTarGz", save("plain.tar.gz", plainTar), unreadable("not gzip data")},
        {"XzNamedTarGz",
         save("xz.tar.gz", std::string("\xfd"
                                       "7zXZ\0\0\x04",
                                       8) +
                               std::string(100, 'x')),
         unreadable("not gzip data")},
        {"ZstdNamedTarGz", save("zstd.tar.gz", std::string("\x28\xb5\x2f\xfd", 4) + std::string(100, 'x')),
         unreadable("not gzip data")},
        {"PlainTarNamedTbz", save("plain.tbz", plainTar), unreadable("not bzip2 data")},
        {"GzipOfATarGz", tarGz("gzip-twice", readText(tarGz("once", small + big + endBlocks()))),
         unreadable("not a tar archive")},
    };
    cases.insert(cases.end(), std::begin(tarCases), std::end(tarCases));

    FakeTools tools;
    pelsupport::installFakeDitto(tools);
    tools.installScript("tar", "exec '" + *FakeTools::realTool("tar") + "' \"$@\"\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Format format = Installer::detectFormat(fileUrl(c.archive));
        EXPECT_EQ(outcome(c.archive, format), c.expected);

        tools.clearCalls();
        const fs::path into = dir / ("work-" + c.name) / "extracted";
        const PelError e = pelsupport::pelErrorOf(
            [&] { Installer::extract(fileUrl(c.archive), fileUrl(into), [](const Url&) { return kFree; }); });
        EXPECT_EQ(std::string(rawValue(e.code())) + " " + e.message(), c.expected);
        EXPECT_TRUE(tools.calls().empty()) << tools.calls().front().tool;
        EXPECT_TRUE(fs::is_empty(into));
    }
}
