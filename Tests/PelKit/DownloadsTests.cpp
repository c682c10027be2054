#include "PelKit/Downloads.hpp"

#include "PelKit/Config.hpp"
#include "Platform/Sha256.hpp"
#include "Support/TempDir.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using pelkit::DownloadCache;
using pelkit::Url;

namespace {

using pelsupport::readText;
using pelsupport::writeText;

void setMtime(const fs::path& p, platform::TimePoint t) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(ns % 1'000'000'000);
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << p;
}

class DownloadCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        homeOverride_.emplace(home_.path());
        root_ = home_.path() / ".cache/pel/downloads";
    }
    void TearDown() override { homeOverride_.reset(); }

    fs::path cached(const std::string& rel) const { return root_ / rel; }

    std::vector<std::string> listingUnderRoot() const {
        std::vector<std::string> out;
        for (auto it = fs::recursive_directory_iterator(root_); it != fs::recursive_directory_iterator();
             ++it)
            out.push_back(fs::relative(it->path(), root_).string());
        return out;
    }

    pelsupport::TempDir home_{"pel-downloads"};
    fs::path root_;
    std::optional<pelkit::testing::ScopedHomeOverride> homeOverride_;
};

} // namespace

TEST_F(DownloadCacheTest, RootFollowsTheHomeDirectory) {
    EXPECT_EQ(DownloadCache::root().filePath(), home_.path().string() + "/.cache/pel/downloads/");
    EXPECT_FALSE(fs::exists(root_)) << "computing paths creates nothing";
}

TEST_F(DownloadCacheTest, PathComponentsAreSanitised) {
    struct Case {
        std::string bundleID, version, filename, expected;
    };
    const std::vector<Case> cases = {
        {"com.example.App", "2.0/beta", "App 2.0.dmg", "com.example.App/2.0_beta/App 2.0.dmg"},
        {"com.example.App", "1..2", "a.zip", "com.example.App/1_2/a.zip"},
        {"com.example.App", "...", "a.zip", "com.example.App/_./a.zip"},
        {"com.example.App", "1.0", "a/b.zip", "com.example.App/1.0/a_b.zip"},
        {"com.example.App", "1.0", "a..b.zip", "com.example.App/1.0/a..b.zip"},
        {"../../etc", "../..", "../../passwd", "____etc/___/.._.._passwd"},
        {"com.example.App", "1.0", "", "com.example.App/1.0/download.bin"},
        {"com.example.App", "1.0", ".", "com.example.App/1.0/download.bin"},
        {"com.example.App", "1.0", "..", "com.example.App/1.0/download.bin"},
        {"com.example.App", "1.0", "/", "com.example.App/1.0/_"},
        {"com.example.App", "1.0", "...", "com.example.App/1.0/..."},
        // A NUL would end the path: "..\0" would address the bundle folder, "\0" the version folder.
        {"com.example.App", std::string("2.0\0", 4), std::string("..\0", 3), "com.example.App/2.0_/.._"},
        {std::string("com\0..", 6), "1.0", std::string("\0", 1), "com__/1.0/_"},
        // "" and "." would drop a level: the file would sit where a version (or bundle) folder does.
        {"com.example.App", ".", "2.0", "com.example.App/unknown/2.0"},
        {"com.example.App", "", "2.0", "com.example.App/unknown/2.0"},
        {".", "1.0", "a.zip", "unknown/1.0/a.zip"},
        {"", "", "", "unknown/unknown/download.bin"},
        {"com.example.App", "./", "a.zip", "com.example.App/._/a.zip"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DownloadCache::path(c.bundleID, c.version, c.filename).filePath(),
                  DownloadCache::root().filePath() + c.expected)
            << c.bundleID << " | " << c.version << " | " << c.filename;
    }
    EXPECT_EQ(DownloadCache::sanitizedFileName(".."), "download.bin");
    EXPECT_EQ(DownloadCache::sanitizedFileName("x/.."), "x_..");
    EXPECT_EQ(DownloadCache::sanitizedComponent("a/..b"), "a__b");
}

