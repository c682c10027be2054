#pragma once

#include <QWidget>

namespace pelapp {

class AppModel;
class WindowState;

// The version-bucket bar above the table; absent while no row belongs to a bucket.
class BucketBar final : public QWidget {
    Q_OBJECT
public:
    BucketBar(AppModel& model, WindowState& state, QWidget* parent = nullptr);

private:
    void refresh(unsigned groups);

    AppModel& model_;
    WindowState& state_;
};

} // namespace pelapp
