#include "PelKit/VersionCompare.hpp"

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

using pelkit::VersionCompare;

namespace {

constexpr std::size_t kCount = 100000;

// Versions as vendors publish them; `nonAsciiShare` of them (0..100) carry a character beyond ASCII.
std::vector<std::string> makeVersions(unsigned seed, int nonAsciiShare) {
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const char* const asciiTails[] = {"",    "",       "",        "b3",    "-beta.2",
                                      "RC1", "-alpha", " (1234)", ",5678", ",abcdef12345",
                                      "c",   "-final", ".0",      "pre1",  "-dev"};
    const char* const unicodeTails[] = {
        "-\u03B2\u00EAta", " (\u0661\u0662\u0663)",     "\u00B2", "-\u00C9t\u00E9", ".\uFF13",
        "-r\u00E9v\u0301", " \u2014 \u30D9\u30FC\u30BF"};
    std::vector<std::string> out;
    out.reserve(kCount);
    for (std::size_t i = 0; i < kCount; ++i) {
        std::string v = pick(10) == 0 ? "v" : "";
        int parts = 1 + pick(4);
        for (int p = 0; p < parts; ++p) {
            if (p) v += '.';
            v += std::to_string(pick(4) == 0 ? 2020 + pick(6) : pick(20));
        }
        if (pick(100) < nonAsciiShare) {
            v += unicodeTails[pick(7)];
        } else {
            v += asciiTails[pick(15)];
        }
        out.push_back(std::move(v));
    }
    return out;
}

void comparePairs(benchmark::State& state, const std::vector<std::string>& versions) {
    std::size_t i = 0;
    for (auto _ : state) {
        const std::string& a = versions[i];
        const std::string& b = versions[(i + 1) % versions.size()];
        benchmark::DoNotOptimize(VersionCompare::compare(a, b));
        i = (i + 1) % versions.size();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetLabel("pairs");
}

void BM_CompareAscii(benchmark::State& state) {
    static const auto versions = makeVersions(1, 0);
    comparePairs(state, versions);
}

void BM_CompareMixed20PercentNonAscii(benchmark::State& state) {
    static const auto versions = makeVersions(2, 20);
    comparePairs(state, versions);
}

void BM_CompareAllNonAscii(benchmark::State& state) {
    static const auto versions = makeVersions(3, 100);
    comparePairs(state, versions);
}

void BM_CompareWithBuildAscii(benchmark::State& state) {
    static const auto versions = makeVersions(4, 0);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            VersionCompare::compareWithBuild(versions[i], "1234", versions[(i + 1) % versions.size()]));
        i = (i + 1) % versions.size();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

} // namespace

BENCHMARK(BM_CompareAscii);
BENCHMARK(BM_CompareMixed20PercentNonAscii);
BENCHMARK(BM_CompareAllNonAscii);
BENCHMARK(BM_CompareWithBuildAscii);

BENCHMARK_MAIN();
