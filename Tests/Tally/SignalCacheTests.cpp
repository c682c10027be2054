#include "Platform/Files.hpp"
#include "Support/TempDir.hpp"
#include "Tally/Signals/SignalCache.hpp"
#include "TallyTestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using pelsupport::TempDir;
using tally::SignalPostBody;
using Cache = tally::SignalCache<SignalPostBody>;

namespace {

SignalPostBody record(int id) {
    SignalPostBody b;
    b.receivedAt = 736257600.25 + id;
    b.appID = "app";
    b.clientUser = "user";
    b.sessionID = "S";
    b.type = std::to_string(id);
    b.payload = {{"k", "v"}};
    b.isTestMode = "false";
    return b;
}

std::vector<SignalPostBody> records(int from, int to) {
    std::vector<SignalPostBody> out;
    for (int i = from; i < to; ++i) out.push_back(record(i));
    return out;
}

std::vector<int> ids(const std::vector<SignalPostBody>& batch) {
    std::vector<int> out;
    for (const auto& b : batch) out.push_back(std::stoi(b.type));
    return out;
}

std::vector<int> range(int from, int to) {
    std::vector<int> out;
    for (int i = from; i < to; ++i) out.push_back(i);
    return out;
}

std::vector<int> drainAll(Cache& cache) {
    std::vector<int> out;
    for (auto batch = cache.pop(); !batch.empty(); batch = cache.pop()) {
        for (int id : ids(batch)) out.push_back(id);
    }
    return out;
}

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

class SignalCacheTest : public ::testing::Test {
protected:
    TempDir dir{"tally-cache"};
    fs::path file = dir / "telemetrysignalcache";
    tallytest::CapturedLog log;
};

} // namespace

TEST_F(SignalCacheTest, LimitKeepsTheNewestInPushOrder) {
    Cache three(std::nullopt, 3, file);
    for (int i = 0; i < 5; ++i) three.push(record(i));
    EXPECT_EQ(three.count(), 3u);
    EXPECT_EQ(drainAll(three), (std::vector<int>{2, 3, 4}));

    Cache zero(std::nullopt, 0, file);
    zero.push(record(1));
    zero.push(records(2, 5));
    EXPECT_EQ(zero.count(), 0u);
    EXPECT_TRUE(zero.pop().empty());

    Cache negative(std::nullopt, -5, file);
    negative.push(record(1));
    EXPECT_EQ(negative.count(), 0u);
}

TEST_F(SignalCacheTest, PushedBackBatchGoesBehindNewerRecords) {
    Cache cache(std::nullopt, 10000, file);
    cache.push(records(0, 100));
    const auto batch = cache.pop();
    ASSERT_EQ(ids(batch), range(0, 100));
    cache.push(records(100, 10050)); // 9950 newer records
    cache.push(batch);
    EXPECT_EQ(cache.count(), 10000u);
    std::vector<int> expected = range(150, 10050);
    for (int i = 0; i < 100; ++i) expected.push_back(i);
    EXPECT_EQ(drainAll(cache), expected);
}

TEST_F(SignalCacheTest, PopsAtMostOneHundredOldestFirst) {
    Cache cache(std::nullopt, 10000, file);
    cache.push(records(0, 250));
    EXPECT_EQ(ids(cache.pop()), range(0, 100));
    EXPECT_EQ(ids(cache.pop()), range(100, 200));
    EXPECT_EQ(ids(cache.pop()), range(200, 250));
    EXPECT_TRUE(cache.pop().empty());
    EXPECT_EQ(cache.count(), 0u);
}

TEST_F(SignalCacheTest, BackupIsLoadedAheadOfNewPushesAndDeleted) {
    SignalPostBody withFloat = record(2);
    withFloat.floatValue = 0.1;
    const std::string expectedBytes = tally::encodeSignals({record(1), withFloat}, tally::DateRule::backup);
    {
        Cache first(log.handler(), 100, file);
        first.push(record(1));
        first.push(withFloat);
        first.backupCache();
        EXPECT_EQ(first.count(), 0u);
    }
    EXPECT_EQ(pelsupport::readText(file), expectedBytes);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"telemetrysignalcache"}); // no temporary left

    Cache second(log.handler(), 100, file);
    EXPECT_FALSE(fs::exists(file));
    second.push(record(3));
    const auto batch = second.pop();
    ASSERT_EQ(batch.size(), 3u);
    EXPECT_EQ(batch[0], record(1));
    EXPECT_EQ(batch[1], withFloat);
    EXPECT_EQ(batch[2], record(3));

    const std::string url = "file://" + file.string();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "INFO Loading Telemetry cache from: " + url,
                               "INFO Saved Telemetry cache " + std::to_string(expectedBytes.size()) +
                                   " bytes of 2 signals",
                               "INFO Loading Telemetry cache from: " + url,
                               "INFO Loaded 2 signals",
                           }));
}

TEST_F(SignalCacheTest, BackedUpRecordsWithoutAWireDateAreDroppedWithOneLine) {
    SignalPostBody tooLate = record(2);
    tooLate.receivedAt = 252423993600.0; // 10000-01-01T00:00:00 UTC
    SignalPostBody tooEarly = record(3);
    tooEarly.receivedAt = -63113904000.5; // before year 1
    pelsupport::writeText(
        file, tally::encodeSignals({record(1), tooLate, tooEarly, record(4)}, tally::DateRule::backup));
    Cache cache(log.handler(), 100, file);
    EXPECT_EQ(ids(cache.pop()), (std::vector<int>{1, 4}));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "INFO Loading Telemetry cache from: file://" + file.string(),
                               "INFO Loaded 4 signals",
                               "ERROR Dropped 2 signal(s) of the backup: date cannot be sent",
                           }));
}

