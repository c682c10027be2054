// Parses a ~5 MB appcast of 500 items with HTML release notes.
#include "PelKit/UpdateSources/Sparkle.hpp"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>

namespace {

std::string makeFeed() {
    std::string notes;
    while (notes.size() < 10'000) {
        notes += "<h2>What&#39;s new</h2><ul><li>Faster sync &amp; fewer crashes</li><li>Fixed a bug where the "
                 "window would not restore its size</li></ul><p>Thanks to everyone who reported issues.</p>";
    }
    std::string escaped;
    for (char c : notes) escaped += c == '<' ? std::string("&lt;") : c == '>' ? std::string("&gt;") : std::string(1, c);
    std::string feed = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss version=\"2.0\" "
                       "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n<channel>\n";
    for (int i = 0; i < 500; ++i) {
        std::string v = "3." + std::to_string(i / 10) + "." + std::to_string(i % 10);
        feed += "<item><title>Version " + v + "</title><pubDate>Mon, 01 Jan 2024 10:00:00 +0000</pubDate>";
        feed += (i % 2 ? "<description><![CDATA[" + notes + "]]></description>"
                       : "<description>" + escaped + "</description>");
        feed += "<sparkle:minimumSystemVersion>12.0</sparkle:minimumSystemVersion>";
        feed += "<enclosure url=\"https://dl.example/App-" + v + ".zip\" length=\"48213377\" type=\"application/octet-stream\" "
                "sparkle:version=\"" + std::to_string(1000 + i) + "\" sparkle:shortVersionString=\"" + v +
                "\" sparkle:edSignature=\"" + std::string(88, 'A') + "\"/></item>\n";
    }
    return feed + "</channel>\n</rss>\n";
}

void BM_ParseAppcast(benchmark::State& state) {
    static const std::string feed = makeFeed();
    for (auto _ : state) {
        auto items = pelkit::SparkleSource::parse(feed);
        benchmark::DoNotOptimize(items);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * feed.size()));
    state.counters["feedMB"] = static_cast<double>(feed.size()) / 1e6;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peakRSS_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}
BENCHMARK(BM_ParseAppcast)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
