#include "PelApp/Model/MainActor.hpp"
#include "PelApp/RunUntil.hpp"
#include "PelKit/Models.hpp"
#include "Platform/Errors.hpp"
#include "Platform/ManualExecutor.hpp"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using pelapp::MainTask;
using pelapp::Task;
using pelapptest::runUntil;

class MainActorTest : public ::testing::Test {
protected:
    platform::ManualExecutor executor;
    std::vector<std::string> trace;
};

Task<int> step(std::vector<std::string>* trace, std::string name, int value) {
    trace->push_back(name + " begins");
    co_await pelapp::sleepFor(10ms);
    trace->push_back(name + " ends");
    co_return value;
}

Task<void> chain(std::vector<std::string>* trace) {
    int a = co_await step(trace, "a", 1);
    int b = co_await step(trace, "b", 2);
    int c = co_await pelapp::offMain([] { return 3; });
    trace->push_back("sum " + std::to_string(a + b + c));
}

TEST_F(MainActorTest, ChainedAwaitsResumeInOrderAndTheStartIsPosted) {
    auto task = MainTask::start(executor, chain(&trace));
    EXPECT_TRUE(trace.empty()) << "a task never runs inside start()";

    executor.runPending();
    EXPECT_EQ(trace, (std::vector<std::string>{"a begins"}));
    executor.advance(9ms);
    EXPECT_EQ(trace.size(), 1u) << "the sleep waits on the executor's clock";
    executor.advance(1ms);
    EXPECT_EQ(trace, (std::vector<std::string>{"a begins", "a ends", "b begins"}));
    executor.advance(10ms);
    ASSERT_TRUE(runUntil(executor, [&] { return task.isDone(); }));
    EXPECT_EQ(trace, (std::vector<std::string>{"a begins", "a ends", "b begins", "b ends", "sum 6"}));
}

Task<void> sleepTwiceThenWork(std::vector<std::string>* trace, std::stop_token* seen) {
    bool full = co_await pelapp::sleepFor(10s);
    trace->push_back(full ? "slept" : "woken");
    bool again = co_await pelapp::sleepFor(10s);
    trace->push_back(again ? "slept" : "woken");
    auto self = co_await pelapp::currentTask();
    trace->push_back(self.isCancelled() ? "cancelled" : "running");
    *seen = co_await pelapp::offMain([](std::stop_token stop) { return stop; });
}

TEST_F(MainActorTest, CancellationIsObservedAtTheNextAwait) {
    std::stop_token seen;
    auto task = MainTask::start(executor, sleepTwiceThenWork(&trace, &seen));
    executor.runPending();
    executor.advance(1s);
    EXPECT_TRUE(trace.empty());

    task.cancel();
    EXPECT_TRUE(trace.empty()) << "cancel only posts the wake";
    ASSERT_TRUE(runUntil(executor, [&] { return task.isDone(); }));
    EXPECT_EQ(trace, (std::vector<std::string>{"woken", "woken", "cancelled"}));
    EXPECT_TRUE(seen.stop_requested()) << "work off the main executor gets the cancel flag as its stop token";
    EXPECT_EQ(executor.pendingCount(), 0u) << "the ten-second timers were withdrawn";
}

TEST_F(MainActorTest, AnUncancelledSleepIsNotWokenByAnotherTasksCancel) {
    std::stop_token seenA, seenB;
    std::vector<std::string> traceB;
    auto a = MainTask::start(executor, sleepTwiceThenWork(&trace, &seenA));
    auto b = MainTask::start(executor, sleepTwiceThenWork(&traceB, &seenB));
    executor.runPending();
    a.cancel();
    ASSERT_TRUE(runUntil(executor, [&] { return a.isDone(); }));
    EXPECT_TRUE(traceB.empty());
    executor.advance(20s);
    ASSERT_TRUE(runUntil(executor, [&] { return b.isDone(); }));
    EXPECT_EQ(traceB, (std::vector<std::string>{"slept", "slept", "running"}));
    EXPECT_FALSE(seenB.stop_requested());
}

