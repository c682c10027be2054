#pragma once

#include "PelApp/MainActor.hpp"

#include <QWidget>

#include <functional>
#include <optional>
#include <string>

class QScrollArea;
class QStackedWidget;

namespace pelapp {

class AppModel;
struct AppRow;
class WindowState;

// The inspector column: the detail pane of the first selected application, rebuilt from a fresh copy
// of its row whenever the model or the window's switches change. While shown, it starts one size
// probe for each row it comes to show.
class DetailPane final : public QWidget {
    Q_OBJECT
public:
    // What fills in a missing download size; the model's probe by default.
    using SizeProbe = std::function<Task<void>(std::string id)>;

    DetailPane(AppModel& model, WindowState& state, QWidget* parent = nullptr);
    ~DetailPane() override;

    void setSizeProbe(SizeProbe probe) { sizeProbe_ = std::move(probe); }
    // The row the pane shows now, or nothing while it shows the placeholder.
    std::optional<std::string> shownID() const { return shownID_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void refresh(unsigned groups);
    void rebuild();
    void probeIfNeeded(const AppRow& row);
    void stopProbe();

    AppModel& model_;
    WindowState& state_;
    SizeProbe sizeProbe_;
    QStackedWidget* pages_;
    QWidget* placeholder_;
    QScrollArea* scroll_;
    std::optional<std::string> shownID_;
    // The row this showing of the pane has started its probe for; it starts again on a new showing.
    std::optional<std::string> probedID_;
    MainTask probe_;
};

} // namespace pelapp
