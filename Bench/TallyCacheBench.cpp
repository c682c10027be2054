#include "Platform/Files.hpp"
#include "Support/TempDir.hpp"
#include "Tally/Signals/SignalCache.hpp"
#include "Tally/Signals/SignalPostBody.hpp"

#include <benchmark/benchmark.h>

#include <fmt/format.h>

#include <string>
#include <vector>

using tally::SignalPostBody;
using Cache = tally::SignalCache<SignalPostBody>;

namespace {

constexpr int kRecords = 10000;

// A record as the client builds it: about 60 payload keys of the default payload's kind.
SignalPostBody realisticRecord(int i) {
    SignalPostBody b;
    b.receivedAt = 736257600.0 + i * 0.137;
    b.appID = "com.pelloran";
    b.clientUser = "5f2b7c0e9d1a4b3c8e6f7a2d1c0b9e8f7a6d5c4b3a2f1e0d9c8b7a6f5e4d3c2b";
    b.sessionID = "8F1D2C3B-4A5E-4F60-9B7C-0D1E2F3A4B5C";
    b.type = i % 10 == 0 ? "error" : "app.launched";
    if (i % 3 == 0) b.floatValue = i * 0.5;
    b.isTestMode = "false";
    const char* groups[] = {"Tally.AppInfo.", "Tally.Device.", "Tally.RunContext.", "Tally.Calendar.",
                            "Tally.Retention.", "Tally.UserPreference."};
    for (int k = 0; k < 60; ++k) {
        b.payload.emplace(fmt::format("{}key{}", groups[k % 6], k), fmt::format("value {} of record {}", k, i));
    }
    return b;
}

const std::vector<SignalPostBody>& records() {
    static const auto* all = [] {
        auto* v = new std::vector<SignalPostBody>;
        for (int i = 0; i < kRecords; ++i) v->push_back(realisticRecord(i));
        return v;
    }();
    return *all;
}

void BM_LoadBackupOf10000(benchmark::State& state) {
    pelsupport::TempDir dir{"tally-bench"};
    const auto file = dir / "telemetrysignalcache";
    const std::string backup = tally::encodeSignals(records(), tally::DateRule::backup);
    for (auto _ : state) {
        state.PauseTiming();
        platform::atomicWrite(file, backup);
        state.ResumeTiming();
        Cache cache(std::nullopt, kRecords, file);
        benchmark::DoNotOptimize(cache.count());
    }
    state.counters["bytes"] = static_cast<double>(backup.size());
}
BENCHMARK(BM_LoadBackupOf10000)->Unit(benchmark::kMillisecond);

void BM_BackupOf10000(benchmark::State& state) {
    pelsupport::TempDir dir{"tally-bench"};
    const auto file = dir / "telemetrysignalcache";
    for (auto _ : state) {
        state.PauseTiming();
        Cache cache(std::nullopt, kRecords, file);
        cache.push(records());
        state.ResumeTiming();
        cache.backupCache();
    }
}
BENCHMARK(BM_BackupOf10000)->Unit(benchmark::kMillisecond);

void BM_PushAtTheLimit(benchmark::State& state) {
    pelsupport::TempDir dir{"tally-bench"};
    Cache cache(std::nullopt, kRecords, dir / "none");
    cache.push(records());
    const SignalPostBody one = records()[17];
    for (auto _ : state) {
        cache.push(one); // drops the oldest
    }
}
BENCHMARK(BM_PushAtTheLimit);

void BM_PopAndPushBack100(benchmark::State& state) {
    pelsupport::TempDir dir{"tally-bench"};
    Cache cache(std::nullopt, kRecords, dir / "none");
    cache.push(records());
    for (auto _ : state) {
        cache.push(cache.pop());
    }
}
BENCHMARK(BM_PopAndPushBack100)->Unit(benchmark::kMicrosecond);

void BM_WireEncodingOf100(benchmark::State& state) {
    const std::vector<SignalPostBody> batch(records().begin(), records().begin() + 100);
    std::size_t bytes = 0;
    for (auto _ : state) {
        bytes = tally::encodeSignals(batch, tally::DateRule::wire).size();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_WireEncodingOf100)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
