// The application table during a full scan of 2,000 applications with search text, over the
// scripted engine and the Qt event loop as the application runs it: every check's answer reaches
// the table as one refresh. "table_ms" is the time spent in the table's refreshes per scan (snapshot,
// row announcements, selection, footer; painting follows in later events), "per_refresh_us" the mean
// of one refresh; the baseline runs the same scan with no table. Nothing is written to disk.

#include "PelApp/AppModelTestAccess.hpp"
#include "PelApp/FakeEngine.hpp"
#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/ModelRelay.hpp"
#include "PelApp/Views/ApplicationTable.hpp"
#include "PelApp/Views/QtExecutor.hpp"
#include "PelApp/Views/WindowState.hpp"

#include <QApplication>
#include <QElapsedTimer>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <cstdlib>
#include <memory>

namespace {

constexpr int kApps = 2000;
// Matches the names "App 1000" to "App 1999"; half of those are outdated and shown.
constexpr const char* kSearch = "app 1";

struct NoApps final : platform::Workspace {
    std::vector<platform::RunningApplication> runningApplications() const override { return {}; }
};

struct Scene {
    pelapp::QtExecutor executor;
    pelapptest::FakeEngine engine;
    pelapptest::FakeEngineFactory factory{engine};
    NoApps workspace;
    pelapptest::RecordingUrlOpener urls;
    pelapp::AppModel model{executor, factory, workspace, urls, pelapp::AppInfo{"1.0", "1", "/opt/pelloran"}};

    Scene() {
        pelkit::ScanResult scan;
        for (int i = 0; i < kApps; ++i) {
            pelkit::InstalledApp app;
            app.bundleID = fmt::format("com.example.app{:04}", i);
            app.name = fmt::format("App {:04}", i);
            app.path = platform::Url::fromFilePath(fmt::format("/Applications/App {:04}.app", i));
            app.shortVersion = "1.0";
            pelkit::ResolvedApp reply;
            reply.outcome = i % 2 == 0 ? pelkit::Outcome::outdated : pelkit::Outcome::upToDate;
            pelkit::RemoteVersion remote;
            remote.source = pelkit::AppSource::sparkle;
            remote.version = i % 2 == 0 ? "2.0" : "1.0";
            if (i % 3 == 0) remote.sizeBytes = 1'048'576LL * i;
            reply.remote = remote;
            engine.setCheckReply(app.bundleID, reply);
            scan.apps.push_back(std::move(app));
        }
        engine.setScan(std::move(scan));
        pelapp::AppModelTestAccess::engine(model) = &engine;
        model.search = kSearch;
    }

    void runFullScan() {
        auto task = pelapp::MainTask::start(executor, model.rescan());
        while (!task.isDone())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::processEvents();
    }
};

void BM_FullScanWithTable(benchmark::State& state) {
    double tableNs = 0;
    double refreshes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto scene = std::make_unique<Scene>();
        // Relays made before and after the table's own are told each change around it, so their
        // refreshes bracket the table's.
        QElapsedTimer clock;
        auto before = std::make_unique<pelapp::ModelRelay>(scene->model);
        pelapp::WindowState windowState;
        auto table = std::make_unique<pelapp::ApplicationTable>(scene->model, windowState);
        auto after = std::make_unique<pelapp::ModelRelay>(scene->model);
        QObject::connect(before.get(), &pelapp::ModelRelay::refresh, [&](unsigned) { clock.start(); });
        QObject::connect(after.get(), &pelapp::ModelRelay::refresh, [&](unsigned) {
            tableNs += static_cast<double>(clock.nsecsElapsed());
            refreshes += 1;
        });
        table->resize(1200, 720);
        table->show();
        QCoreApplication::processEvents();
        state.ResumeTiming();

        scene->runFullScan();

        state.PauseTiming();
        // Everything that watches the model goes before it.
        after.reset();
        table.reset();
        before.reset();
        scene.reset();
        state.ResumeTiming();
    }
    const double iterations = static_cast<double>(state.iterations());
    state.counters["table_ms"] = tableNs / 1e6 / iterations;
    state.counters["refreshes"] = refreshes / iterations;
    state.counters["per_refresh_us"] = refreshes > 0 ? tableNs / 1e3 / refreshes : 0;
}

void BM_FullScanWithoutTable(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto scene = std::make_unique<Scene>();
        state.ResumeTiming();
        scene->runFullScan();
        state.PauseTiming();
        scene.reset();
        state.ResumeTiming();
    }
}

BENCHMARK(BM_FullScanWithTable)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_FullScanWithoutTable)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    // No display is needed.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
