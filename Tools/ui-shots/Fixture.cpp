#include "Fixture.hpp"

#include "PelApp/Model/AppInfo.hpp"
#include "Platform/Errors.hpp"

#include <stdexcept>
#include <string>

namespace uishots {

namespace {

using pelkit::AppSource;
using pelkit::Outcome;

struct Sample {
    const char* bundleID;
    const char* name;
    const char* installed;
    const char* latest; // nullptr: no remote version
    AppSource source;
    Outcome outcome;
    std::int64_t size;
};

// Names and identifiers are made up; versions are chosen so every version bucket appears.
constexpr Sample kSamples[] = {
    {"com.northwind.Quillpad", "Quillpad", "4.2.1", "5.0.0", AppSource::sparkle, Outcome::outdated, 48'200'000},
    {"io.tidewater.Harbor", "Harbor", "2.3.0", "2.4.0", AppSource::homebrew, Outcome::outdated, 121'500'000},
    {"org.lumen.Prism", "Prism & Lens", "1.9.4", "1.9.6", AppSource::sparkle, Outcome::outdated, 9'800'000},
    {"com.ferncloud.Notebook", "Fern Notebook", "12.1", "12.1.2", AppSource::macAppStore, Outcome::outdated, 0},
    {"net.brightmoss.Terminal", "Mossterm", "3.0", "3.0", AppSource::homebrew, Outcome::upToDate, 0},
    {"com.example.Legacy", "Legacy Tool", "0.9", nullptr, AppSource::none, Outcome::unsupported, 0},
    {"com.quietfox.Player", "Quietfox Player", "7.4", "7.6", AppSource::sparkle, Outcome::error, 0},
};

} // namespace

pelapp::EngineApi& Fixture::NoEngine::make() {
    throw std::runtime_error("no engine in pictures");
}

Fixture::Fixture() {
    model_ = std::make_unique<pelapp::AppModel>(executor_, engines_, workspace_, urls_,
                                                pelapp::AppInfo{"0.1.0", "1", "/opt/pelloran"});
    reset();
}

void Fixture::reset() {
    auto& m = *model_;
    m.rows.clear();
    for (const Sample& s : kSamples) {
        pelkit::InstalledApp app;
        app.bundleID = s.bundleID;
        app.name = s.name;
        app.path = platform::Url::fromFilePath(std::string("/Applications/") + s.name + ".app");
        app.shortVersion = s.installed;
        app.teamID = "A1B2C3D4E5";
        app.archs = {"arm64", "x86_64"};
        auto row = pelapp::AppRow::scanned(std::move(app), std::nullopt);
        row.outcome = s.outcome;
        if (s.latest) {
            pelkit::RemoteVersion remote;
            remote.source = s.source;
            remote.version = s.latest;
            if (s.size > 0) remote.sizeBytes = s.size;
            row.remote = remote;
        }
        if (s.outcome == Outcome::error) {
            row.errorCode = pelkit::ErrorCode::SRC_FEED_MALFORMED;
            row.errorMessage = "feed could not be read";
        }
        m.rows.push_back(std::move(row));
    }
    m.filter = pelapp::Filter::all;
    m.checkedIDs = {"com.northwind.Quillpad", "io.tidewater.Harbor"};
    m.selectionIDs = {"com.northwind.Quillpad"};
    m.statusMessage = "Resolved 7 apps";
    m.busy = false;
    m.runningUpdate = false;
    m.updateQueue.clear();
    m.runningBundleIDs.clear();
    m.updateLog.clear();
    m.bytesDone.clear();
    m.bytesTotal.clear();
    m.showUpdateSheet = false;
    m.showIgnored = false;
    m.permissionStatus = pelkit::PermissionStatus::granted;
    m.bucketFilter.reset();
    m.activeCount = 0;
    m.updateQueue.clear();
    m.activeUpdateID.reset();
    m.activePhase.reset();
    m.changed(pelapp::ModelChange::rows | pelapp::ModelChange::status | pelapp::ModelChange::filters |
              pelapp::ModelChange::selection | pelapp::ModelChange::run | pelapp::ModelChange::log |
              pelapp::ModelChange::permission);
}

} // namespace uishots
