// Measures one whole update of a large zip over loopback HTTPS with the fake signing tools: a
// bundle with one incompressible resource (50 or 200 MiB) and 300 small files, size and SHA-256
// published. Every file the run makes (releases, installed copies, backups, the download cache)
// is removed at its end.
//
//   build-bench/UpdateBench
//
// Update counters, in milliseconds per run, from the product's own progress reports:
//   transfer_ms  "Downloading …" to the downloader's report that the file is in place: the
//                transfer into the download cache's folder, the SHA-256 taken as the bytes
//                arrive, and the rename into place
//   extract_ms   "Extracting …" to "Verifying …"
//   verify_ms    "Verifying …" to "Installing …": size and hash (the digest from the transfer, the
//                file is not read again), signature, Team ID, Gatekeeper, bundle identifier and
//                version
//   install_ms   "Installing …" to the return (staging, backup, swap, check)
//   peak_rss_mib / rss_growth_mib  this process's resident high-water mark during the update, and
//                that less the resident size before it (the test server runs in this process).
// BM_ExpandedSize: the pass that finds what a zip unpacks to before extraction (every entry
// inflated, nothing written) next to the unpacking itself (the real unzip that the fake ditto
// runs), over the 200 MiB release above (incompressible: deflate keeps it in stored blocks) and
// over one whose resource of text-like bytes deflates to about 200 MiB, in one run each:
//   pass_ms, unzip_ms, pass_over_unzip (below 1: the pass is cheaper), archive_mib, expanded_mib.
// BM_Sha256VsTool: the platform digest and the sha256sum tool over the same 200 MiB archive in
// one run, with tool_over_platform the tool's time over ours (above 1: ours is faster).

#include "PelKit/Installer.hpp"
#include "Platform/Sha256.hpp"
#include "Support/ArchiveBuilder.hpp"
#include "Support/BundleBuilder.hpp"
#include "Support/UpdateFixture.hpp"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

constexpr int kSmallFiles = 300;

pelsupport::BundleBuilder fooBundle(const std::string& version) {
    return pelsupport::BundleBuilder("Foo.app").bundleID("com.example.foo").name("Foo").shortVersion(version);
}

void writeRandom(const fs::path& file, std::int64_t size) {
    std::ofstream out(file, std::ios::binary);
    std::string block(1 << 20, '\0');
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (std::int64_t written = 0; written < size; written += static_cast<std::int64_t>(block.size())) {
        for (auto& c : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            c = static_cast<char>(x);
        }
        const auto n = std::min<std::int64_t>(static_cast<std::int64_t>(block.size()), size - written);
        out.write(block.data(), static_cast<std::streamsize>(n));
    }
}

// Bytes of a 16-letter alphabet: deflate packs them to a little over half.
void writeLetters(const fs::path& file, std::int64_t size) {
    std::ofstream out(file, std::ios::binary);
    std::string block(1 << 20, '\0');
    std::uint64_t x = 0x2545F4914F6CDD1Dull;
    for (std::int64_t written = 0; written < size; written += static_cast<std::int64_t>(block.size())) {
        for (auto& c : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            c = static_cast<char>('a' + (x & 15));
        }
        const auto n = std::min<std::int64_t>(static_cast<std::int64_t>(block.size()), size - written);
        out.write(block.data(), static_cast<std::streamsize>(n));
    }
}

enum class Payload { random, text };

struct Release {
    std::unique_ptr<pelsupport::UpdateFixture> fixture;
    fs::path zip;
    pelkit::RemoteVersion remote;
};

// Kept across benchmarks, removed (folders and all) when main ends.
std::map<std::pair<std::int64_t, Payload>, std::unique_ptr<Release>>& releases() {
    static std::map<std::pair<std::int64_t, Payload>, std::unique_ptr<Release>> all;
    return all;
}

Release& release(std::int64_t resourceBytes, Payload payload = Payload::random) {
    std::unique_ptr<Release>& r = releases()[{resourceBytes, payload}];
    if (r) return *r;
    r = std::make_unique<Release>();
    r->fixture = std::make_unique<pelsupport::UpdateFixture>();
    auto& f = *r->fixture;
    const fs::path tree = f.dir / "tree";
    const fs::path app = fooBundle("2.0").build(tree);
    fs::create_directories(app / "Contents/Resources");
    if (payload == Payload::random)
        writeRandom(app / "Contents/Resources/payload.bin", resourceBytes);
    else
        writeLetters(app / "Contents/Resources/payload.bin", resourceBytes);
    for (int i = 0; i < kSmallFiles; ++i)
        pelsupport::writeText(app / fmt::format("Contents/Resources/small/file-{:03}.txt", i),
                              fmt::format("small resource {}\n", i));
    r->zip = pelsupport::buildZip(tree, f.dir / "built/Foo.zip");
    fs::remove_all(tree);
    r->remote = f.publish(r->zip, "/dl/Foo.zip", "2.0");
    return *r;
}

long statusKiB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size()));
    }
    return 0;
}

void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

