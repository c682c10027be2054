#include "Platform/FileOps.hpp"

#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

using pelsupport::readText;
using pelsupport::TempDir;
using pelsupport::writeText;
using platform::FileOps;
namespace fs = std::filesystem;

namespace {

// Runs `f` and returns the errno of the filesystem_error it throws (0 when none).
template <class F> int errnoThrownBy(F&& f) {
    try {
        f();
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code().category(), std::generic_category());
        return e.code().value();
    }
    return 0;
}

} // namespace

TEST(ExchangePaths, SwapsAFolderAndAFileInOneStep) {
    TempDir dir;
    writeText(dir / "Foo.app/Contents/marker", "old");
    writeText(dir / "staged", "new");
    platform::exchangePaths(dir / "staged", dir / "Foo.app");
    EXPECT_EQ(readText(dir / "Foo.app"), "new");
    EXPECT_EQ(readText(dir / "staged/Contents/marker"), "old");
}

TEST(ExchangePaths, AMissingSideFailsWithItsErrnoAndChangesNothing) {
    TempDir dir;
    writeText(dir / "a", "a");
    EXPECT_EQ(errnoThrownBy([&] { platform::exchangePaths(dir / "a", dir / "missing"); }), ENOENT);
    EXPECT_EQ(readText(dir / "a"), "a");
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(ExchangePaths, UnsupportedErrorsAreTheOnesThatAllowTwoRenames) {
    for (int e : {EINVAL, ENOTSUP, EOPNOTSUPP, ENOSYS})
        EXPECT_TRUE(platform::isExchangeUnsupported(e)) << e;
    for (int e : {0, EPERM, EACCES, EXDEV, ENOENT, EIO, EBUSY})
        EXPECT_FALSE(platform::isExchangeUnsupported(e)) << e;
}

TEST(FileOps, PlainCallsMoveAndRemoveAndAreLogged) {
    TempDir dir;
    writeText(dir / "a/x", "1");
    writeText(dir / "b", "2");
    FileOps ops;
    ops.exchange(dir / "a", dir / "b");
    ops.rename(dir / "b", dir / "c");
    ops.remove(dir / "c");
    ops.remove(dir / "never-there"); // no error
    EXPECT_EQ(readText(dir / "a"), "2");
    EXPECT_FALSE(fs::exists(dir / "c"));

    auto calls = ops.calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].op, FileOps::Op::exchange);
    EXPECT_EQ(calls[1].op, FileOps::Op::rename);
    EXPECT_EQ(calls[1].first, dir / "b");
    EXPECT_EQ(calls[1].second, dir / "c");
    EXPECT_EQ(calls[3].op, FileOps::Op::remove);
    EXPECT_EQ(calls[3].number, 4);
}

TEST(FileOps, RenameNeverReplacesAFolderThatHoldsSomething) {
    TempDir dir;
    writeText(dir / "from/x", "1");
    writeText(dir / "to/y", "2");
    FileOps ops;
    int err = errnoThrownBy([&] { ops.rename(dir / "from", dir / "to"); });
    EXPECT_TRUE(err == ENOTEMPTY || err == EEXIST) << err;
    EXPECT_EQ(readText(dir / "to/y"), "2");
}

TEST(FileOps, HooksFailTheChosenCallWithTheirErrnoAndTouchNothing) {
    struct Case {
        const char* name;
        FileOps::FaultHook hook;
        int failingCall; // 1: exchange, 2: rename, 3: remove
        int err;
    };
    TempDir dir;
    const std::vector<Case> cases = {
        {"on path", FileOps::failOnPath(FileOps::Op::rename, dir / "b", EACCES), 2, EACCES},
        {"nth call", FileOps::failCall(3, EBUSY), 3, EBUSY},
        {"nth of op", FileOps::failNthOf(FileOps::Op::exchange, 1, EXDEV), 1, EXDEV},
        {"any of",
         FileOps::anyOf({FileOps::failNthOf(FileOps::Op::remove, 2, EIO), FileOps::failCall(3, EPERM)}), 3,
         EPERM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir.path() / "a");
        fs::remove_all(dir.path() / "b");
        writeText(dir / "a", "a");
        writeText(dir / "b", "b");
        FileOps ops(c.hook);
        int errs[3] = {errnoThrownBy([&] { ops.exchange(dir / "a", dir / "b"); }),
                       errnoThrownBy([&] { ops.rename(dir / "b", dir / "b2"); }),
                       errnoThrownBy([&] { ops.remove(dir / "a"); })};
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(errs[i], i + 1 == c.failingCall ? c.err : 0) << "call " << i + 1;
        // A failed call leaves its paths as they were.
        if (c.failingCall == 1) {
            EXPECT_EQ(readText(dir / "b2"), "b");
        } else if (c.failingCall == 2) {
            EXPECT_EQ(readText(dir / "b"), "a");
        } else {
            EXPECT_TRUE(fs::exists(dir / "a"));
        }
        EXPECT_EQ(ops.calls().size(), 3u); // failed calls are logged too
        fs::remove_all(dir.path() / "b2");
    }
}

TEST(FileOps, CountingHooksInsideAnyOfSeeEveryCall) {
    TempDir dir;
    writeText(dir / "a", "a");
    // The first hook fails call 1; the counting hook must still count that call as its first rename.
    FileOps ops(
        FileOps::anyOf({FileOps::failCall(1, EIO), FileOps::failNthOf(FileOps::Op::rename, 2, EXDEV)}));
    EXPECT_EQ(errnoThrownBy([&] { ops.rename(dir / "a", dir / "b"); }), EIO);
    EXPECT_EQ(errnoThrownBy([&] { ops.rename(dir / "a", dir / "b"); }), EXDEV);
    EXPECT_EQ(errnoThrownBy([&] { ops.rename(dir / "a", dir / "b"); }), 0);
    EXPECT_EQ(readText(dir / "b"), "a");
}
