#include "PelApp/Model/MainActor.hpp"
#include "PelApp/Model/ModelRelay.hpp"
#include "PelApp/ModelHarness.hpp"
#include "PelApp/Views/QtExecutor.hpp"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Runs the event loop until `done` holds; the bound only keeps a broken test from hanging.
bool spinUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 6000 && !done(); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (!done()) std::this_thread::sleep_for(1ms);
    }
    return done();
}

TEST(QtExecutor, PostedTasksRunInOrderOnTheGuiThread) {
    pelapp::QtExecutor executor;
    std::vector<int> order;
    QThread* ranOn = nullptr;
    executor.post([&] { order.push_back(1); });
    std::thread([&] {
        executor.post([&] {
            order.push_back(2);
            ranOn = QThread::currentThread();
        });
    }).join();
    executor.post([&] { order.push_back(3); });
    EXPECT_TRUE(order.empty()) << "queued, never run inline";
    ASSERT_TRUE(spinUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(ranOn, QCoreApplication::instance()->thread());
}

TEST(QtExecutor, DelayedTasksRunOnceDueAndNotWhenCancelled) {
    pelapp::QtExecutor executor;
    std::vector<std::string> ran;
    auto cancelled = executor.postAfter(10ms, [&] { ran.push_back("cancelled"); });
    auto later = executor.postAfter(60s, [&] { ran.push_back("later"); });
    executor.postAfter(20ms, [&] { ran.push_back("due"); });
    cancelled.cancel();
    ASSERT_TRUE(spinUntil([&] { return !ran.empty(); }));
    EXPECT_EQ(ran, std::vector<std::string>{"due"});
    later.cancel();
}

pelapp::Task<void> sleepThenWork(std::vector<std::string>* trace) {
    co_await pelapp::sleepFor(5ms);
    trace->push_back("slept");
    int n = co_await pelapp::offMain([] { return 42; });
    trace->push_back("worked " + std::to_string(n));
}

TEST(QtExecutor, CarriesMainActorTasks) {
    pelapp::QtExecutor executor;
    std::vector<std::string> trace;
    auto task = pelapp::MainTask::start(executor, sleepThenWork(&trace));
    ASSERT_TRUE(spinUntil([&] { return task.isDone(); }));
    EXPECT_EQ(trace, (std::vector<std::string>{"slept", "worked 42"}));
}

TEST(ModelRelay, FoldsOneTurnsChangesIntoOneRefresh) {
    pelapptest::ModelHarness h;
    pelapp::ModelRelay relay(h.model);
    QSignalSpy spy(&relay, &pelapp::ModelRelay::refresh);
    h.model.setSearch("a");
    h.model.setFilter(pelapp::Filter::all);
    h.model.changed(pelapp::ModelChange::log);
    EXPECT_EQ(spy.count(), 0);
    ASSERT_TRUE(spinUntil([&] { return spy.count() > 0; }));
    QCoreApplication::processEvents();
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toUInt(),
              static_cast<unsigned>(pelapp::ModelChange::filters | pelapp::ModelChange::log));

    h.model.setShowIgnored(true);
    ASSERT_TRUE(spinUntil([&] { return spy.count() == 2; }));
    EXPECT_EQ(spy.at(1).at(0).toUInt(), static_cast<unsigned>(pelapp::ModelChange::run));
}

} // namespace
