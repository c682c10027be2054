#include "Platform/Executor.hpp"
#include "Platform/ManualExecutor.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace platform;
using namespace std::chrono_literals;

namespace {

// Labels of the tasks in the order they ran, with the virtual time each saw.
struct Log {
    std::vector<std::string> labels;
    std::vector<std::chrono::milliseconds> times;
};

} // namespace

TEST(ManualExecutor, RunsInDueOrderFirstInFirstOutAmongEqualsAtTheirDueTimes) {
    ManualExecutor ex;
    const TimePoint start = ex.now();
    Log log;
    struct Case {
        std::string label;
        std::chrono::milliseconds delay;
    };
    const std::vector<Case> cases = {{"c30", 30ms}, {"a10", 10ms}, {"b10", 10ms}, {"now1", 0ms},
                                     {"d20", 20ms}, {"now2", 0ms}, {"neg", -5ms}, {"e10", 10ms}};
    for (const auto& c : cases) {
        ex.postAfter(c.delay, [&, label = c.label] {
            log.labels.push_back(label);
            log.times.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(ex.now() - start));
        });
    }
    EXPECT_EQ(ex.pendingCount(), cases.size());
    EXPECT_EQ(ex.runPending(), 3u); // only what is due now
    EXPECT_EQ(ex.advance(100ms), 5u);
    EXPECT_EQ(log.labels, (std::vector<std::string>{"now1", "now2", "neg", "a10", "b10", "e10", "d20", "c30"}));
    EXPECT_EQ(log.times, (std::vector<std::chrono::milliseconds>{0ms, 0ms, 0ms, 10ms, 10ms, 10ms, 20ms, 30ms}));
    EXPECT_EQ(ex.now() - start, 100ms);
    EXPECT_EQ(ex.pendingCount(), 0u);
}

TEST(ManualExecutor, TasksPostedDuringAnAdvanceRunWhenTheyFallDueWithinIt) {
    ManualExecutor ex;
    std::vector<std::string> ran;
    ex.postAfter(10ms, [&] {
        ran.push_back("first");
        ex.post([&] { ran.push_back("posted now"); });
        ex.postAfter(5ms, [&] { ran.push_back("posted +5"); });
        ex.postAfter(50ms, [&] { ran.push_back("posted +50"); });
    });
    ex.postAfter(12ms, [&] { ran.push_back("second"); });

    EXPECT_EQ(ex.advance(5ms), 0u);
    EXPECT_EQ(ex.advance(20ms), 4u);
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "posted now", "second", "posted +5"}));
    EXPECT_EQ(ex.pendingCount(), 1u);
    EXPECT_EQ(ex.advance(35ms), 1u);
    EXPECT_EQ(ran.back(), "posted +50");
}

TEST(ManualExecutor, CancelBeforeAndAtTheDueTime) {
    ManualExecutor ex;
    int ran = 0;
    TaskHandle early = ex.postAfter(10ms, [&] { ++ran; });
    early.cancel();
    EXPECT_TRUE(early.isCancelled());
    EXPECT_EQ(ex.pendingCount(), 0u);

    // Both fall due at 20 ms; the first cancels the second, which is due but has not started.
    TaskHandle second;
    ex.postAfter(20ms, [&] {
        ++ran;
        second.cancel();
    });
    second = ex.postAfter(20ms, [&] { ran += 100; });
    TaskHandle{}.cancel(); // an empty handle refers to nothing

    EXPECT_EQ(ex.advance(30ms), 1u);
    EXPECT_EQ(ran, 1);
}

TEST(ManualExecutor, ACancelledTasksCapturesMayPostWhenReleased) {
    struct PostsWhenReleased {
        ManualExecutor* ex;
        bool* ran;
        ~PostsWhenReleased() {
            ex->post([ran = ran] { *ran = true; });
        }
    };
    ManualExecutor ex;
    bool ran = false;
    auto capture = std::make_shared<PostsWhenReleased>(&ex, &ran);
    TaskHandle handle = ex.postAfter(10ms, [capture] {});
    capture.reset();
    handle.cancel();
    // Released under the executor's lock, the post would never return.
    EXPECT_EQ(ex.advance(20ms), 1u);
    EXPECT_TRUE(ran);
}

