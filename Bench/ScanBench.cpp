// Scans a folder of 1,000 fixture bundles (a tenth of them one folder down):
//   - cold: empty caches, so every bundle is read and the fake codesign runs once each (the
//     architectures come from the executable's header); the run prints what one tool launch costs
//     here and how many times faster the scan is than reading the bundles one after another (one
//     launch each) would be;
//   - warm, scanner only: every bundle from the apps cache, no tool may run;
//   - warm through the engine with the journal on, as the application scans: one line and row
//     per bundle, up to flush().
// Every file the run makes is removed at its end.

#include "PelKit/Config.hpp"
#include "PelKit/DB.hpp"
#include "PelKit/Engine.hpp"
#include "PelKit/Journal.hpp"
#include "PelKit/Proc.hpp"
#include "PelKit/Scanner.hpp"
#include "Support/BundleBuilder.hpp"
#include "Support/FakeBundleTools.hpp"
#include "Support/FakeTools.hpp"
#include "Support/TempDir.hpp"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <chrono>
#include <memory>
#include <thread>

namespace {

constexpr int kBundles = 1000;

struct Fixture {
    pelsupport::TempDir dir{"pel-scanbench"};
    pelkit::testing::ScopedHomeOverride home{dir / "home"};
    pelkit::DB db{pelkit::Url::fromFilePath((dir / "pel.db").string())};
    pelsupport::FakeTools tools;
    pelsupport::FakeBundleTools fakes{tools};
    pelkit::Overrides overrides{pelkit::OverridesFile{}, std::nullopt};
    pelkit::Scanner scanner{std::make_shared<pelkit::Overrides>(pelkit::OverridesFile{}, std::nullopt),
                            {{pelkit::Url::fromFilePath((dir / "Applications").string()), false}}};
    pelkit::Journal journal{std::nullopt, &db};
    std::unique_ptr<pelkit::Engine> engine;

    Fixture() {
        pelkit::testing::setSharedDB(&db);
        for (int i = 0; i < kBundles; ++i) {
            auto parent = i % 10 == 0 ? dir / "Applications" / "Utilities" : dir / "Applications";
            pelsupport::BundleBuilder(fmt::format("App{:04}.app", i)).build(parent);
        }
        pelkit::EngineSeams seams;
        seams.db = &db;
        seams.scanRoots = std::vector<pelkit::ScanRoot>{{pelkit::Url::fromFilePath((dir / "Applications").string()), false}};
        engine = std::make_unique<pelkit::Engine>(overrides, journal,
                                                  std::vector<std::shared_ptr<pelkit::UpdateSource>>{}, seams);
    }
    ~Fixture() {
        journal.flush();
        pelkit::testing::setSharedDB(nullptr);
    }
};

std::unique_ptr<Fixture>& fixtureSlot() {
    static std::unique_ptr<Fixture> f; // kept for the whole run, like the shared store
    return f;
}

Fixture& fixture() {
    if (!fixtureSlot()) fixtureSlot() = std::make_unique<Fixture>();
    return *fixtureSlot();
}

void setPerBundle(benchmark::State& state) {
    state.counters["bundles"] = kBundles;
    state.counters["per_bundle"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBundles,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The mean cost of one launch of the fake codesign, in seconds.
double toolLaunchSeconds(Fixture& f) {
    constexpr int kRuns = 20;
    const std::string codesign = f.tools.path("codesign");
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRuns; ++i)
        pelkit::Proc::run(codesign, {"-dv", "--verbose=4", "/nonexistent"}, 10);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / kRuns;
}

void BM_ScanCold(benchmark::State& state) {
    Fixture& f = fixture();
    const double launch = toolLaunchSeconds(f);
    double scanned = 0;
    for (auto _ : state) {
        state.PauseTiming();
        f.db.exec("DELETE FROM apps; DELETE FROM cache_teamid");
        f.tools.clearCalls();
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        auto result = f.scanner.scan();
        scanned += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        benchmark::DoNotOptimize(result);
        state.PauseTiming();
        if (result.apps.size() != kBundles) state.SkipWithError("not every bundle was kept");
        if (f.fakes.codesignCalls() != kBundles)
            state.SkipWithError("a cold scan must run codesign once per bundle");
        state.ResumeTiming();
    }
    const double perBundle = scanned / static_cast<double>(state.iterations()) / kBundles;
    state.counters["tool_launch_ms"] = launch * 1e3;
    state.counters["cores"] = std::thread::hardware_concurrency();
    state.counters["one_at_a_time_over_ours"] = launch / perBundle;
    setPerBundle(state);
}
BENCHMARK(BM_ScanCold)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_ScanWarm(benchmark::State& state) {
    Fixture& f = fixture();
    f.scanner.scan(); // fills the caches
    f.tools.clearCalls();
    for (auto _ : state) {
        auto result = f.scanner.scan();
        benchmark::DoNotOptimize(result);
        if (result.apps.size() != kBundles) state.SkipWithError("not every bundle was kept");
    }
    if (f.fakes.toolCalls() != 0) state.SkipWithError("a warm scan ran a tool");
    state.counters["tool_calls"] = f.fakes.toolCalls();
    setPerBundle(state);
}
BENCHMARK(BM_ScanWarm)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ScanWarmThroughEngineWithJournal(benchmark::State& state) {
    Fixture& f = fixture();
    f.engine->scan(); // fills the caches
    f.journal.flush();
    f.tools.clearCalls();
    for (auto _ : state) {
        auto result = f.engine->scan();
        benchmark::DoNotOptimize(result);
        f.journal.flush();
        if (result.apps.size() != kBundles) state.SkipWithError("not every bundle was kept");
    }
    if (f.fakes.toolCalls() != 0) state.SkipWithError("a warm scan ran a tool");
    setPerBundle(state);
}
BENCHMARK(BM_ScanWarmThroughEngineWithJournal)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fixtureSlot().reset(); // removes the bundles, the store, the journal and the fake tools
    return 0;
}
