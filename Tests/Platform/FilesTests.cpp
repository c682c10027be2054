#include "Platform/Files.hpp"
#include "Platform/Time.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using pelsupport::modeOf;
using pelsupport::readText;
using pelsupport::TempDir;
using pelsupport::writeText;

namespace {

// Sets the umask for one test and restores it afterwards.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : old_(::umask(mask)) {}
    ~UmaskScope() { ::umask(old_); }

private:
    mode_t old_;
};

int errnoOf(const fs::filesystem_error& e) {
    return e.code().value();
}

std::vector<fs::path> filesIn(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& item : fs::directory_iterator(dir))
        out.push_back(item.path().filename());
    return out;
}

} // namespace

TEST(CreateDirectories, EveryMissingComponentGetsTheModeWhateverTheUmask) {
    for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0777}}) {
        TempDir tmp;
        UmaskScope umask(mask);
        platform::createDirectories(tmp / "a/b/c");
        EXPECT_EQ(modeOf(tmp / "a"), 0700) << "umask " << mask;
        EXPECT_EQ(modeOf(tmp / "a/b"), 0700);
        EXPECT_EQ(modeOf(tmp / "a/b/c"), 0700);
    }
}

TEST(CreateDirectories, LeavesExistingDirectoriesAsTheyAre) {
    TempDir tmp;
    fs::create_directory(tmp / "keep");
    ::chmod((tmp / "keep").c_str(), 0755);
    platform::createDirectories(tmp / "keep/new/", 0700); // trailing slash too
    platform::createDirectories(tmp / "keep/new", 0700);  // again: no error
    EXPECT_EQ(modeOf(tmp / "keep"), 0755);
    EXPECT_EQ(modeOf(tmp / "keep/new"), 0700);
    EXPECT_EQ(modeOf(tmp.path()), 0700); // mkdtemp's own mode, untouched
}

TEST(CreateDirectories, FollowsALinkToADirectory) {
    TempDir tmp;
    fs::create_directory(tmp / "real");
    fs::create_directory_symlink(tmp / "real", tmp / "link");
    platform::createDirectories(tmp / "link/inner");
    EXPECT_TRUE(fs::is_directory(tmp / "real/inner"));
}

TEST(CreateDirectories, SomethingElseInTheWayFailsWithTheSystemError) {
    struct Case {
        const char* name;
        const char* blocker; // made a regular file (or a dangling link)
        const char* target;
        int expectedErrno;
        bool danglingLink;
    };
    const Case cases[] = {
        {"file at the target", "x", "x", EEXIST, false},
        {"file at a parent", "x", "x/y/z", EEXIST, false},
        {"dangling link at a parent", "x", "x/y", EEXIST, true},
    };
    for (const auto& c : cases) {
        TempDir tmp;
        if (c.danglingLink)
            fs::create_symlink(tmp / "nowhere", tmp / c.blocker);
        else
            writeText(tmp / c.blocker, "data");
        try {
            platform::createDirectories(tmp / c.target);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(errnoOf(e), c.expectedErrno) << c.name;
            EXPECT_EQ(e.code().category(), std::generic_category()) << c.name;
        }
        if (!c.danglingLink) {
            EXPECT_TRUE(fs::is_regular_file(tmp / c.blocker)) << c.name;
            EXPECT_EQ(readText(tmp / c.blocker), "data") << c.name;
        }
    }
}