double msBetween(Steady::time_point a, Steady::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

void BM_Update(benchmark::State& state) {
    Release& r = release(state.range(0));
    auto& f = *r.fixture;
    std::map<std::string, double> sums;
    long peak = 0, growth = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(f.applications() / "Foo.app");
        fs::remove_all(f.homeDir() / ".local/state/pel/backups");
        fs::remove_all(f.homeDir() / ".cache/pel/downloads");
        const pelkit::InstalledApp app = f.installApp(fooBundle("1.0"));
        std::mutex mutex;
        std::map<std::string, Steady::time_point> marks;
        Steady::time_point lastBytes{};
        f.onText = [&](const std::string& text) {
            std::lock_guard lock(mutex);
            marks.emplace(text.substr(0, text.find(' ')), Steady::now());
        };
        f.onBytes = [&](std::int64_t got, std::int64_t expected) {
            if (got != expected) return;
            std::lock_guard lock(mutex);
            lastBytes = Steady::now();
        };
        const long before = statusKiB("VmRSS:");
        resetPeak();
        state.ResumeTiming();

        const pelsupport::UpdateRun run = f.update(app, r.remote);
        const auto end = Steady::now();

        state.PauseTiming();
        const long hwm = statusKiB("VmHWM:");
        peak = std::max(peak, hwm);
        growth = std::max(growth, hwm - before);
        if (!run.result) {
            state.SkipWithError("update failed");
            break;
        }
        sums["transfer_ms"] += msBetween(marks["Downloading"], lastBytes);
        sums["extract_ms"] += msBetween(marks["Extracting"], marks["Verifying"]);
        sums["verify_ms"] += msBetween(marks["Verifying"], marks["Installing"]);
        sums["install_ms"] += msBetween(marks["Installing"], end);
        state.ResumeTiming();
    }
    for (const auto& [name, total] : sums)
        state.counters[name] = total / static_cast<double>(state.iterations());
    state.counters["archive_mib"] = static_cast<double>(fs::file_size(r.zip)) / 1048576.0;
    state.counters["peak_rss_mib"] = static_cast<double>(peak) / 1024.0;
    state.counters["rss_growth_mib"] = static_cast<double>(growth) / 1024.0;
}

void BM_ExpandedSize(benchmark::State& state) {
    const bool text = state.range(0) != 0;
    // The text payload's size puts the archive near 200 MiB.
    Release& r = text ? release(std::int64_t{360} << 20, Payload::text) : release(200 << 20);
    const pelkit::Url zip = pelkit::Url::fromFilePath(r.zip.string());
    const fs::path out = r.fixture->dir / "unzipped";
    const std::string unzip = *pelsupport::FakeTools::realTool("unzip");
    platform::sha256HexOfFile(r.zip.string()); // the file in the page cache
    double pass = 0, unpack = 0;
    std::int64_t expanded = 0;
    for (auto _ : state) {
        const auto start = Steady::now();
        expanded = pelkit::Installer::expandedSize(zip, pelkit::Installer::Format::zip).value_or(-1);
        const auto middle = Steady::now();
        pelsupport::runRealTool({unzip, "-q", "-o", r.zip.string(), "-d", out.string()});
        pass += msBetween(start, middle);
        unpack += msBetween(middle, Steady::now());
        state.PauseTiming();
        fs::remove_all(out);
        state.ResumeTiming();
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["pass_ms"] = pass / n;
    state.counters["unzip_ms"] = unpack / n;
    state.counters["pass_over_unzip"] = unpack > 0 ? pass / unpack : 0;
    state.counters["archive_mib"] = static_cast<double>(fs::file_size(r.zip)) / 1048576.0;
    state.counters["expanded_mib"] = static_cast<double>(expanded) / 1048576.0;
}

int runSha256Tool(const fs::path& file) {
    pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, STDOUT_FILENO);
        ::execlp("sha256sum", "sha256sum", file.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_Sha256VsTool(benchmark::State& state) {
    Release& r = release(200 << 20);
    runSha256Tool(r.zip); // the file in the page cache for both
    double ours = 0, tool = 0;
    for (auto _ : state) {
        auto start = Steady::now();
        benchmark::DoNotOptimize(platform::sha256HexOfFile(r.zip.string()));
        auto middle = Steady::now();
        if (runSha256Tool(r.zip) != 0) {
            state.SkipWithError("sha256sum failed");
            break;
        }
        ours += msBetween(start, middle);
        tool += msBetween(middle, Steady::now());
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["platform_ms"] = ours / n;
    state.counters["sha256sum_ms"] = tool / n;
    state.counters["tool_over_platform"] = ours > 0 ? tool / ours : 0;
    state.counters["mib_per_s"] = static_cast<double>(fs::file_size(r.zip)) / 1048576.0 / (ours / n / 1000.0);
}

} // namespace

BENCHMARK(BM_Update)
    ->Arg(50 << 20)
    ->Arg(200 << 20)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ExpandedSize)
    ->ArgName("text")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Sha256VsTool)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    releases().clear();
    return 0;
}
