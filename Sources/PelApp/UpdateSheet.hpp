#pragma once

#include <QWidget>

#include <functional>

namespace pelapp {

class AppModel;
class WindowState;

// The content of the update progress sheet. `onClose` is what its own Hide/Close button and Escape
// call; the window sets it.
class UpdateSheet final : public QWidget {
    Q_OBJECT
public:
    UpdateSheet(AppModel& model, WindowState& state, QWidget* parent = nullptr);

    std::function<void()> onClose;

private:
    void refresh(unsigned groups);

    AppModel& model_;
    WindowState& state_;
};

} // namespace pelapp
