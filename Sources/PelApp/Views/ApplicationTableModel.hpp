#pragma once

#include "PelApp/Model/ApplicationTableTexts.hpp"

#include <QAbstractTableModel>

#include <string>
#include <unordered_map>
#include <vector>

namespace pelapp {

class AppModel;

// The application table's rows: a snapshot of AppModel::filtered() taken once per model change.
// A refresh announces only what moved: removed and inserted runs of rows, and the rows that draw
// differently; everything else keeps its index, selection and scroll position.
class ApplicationTableModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { checkColumn, glyphColumn, nameColumn, installedColumn, latestColumn,
                  sourceColumn, sizeColumn, statusColumn, actionColumn, columnTotal };
    // The row's bundle identifier, on every cell.
    static constexpr int idRole = Qt::UserRole + 1;

    explicit ApplicationTableModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Takes the rows the model shows now.
    void refresh(const AppModel& model);

    const TableRow& rowAt(int row) const { return rows_[static_cast<std::size_t>(row)]; }
    // The index of the row with this identifier, or -1.
    int rowOf(const std::string& id) const;
    // Some row is being checked (its Latest cell spins).
    bool anyChecking() const { return anyChecking_; }

private:
    std::vector<TableRow> snapshot(const AppModel& model) const;
    // Removes and inserts runs of rows when the kept rows stay in order; answers false otherwise.
    bool moveTo(std::vector<TableRow>& next);
    void reindex();

    std::vector<TableRow> rows_;
    std::unordered_map<std::string, int> indexByID_;
    bool anyChecking_ = false;
};

} // namespace pelapp
