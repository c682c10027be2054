#pragma once

#include <QWidget>

namespace pelapp {

class AppModel;
class WindowState;

// The application table with its empty state and status footer.
class ApplicationTable final : public QWidget {
    Q_OBJECT
public:
    ApplicationTable(AppModel& model, WindowState& state, QWidget* parent = nullptr);

private:
    void refresh(unsigned groups);

    AppModel& model_;
    WindowState& state_;
};

} // namespace pelapp
