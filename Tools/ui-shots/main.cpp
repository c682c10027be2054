// Draws every window and sheet over a sample model and saves each as a PNG, without a display:
//   ui-shots [output folder]        (default: ./ui-shots)
#include "DetailShots.hpp"
#include "Fixture.hpp"

#include "PelApp/Model/LoginItem.hpp"
#include "PelApp/Views/MainWindow.hpp"
#include "PelApp/Views/SettingsSigning.hpp"
#include "PelApp/Views/SettingsView.hpp"
#include "PelApp/Views/SymbolNames.hpp"
#include "PelApp/Views/UiKit.hpp"
#include "PelApp/Views/WindowState.hpp"

#include <QApplication>
#include <QDir>
#include <QGridLayout>
#include <QLabel>
#include <QPixmap>
#include <QTabWidget>
#include <QWidget>

#include <fmt/core.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

void settle() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

// Grabs `target` into a PNG at `path` and names the file written, or says why not.
bool savePicture(QWidget* target, const QString& path) {
    if (target && target->grab().save(path, "PNG")) {
        fmt::print("{}\n", path.toStdString());
        return true;
    }
    fmt::print(stderr, "ui-shots: could not write {}\n", path.toStdString());
    return false;
}

// One picture: how to set the scene on a fresh main window, and which widget to grab.
struct Shot {
    const char* file;
    std::function<QWidget*(pelapp::MainWindow&, pelapp::AppModel&)> stage;
};

const std::vector<Shot>& shots() {
    static const std::vector<Shot> list{
        {"main-window.png", [](pelapp::MainWindow& w, pelapp::AppModel&) -> QWidget* { return &w; }},
        {"main-window-narrow.png",
         [](pelapp::MainWindow& w, pelapp::AppModel&) -> QWidget* {
             // The window's minimum and default width, the inspector shown.
             w.resize(900, 720);
             return &w;
         }},
        {"main-window-no-inspector.png",
         [](pelapp::MainWindow& w, pelapp::AppModel&) -> QWidget* {
             w.state().setShowInspector(false);
             w.state().setDryRun(true);
             return &w;
         }},
        {"main-window-scanning.png",
         [](pelapp::MainWindow& w, pelapp::AppModel& m) -> QWidget* {
             m.busy = true;
             m.runningUpdate = true;
             m.statusMessage = "Scanning…";
             m.changed(pelapp::ModelChange::status | pelapp::ModelChange::run);
             return &w;
         }},
        {"main-window-empty.png",
         [](pelapp::MainWindow& w, pelapp::AppModel& m) -> QWidget* {
             m.setFilter(pelapp::Filter::ignored);
             return &w;
         }},
        {"table-activity.png",
         [](pelapp::MainWindow& w, pelapp::AppModel& m) -> QWidget* {
             m.rows[0].checking = true;
             m.rows[1].updating = true;
             m.rows[1].progressText = "Downloading 12.0 MB / 115.9 MB";
             m.updateQueue = {m.rows[1].id};
             m.runningBundleIDs = {m.rows[2].id, m.rows[4].id};
             m.selectionIDs = {m.rows[1].id, m.rows[3].id};
             m.changed(pelapp::ModelChange::rows | pelapp::ModelChange::run | pelapp::ModelChange::running |
                       pelapp::ModelChange::selection);
             return w.findChild<QWidget*>("applicationTable");
         }},
        {"main-window-banners.png",
         [](pelapp::MainWindow& w, pelapp::AppModel& m) -> QWidget* {
             m.permissionStatus = pelkit::PermissionStatus::denied;
             m.runningUpdate = true;
             m.activeCount = 1;
             m.updateQueue = {"com.northwind.Quillpad", "io.tidewater.Harbor", "org.lumen.Prism"};
             m.activeUpdateID = "com.northwind.Quillpad";
             m.activePhase = "Downloading";
             m.bucketFilter = pelkit::SemverBucket::patch;
             m.changed(pelapp::ModelChange::run | pelapp::ModelChange::permission |
                       pelapp::ModelChange::filters);
             return &w;
         }},
        {"update-sheet.png",
         [](pelapp::MainWindow& w, pelapp::AppModel& m) -> QWidget* {
             m.setShowUpdateSheet(true);
             settle();
             return w.updateSheet();
         }},
        {"update-sheet-running.png",
         [](pelapp::MainWindow& w, pelapp::AppModel& m) -> QWidget* {
             // A run with one download, one queued entry carrying an earlier failure, one done.
             m.updateQueue = {"io.tidewater.Harbor", "com.quietfox.Player", "org.lumen.Prism", "com.northwind.Quillpad"};
             m.runningUpdate = true;
             m.activeUpdateID = "io.tidewater.Harbor";
             m.activePhase = "Downloading 72.4 / 115.9 MB (62%)";
             for (auto& row : m.rows) {
                 if (row.id == "io.tidewater.Harbor") {
                     row.updating = true;
                     row.progressText = m.activePhase;
                 } else if (row.id == "com.quietfox.Player") {
                     row.errorCode = pelkit::ErrorCode::ENV_APP_RUNNING;
                     row.errorMessage = "Quietfox Player is still running and did not quit when asked; quit it "
                                        "yourself and try again";
                 } else if (row.id == "org.lumen.Prism") {
                     row.outcome = pelkit::Outcome::upToDate;
                 }
             }
             m.bytesDone["io.tidewater.Harbor"] = 75'917'312;
             m.bytesTotal["io.tidewater.Harbor"] = 121'500'000;
             m.updateLog = {"→ Prism & Lens 1.9.4 → 1.9.6", "  · Downloading", "  · Verifying",
                            "✓ Prism & Lens: installed 1.9.6", "→ Harbor 2.3.0 → 2.4.0", "  · Quitting Harbor",
                            "  · Downloading"};
             m.setShowUpdateSheet(true);
             m.changed(pelapp::ModelChange::rows | pelapp::ModelChange::log);
             settle();
             return w.updateSheet();
         }},
        {"ignored-sheet.png",
         [](pelapp::MainWindow& w, pelapp::AppModel& m) -> QWidget* {
             m.setShowIgnored(true);
             settle();
             return w.ignoredSheet();
         }},
        {"detail-installable.png",
         [](pelapp::MainWindow& w, pelapp::AppModel& m) { return uishots::stageDetail(w, m, uishots::DetailScene::installable); }},
        {"detail-up-to-date.png",
         [](pelapp::MainWindow& w, pelapp::AppModel& m) { return uishots::stageDetail(w, m, uishots::DetailScene::upToDate); }},
        {"detail-unsupported.png",
         [](pelapp::MainWindow& w, pelapp::AppModel& m) { return uishots::stageDetail(w, m, uishots::DetailScene::unsupported); }},
        {"detail-unresolved.png",
         [](pelapp::MainWindow& w, pelapp::AppModel& m) { return uishots::stageDetail(w, m, uishots::DetailScene::unresolved); }},
        {"detail-safety-error.png",
         [](pelapp::MainWindow& w, pelapp::AppModel& m) { return uishots::stageDetail(w, m, uishots::DetailScene::safetyError); }},
    };
    return list;
}

