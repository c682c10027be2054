#pragma once

#include "PelApp/Views/UpdateSheetLine.hpp"
#include "Platform/Clock.hpp"
#include "Platform/Executor.hpp"

#include <QWidget>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

class QFrame;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace pelapp {

class AppModel;
class WindowState;

// The content of the update progress sheet: the queued and running updates with their state and
// download bars, the run's log, counters and the closing controls. It keeps nothing of its own: each
// redraw derives everything from the model. `onClose` is what its Hide/Close button (Return) calls;
// the window also routes Escape there.
class UpdateSheet final : public QWidget {
    Q_OBJECT
public:
    // Download progress is redrawn at most this often; anything else at once.
    static constexpr std::chrono::milliseconds kProgressInterval{100};

    UpdateSheet(AppModel& model, WindowState& state, QWidget* parent = nullptr);
    ~UpdateSheet() override;

    std::function<void()> onClose;

private:
    struct View {
        std::string header;
        bool running = false;
        std::string counts;
        std::vector<sheet::LineView> lines;
        std::size_t logSize = 0;
        bool operator==(const View&) const = default;
    };
    struct Progress {
        std::optional<std::string> phase;
        std::vector<sheet::LineProgress> lines;
        bool operator==(const Progress&) const = default;
    };

    // `intervalOver`: the delayed progress redraw, whose wait has passed.
    void redraw(bool intervalOver = false);
    void apply(const View& view);
    void apply(const Progress& progress);
    void syncLog();

    AppModel& model_;
    QLabel* header_;
    QProgressBar* runSpinner_;
    QLabel* phase_;
    QVBoxLayout* list_;
    QFrame* logDivider_;
    QPlainTextEdit* log_;
    QLabel* counts_;
    QPushButton* cancelAll_;
    QPushButton* close_;

    std::map<std::string, sheet::Line*> lines_;
    std::vector<std::string> order_;
    std::optional<View> view_;
    std::optional<Progress> progress_;
    std::size_t logShown_ = 0;
    platform::TimePoint progressAt_{};
    platform::TaskHandle pending_;
    bool scheduled_ = false;
};

} // namespace pelapp