TEST(CreateDirectories, ConcurrentCallersAllSucceed) {
    TempDir tmp;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            try {
                platform::createDirectories(tmp / "p/q/r/s");
            } catch (...) {
                ++failures;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(fs::is_directory(tmp / "p/q/r/s"));
}

TEST(AtomicWrite, CreatesAndReplacesWithoutLeavingTemporaries) {
    TempDir tmp;
    fs::path target = tmp / "file.json";
    platform::atomicWrite(target, "first");
    EXPECT_EQ(readText(target), "first");
    EXPECT_EQ(modeOf(target), 0644);
    platform::atomicWrite(target, "");
    EXPECT_EQ(readText(target), "");
    platform::atomicWrite(target, std::string(200000, 'z'));
    EXPECT_EQ(readText(target).size(), 200000u);
    EXPECT_EQ(filesIn(tmp.path()), std::vector<fs::path>{"file.json"});
}

TEST(AtomicWrite, ReplacedFileKeepsItsMode) {
    TempDir tmp;
    fs::path target = tmp / "secret";
    platform::atomicWrite(target, "a", 0600);
    EXPECT_EQ(modeOf(target), 0600);
    ::chmod(target.c_str(), 0640);
    platform::atomicWrite(target, "b", 0600);
    EXPECT_EQ(modeOf(target), 0640);
    EXPECT_EQ(readText(target), "b");
}

TEST(AtomicWrite, FailureLeavesTheOldFileAndNoTemporary) {
    TempDir tmp;
    // The folder does not exist.
    try {
        platform::atomicWrite(tmp / "missing/f", "x");
        ADD_FAILURE() << "no error";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(errnoOf(e), ENOENT);
    }
    // A regular file where the folder should be.
    writeText(tmp / "plain", "old");
    try {
        platform::atomicWrite(tmp / "plain/f", "x");
        ADD_FAILURE() << "no error";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(errnoOf(e), ENOTDIR);
    }
    EXPECT_EQ(readText(tmp / "plain"), "old");
    // A non-empty directory at the target cannot be replaced by a file.
    writeText(tmp / "dir/inside", "kept");
    EXPECT_THROW(platform::atomicWrite(tmp / "dir", "x"), fs::filesystem_error);
    EXPECT_EQ(readText(tmp / "dir/inside"), "kept");
    auto names = filesIn(tmp.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<fs::path>{"dir", "plain"}));
}

TEST(ReadFile, ReturnsBytesOrTheSystemError) {
    TempDir tmp;
    std::string binary("a\0b\xff", 4);
    platform::atomicWrite(tmp / "bin", binary);
    EXPECT_EQ(platform::readFile(tmp / "bin"), binary);
    const std::pair<fs::path, int> failures[] = {{tmp / "absent", ENOENT}, {tmp.path(), EISDIR}};
    for (const auto& [path, expected] : failures) {
        try {
            platform::readFile(path);
            ADD_FAILURE() << path << ": no error";
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(errnoOf(e), expected) << path;
            EXPECT_EQ(e.path1(), path);
        }
    }
}

TEST(ScopeGuard, RunsUnlessDismissed) {
    int runs = 0;
    {
        platform::ScopeGuard g([&] { ++runs; });
    }
    {
        platform::ScopeGuard g([&] { ++runs; });
        g.dismiss();
    }
    EXPECT_EQ(runs, 1);
}

TEST(UtcTexts, FormatWholeSecondsInUtc) {
    using namespace std::chrono;
    struct Case {
        double seconds;
        const char* iso;
        const char* day;
    };
    const Case cases[] = {
        {0, "1970-01-01T00:00:00Z", "1970-01-01"},
        {1769903999.999, "2026-01-31T23:59:59Z", "2026-01-31"}, // fraction dropped, not rounded up
        {1769904000, "2026-02-01T00:00:00Z", "2026-02-01"},
        {951782400, "2000-02-29T00:00:00Z", "2000-02-29"},
        {-0.5, "1969-12-31T23:59:59Z", "1969-12-31"},
    };
    // The user's time zone must not matter.
    const char* oldTz = std::getenv("TZ");
    std::string saved = oldTz ? oldTz : "";
    ::setenv("TZ", "Pacific/Kiritimati", 1);
    ::tzset();
    for (const auto& c : cases) {
        auto t = platform::fromSeconds(c.seconds);
        EXPECT_EQ(platform::iso8601UTC(t), c.iso) << c.seconds;
        EXPECT_EQ(platform::utcDay(t), c.day) << c.seconds;
    }
    if (oldTz)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}
