#include "CapturingPipeline.hpp"
#include "Platform/Uuid.hpp"
#include "Tally/Tally.hpp"
#include "Tally/TelemetryManager.hpp"
#include "TallyTestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using tally::Tally;
using tally::TelemetryManager;

namespace {

// Every session identifier that some configuration held.
class Assigned {
public:
    void add(const std::string& id) {
        std::lock_guard lock(mutex_);
        ids_.insert(id);
    }
    bool contains(const std::string& id) const {
        std::lock_guard lock(mutex_);
        return ids_.contains(id);
    }

private:
    mutable std::mutex mutex_;
    std::set<std::string> ids_;
};

TEST(TallyConcurrency, SendsWhileSessionsChangeAndManagersComeAndGo) {
    tallytest::VirtualRuntime rt;
    tallytest::CapturingPipelines pipelines;
    tallytest::CapturedLog fallbackLog;
    rt.makePipeline = pipelines.factory();
    rt.logHandler = fallbackLog.handler();
    rt.install();

    Assigned assigned;
    std::atomic<bool> go{false};
    std::atomic<bool> installing{true};
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < 200 || installing; ++i) {
                Tally::signal("s" + std::to_string(t), {{"k", "v"}});
                Tally::internalSignal("i");
                TelemetryManager::send("legacy", "user", 1.0, {});
            }
            ++finished;
        });
    }
    threads.emplace_back([&] {
        while (!go)
            std::this_thread::yield();
        for (int i = 0; i < 2000; ++i) {
            auto configuration = TelemetryManager::shared()->configuration();
            const auto id = platform::uuidV4();
            assigned.add(id);
            configuration->setSessionID(id);
        }
        ++finished;
    });
    threads.emplace_back([&] {
        while (!go)
            std::this_thread::yield();
        for (int i = 0; i < 200; ++i) {
            auto configuration =
                std::make_shared<tally::TelemetryManagerConfiguration>("app" + std::to_string(i));
            configuration->setLogHandler(std::nullopt);
            configuration->setSessionStatsEnabled(i % 2 == 0);
            assigned.add(configuration->sessionID());
            Tally::initialize(configuration);
            std::this_thread::yield();
            if (i % 3 == 0) Tally::terminate();
        }
        installing = false;
        ++finished;
    });
    go = true;
    // The main executor runs the posted session steps meanwhile, without moving the clock.
    while (finished < static_cast<int>(threads.size())) {
        rt.executor->runPending();
        std::this_thread::yield();
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Tally::terminate();
    rt.executor->runPending();
    const auto beforeFirstSessions = pipelines.signals().size();
    rt.executor->advance(1s); // every first-session step finds its manager gone
    EXPECT_EQ(pipelines.signals().size(), beforeFirstSessions);

    const auto signals = pipelines.signals();
    EXPECT_FALSE(signals.empty());
    for (const auto& signal : signals) {
        ASSERT_TRUE(assigned.contains(signal.sessionID)) << signal.name << " " << signal.sessionID;
    }
    for (const auto& line : fallbackLog.lines()) {
        ASSERT_TRUE(line.starts_with("ERROR Tally is not initialized; signal '")) << line;
    }
    EXPECT_EQ(pipelines.creations(), 200);
}

} // namespace