TEST_F(DownloadCacheTest, AVersionNamingNoFolderNeverReachesAnotherVersionsFiles) {
    const fs::path kept = cached("com.example.App/2.0/App.zip");
    writeText(kept, "the cached 2.0 download");
    for (const std::string version : {".", ""}) {
        SCOPED_TRACE("version \"" + version + "\"");
        // A URL ending in "/2.0" names the file "2.0", the same name as the cached version's folder.
        EXPECT_FALSE(DownloadCache::lookup("com.example.App", version, "2.0", std::nullopt, std::nullopt));
        const fs::path source = home_.path() / "fresh";
        writeText(source, "a fresh download");
        const Url stored =
            DownloadCache::store(Url::fromFilePath(source.string()), "com.example.App", version, "2.0");
        EXPECT_EQ(readText(stored.filePath()), "a fresh download");
        DownloadCache::evict("com.example.App", version, "2.0");
        EXPECT_FALSE(fs::exists(stored.filePath()));
        EXPECT_EQ(readText(kept), "the cached 2.0 download");
    }
}

TEST_F(DownloadCacheTest, LookupRules) {
    platform::ManualClock clock;
    const auto now = clock.now();
    using std::chrono::hours;
    const std::string content = "0123456789";
    const std::string digest = platform::sha256Hex(content);
    std::string upper = digest;
    for (auto& ch : upper)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));

    struct Case {
        const char* name;
        std::size_t size; // 0: use `content`
        platform::TimePoint mtime;
        std::optional<std::string> sha;
        std::optional<std::int64_t> expectedSize;
        bool hit;
        bool remains;
    };
    const std::vector<Case> cases = {
        {"upper-case hash hits", 0, now, upper, std::nullopt, true, true},
        {"wrong hash misses and removes", 0, now, std::string(64, 'a'), std::nullopt, false, false},
        {"hash decides over a far-off size", 0, now - hours(100), digest, 999999, true, true},
        {"wrong hash with matching size still removes", 0, now, std::string(64, 'b'), 10, false, false},
        {"empty hash takes the hash branch", 0, now, std::string(), std::nullopt, false, false},
        {"1009 of 1000 hits", 1009, now - hours(100), std::nullopt, 1000, true, true},
        {"1010 of 1000 misses", 1010, now, std::nullopt, 1000, false, true},
        {"990 of 1000 misses", 990, now, std::nullopt, 1000, false, true},
        {"expected 0 misses", 1, now, std::nullopt, 0, false, true},
        {"expected -5 misses", 1, now, std::nullopt, -5, false, true},
        {"23 hours old hits", 0, now - hours(23), std::nullopt, std::nullopt, true, true},
        {"25 hours old misses", 0, now - hours(25), std::nullopt, std::nullopt, false, true},
        {"exactly a day old misses", 0, now - hours(24), std::nullopt, std::nullopt, false, true},
        {"modified in the future hits", 0, now + hours(5), std::nullopt, std::nullopt, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = cached("com.example.App/1.0/App.zip");
        writeText(file, c.size == 0 ? content : std::string(c.size, 'x'));
        setMtime(file, c.mtime);
        auto hit = DownloadCache::lookup("com.example.App", "1.0", "App.zip", c.sha, c.expectedSize, clock);
        EXPECT_EQ(hit.has_value(), c.hit);
        if (hit) {
            EXPECT_EQ(hit->filePath(), file.string());
        }
        EXPECT_EQ(fs::exists(file), c.remains);
        fs::remove(file);
    }
}

TEST_F(DownloadCacheTest, LookupOfNothingOrAFolderMissesAndKeepsTheFolder) {
    platform::ManualClock clock;
    EXPECT_FALSE(
        DownloadCache::lookup("com.example.App", "1.0", "App.zip", std::nullopt, std::nullopt, clock));

    const fs::path folder = cached("com.example.App/1.0/App.zip");
    fs::create_directories(folder);
    writeText(folder / "inner", "x");
    setMtime(folder, clock.now());
    EXPECT_FALSE(DownloadCache::lookup("com.example.App", "1.0", "App.zip", std::string(64, 'a'),
                                       std::nullopt, clock));
    EXPECT_TRUE(fs::is_directory(folder));
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    const std::int64_t folderSize = st.st_size;
    // A folder is never a usable download, whatever its size or age.
    EXPECT_FALSE(DownloadCache::lookup("com.example.App", "1.0", "App.zip", std::nullopt, folderSize, clock));
    EXPECT_FALSE(
        DownloadCache::lookup("com.example.App", "1.0", "App.zip", std::nullopt, std::nullopt, clock));
    EXPECT_TRUE(fs::exists(folder / "inner"));
}

