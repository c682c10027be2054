#include "DetailShots.hpp"

#include <QWidget>

namespace uishots {

namespace {

pelapp::AppRow* rowNamed(pelapp::AppModel& model, const char* id) {
    return model.findRow(id);
}

} // namespace

QWidget* stageDetail(QWidget& window, pelapp::AppModel& model, DetailScene scene) {
    const char* id = "io.tidewater.Harbor";
    switch (scene) {
    case DetailScene::installable: {
        auto& remote = *rowNamed(model, id)->remote;
        remote.sourceToken = "harbor";
        remote.downloadURL = platform::Url::parse("https://downloads.tidewater.test/Harbor-2.4.0.pkg");
        remote.sizeBytes = 1'572'864;
        remote.artifactType = "suite";
        remote.minSystemVersion = "12.0";
        remote.sha256 = "9f2c4a71e0b3d85c6a1f0e2d3c4b5a69788796a5b4c3d2e1f0a9b8c7d6e5f4a3";
        remote.notes = "Faster sync, a new <b>dark</b> theme & fixes.";
        rowNamed(model, id)->app.buildVersion = "2300";
        break;
    }
    case DetailScene::upToDate:
        id = "net.brightmoss.Terminal";
        break;
    case DetailScene::unsupported: {
        id = "com.example.Legacy";
        auto* row = rowNamed(model, id);
        row->app.isMacAppStore = true;
        pelkit::RemoteVersion remote;
        remote.source = pelkit::AppSource::macAppStore;
        remote.sourceToken = "497799835";
        remote.version = "1.0";
        remote.notes = "Updates come from the App Store.";
        row->remote = remote;
        break;
    }
    case DetailScene::unresolved: {
        id = "com.example.Legacy";
        rowNamed(model, id)->outcome = pelkit::Outcome::unresolved;
        break;
    }
    case DetailScene::safetyError: {
        id = "com.quietfox.Player";
        auto* row = rowNamed(model, id);
        row->errorCode = pelkit::ErrorCode::SEC_TEAMID_MISMATCH;
        row->errorMessage = "Team ID Z9Y8X7W6V5 does not match the installed copy's A1B2C3D4E5";
        break;
    }
    }
    model.changed(pelapp::ModelChange::rows);
    model.setSelectionIDs({id});
    return window.findChild<QWidget*>("inspectorColumn");
}

} // namespace uishots