TEST(ManualExecutor, PostingFromOtherThreadsLosesNothingAndKeepsEachThreadsOrder) {
    ManualExecutor ex;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    std::vector<std::vector<int>> seen(kThreads);
    {
        std::vector<std::jthread> posters;
        for (int t = 0; t < kThreads; ++t) {
            posters.emplace_back([&, t] {
                for (int i = 0; i < kPerThread; ++i) ex.post([&, t, i] { seen[t].push_back(i); });
            });
        }
        // Runs while the posters are still busy: whatever is due now runs, nothing twice.
        ex.runPending();
    }
    ex.runPending();
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<size_t>(kPerThread)) << t;
        for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(seen[t][i], i);
    }
}

TEST(ManualExecutor, UsesAGivenClock) {
    ManualClock clock;
    ManualExecutor ex(&clock);
    int ran = 0;
    ex.postAfter(1s, [&] { ++ran; });
    clock.advance(2s); // the test moves the clock itself
    EXPECT_EQ(ex.runPending(), 1u);
    EXPECT_EQ(ran, 1);
}

TEST(RepeatingTimer, TicksEveryIntervalUntilCancelledBetweenTicks) {
    ManualExecutor ex;
    const TimePoint start = ex.now();
    std::vector<std::chrono::milliseconds> ticks;
    RepeatingTimer timer(ex, 10ms, [&] {
        ticks.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(ex.now() - start));
    });
    EXPECT_TRUE(timer.isActive());
    ex.advance(35ms);
    EXPECT_EQ(ticks, (std::vector<std::chrono::milliseconds>{10ms, 20ms, 30ms}));
    timer.cancel();
    EXPECT_FALSE(timer.isActive());
    ex.advance(100ms);
    EXPECT_EQ(ticks.size(), 3u);
    EXPECT_EQ(ex.pendingCount(), 0u);
}

TEST(RepeatingTimer, AnIntervalThatIsNotPositiveIsRefused) {
    ManualExecutor ex;
    int ticks = 0;
    EXPECT_THROW(RepeatingTimer(ex, 0ms, [&] { ++ticks; }), std::invalid_argument);
    EXPECT_THROW(RepeatingTimer(ex, -5ms, [&] { ++ticks; }), std::invalid_argument);
    EXPECT_EQ(ex.advance(1s), 0u);
    EXPECT_EQ(ticks, 0);
}

TEST(RepeatingTimer, CancelStopsATickThatIsAlreadyDue) {
    ManualExecutor ex;
    int ticks = 0;
    RepeatingTimer timer;
    // Posted first, so it runs first among the tasks due at 10 ms; the tick due then must not run.
    ex.postAfter(10ms, [&] { timer.cancel(); });
    timer = RepeatingTimer(ex, 10ms, [&] { ++ticks; });
    ex.advance(50ms);
    EXPECT_EQ(ticks, 0);
}

TEST(RepeatingTimer, StopsWhenDestroyedOrCancelledFromItsOwnTick) {
    ManualExecutor ex;
    int ticks = 0;
    {
        RepeatingTimer timer(ex, 10ms, [&] { ++ticks; });
        ex.advance(10ms);
    }
    ex.advance(100ms);
    EXPECT_EQ(ticks, 1);

    int own = 0;
    RepeatingTimer self;
    self = RepeatingTimer(ex, 10ms, [&] {
        if (++own == 2) self.cancel();
    });
    ex.advance(100ms);
    EXPECT_EQ(own, 2);

    // Destroyed inside its own tick: the running tick finishes without touching freed state.
    int last = 0;
    auto doomed = std::make_unique<RepeatingTimer>();
    *doomed = RepeatingTimer(ex, 10ms, [&] {
        ++last;
        doomed.reset();
    });
    ex.advance(100ms);
    EXPECT_EQ(last, 1);
}
