#pragma once

#include "PelApp/FakeEngine.hpp"
#include "PelApp/Model/AppModel.hpp"
#include "Platform/ManualExecutor.hpp"
#include "Platform/Workspace.hpp"
#include "Support/TempDir.hpp"

#include <optional>
#include <string>

namespace pelapptest {

// A model over virtual time, the scripted engine, a workspace with no running applications and a
// recording URL opener.
struct ModelHarness {
    pelsupport::TempDir procRoot{"pel-app-proc"};
    platform::ProcWorkspace workspace{procRoot.path().string()};
    platform::ManualExecutor executor;
    FakeEngine engine;
    FakeEngineFactory factory{engine};
    RecordingUrlOpener urls;
    pelapp::AppModel model{executor, factory, workspace, urls,
                           pelapp::AppInfo{"1.2.3", "45", "/opt/pelloran"}, probeNothing(procRoot)};

    // The permission probe looks at an empty temporary folder, never at the machine's applications.
    static pelapp::AppModelSeams probeNothing(const pelsupport::TempDir& dir) {
        pelapp::AppModelSeams seams;
        seams.applicationsRoot = (dir.path() / "Applications").string();
        return seams;
    }
};

// A row as resolution leaves it. `remoteVersion` absent: no remote version.
inline pelapp::AppRow makeRow(const std::string& id, const std::string& name, pelkit::Outcome outcome,
                              std::optional<std::string> shortVersion = std::nullopt,
                              std::optional<std::string> remoteVersion = std::nullopt,
                              std::optional<std::string> bucketOverride = std::nullopt) {
    pelkit::InstalledApp app;
    app.bundleID = id;
    app.name = name;
    app.path = platform::Url::fromFilePath("/Applications/" + name + ".app");
    app.shortVersion = std::move(shortVersion);
    auto row = pelapp::AppRow::scanned(std::move(app), std::move(bucketOverride));
    row.outcome = outcome;
    if (remoteVersion) {
        pelkit::RemoteVersion remote;
        remote.source = pelkit::AppSource::sparkle;
        remote.version = *remoteVersion;
        row.remote = remote;
    }
    return row;
}

} // namespace pelapptest
