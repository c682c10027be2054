#pragma once

#include "PelApp/Model/ApplicationTableTexts.hpp"
#include "PelApp/Views/ApplicationTableColumns.hpp"

#include <QWidget>

#include <memory>
#include <set>
#include <string>

class QLabel;
class QMenu;
class QPushButton;
class QTableView;
class QTimer;

namespace pelapp {

class AppModel;
class ApplicationTableCells;
class ApplicationTableModel;
class Clipboard;
class WindowState;

// The application table with its empty state and status footer. It keeps no state of its own: rows,
// ticks and selection are the model's, and every control calls into the model.
class ApplicationTable final : public QWidget {
    Q_OBJECT
public:
    ApplicationTable(AppModel& model, WindowState& state, QWidget* parent = nullptr);
    ~ApplicationTable() override;

    // Where "Copy Bundle ID" writes (the application's clipboard unless set).
    void setClipboard(Clipboard& clipboard) { clipboard_ = &clipboard; }

    // Fills `menu` with the context menu for the rows `ids`; answers whether it has entries.
    bool fillContextMenu(QMenu& menu, const std::set<std::string>& ids);
    // The identifiers the context menu opens for at a point of the view's viewport: the selection
    // when the row there is selected, else that row alone; nothing off the rows.
    std::set<std::string> contextMenuIDs(const QPoint& viewportPos) const;

    QTableView* view() const { return view_; }
    ApplicationTableModel* tableModel() const { return rows_; }

private:
    void refresh(unsigned groups);
    // Sets the columns' widths for the viewport's width and the shown names (ApplicationTableColumns).
    void fitColumns();
    void refreshFooter();
    // Shows the model's selection in the view.
    void showSelection();
    // The user changed the view's selection.
    void takeSelection();
    void activate(const QString& id, CellControl control);
    void showContextMenu(const QPoint& pos);
    void updateSpinner();

    AppModel& model_;
    WindowState& state_;
    Clipboard* clipboard_;
    ApplicationTableModel* rows_;
    ApplicationTableCells* cells_;
    QTableView* view_;
    QWidget* emptyState_;
    QLabel* emptyMessage_;
    QPushButton* showAll_;
    QLabel* counts_;
    QLabel* lastScan_;
    QLabel* status_;
    QTimer* spinner_;
    // Set while the view's selection is being made to match the model.
    bool syncing_ = false;
    // Set while fitColumns sets the widths, so that only the user's resizes are kept.
    bool fitting_ = false;
    columns::KeptWidths keptWidths_{};
};

} // namespace pelapp
