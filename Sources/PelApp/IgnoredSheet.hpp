#pragma once

#include <QWidget>

#include <functional>

namespace pelapp {

class AppModel;
class WindowState;

// The content of the ignored-applications sheet. `onClose` is what its own Close button calls; the
// window sets it.
class IgnoredSheet final : public QWidget {
    Q_OBJECT
public:
    IgnoredSheet(AppModel& model, WindowState& state, QWidget* parent = nullptr);

    std::function<void()> onClose;

private:
    void refresh(unsigned groups);

    AppModel& model_;
    WindowState& state_;
};

} // namespace pelapp
