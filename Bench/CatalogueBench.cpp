// Loading and indexing a cask catalogue of 7,500 casks (about 28 MiB, in the published shape: see
// Support/CatalogueBuilder.hpp), against /usr/bin/python3's json.load of the same file in the same run.
//   - in process: decoding and indexing the bytes, and the source's whole first load from a fresh
//     casks.json (token-map.json included);
//   - fresh process: one process per iteration for each side, with its wall time and peak resident
//     memory (ru_maxrss), so both pay their start-up and are measured alike; the start-up alone is
//     measured too, and the end of the run prints both ratios;
//   - one lookup: the token by file name or identifier, then its release.

#include "PelKit/Config.hpp"
#include "PelKit/HTTP.hpp"
#include "PelKit/UpdateSources/HomebrewCask.hpp"
#include "PelKit/UpdateSources/HomebrewCatalogue.hpp"
#include "Support/CatalogueBuilder.hpp"
#include "Support/TempDir.hpp"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr std::size_t kCasks = 7500;
constexpr const char* kLoadOnce = "--load-once=";
// The system's interpreter: a python3 found through PATH can be a slow shim.
constexpr const char* kPython = "/usr/bin/python3";

std::filesystem::path gHome;
std::filesystem::path gCatalogue; // gHome/.cache/pel/casks.json, fresh
std::vector<pelsupport::GeneratedCask> gCasks;

pelkit::HomebrewCatalogue loadAndIndex(const std::filesystem::path& file) {
    std::string bytes = pelkit::HomebrewCatalogue::readFile(file);
    return pelkit::HomebrewCatalogue::decode(bytes, "arm64_sonoma");
}

// What the application does at its first resolution: the source's whole load from a fresh
// casks.json, token-map.json included.
std::size_t sourceLoad(pelkit::HTTP& http) {
    pelkit::HomebrewCaskOptions options;
    options.baseURL = "https://127.0.0.1:9"; // never asked: the cache file is fresh
    pelkit::HomebrewCaskSource source(http, nullptr, options);
    source.ensureLoaded();
    return source.totalCasks();
}

struct ChildRun {
    double seconds = 0;
    long peakKiB = 0;
    int status = -1;
};

