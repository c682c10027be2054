#include "PelApp/Views/ApplicationTableModel.hpp"

#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Views/UiKit.hpp"

#include <unordered_set>

namespace pelapp {

namespace {

constexpr const char* kTitles[ApplicationTableModel::columnTotal] = {
    "", "", "Name", "Installed", "Latest", "Source", "Size", "Status", "Action"};

// Every identifier once; a list with a repeated one cannot be matched row by row.
bool uniqueIDs(const std::vector<TableRow>& rows, std::unordered_set<std::string>& ids) {
    ids.reserve(rows.size());
    for (const auto& r : rows) {
        if (!ids.insert(r.row.id).second) return false;
    }
    return true;
}

} // namespace

ApplicationTableModel::ApplicationTableModel(QObject* parent) : QAbstractTableModel(parent) {}

int ApplicationTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ApplicationTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : columnTotal;
}

QVariant ApplicationTableModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return {};
    const TableRow& r = rowAt(index.row());
    const AppRow& row = r.row;
    if (role == idRole) return ui::qs(row.id);
    if (role == Qt::CheckStateRole && index.column() == checkColumn) return r.checked ? Qt::Checked : Qt::Unchecked;
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
    case glyphColumn: return ui::qs(row.statusGlyph());
    case nameColumn: return ui::qs(row.app.name);
    case installedColumn: return ui::qs(installedText(row));
    case latestColumn: return ui::qs(latestText(row));
    case sourceColumn: return ui::qs(sourceLabel(row));
    case sizeColumn: return ui::qs(sizeCellText(row));
    case statusColumn: return ui::qs(row.statusLabel());
    default: return {};
    }
}

QVariant ApplicationTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= columnTotal) return {};
    return kTitles[section][0] ? ui::localized(kTitles[section]) : QString();
}

Qt::ItemFlags ApplicationTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    // Cells are never edited: the delegate handles the check box and buttons itself.
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

int ApplicationTableModel::rowOf(const std::string& id) const {
    auto it = indexByID_.find(id);
    return it == indexByID_.end() ? -1 : it->second;
}

std::vector<TableRow> ApplicationTableModel::snapshot(const AppModel& model) const {
    std::vector<AppRow> shown = model.filtered();
    std::vector<TableRow> next;
    next.reserve(shown.size());
    for (auto& row : shown) {
        TableRow r;
        r.checked = model.checkedIDs.contains(row.id);
        r.busy = model.isBusy(row);
        r.running = model.isRunning(row.id, row.app.path);
        r.row = std::move(row);
        next.push_back(std::move(r));
    }
    return next;
}

void ApplicationTableModel::refresh(const AppModel& model) {
    std::vector<TableRow> next = snapshot(model);
    anyChecking_ = false;
    for (const auto& r : next)
        anyChecking_ = anyChecking_ || r.row.checking;

    if (!moveTo(next)) {
        beginResetModel();
        rows_ = std::move(next);
        reindex();
        endResetModel();
        return;
    }
    // Same rows in the same order now: repaint the ones that changed, a run at a time.
    const int n = static_cast<int>(rows_.size());
    for (int i = 0; i < n;) {
        if (drawsAlike(rows_[i], next[i])) {
            ++i;
            continue;
        }
        int end = i;
        while (end < n && !drawsAlike(rows_[end], next[end])) {
            rows_[end] = std::move(next[end]);
            ++end;
        }
        Q_EMIT dataChanged(index(i, 0), index(end - 1, columnTotal - 1));
        i = end;
    }
}

bool ApplicationTableModel::moveTo(std::vector<TableRow>& next) {
    std::unordered_set<std::string> oldIDs;
    std::unordered_set<std::string> newIDs;
    if (!uniqueIDs(rows_, oldIDs) || !uniqueIDs(next, newIDs)) return false;

    // The rows both lists hold must keep their order, or the change is no run of removals and insertions.
    std::size_t j = 0;
    for (const auto& r : rows_) {
        if (!newIDs.contains(r.row.id)) continue;
        while (j < next.size() && !oldIDs.contains(next[j].row.id))
            ++j;
        if (j == next.size() || next[j].row.id != r.row.id) return false;
        ++j;
    }

    bool moved = false;
    for (int end = static_cast<int>(rows_.size()); end > 0;) {
        if (newIDs.contains(rows_[end - 1].row.id)) {
            --end;
            continue;
        }
        int first = end - 1;
        while (first > 0 && !newIDs.contains(rows_[first - 1].row.id))
            --first;
        beginRemoveRows({}, first, end - 1);
        rows_.erase(rows_.begin() + first, rows_.begin() + end);
        endRemoveRows();
        moved = true;
        end = first;
    }
    for (int i = 0; i < static_cast<int>(next.size());) {
        if (oldIDs.contains(next[i].row.id)) {
            ++i;
            continue;
        }
        int end = i;
        while (end < static_cast<int>(next.size()) && !oldIDs.contains(next[end].row.id))
            ++end;
        beginInsertRows({}, i, end - 1);
        rows_.insert(rows_.begin() + i, next.begin() + i, next.begin() + end);
        endInsertRows();
        moved = true;
        i = end;
    }
    if (moved) reindex();
    return true;
}

void ApplicationTableModel::reindex() {
    indexByID_.clear();
    indexByID_.reserve(rows_.size());
    for (int i = 0; i < static_cast<int>(rows_.size()); ++i)
        indexByID_.emplace(rows_[i].row.id, i);
}

} // namespace pelapp
