#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QPointer>

#include <functional>

class QAction;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QMenu;
class QToolBar;
class QToolButton;

namespace pelapp {

class AppModel;
class ApplicationTable;
class Banners;
class BucketBar;
class DetailPane;
class ModelRelay;
class WindowState;

// One main window over the shared model: the toolbar, the table column with its strips, the
// inspector column and the two sheets, which follow the model's flags. Its own switches live in
// state(); the model is shared by every window.
class MainWindow final : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(AppModel& model, QWidget* parent = nullptr);
    ~MainWindow() override;

    AppModel& model() const { return model_; }
    WindowState& state() const { return *state_; }
    // The File menu, for commands of the application (New Window is there already).
    QMenu* fileMenu() const { return fileMenu_; }
    // The open sheets, or nullptr.
    QDialog* updateSheet() const { return updateSheet_; }
    QDialog* ignoredSheet() const { return ignoredSheet_; }

    // Called each time the window is shown (its start-up work: bootstrap, kill-switch check).
    std::function<void()> onShown;
    // The New Window command.
    std::function<void()> onNewWindow;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildToolbar();
    void buildMenus();
    void refresh();
    void syncSheets();
    // Opens the sheet while `flag` holds and closes it when it clears; a close of the sheet itself
    // runs `clearFlag`, Escape runs `escape` when given.
    void syncSheet(QPointer<QDialog>& sheet, bool flag, std::function<void()> clearFlag, const char* objectName,
                   const std::function<QWidget*()>& makeContent, std::function<void()> escape = {});

    AppModel& model_;
    WindowState* state_;
    ModelRelay* relay_;
    QToolBar* toolbar_ = nullptr;
    QAction* rescan_ = nullptr;
    QComboBox* filterPicker_ = nullptr;
    QLineEdit* search_ = nullptr;
    QCheckBox* quitApp_ = nullptr;
    QCheckBox* dryRun_ = nullptr;
    QAction* updateIdle_ = nullptr;
    QAction* updateChecked_ = nullptr;
    QAction* appStoreUpdates_ = nullptr;
    QAction* ignored_ = nullptr;
    QToolButton* permissions_ = nullptr;
    QAction* inspector_ = nullptr;
    QMenu* fileMenu_ = nullptr;

    ApplicationTable* table_ = nullptr;
    Banners* banners_ = nullptr;
    BucketBar* bucketBar_ = nullptr;
    QWidget* inspectorColumn_ = nullptr;
    DetailPane* detailPane_ = nullptr;
    QPointer<QDialog> updateSheet_;
    QPointer<QDialog> ignoredSheet_;
};

} // namespace pelapp
