// The engine's hot paths over 1,000 applications, with the journal on as the application runs
// it: `check` warm (every answer a cached row) and cold (no rows; the first source answers
// nothing, the second at once), and `scan` of 1,000 unchanged bundles. Each iteration includes
// the journal's lines and rows up to flush(); "per_app" is the time per application. Every file
// the run makes is removed at its end.

#include "PelKit/Config.hpp"
#include "PelKit/DB.hpp"
#include "PelKit/Engine.hpp"
#include "PelKit/Journal.hpp"
#include "Support/BundleBuilder.hpp"
#include "Support/FakeBundleTools.hpp"
#include "Support/FakeTools.hpp"
#include "Support/ScriptedSource.hpp"
#include "Support/TempDir.hpp"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <memory>

using namespace pelkit;

namespace {

constexpr int kApps = 1000;

struct Fixture {
    pelsupport::TempDir dir{"pel-resolvebench"};
    pelkit::testing::ScopedHomeOverride home{dir / "home"};
    DB db{Url::fromFilePath((dir / "pel.db").string())};
    Overrides overrides{OverridesFile{}, std::nullopt};
    Journal journal{std::nullopt, &db};
    std::shared_ptr<pelsupport::ScriptedSource> brew =
        std::make_shared<pelsupport::ScriptedSource>(AppSource::homebrew);
    std::shared_ptr<pelsupport::ScriptedSource> sparkle =
        std::make_shared<pelsupport::ScriptedSource>(AppSource::sparkle);
    std::shared_ptr<pelsupport::ScriptedSource> store =
        std::make_shared<pelsupport::ScriptedSource>(AppSource::macAppStore);
    std::unique_ptr<Engine> engine;
    std::vector<InstalledApp> apps;

    Fixture() {
        pelkit::testing::setSharedDB(&db);
        sparkle->always(pelsupport::scriptedRemote(AppSource::sparkle, "2.0"));
        EngineSeams seams;
        seams.db = &db;
        seams.scanRoots = std::vector<ScanRoot>{{Url::fromFilePath((dir / "Applications").string()), false}};
        engine = std::make_unique<Engine>(
            overrides, journal, std::vector<std::shared_ptr<UpdateSource>>{brew, sparkle, store}, seams);
        for (int i = 0; i < kApps; ++i) {
            InstalledApp app;
            app.path = Url::fromFilePath(fmt::format("/Applications/App{:04}.app", i));
            app.bundleID = fmt::format("com.example.app{:04}", i);
            app.name = fmt::format("App{:04}", i);
            app.shortVersion = "1.2.3";
            app.buildVersion = "123";
            app.archs = {"arm64"};
            apps.push_back(std::move(app));
        }
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

void setPerApp(benchmark::State& state) {
    state.counters["per_app"] = benchmark::Counter(static_cast<double>(state.iterations()) * kApps,
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_CheckWarm(benchmark::State& state) {
    Fixture& f = fixture();
    for (const auto& app : f.apps)
        f.db.setResolved(app.bundleID, pelsupport::scriptedRemote(AppSource::homebrew, "2.0", "app"));
    const int before = f.sparkle->calls();
    for (auto _ : state) {
        for (const auto& app : f.apps) {
            auto r = f.engine->check(app, true);
            benchmark::DoNotOptimize(r);
        }
        f.journal.flush();
    }
    if (f.sparkle->calls() != before) state.SkipWithError("a warm check asked a source");
    setPerApp(state);
}
BENCHMARK(BM_CheckWarm)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CheckCold(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        state.PauseTiming();
        f.db.exec("DELETE FROM resolved");
        state.ResumeTiming();
        for (const auto& app : f.apps) {
            auto r = f.engine->check(app, true);
            benchmark::DoNotOptimize(r);
        }
        f.journal.flush();
    }
    setPerApp(state);
}
BENCHMARK(BM_CheckCold)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ScanUnchanged(benchmark::State& state) {
    Fixture& f = fixture();
    pelsupport::FakeTools tools;
    pelsupport::FakeBundleTools fakes{tools};
    for (int i = 0; i < kApps; ++i)
        pelsupport::BundleBuilder(fmt::format("App{:04}.app", i)).build(f.dir / "Applications");
    if (f.engine->scan().apps.size() != kApps)
        state.SkipWithError("not every bundle was kept"); // fills the cache
    f.journal.flush();
    tools.clearCalls();
    for (auto _ : state) {
        auto result = f.engine->scan();
        benchmark::DoNotOptimize(result);
        f.journal.flush();
    }
    if (fakes.toolCalls() != 0) state.SkipWithError("an unchanged scan ran a tool");
    setPerApp(state);
}
BENCHMARK(BM_ScanUnchanged)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fixtureSlot().reset(); // removes the store, the journal and the bundles
    return 0;
}
