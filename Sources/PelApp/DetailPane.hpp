#pragma once

#include <QWidget>

namespace pelapp {

class AppModel;
class WindowState;

// The inspector column: the detail pane of the selected application.
class DetailPane final : public QWidget {
    Q_OBJECT
public:
    DetailPane(AppModel& model, WindowState& state, QWidget* parent = nullptr);

private:
    void refresh(unsigned groups);

    AppModel& model_;
    WindowState& state_;
};

} // namespace pelapp
