#pragma once

#include "PelApp/Model/UpdateSheetView.hpp"

#include <QWidget>

#include <optional>
#include <string>

class QFont;
class QLabel;
class QProgressBar;
class QToolButton;

namespace pelapp {

class AppModel;

namespace sheet {

// What one line shows apart from its progress: when this changes the sheet redraws at once.
struct LineView {
    std::string id;
    std::string glyph;
    StatusColor color = StatusColor::secondary;
    std::string name;
    std::string version;
    Chip chip = Chip::none;
    std::string errorCode;
    std::optional<std::string> errorMessage;
    bool barShown = false;
    bool barDeterminate = false;
    bool operator==(const LineView&) const = default;
};

// What a running download changes many times a second: redrawn at a limited rate.
struct LineProgress {
    std::optional<std::string> progressText;
    int barValue = 0;
    bool operator==(const LineProgress&) const = default;
};

LineView lineView(const AppModel& model, const AppRow& row);
LineProgress lineProgress(const AppModel& model, const AppRow& row);

// A small indeterminate progress indicator.
QProgressBar* smallSpinner(QWidget* parent, const char* objectName);

// `text` broken to `width` in `font`, at most two lines, the second elided when more follows.
QString twoLines(const QString& text, const QFont& font, int width);

// One line of the sheet: status glyph, name and versions, state chip, download bar.
class Line final : public QWidget {
    Q_OBJECT
public:
    Line(AppModel& model, std::string id, QWidget* parent = nullptr);

    void apply(const LineView& view);
    void apply(const LineProgress& progress);

private:
    AppModel& model_;
    std::string id_;
    QLabel* glyph_;
    QLabel* name_;
    QLabel* version_;
    QWidget* updating_;
    QLabel* progressText_;
    QLabel* done_;
    QWidget* error_;
    QLabel* errorCode_;
    QLabel* errorMessage_;
    QWidget* queued_;
    QLabel* none_;
    QProgressBar* bar_;
};

} // namespace sheet

} // namespace pelapp
