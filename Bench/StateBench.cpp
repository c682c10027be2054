// The state hot paths, each on a fresh store in a temporary folder that is removed afterwards:
// the scan cache (1,000 setApp then 1,000 getApp; getApp alone), what emit costs its caller, and
// 1,000 journal events up to flush() with the store (Arg 1) and with lines only (Arg 0).
#include "PelKit/Config.hpp"
#include "PelKit/DB.hpp"
#include "PelKit/Journal.hpp"
#include "Support/TempDir.hpp"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <memory>

using namespace pelkit;

namespace {

InstalledApp app(int i) {
    return InstalledApp{Url::fromFilePath(fmt::format("/Applications/App {}.app", i)),
                        fmt::format("com.example.app{}", i),
                        fmt::format("App {}", i),
                        "1.2.3",
                        "123",
                        "App",
                        "13.0",
                        Url::parse("https://example.com/appcast.xml"),
                        false,
                        false,
                        "ABCDE12345",
                        {"arm64", "x86_64"}};
}

Json fields(int i) {
    return Json{{"bundleID", fmt::format("com.example.app{}", i)},
                {"source", "homebrew"},
                {"version", "1.2.3"},
                {"url", "https://example.com/download/app.zip"},
                {"success", true}};
}

// setApp then getApp for 1,000 applications: one scan that stores every bundle, then one that
// finds them all.
void BM_SetAppGetApp1000(benchmark::State& state) {
    pelsupport::TempDir tmp("pel-bench");
    DB db(Url::fromFilePath((tmp / "pel.db").string()));
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i)
            db.setApp(app(i), 1000.0 + i, i);
        for (int i = 0; i < 1000; ++i)
            benchmark::DoNotOptimize(db.getApp(app(i).path.filePath(), 1000.0 + i, i));
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_SetAppGetApp1000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_GetApp1000(benchmark::State& state) {
    pelsupport::TempDir tmp("pel-bench");
    DB db(Url::fromFilePath((tmp / "pel.db").string()));
    for (int i = 0; i < 1000; ++i)
        db.setApp(app(i), 1000.0 + i, i);
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i)
            benchmark::DoNotOptimize(db.getApp(app(i).path.filePath(), 1000.0 + i, i));
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_GetApp1000)->Unit(benchmark::kMillisecond)->UseRealTime();

// What emit costs the caller; the writer catches up outside the timing.
void BM_EmitAtCaller(benchmark::State& state) {
    pelsupport::TempDir tmp("pel-bench");
    pelkit::testing::ScopedHomeOverride home(tmp / "home");
    DB db(Url::fromFilePath((tmp / "pel.db").string()));
    Journal journal("01BENCH00000", &db);
    int i = 0;
    for (auto _ : state) {
        journal.emit("app_resolved", fields(i++));
        if (i % 1000 == 0) {
            state.PauseTiming();
            journal.flush();
            state.ResumeTiming();
        }
    }
    journal.flush(); // the loop has ended: not timed
}
BENCHMARK(BM_EmitAtCaller)->Unit(benchmark::kMicrosecond)->Iterations(3000);

// 1,000 emits then flush(): the time until every line and row is written.
// Arg 1: with the SQLite store; arg 0: lines only (no connection).
void BM_Flush1000(benchmark::State& state) {
    pelsupport::TempDir tmp("pel-bench");
    pelkit::testing::ScopedHomeOverride home(tmp / "home");
    std::unique_ptr<DB> db = state.range(0)
                                 ? std::make_unique<DB>(Url::fromFilePath((tmp / "pel.db").string()))
                                 : DB::disconnected();
    Journal journal("01BENCH00000", db.get());
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i)
            journal.emit("app_resolved", fields(i));
        journal.flush();
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_Flush1000)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