TEST_F(SignalCacheTest, MissingOrCorruptBackupStartsEmpty) {
    {
        Cache missing(log.handler(), 100, file);
        EXPECT_EQ(missing.count(), 0u);
    }
    for (const char* corrupt : {"not json", "{}", "[1,2]", R"([{"appID":"a"}])", "[", ""}) {
        pelsupport::writeText(file, corrupt);
        Cache cache(log.handler(), 100, file);
        EXPECT_EQ(cache.count(), 0u) << corrupt;
        EXPECT_FALSE(fs::exists(file)) << corrupt;
    }
    for (const auto& line : log.lines()) {
        EXPECT_EQ(line.rfind("INFO Loading Telemetry cache from: ", 0), 0u) << line; // nothing else is said
    }
}

TEST_F(SignalCacheTest, EmptyQueueIsBackedUpAsEmptyArray) {
    Cache cache(std::nullopt, 100, file);
    cache.backupCache();
    EXPECT_EQ(pelsupport::readText(file), "[]");
}

TEST_F(SignalCacheTest, FailedBackupLogsAndKeepsTheQueueAndTheOldFile) {
    const fs::path notAFolder = dir / "caches";
    pelsupport::writeText(notAFolder, "a regular file where the caches folder should be");
    Cache cache(log.handler(), 100, notAFolder / "telemetrysignalcache");
    cache.push(records(0, 3));
    cache.backupCache();
    EXPECT_EQ(cache.count(), 3u);
    EXPECT_TRUE(log.contains("ERROR Error saving Telemetry cache"));

    // An unencodable record: nothing is written, nothing is said, the queue and the old file stay.
    pelsupport::writeText(file, "[]");
    Cache bad(log.handler(), 100, file);
    SignalPostBody nan = record(9);
    nan.floatValue = std::numeric_limits<double>::quiet_NaN();
    bad.push(record(8));
    bad.push(nan);
    const auto before = log.lines().size();
    bad.backupCache();
    EXPECT_EQ(bad.count(), 2u);
    EXPECT_FALSE(fs::exists(file)); // taken by the load, not rewritten
    EXPECT_EQ(log.lines().size(), before);

    // A write that fails half-way leaves the earlier backup whole, and no temporary file beside it.
    Cache earlier(log.handler(), 100, file);
    Cache later(log.handler(), 100, file);
    earlier.push(records(0, 2));
    earlier.backupCache();
    const std::string earlierBytes = pelsupport::readText(file);
    later.push(records(10, 20));
    int faults = 0;
    platform::testing::setAtomicWriteFault([&](const fs::path& target) -> std::optional<int> {
        if (target != file) return std::nullopt;
        ++faults;
        return ENOSPC;
    });
    platform::ScopeGuard removeFault([] { platform::testing::setAtomicWriteFault({}); });
    auto savingErrors = [&] {
        const auto lines = log.lines();
        return std::count(lines.begin(), lines.end(), "ERROR Error saving Telemetry cache");
    };
    const auto errorsBefore = savingErrors();
    later.backupCache();
    EXPECT_EQ(faults, 1);
    EXPECT_EQ(later.count(), 10u);
    EXPECT_EQ(pelsupport::readText(file), earlierBytes);
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"caches", "telemetrysignalcache"}));
    EXPECT_EQ(savingErrors(), errorsBefore + 1);
}

TEST_F(SignalCacheTest, DefaultLocationIsTheRuntimesCachesDirectory) {
    tallytest::VirtualRuntime rt;
    rt.install(dir.path());
    {
        Cache cache(std::nullopt, 100);
        cache.push(record(1));
        cache.backupCache();
    }
    EXPECT_TRUE(fs::exists(file));
    Cache reloaded(std::nullopt, 100);
    EXPECT_EQ(reloaded.count(), 1u);

    rt.install(std::nullopt); // no caches directory known
    Cache lost(log.handler(), 100);
    lost.push(record(2));
    lost.backupCache();
    EXPECT_EQ(lost.count(), 1u);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"ERROR Failed to get disk cache url from FileManager.",
                                                     "ERROR Error saving Telemetry cache"}));
}

TEST_F(SignalCacheTest, ConcurrentPushersAndPopperLoseAndDuplicateNothing) {
    Cache cache(std::nullopt, 1'000'000, file);
    constexpr int kThreads = 4;
    constexpr int kEach = 2500;
    std::atomic<int> pushersDone{0};
    std::vector<int> popped;
    std::thread popper([&] {
        for (;;) {
            const bool finished = pushersDone.load() == kThreads;
            const auto batch = cache.pop();
            EXPECT_LE(batch.size(), 100u);
            for (int id : ids(batch)) popped.push_back(id);
            if (finished && batch.empty()) return;
        }
    });
    std::vector<std::thread> pushers;
    for (int t = 0; t < kThreads; ++t) {
        pushers.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                const int id = t * kEach + i;
                if (i % 10 == 0) {
                    cache.push(std::vector<SignalPostBody>{record(id)});
                } else {
                    cache.push(record(id));
                }
                (void)cache.count();
            }
            pushersDone.fetch_add(1);
        });
    }
    for (auto& p : pushers) p.join();
    popper.join();
    std::vector<int> last(kThreads, -1); // each thread's records leave in its push order
    for (int id : popped) {
        EXPECT_GT(id, last[id / kEach]);
        last[id / kEach] = id;
    }
    std::sort(popped.begin(), popped.end());
    EXPECT_EQ(popped, range(0, kThreads * kEach));
}
