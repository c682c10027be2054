#pragma once

#include "PelKit/Config.hpp"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <vector>

class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace pelapp {

class AppModel;
class WindowState;

// The content of the ignored-applications sheet. `onClose` is what its own Close button calls; the
// window sets it. The list is read when the sheet is shown, after each Unignore and after a Rescan
// started here; nothing else refreshes it.
class IgnoredSheet final : public QWidget {
    Q_OBJECT
public:
    IgnoredSheet(AppModel& model, WindowState& state, QWidget* parent = nullptr);

    std::function<void()> onClose;

    const std::vector<pelkit::IgnoredEntry>& entries() const { return entries_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void reload();
    void rebuildRows();
    QWidget* makeRow(const pelkit::IgnoredEntry& entry);
    void unignore(const std::string& bundleID);
    void startRescan();

    AppModel& model_;
    WindowState& state_;
    std::vector<pelkit::IgnoredEntry> entries_;
    QLabel* count_ = nullptr;
    QWidget* empty_ = nullptr;
    QScrollArea* list_ = nullptr;
    QWidget* rows_ = nullptr;
    QVBoxLayout* rowsLayout_ = nullptr;
    QLabel* footer_ = nullptr;
};

} // namespace pelapp
