#include "Platform/ManualExecutor.hpp"
#include "Platform/SerialQueue.hpp"
#include "Platform/WorkerPool.hpp"
#include "Support/TempDir.hpp"
#include "Tally/Runtime.hpp"
#include "Tally/Signals/DefaultSignalPayload.hpp"
#include "Tally/Signals/SignalManager.hpp"
#include "Tally/Tally.hpp"
#include "Tally/TelemetryManager.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <thread>

// A burst of 1,000 "error" signals, as a run of failed updates sends them: the main executor's share
// (stage 1, mostly the default payload), stage 2 on its own, and the time until all are queued with
// the runtime's real executors. Nothing is uploaded (no transport, an hour between attempts).
namespace {

constexpr int kBurst = 1000;

struct Bench {
    pelsupport::TempDir caches{"tally-signal-bench"};

    // Installs a runtime over `main` and `utility` and a manager whose pipeline is a SignalManager.
    void install(std::shared_ptr<platform::Executor> main, std::shared_ptr<platform::Executor> utility) {
        tally::Runtime r;
        r.main = std::move(main);
        r.utility = std::move(utility);
        r.cachesDirectory = caches.path();
        r.makePipeline = tally::makeSignalManager;
        r.logHandler = tally::LogHandler{tally::LogLevel::error, {}};
        tally::testing::reset(std::move(r));
        start();
    }
    // A new manager, so a new empty queue.
    static void start() {
        auto config = std::make_shared<tally::TelemetryManagerConfiguration>("com.pelloran");
        config->setLogHandler(std::nullopt);
        config->setSessionStatsEnabled(false);
        config->setSendNewSessionBeganSignal(false);
        config->setTransmitInterval(3600);
        tally::Tally::initialize(config);
    }
    static void burst() {
        for (int i = 0; i < kBurst; ++i) {
            tally::Tally::signal("error",
                                 {{"code", "NET_TIMEOUT"}, {"class", "transient"}, {"source", "sparkle"}});
        }
    }
    static std::size_t queued() {
        return dynamic_cast<tally::SignalManager&>(*tally::TelemetryManager::shared()->signalManager())
            .pendingCount();
    }
};

void perSignal(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * kBurst);
    state.counters["per_signal"] =
        benchmark::Counter(static_cast<double>(state.iterations() * kBurst),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Runs bursts through both stages on manual executors, timing only stage 1 or only stage 2.
void timedStage(benchmark::State& state, bool stageOne) {
    Bench bench;
    auto main = std::make_shared<platform::ManualExecutor>();
    auto utility = std::make_shared<platform::ManualExecutor>();
    bench.install(main, utility);
    for (auto _ : state) {
        state.PauseTiming();
        Bench::burst();
        if (stageOne) state.ResumeTiming();
        main->runPending();
        if (stageOne) {
            state.PauseTiming();
        } else {
            state.ResumeTiming();
        }
        utility->runPending();
        if (stageOne) state.ResumeTiming();
    }
    perSignal(state);
    tally::Tally::terminate();
}

void BM_StageOneOnMain(benchmark::State& state) {
    timedStage(state, true);
}
BENCHMARK(BM_StageOneOnMain)->Unit(benchmark::kMillisecond);

void BM_DefaultPayload(benchmark::State& state) {
    Bench bench;
    bench.install(std::make_shared<platform::ManualExecutor>(), std::make_shared<platform::ManualExecutor>());
    for (auto _ : state) {
        benchmark::DoNotOptimize(tally::DefaultSignalPayload::parameters());
    }
    tally::Tally::terminate();
}
BENCHMARK(BM_DefaultPayload)->Unit(benchmark::kMicrosecond);

void BM_StageTwo(benchmark::State& state) {
    timedStage(state, false);
}
BENCHMARK(BM_StageTwo)->Unit(benchmark::kMillisecond);

void BM_BurstUntilQueued(benchmark::State& state) {
    Bench bench;
    bench.install(std::make_shared<platform::SerialQueue>("tally-bench-main", platform::systemClock()),
                  std::make_shared<platform::WorkerPool>("tally-bench-utility", 2));
    for (auto _ : state) {
        Bench::burst();
        while (Bench::queued() < kBurst) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        state.PauseTiming();
        Bench::start();
        state.ResumeTiming();
    }
    perSignal(state);
    tally::Tally::terminate();
}
BENCHMARK(BM_BurstUntilQueued)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
