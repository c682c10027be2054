#pragma once

#include <QObject>

namespace pelapp {

// The switches that belong to one window and live as long as it: every new window starts with the
// inspector shown and dry run off. Nothing stores them.
class WindowState final : public QObject {
    Q_OBJECT
public:
    explicit WindowState(QObject* parent = nullptr) : QObject(parent) {}

    bool showInspector() const { return showInspector_; }
    bool dryRun() const { return dryRun_; }
    void setShowInspector(bool value);
    void setDryRun(bool value);

Q_SIGNALS:
    // Either switch changed.
    void changed();

private:
    bool showInspector_ = true;
    bool dryRun_ = false;
};

} // namespace pelapp
