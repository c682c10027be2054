// Scans a folder of 1,000 fixture bundles: cold (empty caches, fake lipo and codesign run for
// every bundle) and warm (every bundle served from the apps cache; no tool may run).

#include "PelKit/Config.hpp"
#include "PelKit/DB.hpp"
#include "PelKit/Scanner.hpp"
#include "Support/BundleBuilder.hpp"
#include "Support/FakeBundleTools.hpp"
#include "Support/FakeTools.hpp"
#include "Support/TempDir.hpp"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <memory>

namespace {

constexpr int kBundles = 1000;

struct Fixture {
    pelsupport::TempDir dir{"pel-scanbench"};
    pelkit::testing::ScopedHomeOverride home{dir / "home"};
    pelkit::DB db{pelkit::Url::fromFilePath((dir / "pel.db").string())};
    pelsupport::FakeTools tools;
    pelsupport::FakeBundleTools fakes{tools};
    pelkit::Scanner scanner{std::make_shared<pelkit::Overrides>(pelkit::OverridesFile{}, std::nullopt),
                            {{pelkit::Url::fromFilePath((dir / "Applications").string()), false}}};

    Fixture() {
        pelkit::testing::setSharedDB(&db);
        for (int i = 0; i < kBundles; ++i) {
            // A tenth of them one folder down, as in Utilities.
            auto parent = i % 10 == 0 ? dir / "Applications" / "Utilities" : dir / "Applications";
            pelsupport::BundleBuilder(fmt::format("App{:04}.app", i)).build(parent);
        }
    }
    ~Fixture() { pelkit::testing::setSharedDB(nullptr); }
};

Fixture& fixture() {
    static Fixture* f = new Fixture(); // kept for the whole run, like the shared store
    return *f;
}

void setPerBundle(benchmark::State& state) {
    state.counters["bundles"] = kBundles;
    state.counters["per_bundle"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBundles,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ScanCold(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        state.PauseTiming();
        f.db.exec("DELETE FROM apps; DELETE FROM cache_teamid");
        f.tools.clearCalls();
        state.ResumeTiming();
        auto result = f.scanner.scan();
        benchmark::DoNotOptimize(result);
        state.PauseTiming();
        if (result.apps.size() != kBundles) state.SkipWithError("not every bundle was kept");
        if (f.fakes.lipoCalls() != kBundles || f.fakes.codesignCalls() != kBundles)
            state.SkipWithError("a cold scan must run lipo and codesign once per bundle");
        state.ResumeTiming();
    }
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

} // namespace

BENCHMARK_MAIN();
