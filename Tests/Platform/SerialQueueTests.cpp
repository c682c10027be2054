#include "Platform/SerialQueue.hpp"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <pthread.h>
#include <set>
#include <thread>
#include <vector>

using namespace platform;
using namespace std::chrono_literals;

namespace {

// Waits for a future that only a hang (a deadlock) would keep unset.
template <class T> void expectReady(std::future<T>& future) {
    ASSERT_EQ(future.wait_for(120s), std::future_status::ready) << "the queue hung";
}

} // namespace

TEST(SerialQueue, RunsFirstInFirstOutOnOneThreadNamedAfterTheQueue) {
    SerialQueue queue("pelloran.serial-queue.tests");
    EXPECT_EQ(queue.name(), "pelloran.serial-queue.tests");
    EXPECT_FALSE(queue.isCurrent());
    std::vector<int> order;
    std::set<std::thread::id> threads;
    bool alwaysCurrent = true;
    std::string threadName;
    for (int i = 0; i < 200; ++i) {
        queue.post([&, i] {
            order.push_back(i);
            threads.insert(std::this_thread::get_id());
            alwaysCurrent = alwaysCurrent && queue.isCurrent();
            if (i == 0) {
                char name[32] = {};
                ::pthread_getname_np(::pthread_self(), name, sizeof name);
                threadName = name;
            }
        });
    }
    queue.drain();
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
    EXPECT_TRUE(alwaysCurrent);
    EXPECT_EQ(threadName, "pelloran.serial"); // cut to the 15 bytes the kernel keeps
}

TEST(SerialQueue, DrainWaitsForEveryPosterAndReturnsAtOnceOnItsOwnThread) {
    SerialQueue queue("drain");
    std::atomic<int> count{0};
    {
        std::vector<std::jthread> posters;
        for (int t = 0; t < 4; ++t) {
            posters.emplace_back([&] {
                for (int i = 0; i < 250; ++i) queue.post([&] { ++count; });
            });
        }
    }
    queue.drain();
    EXPECT_EQ(count.load(), 1000);

    std::promise<void> inner;
    auto innerDone = inner.get_future();
    queue.post([&] {
        queue.drain(); // would wait for itself
        inner.set_value();
    });
    expectReady(innerDone);
}

TEST(SerialQueue, DelayedTasksRunInDueOrderByItsClockAndCancelledOnesNever) {
    ManualClock clock;
    SerialQueue queue("delayed", clock);
    std::vector<std::string> ran;
    queue.postAfter(30ms, [&] { ran.push_back("30"); });
    TaskHandle cancelled = queue.postAfter(5ms, [&] { ran.push_back("cancelled before"); });
    queue.postAfter(10ms, [&] { ran.push_back("10a"); });
    TaskHandle atDue;
    queue.postAfter(20ms, [&] {
        ran.push_back("20");
        atDue.cancel(); // due together with it, not yet started
    });
    atDue = queue.postAfter(20ms, [&] { ran.push_back("cancelled at due"); });
    queue.postAfter(10ms, [&] { ran.push_back("10b"); });
    queue.postAfter(1h, [&] { ran.push_back("later"); });
    queue.post([&] { ran.push_back("now"); });
    cancelled.cancel();

    queue.drain(); // the delayed ones are not due yet
    EXPECT_EQ(ran, std::vector<std::string>{"now"});
    clock.advance(50ms);
    queue.drain();
    EXPECT_EQ(ran, (std::vector<std::string>{"now", "10a", "10b", "20", "30"}));
}

TEST(SerialQueue, ACancelledTasksCapturesMayPostWhenReleased) {
    struct PostsWhenReleased {
        SerialQueue* queue;
        std::promise<void>* posted;
        ~PostsWhenReleased() {
            queue->post([posted = posted] { posted->set_value(); });
        }
    };
    auto queue = std::make_unique<SerialQueue>("cancelled-capture");
    std::promise<void> posted;
    auto future = posted.get_future();
    auto capture = std::make_shared<PostsWhenReleased>(queue.get(), &posted);
    TaskHandle handle = queue->postAfter(1h, [capture] {});
    capture.reset();
    handle.cancel();
    queue->post([] {}); // wakes the worker, which then drops the cancelled task
    if (future.wait_for(120s) != std::future_status::ready) {
        (void)queue.release(); // its worker hangs on its own lock: joining it would hang the suite
        FAIL() << "the queue hung";
    }
}

TEST(SerialQueue, ADelayedTaskOnTheSystemClockRunsNoEarlierThanItsDueTime) {
    SerialQueue queue("system-clock");
    const TimePoint due = systemClock().now() + 30ms;
    std::promise<TimePoint> ranAt;
    auto future = ranAt.get_future();
    queue.postAfter(30ms, [&] { ranAt.set_value(systemClock().now()); });
    expectReady(future);
    EXPECT_GE(future.get(), due);
}

TEST(SerialQueue, ATaskThatReleasesTheLastOwnerDoesNotJoinItsOwnThread) {
    // The gate holds the queue's thread until the test has dropped its own reference.
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    std::promise<void> after;
    auto afterDone = after.get_future();
    {
        auto queue = std::make_shared<SerialQueue>("self-release");
        queue->post([open] { open.wait(); });
        queue->post([queue]() mutable { queue.reset(); }); // the last owner, released inside the task
        queue->post([&] { after.set_value(); });           // posted before: still runs
    }
    gate.set_value();
    expectReady(afterDone);

    // Released when the finished task's captures go.
    std::promise<void> gate2;
    std::shared_future<void> open2 = gate2.get_future().share();
    std::promise<void> released;
    auto releasedDone = released.get_future();
    {
        auto queue = std::make_shared<SerialQueue>("self-release-2");
        struct Signal {
            explicit Signal(std::promise<void>& p) : promise(p) {}
            ~Signal() { promise.set_value(); }
            std::promise<void>& promise;
        };
        auto signal = std::make_shared<Signal>(released);
        queue->post([queue, signal, open2] { open2.wait(); });
    }
    gate2.set_value();
    expectReady(releasedDone);
}

TEST(SerialQueue, DestructionRunsWhatIsDueAndDropsWhatIsDelayed) {
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    std::atomic<int> count{0};
    auto delayedCapture = std::make_shared<int>(0);
    bool delayedRan = false;
    {
        SerialQueue queue("destruction");
        queue.post([open] { open.wait(); });
        for (int i = 0; i < 10; ++i) queue.post([&] { ++count; });
        queue.postAfter(1h, [&delayedRan, delayedCapture] { delayedRan = true; });
        gate.set_value();
    }
    EXPECT_EQ(count.load(), 10);
    EXPECT_FALSE(delayedRan);
    EXPECT_EQ(delayedCapture.use_count(), 1); // the dropped task's captures are gone
}

TEST(SerialQueue, LeakedQueuesAreOnePerNameAndLiveOn) {
    SerialQueue& a = SerialQueue::leaked("pelloran.test.leaked");
    SerialQueue& b = SerialQueue::leaked("pelloran.test.leaked");
    EXPECT_EQ(&a, &b);
    EXPECT_NE(&a, &SerialQueue::leaked("pelloran.test.other"));
    std::atomic<bool> ran{false};
    a.post([&] { ran = true; });
    a.drain();
    EXPECT_TRUE(ran.load());
}
