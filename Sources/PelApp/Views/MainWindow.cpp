#include "PelApp/Views/MainWindow.hpp"

#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/ModelRelay.hpp"
#include "PelApp/Views/ApplicationTable.hpp"
#include "PelApp/Views/Banners.hpp"
#include "PelApp/Views/BucketBar.hpp"
#include "PelApp/Views/DetailPane.hpp"
#include "PelApp/Views/IgnoredSheet.hpp"
#include "PelApp/Views/SettingsPanes.hpp"
#include "PelApp/Views/SettingsView.hpp"
#include "PelApp/Views/UiKit.hpp"
#include "PelApp/Views/UpdateSheet.hpp"
#include "PelApp/Views/WindowState.hpp"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSplitter>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace pelapp {

namespace {

constexpr int kMinWidth = 900;
constexpr int kMinHeight = 560;
constexpr int kInspectorMinWidth = 280;
constexpr int kSearchWidth = 200;

QAction* toolbarAction(QToolBar* bar, const char* objectName, std::string_view symbol, std::string_view key) {
    auto* action = bar->addAction(ui::symbolIcon(symbol), ui::actionText(key));
    action->setObjectName(objectName);
    if (QWidget* button = bar->widgetForAction(action)) button->setObjectName(QString(objectName) + "Button");
    return action;
}

void setHelp(QAction* action, std::string_view key) {
    action->setToolTip(ui::localized(key));
}

// A sheet's dialog. Escape (the dialog's reject) runs `onEscape` when one is set; a close by the
// window manager rejects plainly, which only clears the sheet's flag.
class SheetDialog final : public QDialog {
public:
    using QDialog::QDialog;
    std::function<void()> onEscape;

    void reject() override {
        if (onEscape && !closing_) onEscape();
        else QDialog::reject();
    }

protected:
    void closeEvent(QCloseEvent* event) override {
        closing_ = true;
        QDialog::closeEvent(event);
        closing_ = false;
    }

private:
    bool closing_ = false;
};

// Hosts a sheet's content as a window-modal dialog over `window`.
SheetDialog* makeSheet(QWidget* window, const char* objectName, QWidget* content) {
    auto* dialog = new SheetDialog(window);
    dialog->setObjectName(objectName);
    dialog->setWindowTitle(window->windowTitle());
    auto* layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(0, 0, 0, 0);
    content->setParent(dialog);
    layout->addWidget(content);
    return dialog;
}

} // namespace

MainWindow::MainWindow(AppModel& model, QWidget* parent)
    : QMainWindow(parent), model_(model), state_(new WindowState(this)), relay_(new ModelRelay(model, this)) {
    setObjectName("mainWindow");
    setWindowTitle(ui::localized("Pelloran"));
    setMinimumSize(kMinWidth, kMinHeight);

    // The content column: strips above the table, top to bottom, without gaps.
    auto* column = new QWidget(this);
    column->setObjectName("contentColumn");
    auto* columnLayout = new QVBoxLayout(column);
    columnLayout->setContentsMargins(0, 0, 0, 0);
    columnLayout->setSpacing(0);
    banners_ = new Banners(model_, *state_, column);
    bucketBar_ = new BucketBar(model_, *state_, column);
    table_ = new ApplicationTable(model_, *state_, column);
    columnLayout->addWidget(banners_);
    columnLayout->addWidget(bucketBar_);
    columnLayout->addWidget(table_, 1);

    inspectorColumn_ = new QWidget(this);
    inspectorColumn_->setObjectName("inspectorColumn");
    inspectorColumn_->setMinimumWidth(kInspectorMinWidth);
    auto* inspectorLayout = new QVBoxLayout(inspectorColumn_);
    inspectorLayout->setContentsMargins(0, 0, 0, 0);
    detailPane_ = new DetailPane(model_, *state_, inspectorColumn_);
    inspectorLayout->addWidget(detailPane_);

    auto* split = new QSplitter(Qt::Horizontal, this);
    split->setObjectName("splitView");
    split->setChildrenCollapsible(false);
    split->addWidget(column);
    split->addWidget(inspectorColumn_);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 0);
    split->setSizes({kMinWidth - kInspectorMinWidth, kInspectorMinWidth});
    setCentralWidget(split);

    buildToolbar();
    buildMenus();

    connect(relay_, &ModelRelay::refresh, this, [this](unsigned) { refresh(); });
    connect(state_, &WindowState::changed, this, &MainWindow::refresh);
    refresh();
}

