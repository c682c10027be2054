#include "Platform/Sha256.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace fs = std::filesystem;
using platform::kSha256FileBufferSize;
using platform::sha256Hex;
using platform::sha256HexOfFile;

namespace {

std::string sha256sumOf(const fs::path& file) {
    std::string cmd = "sha256sum '" + file.string() + "'";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) return {};
    char buf[128] = {};
    std::string out;
    if (std::fgets(buf, sizeof buf, p) != nullptr) out = buf;
    ::pclose(p);
    return out.substr(0, 64);
}

long maxRssKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

TEST(Sha256, KnownDigestsOfByteStrings) {
    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256, IncrementalUpdatesEqualOneShot) {
    std::string data;
    for (int i = 0; i < 5000; ++i)
        data.push_back(static_cast<char>(i * 7 + 3));
    platform::Sha256 h;
    h.update(data.substr(0, 1));
    h.update("");
    h.update(data.substr(1, 63));
    h.update(data.substr(64));
    EXPECT_EQ(h.finalHex(), sha256Hex(data));
}

TEST(Sha256, FileSeveralBuffersLongMatchesSha256sum) {
    pelsupport::TempDir dir{"pel-sha256"};
    const fs::path file = dir.path() / "big.bin";
    {
        std::ofstream out(file, std::ios::binary);
        // Not a multiple of the buffer: the last read is a short one.
        const std::size_t size = kSha256FileBufferSize * 5 + 123;
        for (std::size_t i = 0; i < size; ++i)
            out.put(static_cast<char>((i * 31 + i / 977) & 0xFF));
    }
    const std::string expected = sha256sumOf(file);
    ASSERT_EQ(expected.size(), 64u);
    EXPECT_EQ(sha256HexOfFile(file.string()), expected);

    const fs::path empty = dir.path() / "empty";
    std::ofstream(empty).close();
    EXPECT_EQ(sha256HexOfFile(empty.string()), sha256Hex(""));
}

TEST(Sha256, UnreadablePathsThrowNamingThePath) {
    pelsupport::TempDir dir{"pel-sha256"};
    for (const fs::path& p : {dir.path(), dir.path() / "missing"}) {
        try {
            sha256HexOfFile(p.string());
            ADD_FAILURE() << "no error for " << p;
        } catch (const std::system_error& e) {
            EXPECT_NE(std::string(e.what()).find(p.string()), std::string::npos) << e.what();
        }
    }
}

TEST(Sha256, LargeFileHashesInFlatMemory) {
    pelsupport::TempDir dir{"pel-sha256"};
    const fs::path file = dir.path() / "sparse.bin";
    const std::uintmax_t size = 128ull * 1024 * 1024;
    {
        std::ofstream(file).close();
        fs::resize_file(file, size); // sparse: costs no disk
    }
    const long before = maxRssKiB();
    const std::string digest = sha256HexOfFile(file.string());
    const long grownKiB = maxRssKiB() - before;
    EXPECT_EQ(digest.size(), 64u);
    // A whole-file read would grow the resident set by the file's size.
    EXPECT_LT(grownKiB, 16 * 1024) << "peak memory grew by " << grownKiB << " KiB";
}
