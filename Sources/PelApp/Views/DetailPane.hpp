#pragma once

#include "PelApp/Model/AppRow.hpp"
#include "PelApp/Model/MainActor.hpp"
#include "PelApp/Views/InspectorView.hpp"

#include <QWidget>

#include <functional>
#include <optional>
#include <string>

class QScrollArea;
class QStackedWidget;

namespace pelapp {

class AppModel;
class WindowState;

// The inspector column: the detail pane of the first selected application, rebuilt from a fresh copy
// of its row when something it shows changes (the row, its busy state, the window's switches, the tool
// lookups); any other change of the model leaves its widgets, a press and a text selection in them
// alone. While shown, it starts one size probe for each row it comes to show.
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
    // What one build of the pane draws: the row (nothing for the placeholder), whether it is busy,
    // and the build's context.
    struct Shown {
        std::optional<AppRow> row;
        bool busy = false;
        InspectorContext context;
    };

    void refresh(unsigned groups);
    // Rebuilds the widgets when what the pane would show differs from what it shows.
    void sync();
    Shown wanted() const;
    static bool showsAlike(const Shown& a, const Shown& b);
    void probeIfNeeded(const AppRow& row);
    void stopProbe();

    AppModel& model_;
    WindowState& state_;
    SizeProbe sizeProbe_;
    QStackedWidget* pages_;
    QWidget* placeholder_;
    QScrollArea* scroll_;
    std::optional<std::string> shownID_;
    // What the widgets show now; nothing before the first build.
    std::optional<Shown> shown_;
    // The row this showing of the pane has started its probe for; it starts again on a new showing.
    std::optional<std::string> probedID_;
    MainTask probe_;
};

} // namespace pelapp