MainWindow::~MainWindow() {
    // A sheet going away with its window is no close of the sheet: the flag stays for the other windows.
    for (QDialog* sheet : {updateSheet_.data(), ignoredSheet_.data()}) {
        if (sheet) sheet->disconnect(this);
    }
}

void MainWindow::buildToolbar() {
    toolbar_ = addToolBar(ui::localized("Toolbar"));
    toolbar_->setObjectName("mainToolbar");
    toolbar_->setMovable(false);
    toolbar_->setFloatable(false);
    // Icons only, as on the desktop the application comes from; the button with a count keeps its text.
    toolbar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolbar_->setIconSize(QSize(16, 16));
    toolbar_->toggleViewAction()->setVisible(false);

    rescan_ = toolbarAction(toolbar_, "rescanAction", "arrow.clockwise", "Rescan");
    connect(rescan_, &QAction::triggered, this, [this] { MainTask::start(model_.executor(), model_.rescan()); });

    filterPicker_ = new QComboBox(toolbar_);
    filterPicker_->setObjectName("filterPicker");
    filterPicker_->setAccessibleName(ui::localized("Filter"));
    filterPicker_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    for (Filter f : filterAllCases) filterPicker_->addItem(ui::qs(rawValue(f)));
    toolbar_->addWidget(filterPicker_);
    connect(filterPicker_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < static_cast<int>(filterAllCases.size())) model_.setFilter(filterAllCases[index]);
    });

    search_ = new QLineEdit(toolbar_);
    search_->setObjectName("searchField");
    search_->setPlaceholderText(ui::localized("Search"));
    search_->setFixedWidth(kSearchWidth);
    search_->setClearButtonEnabled(true);
    toolbar_->addWidget(search_);
    connect(search_, &QLineEdit::textChanged, this, [this](const QString& text) {
        const std::string value = text.toStdString();
        if (value != model_.search) model_.setSearch(value);
    });

    auto* spacer = new QWidget(toolbar_);
    spacer->setObjectName("toolbarSpacer");
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar_->addWidget(spacer);

    quitApp_ = new QCheckBox(ui::actionText("Quit app"), toolbar_);
    quitApp_->setObjectName("quitAppToggle");
    quitApp_->setToolTip(ui::localized("Quit the target app before writing update"));
    toolbar_->addWidget(quitApp_);
    connect(quitApp_, &QCheckBox::toggled, this, [this](bool on) {
        if (on != model_.quitAppBeforeUpdate) model_.setQuitAppBeforeUpdate(on);
    });

    dryRun_ = new QCheckBox(ui::actionText("Dry run"), toolbar_);
    dryRun_->setObjectName("dryRunToggle");
    toolbar_->addWidget(dryRun_);
    connect(dryRun_, &QCheckBox::toggled, state_, &WindowState::setDryRun);

    updateIdle_ = toolbarAction(toolbar_, "updateIdleAction", "moon.zzz", "Update Idle");
    setHelp(updateIdle_, "Auto-check every outdated app that is not currently running, then update");
    connect(updateIdle_, &QAction::triggered, this, [this] { model_.updateIdleOutdated(state_->dryRun()); });

    updateChecked_ = toolbarAction(toolbar_, "updateCheckedAction", "arrow.down.circle.fill", "Update Checked (%lld)");
    if (auto* button = qobject_cast<QToolButton*>(toolbar_->widgetForAction(updateChecked_))) {
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    }
    connect(updateChecked_, &QAction::triggered, this, [this] { model_.updateSelected(state_->dryRun()); });

    appStoreUpdates_ = toolbarAction(toolbar_, "appStoreUpdatesAction", "square.arrow.down", "App Store Updates");
    setHelp(appStoreUpdates_, "Open the Updates tab in App Store.app");
    connect(appStoreUpdates_, &QAction::triggered, this, [this] { model_.openAppStoreUpdatesPage(); });

    ignored_ = toolbarAction(toolbar_, "ignoredAction", "eye.slash", "Ignored");
    connect(ignored_, &QAction::triggered, this, [this] { model_.setShowIgnored(!model_.showIgnored); });

    auto* permissionsMenu = new QMenu(this);
    permissionsMenu->setObjectName("permissionsMenu");
    permissionsMenu->menuAction()->setObjectName("permissionsMenuAction");
    for (const PermissionItem& item : kPermissionItems) {
        if (item.divider) {
            permissionsMenu->addSeparator()->setObjectName("permissionDivider");
            continue;
        }
        auto* action = permissionsMenu->addAction(ui::actionText(item.title));
        action->setObjectName(ui::qs(item.objectName));
        connect(action, &QAction::triggered, this, [this, &item] { model_.urlOpener().open(permissionItemUrl(item)); });
    }
    permissions_ = new QToolButton(toolbar_);
    permissions_->setObjectName("permissionsMenuButton");
    permissions_->setText(ui::actionText("Permissions"));
    permissions_->setIcon(ui::symbolIcon("lock.shield"));
    permissions_->setToolTip(ui::localized("Open the relevant System Settings pane to grant/reset permissions"));
    permissions_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    permissions_->setPopupMode(QToolButton::InstantPopup);
    permissions_->setMenu(permissionsMenu);
    toolbar_->addWidget(permissions_);

    inspector_ = toolbarAction(toolbar_, "inspectorAction", "sidebar.right", "Inspector");
    connect(inspector_, &QAction::triggered, this, [this] { state_->setShowInspector(!state_->showInspector()); });
}

