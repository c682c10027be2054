#pragma once

#include <QString>
#include <QWidget>

#include <optional>
#include <string>

class QLabel;
class QProgressBar;
class QPushButton;

namespace pelapp {

class AppModel;
class WindowState;

// Whether each banner shows: the permission banner only while the probe answered denied; the running
// banner while an update run is in progress.
bool showsPermissionBanner(const AppModel& model);
bool showsRunningBanner(const AppModel& model);
// "Updating <running> of <queued or running>".
QString runningBannerTitle(const AppModel& model);
// The name of the row of the most recently started update, while that row exists.
std::optional<std::string> runningBannerAppName(const AppModel& model);

// The permission banner and the running-update banner above the table, each with its divider; each
// shows only while its condition holds, and the whole widget hides while neither does.
class Banners final : public QWidget {
    Q_OBJECT
public:
    Banners(AppModel& model, WindowState& state, QWidget* parent = nullptr);

private:
    QWidget* buildPermissionStrip();
    QWidget* buildRunningStrip();
    void refresh(unsigned groups);

    AppModel& model_;
    WindowState& state_;
    QWidget* permissionStrip_ = nullptr;
    QWidget* permissionDivider_ = nullptr;
    QWidget* runningStrip_ = nullptr;
    QWidget* runningDivider_ = nullptr;
    QLabel* runningTitle_ = nullptr;
    QLabel* runningName_ = nullptr;
    QLabel* runningPhase_ = nullptr;
};

} // namespace pelapp
