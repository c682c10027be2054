// Download throughput and memory: HTTP::download against the curl command-line tool, both
// fetching the same file from the local HTTPS test server in the same run.
//
//   build-bench/DownloadBench                # 64 MiB and 1 GiB
//
// Counters: bytes_per_second, peak_rss_mib (our process's resident high-water mark during the
// transfer, test server included; for curl, the child's), rss_growth_mib (ours: peak minus the
// resident size before the transfer).

#include "PelKit/HTTP.hpp"
#include "Support/TempDir.hpp"
#include "Support/TestServer.hpp"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

struct Fixture {
    pelsupport::TempDir dir{"pel-dlbench"};
    pelsupport::TestServer server;

    // A fresh client each time, so that the throttle's one-second spacing between two
    // downloads from one host does not count as transfer time.
    std::unique_ptr<pelkit::HTTP> client() {
        pelkit::HTTPOptions o;
        o.caFile = server.caFile();
        return std::make_unique<pelkit::HTTP>(o);
    }

    std::string path(std::int64_t size) {
        std::string name = fmt::format("/file-{}", size);
        auto file = dir / name.substr(1);
        if (!std::filesystem::exists(file)) {
            // Random-looking content, written once in 1 MiB blocks.
            std::ofstream out(file, std::ios::binary);
            std::string block(1 << 20, '\0');
            std::uint64_t x = 0x9E3779B97F4A7C15ull;
            for (std::int64_t written = 0; written < size; written += block.size()) {
                for (auto& c : block) {
                    x ^= x << 13;
                    x ^= x >> 7;
                    x ^= x << 17;
                    c = static_cast<char>(x);
                }
                out.write(block.data(), static_cast<std::streamsize>(block.size()));
            }
            server.script(name, {pelsupport::Reply::fromFile(file, "\"bench\"")});
        }
        return name;
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
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

void BM_HttpDownload(benchmark::State& state) {
    auto size = state.range(0);
    auto& f = fixture();
    auto name = f.path(size);
    auto dest = f.dir / "ours.bin";
    long peak = 0;
    long growth = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto http = f.client();
        state.ResumeTiming();
        long before = statusKiB("VmRSS:");
        resetPeak();
        auto got = http->download(f.server.url(name), dest);
        long hwm = statusKiB("VmHWM:");
        peak = std::max(peak, hwm);
        growth = std::max(growth, hwm - before);
        if (got != size) state.SkipWithError("short download");
        std::filesystem::remove(dest);
    }
    state.SetBytesProcessed(state.iterations() * size);
    state.counters["peak_rss_mib"] = static_cast<double>(peak) / 1024.0;
    state.counters["rss_growth_mib"] = static_cast<double>(growth) / 1024.0;
}

void BM_CurlTool(benchmark::State& state) {
    auto size = state.range(0);
    auto& f = fixture();
    auto name = f.path(size);
    auto dest = f.dir / "curl.bin";
    std::string url = f.server.url(name).text();
    std::string ca = f.server.caFile().string();
    for (auto _ : state) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::execlp("curl", "curl", "-s", "-f", "--cacert", ca.c_str(), "-o", dest.c_str(), url.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("curl failed");
        std::filesystem::remove(dest);
    }
    rusage children{};
    ::getrusage(RUSAGE_CHILDREN, &children);
    state.SetBytesProcessed(state.iterations() * size);
    state.counters["peak_rss_mib"] = static_cast<double>(children.ru_maxrss) / 1024.0;
}

} // namespace

BENCHMARK(BM_CurlTool)
    ->Arg(64 << 20)
    ->Arg(1 << 30)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_HttpDownload)
    ->Arg(64 << 20)
    ->Arg(1 << 30)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_CurlTool)->Arg(1 << 30)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