TEST_F(DownloadCacheTest, StoreCopiesIntoPrivateFoldersAndReplaces) {
    const fs::path source = home_.path() / "incoming.zip";
    writeText(source, "first");
    Url url =
        DownloadCache::store(Url::fromFilePath(source.string()), "com.example.App", "2.0/beta", "App.zip");
    const fs::path dest = cached("com.example.App/2.0_beta/App.zip");
    EXPECT_EQ(url.filePath(), dest.string());
    EXPECT_EQ(readText(dest), "first");
    EXPECT_EQ(readText(source), "first") << "the source stays";
    for (const fs::path& folder : {root_, root_ / "com.example.App", root_ / "com.example.App/2.0_beta"}) {
        EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all) << folder;
    }

    writeText(source, "second, longer");
    DownloadCache::store(Url::fromFilePath(source.string()), "com.example.App", "2.0/beta", "App.zip");
    EXPECT_EQ(readText(dest), "second, longer");

    // A folder standing at the key is replaced by the file.
    const fs::path other = cached("com.example.App/3.0/App.zip");
    fs::create_directories(other / "junk");
    DownloadCache::store(Url::fromFilePath(source.string()), "com.example.App", "3.0", "App.zip");
    EXPECT_EQ(readText(other), "second, longer");

    // Storing the cached file onto its own key keeps its content.
    DownloadCache::store(Url::fromFilePath(dest.string()), "com.example.App", "2.0/beta", "App.zip");
    EXPECT_EQ(readText(dest), "second, longer");

    EXPECT_EQ(listingUnderRoot().size(), 5u) << "no temporary file left";
}

TEST_F(DownloadCacheTest, StoreFailingPartWayKeepsThePreviousFile) {
    const fs::path source = home_.path() / "incoming.zip";
    writeText(source, "previous");
    DownloadCache::store(Url::fromFilePath(source.string()), "com.example.App", "1.0", "App.zip");

    writeText(source, std::string(2 * 1024 * 1024, 'n')); // several chunks
    int calls = 0;
    {
        pelkit::testing::ScopedStoreWriteHook hook([&](std::int64_t written) {
            ++calls;
            if (written > 300 * 1024)
                throw fs::filesystem_error("write", std::make_error_code(std::errc::no_space_on_device));
        });
        EXPECT_THROW(
            DownloadCache::store(Url::fromFilePath(source.string()), "com.example.App", "1.0", "App.zip"),
            fs::filesystem_error);
    }
    EXPECT_GE(calls, 2) << "the failure came part way through the copy";
    EXPECT_EQ(readText(cached("com.example.App/1.0/App.zip")), "previous");
    EXPECT_EQ(listingUnderRoot(), (std::vector<std::string>{"com.example.App", "com.example.App/1.0",
                                                            "com.example.App/1.0/App.zip"}));
}

TEST_F(DownloadCacheTest, StoreErrorsAreThrown) {
    const fs::path source = home_.path() / "incoming.zip";
    writeText(source, "data");
    // A regular file where the version folder belongs.
    writeText(cached("com.example.App/1.0"), "in the way");
    EXPECT_THROW(
        DownloadCache::store(Url::fromFilePath(source.string()), "com.example.App", "1.0", "App.zip"),
        fs::filesystem_error);
    // A missing source leaves no temporary file.
    EXPECT_THROW(DownloadCache::store(Url::fromFilePath((home_.path() / "missing").string()),
                                      "com.example.App", "2.0", "App.zip"),
                 fs::filesystem_error);
    EXPECT_TRUE(fs::is_empty(cached("com.example.App/2.0")));
}

TEST_F(DownloadCacheTest, ConcurrentStoresUnderOneKeyLeaveOneWholeFile) {
    const fs::path a = home_.path() / "a.bin", b = home_.path() / "b.bin";
    const std::string contentA(1024 * 1024 + 7, 'A'), contentB(700 * 1024, 'B');
    writeText(a, contentA);
    writeText(b, contentB);
    auto storeMany = [](const fs::path& src) {
        for (int i = 0; i < 10; ++i)
            DownloadCache::store(Url::fromFilePath(src.string()), "com.example.App", "1.0", "App.zip");
    };
    std::thread ta(storeMany, a), tb(storeMany, b);
    ta.join();
    tb.join();
    const std::string result = readText(cached("com.example.App/1.0/App.zip"));
    EXPECT_TRUE(result == contentA || result == contentB) << "size " << result.size();
    EXPECT_EQ(listingUnderRoot().size(), 3u);
}