// Spawns and waits for one process. Its ru_maxrss also counts the memory of the process that
// spawned it (Linux carries the pre-exec peak over), so the measured command is always started from
// a small measuring process, never from this big one.
ChildRun spawnAndWait(std::vector<char*> args) {
    args.push_back(nullptr);
    ChildRun run;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return run;
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakKiB = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

constexpr const char* kMeasure = "--measure=";

// Runs `argv` through a fresh measuring copy of this program, which reports into a file.
ChildRun runChild(const std::vector<std::string>& argv) {
    pelsupport::TempDir dir("pel-bench-measure");
    std::filesystem::path report = dir / "report";
    std::vector<std::string> all{"/proc/self/exe", std::string(kMeasure) + report.string()};
    all.insert(all.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& a : all)
        args.push_back(a.data());
    ChildRun launcher = spawnAndWait(args);
    ChildRun run;
    std::ifstream in(report);
    if (launcher.status != 0 || !(in >> run.seconds >> run.peakKiB >> run.status)) run.status = -1;
    return run;
}

// Mean wall time of each process benchmark that ran, for the ratios printed at the end.
std::map<std::string, double> gProcessSeconds;

void processBenchmark(benchmark::State& state, const std::string& label,
                      const std::vector<std::string>& argv) {
    long peak = 0;
    double total = 0;
    for (auto _ : state) {
        ChildRun run = runChild(argv);
        if (run.status != 0) {
            state.SkipWithError("child process failed");
            return;
        }
        state.SetIterationTime(run.seconds);
        total += run.seconds;
        peak = std::max(peak, run.peakKiB);
    }
    if (state.iterations() > 0) gProcessSeconds[label] = total / static_cast<double>(state.iterations());
    state.counters["peak_MiB"] = static_cast<double>(peak) / 1024.0;
    state.counters["file_MiB"] =
        static_cast<double>(std::filesystem::file_size(gCatalogue)) / (1024.0 * 1024.0);
}

void BM_LoadAndIndex(benchmark::State& state) {
    std::size_t casks = 0;
    for (auto _ : state) {
        pelkit::HomebrewCatalogue catalogue = loadAndIndex(gCatalogue);
        casks = catalogue.casks.size();
        benchmark::DoNotOptimize(catalogue);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(std::filesystem::file_size(gCatalogue)));
    state.counters["casks"] = static_cast<double>(casks);
}
BENCHMARK(BM_LoadAndIndex)->Unit(benchmark::kMillisecond);

void BM_SourceLoad(benchmark::State& state) {
    pelkit::testing::ScopedHomeOverride home(gHome);
    pelkit::HTTP http;
    for (auto _ : state) {
        if (sourceLoad(http) != kCasks) state.SkipWithError("catalogue not loaded");
    }
}
BENCHMARK(BM_SourceLoad)->Unit(benchmark::kMillisecond);

void BM_LoadAndIndexProcess(benchmark::State& state) {
    processBenchmark(state, "ours", {"/proc/self/exe", std::string(kLoadOnce) + gHome.string()});
}
BENCHMARK(BM_LoadAndIndexProcess)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_PythonJsonLoad(benchmark::State& state) {
    processBenchmark(state, "python",
                     {kPython, "-c", "import json,sys; json.load(open(sys.argv[1]))", gCatalogue.string()});
}
BENCHMARK(BM_PythonJsonLoad)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// What each process costs before any catalogue: the floor under the two figures above.
void BM_ProcessStartOnly(benchmark::State& state) {
    processBenchmark(state, "ours-start", {"/proc/self/exe", std::string(kLoadOnce)});
}
BENCHMARK(BM_ProcessStartOnly)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_PythonStartOnly(benchmark::State& state) {
    processBenchmark(state, "python-start", {kPython, "-c", "import json,sys"});
}
BENCHMARK(BM_PythonStartOnly)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// Resolution after the load: the token by file name or identifier, then one record.
void BM_TokenAndRelease(benchmark::State& state) {
    static const pelkit::HomebrewCatalogue catalogue = loadAndIndex(gCatalogue);
    std::size_t i = 0;
    for (auto _ : state) {
        const pelsupport::GeneratedCask& cask = gCasks[i];
        auto token = catalogue.tokenFor(cask.appName.value_or(""), cask.bundleID.value_or(""));
        if (token) benchmark::DoNotOptimize(catalogue.release(*token));
        i = (i + 1) % gCasks.size();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_TokenAndRelease);

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strncmp(argv[1], kMeasure, std::strlen(kMeasure)) == 0) {
        ChildRun run = spawnAndWait(std::vector<char*>(argv + 2, argv + argc));
        std::ofstream(argv[1] + std::strlen(kMeasure))
            << fmt::format("{} {} {}\n", run.seconds, run.peakKiB, run.status);
        return 0;
    }
    if (argc == 2 && std::strncmp(argv[1], kLoadOnce, std::strlen(kLoadOnce)) == 0) {
        std::string home = argv[1] + std::strlen(kLoadOnce);
        if (home.empty()) return 0;
        pelkit::testing::ScopedHomeOverride override(home);
        pelkit::HTTP http;
        return sourceLoad(http) == kCasks ? 0 : 1;
    }

    pelsupport::TempDir dir("pel-catalogue-bench");
    gHome = dir / "home";
    {
        pelkit::testing::ScopedHomeOverride home(gHome);
        pelkit::PelPaths::ensureDirs();
        gCatalogue = pelkit::PelPaths::caskCacheFile().filePath();
    }
    {
        pelsupport::GeneratedCatalogue generated = pelsupport::buildCatalogue(kCasks, 1);
        std::ofstream(gCatalogue, std::ios::binary) << generated.json;
        gCasks = std::move(generated.casks);
    }
    fmt::print("catalogue: {} casks, {} bytes\n", kCasks, std::filesystem::file_size(gCatalogue));

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto mean = [](const std::string& label) -> std::optional<double> {
        auto it = gProcessSeconds.find(label);
        if (it == gProcessSeconds.end()) return std::nullopt;
        return it->second;
    };
    auto ours = mean("ours"), python = mean("python");
    auto oursStart = mean("ours-start"), pythonStart = mean("python-start");
    if (ours && python) {
        fmt::print("fresh process, load and index against json.load: {:.2f}x faster\n", *python / *ours);
        if (oursStart && pythonStart) {
            fmt::print("the same without either start-up: {:.2f}x faster\n",
                       (*python - *pythonStart) / (*ours - *oursStart));
        }
    }
    return 0;
}