void MainWindow::buildMenus() {
    menuBar()->setObjectName("menuBar");
    fileMenu_ = menuBar()->addMenu(ui::actionText("File"));
    fileMenu_->setObjectName("fileMenu");
    fileMenu_->menuAction()->setObjectName("fileMenuAction");
    auto* newWindow = fileMenu_->addAction(ui::actionText("New Window"));
    newWindow->setObjectName("newWindowAction");
    newWindow->setShortcut(QKeySequence::New);
    connect(newWindow, &QAction::triggered, this, [this] {
        if (onNewWindow) onNewWindow();
    });
    auto* settings = fileMenu_->addAction(ui::actionText("Settings…"));
    settings->setObjectName("settingsAction");
    settings->setMenuRole(QAction::PreferencesRole);
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(settings, &QAction::triggered, this, [this] { showSettingsWindow(model_); });
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!event->spontaneous() && onShown) onShown();
}

void MainWindow::refresh() {
    rescan_->setEnabled(!model_.busy);

    const auto index = std::find(filterAllCases.begin(), filterAllCases.end(), model_.filter) - filterAllCases.begin();
    if (filterPicker_->currentIndex() != index) {
        const QSignalBlocker block(filterPicker_);
        filterPicker_->setCurrentIndex(static_cast<int>(index));
    }
    if (search_->text().toStdString() != model_.search) {
        const QSignalBlocker block(search_);
        search_->setText(ui::qs(model_.search));
    }
    if (quitApp_->isChecked() != model_.quitAppBeforeUpdate) {
        const QSignalBlocker block(quitApp_);
        quitApp_->setChecked(model_.quitAppBeforeUpdate);
    }
    if (dryRun_->isChecked() != state_->dryRun()) {
        const QSignalBlocker block(dryRun_);
        dryRun_->setChecked(state_->dryRun());
    }

    updateChecked_->setText(
        ui::mnemonicSafe(ui::localized("Update Checked (%lld)", {static_cast<long long>(model_.checkedIDs.size())})));
    updateChecked_->setEnabled(!model_.checkedIDs.empty() && !model_.runningUpdate);

    inspectorColumn_->setVisible(state_->showInspector());
    syncSheets();
}

void MainWindow::syncSheets() {
    syncSheet(
        updateSheet_, model_.showUpdateSheet, [this] { model_.setShowUpdateSheet(false); }, "updateSheet",
        [this] {
            auto* content = new UpdateSheet(model_, *state_);
            content->onClose = [this] { model_.hideUpdateSheet(); };
            return content;
        },
        [this] { model_.hideUpdateSheet(); });
    syncSheet(ignoredSheet_, model_.showIgnored, [this] { model_.setShowIgnored(false); }, "ignoredSheet", [this] {
        auto* content = new IgnoredSheet(model_, *state_);
        content->onClose = [this] { model_.setShowIgnored(false); };
        return content;
    });
}

void MainWindow::syncSheet(QPointer<QDialog>& sheet, bool flag, std::function<void()> clearFlag,
                           const char* objectName, const std::function<QWidget*()>& makeContent,
                           std::function<void()> escape) {
    if (flag && !sheet) {
        SheetDialog* dialog = makeSheet(this, objectName, makeContent());
        dialog->onEscape = std::move(escape);
        sheet = dialog;
        // A close by the window manager (or Escape without a close action) only clears the flag.
        connect(dialog, &QDialog::finished, this, [slot = &sheet, clear = std::move(clearFlag), dialog] {
            if (*slot == dialog) {
                *slot = nullptr;
                clear();
            }
            dialog->deleteLater();
        });
        dialog->open();
    } else if (!flag && sheet) {
        std::exchange(sheet, nullptr)->close();
    }
}

} // namespace pelapp
