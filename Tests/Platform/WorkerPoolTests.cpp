#include "Platform/WorkerPool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <vector>

using namespace std::chrono_literals;
using platform::WorkerPool;

namespace {
// Generous: only a broken pool ever waits this long.
constexpr auto kHang = 60s;
} // namespace

TEST(WorkerPool, RunsTwoTasksAtOnce) {
    WorkerPool pool("test.pool", 2);
    std::latch bothStarted(2);
    std::promise<void> first;
    std::promise<void> second;
    // Each task waits for the other to have started: a pool that ran them one after the other would stall.
    pool.post([&] {
        bothStarted.arrive_and_wait();
        first.set_value();
    });
    pool.post([&] {
        bothStarted.arrive_and_wait();
        second.set_value();
    });
    EXPECT_EQ(first.get_future().wait_for(kHang), std::future_status::ready);
    EXPECT_EQ(second.get_future().wait_for(kHang), std::future_status::ready);
}

TEST(WorkerPool, DelayedTasksRunInDueOrderAndCancelledOnesNever) {
    WorkerPool pool("test.pool", 1);
    std::mutex mutex;
    std::vector<int> order;
    auto record = [&](int n) {
        return [&, n] {
            std::lock_guard lock(mutex);
            order.push_back(n);
        };
    };
    // The only worker waits at a gate until every task is posted and the cancel is in, so neither a slow
    // poster nor a late cancel can change what runs. The delays lie far apart for the same reason.
    std::promise<void> gate;
    auto gateOpen = gate.get_future().share();
    pool.post([gateOpen] { gateOpen.wait(); });
    std::promise<void> done;
    pool.postAfter(600ms, record(3));
    auto cancelled = pool.postAfter(300ms, record(99));
    pool.postAfter(150ms, record(2));
    pool.post(record(1));
    pool.postAfter(-5ms, record(0)); // a negative delay counts as zero: due now, after the task before it
    cancelled.cancel();
    pool.postAfter(900ms, [&] { done.set_value(); });
    gate.set_value();
    ASSERT_EQ(done.get_future().wait_for(kHang), std::future_status::ready);
    std::lock_guard lock(mutex);
    EXPECT_EQ(order, (std::vector<int>{1, 0, 2, 3}));
}

TEST(WorkerPool, ACancelledTasksCapturesMayPostWhenReleased) {
    struct PostsWhenReleased {
        WorkerPool* pool;
        std::promise<void>* posted;
        ~PostsWhenReleased() {
            pool->post([posted = posted] { posted->set_value(); });
        }
    };
    auto pool = std::make_unique<WorkerPool>("test.pool", 1);
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    pool->post([open] { open.wait(); }); // holds the one worker until the task below is cancelled
    std::promise<void> posted;
    auto future = posted.get_future();
    auto capture = std::make_shared<PostsWhenReleased>(pool.get(), &posted);
    platform::TaskHandle handle = pool->postAfter(1ns, [capture] {});
    capture.reset();
    handle.cancel();
    gate.set_value();
    if (future.wait_for(kHang) != std::future_status::ready) {
        (void)pool.release(); // its worker hangs on its own lock: joining it would hang the suite
        FAIL() << "the pool hung";
    }
}

TEST(WorkerPool, DrainWaitsForRunningAndDueTasks) {
    WorkerPool pool("test.pool", 2);
    std::atomic<int> finished{0};
    for (int i = 0; i < 6; ++i) {
        pool.post([&] {
            std::this_thread::sleep_for(5ms);
            finished.fetch_add(1);
        });
    }
    std::promise<void> inner;
    pool.post([&] {
        pool.drain(); // from one of its own tasks: returns at once instead of waiting for itself
        inner.set_value();
    });
    pool.drain();
    EXPECT_EQ(finished.load(), 6);
    EXPECT_EQ(inner.get_future().wait_for(kHang), std::future_status::ready);
}

TEST(WorkerPool, TaskThatReleasesTheLastOwnerDoesNotJoinItself) {
    auto pool = std::make_shared<WorkerPool>("test.pool", 2);
    std::promise<void> released;
    auto* raw = pool.get();
    raw->post([owner = std::move(pool), &released]() mutable {
        owner.reset(); // destroys the pool on its own thread
        released.set_value();
    });
    EXPECT_EQ(released.get_future().wait_for(kHang), std::future_status::ready);
}
