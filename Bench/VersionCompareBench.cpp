// Version comparison: pairs per second for ASCII versions (the fast path), for versions of which
// a fifth or all carry a character beyond ASCII (the Unicode path), and with a ",build" tail; then
// the time to order 1,000,000 ASCII versions in memory against `sort -V` ordering the same lines
// from a file (its process start and reading included, a few percent of its time). The
// comparison is no strict weak order, so a merge sort (which stays in bounds whatever the order
// says) does the ordering; "sort_V_over_ours" above 1 means ours is faster.

#include "PelKit/Proc.hpp"
#include "PelKit/VersionCompare.hpp"
#include "Support/TempDir.hpp"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <utility>
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

// Bottom-up merge sort: every index it touches comes from the ranges' bounds, never from the order.
void mergeSort(std::vector<std::string_view>& items) {
    std::vector<std::string_view> buffer(items.size());
    auto less = [](std::string_view a, std::string_view b) {
        return VersionCompare::compare(a, b) == pelkit::ComparisonResult::ascending;
    };
    for (std::size_t width = 1; width < items.size(); width *= 2) {
        for (std::size_t lo = 0; lo < items.size(); lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, items.size());
            const std::size_t hi = std::min(lo + 2 * width, items.size());
            std::size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi)
                buffer[k++] = less(items[j], items[i]) ? items[j++] : items[i++];
            while (i < mid)
                buffer[k++] = items[i++];
            while (j < hi)
                buffer[k++] = items[j++];
        }
        items.swap(buffer);
    }
}

double cpuSeconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void BM_Sort1MAsciiAgainstSortV(benchmark::State& state) {
    constexpr std::size_t kSorted = 1000000;
    // The lines as sort holds them: one after another in one buffer.
    std::string lines;
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    spans.reserve(kSorted);
    for (unsigned seed = 10; spans.size() < kSorted; ++seed) {
        for (const auto& v : makeVersions(seed, 0)) {
            if (spans.size() == kSorted) break;
            spans.emplace_back(lines.size(), v.size());
            lines += v;
            lines += '\n';
        }
    }
    std::vector<std::string_view> unsorted;
    unsorted.reserve(kSorted);
    for (const auto& [at, size] : spans)
        unsorted.emplace_back(lines.data() + at, size);

    pelsupport::TempDir dir("pel-versionbench");
    const std::string input = (dir / "versions.txt").string();
    std::ofstream(input, std::ios::binary) << lines;
    const auto sortTool = pelkit::Proc::which("sort");
    if (!sortTool) {
        state.SkipWithError("no sort tool");
        return;
    }

    using Clock = std::chrono::steady_clock;
    double ours = 0, theirs = 0, oursCpu = 0, theirsCpu = 0;
    for (auto _ : state) {
        std::vector<std::string_view> items = unsorted;
        double cpu = cpuSeconds(RUSAGE_THREAD);
        auto start = Clock::now();
        mergeSort(items);
        ours += std::chrono::duration<double>(Clock::now() - start).count();
        oursCpu += cpuSeconds(RUSAGE_THREAD) - cpu;
        benchmark::DoNotOptimize(items.data());

        cpu = cpuSeconds(RUSAGE_CHILDREN);
        start = Clock::now();
        auto result = pelkit::Proc::run(*sortTool, {"-V", "-o", "/dev/null", input}, 600);
        theirs += std::chrono::duration<double>(Clock::now() - start).count();
        theirsCpu += cpuSeconds(RUSAGE_CHILDREN) - cpu;
        if (!result.ok()) state.SkipWithError("sort -V failed");
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["ours_ms"] = ours / n * 1e3;
    state.counters["sort_V_ms"] = theirs / n * 1e3;
    state.counters["sort_V_over_ours"] = theirs / ours;
    // Processor time as well: on a busy machine the wall clock also counts time spent waiting.
    state.counters["cpu_sort_V_over_ours"] = theirsCpu / oursCpu;
}

} // namespace

BENCHMARK(BM_CompareAscii);
BENCHMARK(BM_CompareMixed20PercentNonAscii);
BENCHMARK(BM_CompareAllNonAscii);
BENCHMARK(BM_CompareWithBuildAscii);
BENCHMARK(BM_Sort1MAsciiAgainstSortV)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

BENCHMARK_MAIN();
