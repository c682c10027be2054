#pragma once

#include "PelApp/AppModelTestAccess.hpp"
#include "PelApp/FakeEngine.hpp"
#include "PelApp/Model/AppModel.hpp"
#include "PelApp/RunUntil.hpp"
#include "PelKit/Config.hpp"
#include "Platform/ManualExecutor.hpp"
#include "Support/SharedTestDB.hpp"
#include "Support/TempDir.hpp"
#include "Support/UpdateFixture.hpp"

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

namespace pelapptest {

// A model for start-up and scan tests: virtual time, the scripted engine, a scripted list of
// running applications, a temporary home with its own shared database, and a permission probe
// over a temporary applications folder whose open call answers `probeErrno`.
struct ScanHarness {
    pelsupport::TempDir dir{"pel-app-scan"};
    pelkit::testing::ScopedHomeOverride home{dir / "home"};
    pelsupport::SharedTestDB db{dir / "pel.db"};
    pelsupport::FixedWorkspace workspace;
    platform::ManualExecutor executor;
    FakeEngine engine; // over `overrides` when given
    FakeEngineFactory factory{engine};
    RecordingUrlOpener urls;
    std::shared_ptr<int> probeErrno = std::make_shared<int>(0);
    std::unique_ptr<pelapp::AppModel> model = makeModel(factory);
    // Every status text in the order written.
    std::vector<std::string> statuses;

    explicit ScanHarness(std::shared_ptr<pelkit::Overrides> overrides = nullptr)
        : engine(std::move(overrides)) {
        watch();
    }

    std::unique_ptr<pelapp::AppModel> makeModel(pelapp::EngineFactory& engines) {
        pelapp::AppModelSeams seams;
        seams.applicationsRoot = (dir / "Applications").string();
        seams.openProbe = [answer = probeErrno](const std::string&) { return *answer; };
        return std::make_unique<pelapp::AppModel>(executor, engines, workspace, urls,
                                                  pelapp::AppInfo{"1.2.3", "45", "/opt/pelloran"}, seams);
    }

    void watch() {
        model->addObserver([this](pelapp::ModelChange change) {
            if (pelapp::hasChange(change, pelapp::ModelChange::status))
                statuses.push_back(model->statusMessage);
        });
    }

    // Starts `body` as a main task and runs the executor until it has ended.
    bool runToEnd(pelapp::Task<void> body) {
        auto task = pelapp::MainTask::start(executor, std::move(body));
        return pelapptest::runUntil(executor, [&] { return task.isDone(); });
    }
    pelapp::MainTask start(pelapp::Task<void> body) {
        return pelapp::MainTask::start(executor, std::move(body));
    }
    bool runUntil(const std::function<bool()>& done) { return pelapptest::runUntil(executor, done); }
    // Runs until the engine has this list of unanswered checks.
    bool waitForChecks(const std::vector<std::string>& ids) {
        return runUntil([&] { return engine.pendingChecks() == ids; });
    }
    // What the next scans find: one application per identifier, named "App " + identifier.
    void scanFinds(const std::vector<std::string>& ids);
    // The engine made and these rows present, as a finished start-up leaves them.
    void startedWithRows(const std::vector<std::string>& ids);
};

inline pelkit::InstalledApp installedApp(const std::string& id, const std::string& name,
                                         const std::string& path = "") {
    pelkit::InstalledApp app;
    app.bundleID = id;
    app.name = name;
    app.path = platform::Url::fromFilePath(path.empty() ? "/Applications/" + name + ".app" : path);
    app.shortVersion = "1.0";
    return app;
}

inline pelkit::ResolvedApp resolution(pelkit::Outcome outcome,
                                      std::optional<std::string> version = std::nullopt,
                                      std::optional<pelkit::PelError> error = std::nullopt) {
    pelkit::ResolvedApp r;
    r.outcome = outcome;
    if (version) {
        pelkit::RemoteVersion remote;
        remote.source = pelkit::AppSource::sparkle;
        remote.version = *version;
        r.remote = remote;
    }
    r.error = std::move(error);
    return r;
}

inline void ScanHarness::scanFinds(const std::vector<std::string>& ids) {
    pelkit::ScanResult result;
    for (const auto& id : ids)
        result.apps.push_back(installedApp(id, "App " + id));
    engine.setScan(result);
}

inline void ScanHarness::startedWithRows(const std::vector<std::string>& ids) {
    pelapp::AppModelTestAccess::engine(*model) = &engine;
    for (const auto& id : ids)
        model->rows.push_back(pelapp::AppRow::scanned(installedApp(id, "App " + id), {}));
}

} // namespace pelapptest