// Every symbol icon with its name, plain and tinted, to check the drawings at a glance.
bool saveSymbolSheet(const QString& path) {
    QWidget sheet;
    auto* grid = new QGridLayout(&sheet);
    int index = 0;
    for (std::string_view name : pelapp::kSymbolNames) {
        const int row = index / 3;
        const int column = (index % 3) * 3;
        auto* plain = new QLabel(&sheet);
        plain->setPixmap(pelapp::ui::symbolIcon(name).pixmap(32, 32));
        auto* tinted = new QLabel(&sheet);
        tinted->setPixmap(pelapp::ui::symbolIcon(name, pelapp::ui::systemColor(pelapp::ui::SystemColor::blue)).pixmap(16, 16));
        grid->addWidget(plain, row, column);
        grid->addWidget(tinted, row, column + 1);
        grid->addWidget(pelapp::ui::plainLabel(pelapp::ui::qs(name), &sheet), row, column + 2);
        ++index;
    }
    sheet.show();
    settle();
    return savePicture(&sheet, path);
}

// A login item that is on, for the picture.
struct EnabledLoginItem final : pelapp::LoginItem {
    pelapp::LoginItemStatus status() const override { return pelapp::LoginItemStatus::enabled; }
    void registerItem() override {}
    void unregisterItem() override {}
};

// The settings window, one picture per tab.
int saveSettingsShots(const QString& out, uishots::Fixture& fixture) {
    fixture.reset();
    EnabledLoginItem loginItem;
    pelapp::SigningTeam signingTeam(fixture.model().appInfo().bundlePath);
    pelapp::SettingsView view(fixture.model(), platform::Defaults::inMemory(), loginItem, signingTeam);
    view.show();
    settle();
    auto* tabs = view.findChild<QTabWidget*>("settingsTabs");
    const char* files[] = {"settings-general.png", "settings-updates.png", "settings-advanced.png",
                           "settings-about.png"};
    int failures = 0;
    for (int i = 0; i < 4; ++i) {
        tabs->setCurrentIndex(i);
        settle();
        if (!savePicture(&view, out + "/" + files[i])) ++failures;
    }
    return failures;
}

} // namespace

int main(int argc, char** argv) {
    // Pictures never need a display.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("ui-shots");
    if (!QDir().mkpath(out)) {
        fmt::print(stderr, "ui-shots: cannot create {}\n", out.toStdString());
        return 1;
    }

    uishots::Fixture fixture;
    int failures = 0;
    for (const Shot& shot : shots()) {
        fixture.reset();
        pelapp::MainWindow window(fixture.model());
        window.resize(1200, 720);
        window.show();
        settle();
        QWidget* target = shot.stage(window, fixture.model());
        settle();
        if (!savePicture(target, out + "/" + shot.file)) {
            ++failures;
            continue;
        }
        window.close();
        settle();
    }
    failures += saveSettingsShots(out, fixture);
    if (!saveSymbolSheet(out + "/symbols.png")) ++failures;
    return failures == 0 ? 0 : 1;
}