Task<void> catchFromWorker(std::vector<std::string>* trace) {
    try {
        co_await pelapp::offMain([]() -> int { throw std::runtime_error("disk on fire"); });
        trace->push_back("no error");
    } catch (const std::runtime_error& e) {
        trace->push_back(std::string("caught ") + e.what());
    }
    try {
        co_await pelapp::offMain([] {
            throw pelkit::PelError(pelkit::ErrorCode::NET_TIMEOUT, "com.example.A", std::nullopt, "slow",
                                   false);
        });
    } catch (const pelkit::PelError& e) {
        trace->push_back("caught " + pelkit::displayText(e));
    }
}

Task<void> throwAfterAwait() {
    co_await pelapp::sleepFor(1ms);
    throw platform::Cancelled();
}

Task<void> catchFromNestedTask(std::vector<std::string>* trace) {
    try {
        co_await throwAfterAwait();
    } catch (const platform::Cancelled& e) {
        trace->push_back(std::string("nested ") + e.what());
    }
}

TEST_F(MainActorTest, AnExceptionReachesTheAwaitingCode) {
    auto fromWorker = MainTask::start(executor, catchFromWorker(&trace));
    ASSERT_TRUE(runUntil(executor, [&] { return fromWorker.isDone(); }));
    auto nested = MainTask::start(executor, catchFromNestedTask(&trace));
    executor.runPending();
    executor.advance(1ms);
    ASSERT_TRUE(nested.isDone());
    EXPECT_EQ(trace, (std::vector<std::string>{"caught disk on fire", "caught [NET_TIMEOUT] slow",
                                               "nested cancelled"}));
}

TEST_F(MainActorTest, AnEscapingErrorEndsOnlyItsOwnTask) {
    auto failing = MainTask::start(executor, throwAfterAwait());
    auto other = MainTask::start(executor, chain(&trace));
    executor.runPending();
    executor.advance(20ms);
    ASSERT_TRUE(runUntil(executor, [&] { return failing.isDone() && other.isDone(); }));
    EXPECT_EQ(trace.back(), "sum 6");
}

Task<void> awaitGate(std::shared_future<void> gate, std::string name, std::vector<std::string>* trace,
                     std::thread::id* workerThread) {
    auto work = [gate, name, workerThread] {
        gate.wait();
        *workerThread = std::this_thread::get_id();
        return name;
    };
    std::string value = co_await pelapp::offMain(work);
    trace->push_back(value);
}

TEST_F(MainActorTest, ResultsPostedFromWorkersArriveInPostingOrder) {
    std::promise<void> gateA, gateB, gateC;
    std::thread::id workerA, workerB, workerC;
    auto a = MainTask::start(executor, awaitGate(gateA.get_future().share(), "A", &trace, &workerA));
    auto b = MainTask::start(executor, awaitGate(gateB.get_future().share(), "B", &trace, &workerB));
    auto c = MainTask::start(executor, awaitGate(gateC.get_future().share(), "C", &trace, &workerC));
    executor.runPending();
    ASSERT_EQ(executor.pendingCount(), 0u);

    // Let the workers finish in the order B, C, A, each one's result posted before the next starts.
    auto waitForPosts = [&](std::size_t n) {
        for (int i = 0; i < 60000 && executor.pendingCount() < n; ++i)
            std::this_thread::sleep_for(1ms);
        return executor.pendingCount() == n;
    };
    gateB.set_value();
    ASSERT_TRUE(waitForPosts(1));
    gateC.set_value();
    ASSERT_TRUE(waitForPosts(2));
    gateA.set_value();
    ASSERT_TRUE(waitForPosts(3));
    EXPECT_TRUE(trace.empty()) << "results wait for the main executor";

    executor.runPending();
    EXPECT_EQ(trace, (std::vector<std::string>{"B", "C", "A"}));
    EXPECT_TRUE(a.isDone() && b.isDone() && c.isDone());
    EXPECT_NE(workerA, std::this_thread::get_id());
    EXPECT_NE(workerB, workerA);
}

} // namespace
