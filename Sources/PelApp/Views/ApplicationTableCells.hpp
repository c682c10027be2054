#pragma once

#include "PelApp/Model/ApplicationTableTexts.hpp"

#include <QHash>
#include <QPixmap>
#include <QStyledItemDelegate>

#include <optional>
#include <string>
#include <vector>

namespace pelapp {

class ApplicationTableModel;

// Where a control sits in its cell.
struct CellTarget {
    CellControl control;
    QRect rect;
    bool enabled = true;
};

// The controls of one cell laid out in `cell` (check box, running dot, probe button, action buttons).
std::vector<CellTarget> cellTargets(const TableRow& row, int column, const QRect& cell);

// Draws the table's cells and turns clicks on their controls into `activated`. Clicks on a control
// never reach the view's selection.
class ApplicationTableCells final : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit ApplicationTableCells(const ApplicationTableModel& rows, QObject* parent = nullptr);

    // The height every row gets.
    static int rowHeight();
    // The width the Name cell of `row` needs to show its name and bundle identifier whole.
    static int nameWidth(const AppRow& row);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // Advances the spinner drawn in the Latest cell of rows being checked.
    void advanceSpinner() { spinnerPhase_ = (spinnerPhase_ + 1) % 12; }

Q_SIGNALS:
    void activated(const QString& id, pelapp::CellControl control);

private:
    std::optional<CellTarget> targetAt(const QModelIndex& index, const QRect& cell, const QPoint& pos) const;
    void paintCell(QPainter* painter, const QStyleOptionViewItem& option, const TableRow& row, int column) const;
    void paintTargets(QPainter* painter, const QStyleOptionViewItem& option, const TableRow& row, int column) const;
    void paintSpinner(QPainter* painter, const QRect& cell) const;
    // A symbol drawn in one colour at the icon size, kept: recolouring on every paint is costly.
    const QPixmap& tintedIcon(const char* symbol, const QColor& color, qreal ratio) const;

    const ApplicationTableModel& rows_;
    // The control a press landed on, until its release.
    std::optional<std::pair<std::string, CellControl>> pressed_;
    int spinnerPhase_ = 0;
    mutable QHash<QString, QPixmap> icons_;
};

} // namespace pelapp