TEST_F(DownloadCacheTest, EvictRemovesQuietly) {
    DownloadCache::evict("com.example.App", "1.0", "App.zip"); // nothing there, no root
    writeText(cached("com.example.App/1.0/App.zip"), "x");
    writeText(cached("com.example.App/1.0/Other.zip"), "y");
    DownloadCache::evict("com.example.App", "1.0", "App.zip");
    EXPECT_FALSE(fs::exists(cached("com.example.App/1.0/App.zip")));
    EXPECT_TRUE(fs::exists(cached("com.example.App/1.0/Other.zip")));
}

namespace {

std::int64_t lsize(const fs::path& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st.st_size;
}

} // namespace

TEST_F(DownloadCacheTest, PruneWithoutRootOrUnderTheLimitDeletesNothing) {
    DownloadCache::prune(0); // no root
    EXPECT_FALSE(fs::exists(root_));

    writeText(cached("app/1.0/a"), std::string(100, 'a'));
    writeText(cached("app/1.0/b"), std::string(200, 'b'));
    std::int64_t total = 0;
    for (const auto& rel : listingUnderRoot())
        total += lsize(root_ / rel);
    DownloadCache::prune(total);
    EXPECT_EQ(listingUnderRoot().size(), 4u);
}

TEST_F(DownloadCacheTest, PruneRemovesOldestFirstAndStopsAtTheLimit) {
    const platform::TimePoint base{std::chrono::seconds{1'600'000'000}};
    writeText(cached("app/1.0/a"), std::string(1000, 'a'));
    writeText(cached("app/1.0/b"), std::string(2000, 'b'));
    writeText(cached("app/1.0/c"), std::string(3000, 'c'));
    setMtime(cached("app/1.0/a"), base + std::chrono::seconds{10});
    setMtime(cached("app/1.0/b"), base + std::chrono::seconds{20});
    setMtime(cached("app/1.0/c"), base + std::chrono::seconds{30});
    setMtime(cached("app/1.0"), base + std::chrono::seconds{100});
    setMtime(cached("app"), base + std::chrono::seconds{100});

    std::int64_t total = 0;
    for (const auto& rel : listingUnderRoot())
        total += lsize(root_ / rel);
    // Removing a alone leaves one byte too many; removing b as well is enough.
    DownloadCache::prune(total - 1000 - 1);
    EXPECT_FALSE(fs::exists(cached("app/1.0/a")));
    EXPECT_FALSE(fs::exists(cached("app/1.0/b")));
    EXPECT_TRUE(fs::exists(cached("app/1.0/c")));
    EXPECT_TRUE(fs::exists(cached("app/1.0")));
}

TEST_F(DownloadCacheTest, PruneKeepsListingOrderForEqualTimes) {
    const platform::TimePoint same{std::chrono::seconds{1'600'000'000}};
    for (const char* n : {"x", "y", "z"})
        writeText(cached(std::string("app/1.0/") + n), std::string(500, 'q'));
    for (const char* n : {"x", "y", "z"})
        setMtime(cached(std::string("app/1.0/") + n), same);
    setMtime(cached("app/1.0"), same + std::chrono::hours(1));
    setMtime(cached("app"), same + std::chrono::hours(1));

    const std::vector<std::string> listing = listingUnderRoot();
    std::vector<std::string> files;
    std::int64_t total = 0;
    for (const auto& rel : listing) {
        total += lsize(root_ / rel);
        if (fs::is_regular_file(root_ / rel)) files.push_back(rel);
    }
    ASSERT_EQ(files.size(), 3u);
    DownloadCache::prune(total - 500);
    EXPECT_FALSE(fs::exists(root_ / files[0])) << "the first listed of equal times goes first";
    EXPECT_TRUE(fs::exists(root_ / files[1]));
    EXPECT_TRUE(fs::exists(root_ / files[2]));
}

TEST_F(DownloadCacheTest, PruneOfAnOldFolderRemovesItsContents) {
    const platform::TimePoint base{std::chrono::seconds{1'600'000'000}};
    writeText(cached("old/1.0/a"), std::string(1000, 'a'));
    writeText(cached("new/1.0/b"), std::string(1000, 'b'));
    for (const char* rel : {"old/1.0/a", "old/1.0", "old"})
        setMtime(cached(rel), base);
    for (const char* rel : {"new/1.0/b", "new/1.0", "new"})
        setMtime(cached(rel), base + std::chrono::hours(1));
    std::int64_t newSize = lsize(cached("new/1.0/b")) + lsize(cached("new/1.0")) + lsize(cached("new"));
    DownloadCache::prune(newSize);
    EXPECT_FALSE(fs::exists(cached("old")));
    EXPECT_TRUE(fs::exists(cached("new/1.0/b")));
}
