#pragma once

#include <QWidget>

namespace pelapp {

class AppModel;
class WindowState;

// The permission banner and the running-update banner above the table; each shows only while its
// condition holds.
class Banners final : public QWidget {
    Q_OBJECT
public:
    Banners(AppModel& model, WindowState& state, QWidget* parent = nullptr);

private:
    void refresh(unsigned groups);

    AppModel& model_;
    WindowState& state_;
};

} // namespace pelapp
