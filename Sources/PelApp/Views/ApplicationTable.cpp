#include "PelApp/Views/ApplicationTable.hpp"

#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/ModelRelay.hpp"
#include "PelApp/Views/ApplicationTableCells.hpp"
#include "PelApp/Views/ApplicationTableColumns.hpp"
#include "PelApp/Views/ApplicationTableModel.hpp"
#include "PelApp/Views/QtClipboard.hpp"
#include "PelApp/Views/StripKit.hpp"
#include "PelApp/Views/UiKit.hpp"
#include "PelApp/Views/WindowState.hpp"

#include <QAbstractButton>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>
#include <vector>

namespace pelapp {

namespace {

using Column = ApplicationTableModel::Column;

constexpr unsigned kTableGroups = static_cast<unsigned>(ModelChange::rows | ModelChange::filters |
                                                        ModelChange::selection | ModelChange::run |
                                                        ModelChange::running);
constexpr int kSpinnerIntervalMs = 83;
constexpr int kEmptyStateMargin = 24;
constexpr int kEmptyStateSpacing = 6;

Clipboard& applicationClipboard() {
    static QtClipboard clipboard;
    return clipboard;
}

// A right click opens the context menu without changing the selection.
class RowTableView final : public QTableView {
public:
    using QTableView::QTableView;
    // Called when the viewport's size changes (a window resize, a scroll bar coming or going).
    std::function<void()> onViewportResize;

protected:
    bool viewportEvent(QEvent* event) override {
        const bool handled = QTableView::viewportEvent(event);
        if (event->type() == QEvent::Resize && onViewportResize) onViewportResize();
        return handled;
    }
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index, const QEvent* event) const override {
        if (event && event->type() == QEvent::MouseButtonPress &&
            static_cast<const QMouseEvent*>(event)->button() == Qt::RightButton)
            return QItemSelectionModel::NoUpdate;
        return QTableView::selectionCommand(index, event);
    }
};

} // namespace

ApplicationTable::ApplicationTable(AppModel& model, WindowState& state, QWidget* parent)
    : QWidget(parent), model_(model), state_(state), clipboard_(&applicationClipboard()) {
    setObjectName("applicationTable");

    rows_ = new ApplicationTableModel(this);
    rows_->setObjectName("applicationTableModel");
    cells_ = new ApplicationTableCells(*rows_, this);
    auto* view = new RowTableView(this);
    view_ = view;
    view_->setObjectName("applicationTableView");
    view_->setAccessibleName(ui::localized("Applications"));
    view_->setModel(rows_);
    view_->setItemDelegate(cells_);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setSortingEnabled(false);
    view_->setShowGrid(false);
    view_->setAlternatingRowColors(true);
    view_->setWordWrap(false);
    view_->setFrameShape(QFrame::NoFrame);
    view_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    view_->setContextMenuPolicy(Qt::CustomContextMenu);
    view_->setCornerButtonEnabled(false);
    // Named like every other control (the vertical header it serves is hidden).
    for (auto* corner : view_->findChildren<QAbstractButton*>(Qt::FindDirectChildrenOnly)) {
        if (corner->objectName().isEmpty()) corner->setObjectName("tableCornerButton");
    }
    view_->verticalHeader()->hide();
    view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view_->verticalHeader()->setDefaultSectionSize(ApplicationTableCells::rowHeight());

    QHeaderView* header = view_->horizontalHeader();
    header->setSectionsClickable(false);
    header->setSectionsMovable(false);
    header->setSortIndicatorShown(false);
    header->setMinimumSectionSize(std::min(columns::kWidths[Column::glyphColumn].minimum, 24));
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setStretchLastSection(false);
    // The layout sets every width (fitColumns); the user may drag the columns after Name.
    for (int c = 0; c < Column::columnTotal; ++c) {
        const bool userSized = !columns::kWidths[c].fixed && c != Column::nameColumn;
        header->setSectionResizeMode(c, userSized ? QHeaderView::Interactive : QHeaderView::Fixed);
    }
    connect(header, &QHeaderView::sectionResized, this, [this](int c, int, int size) {
        if (fitting_ || c < 0 || c >= Column::columnTotal || c == Column::nameColumn) return;
        // The user dragged this column's edge: it keeps that width, never below its minimum.
        keptWidths_[c] = std::max(size, columns::kWidths[c].minimum);
        fitColumns();
    });
    view->onViewportResize = [this] { fitColumns(); };

    emptyState_ = new QWidget(this);
    emptyState_->setObjectName("emptyState");
    auto* emptyLayout = new QVBoxLayout(emptyState_);
    emptyLayout->setContentsMargins(kEmptyStateMargin, kEmptyStateMargin, kEmptyStateMargin, kEmptyStateMargin);
    emptyLayout->setSpacing(kEmptyStateSpacing);
    emptyMessage_ = ui::plainLabel({}, emptyState_);
    emptyMessage_->setObjectName("emptyStateMessage");
    emptyMessage_->setAlignment(Qt::AlignCenter);
    emptyMessage_->setWordWrap(true);
    ui::styleLabel(emptyMessage_, ui::TextStyle::body, ui::SystemColor::secondary);
    showAll_ = ui::borderlessButton("Show all apps", "showAllAppsButton", emptyState_);
    ui::setButtonTextColor(showAll_, ui::systemColor(ui::SystemColor::blue));
    emptyLayout->addWidget(emptyMessage_);
    emptyLayout->addWidget(showAll_, 0, Qt::AlignHCenter);

    QFrame* divider = ui::divider(this, "footerDivider");

    auto* footer = new QWidget(this);
    footer->setObjectName("statusFooter");
    auto* footerLayout = new QHBoxLayout(footer);
    footerLayout->setContentsMargins(12, 6, 12, 6);
    counts_ = ui::plainLabel({}, footer);
    counts_->setObjectName("footerCounts");
    lastScan_ = ui::plainLabel({}, footer);
    lastScan_->setObjectName("lastScanLabel");
    ui::styleLabel(lastScan_, ui::TextStyle::caption, ui::SystemColor::secondary);
    status_ = ui::plainLabel({}, footer);
    status_->setObjectName("statusLabel");
    ui::styleLabel(status_, ui::TextStyle::caption, ui::SystemColor::secondary);
    footerLayout->addWidget(counts_);
    footerLayout->addStretch(1);
    footerLayout->addWidget(lastScan_);
    footerLayout->addWidget(status_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(view_, 1);
    layout->addWidget(emptyState_);
    layout->addWidget(divider);
    layout->addWidget(footer);

    spinner_ = new QTimer(this);
    spinner_->setObjectName("spinnerTimer");
    spinner_->setInterval(kSpinnerIntervalMs);
    connect(spinner_, &QTimer::timeout, this, [this] {
        cells_->advanceSpinner();
        const int x = view_->columnViewportPosition(Column::latestColumn);
        view_->viewport()->update(QRect(x, 0, view_->columnWidth(Column::latestColumn), view_->viewport()->height()));
    });

    connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &ApplicationTable::takeSelection);
    connect(cells_, &ApplicationTableCells::activated, this, &ApplicationTable::activate);
    connect(view_, &QWidget::customContextMenuRequested, this, &ApplicationTable::showContextMenu);
    connect(showAll_, &QPushButton::clicked, this, [this] { model_.setFilter(Filter::all); });

    auto* relay = new ModelRelay(model_, this);
    connect(relay, &ModelRelay::refresh, this, &ApplicationTable::refresh);
    connect(&state_, &WindowState::changed, this, [this] { refresh(0); });
    refresh(0);
}

ApplicationTable::~ApplicationTable() = default;

void ApplicationTable::refresh(unsigned groups) {
    if (groups == 0 || (groups & kTableGroups) != 0) {
        syncing_ = true;
        rows_->refresh(model_);
        syncing_ = false;
        showSelection();
        updateSpinner();
        fitColumns();
    }
    refreshFooter();
}

void ApplicationTable::fitColumns() {
    QHeaderView* header = view_->horizontalHeader();
    int nameText = header->sectionSizeHint(Column::nameColumn);
    for (int r = 0; r < rows_->rowCount(); ++r)
        nameText = std::max(nameText, ApplicationTableCells::nameWidth(rows_->rowAt(r).row));
    const columns::Widths widths = columns::fit(view_->viewport()->width(), nameText, keptWidths_);
    fitting_ = true;
    for (int c = 0; c < Column::columnTotal; ++c) {
        if (header->sectionSize(c) != widths[c]) header->resizeSection(c, widths[c]);
    }
    fitting_ = false;
}

void ApplicationTable::refreshFooter() {
    const RowCounts counts = model_.counts();
    const int shown = rows_->rowCount();
    counts_->setText(ui::qs(footerCountsText(shown, counts.outdated, counts.total)));
    lastScan_->setVisible(model_.lastScanDate.has_value());
    if (model_.lastScanDate) lastScan_->setText(ui::qs(lastScanText(*model_.lastScanDate, model_.clock().now())));
    status_->setText(ui::qs(model_.statusMessage));

    emptyState_->setVisible(shown == 0 && !model_.busy);
    emptyMessage_->setText(ui::qs(emptyStateMessage(model_.filter)));
    showAll_->setVisible(emptyStateOffersShowAll(model_.filter));
}

void ApplicationTable::showSelection() {
    std::vector<int> wanted;
    for (const auto& id : model_.selectionIDs) {
        if (int r = rows_->rowOf(id); r >= 0) wanted.push_back(r);
    }
    std::sort(wanted.begin(), wanted.end());
    std::vector<int> shown;
    for (const QModelIndex& index : view_->selectionModel()->selectedRows())
        shown.push_back(index.row());
    std::sort(shown.begin(), shown.end());
    if (wanted == shown) return;

    QItemSelection selection;
    for (std::size_t i = 0; i < wanted.size();) {
        std::size_t end = i + 1;
        while (end < wanted.size() && wanted[end] == wanted[end - 1] + 1)
            ++end;
        selection.select(rows_->index(wanted[i], 0), rows_->index(wanted[end - 1], Column::columnTotal - 1));
        i = end;
    }
    syncing_ = true;
    view_->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    syncing_ = false;
}

void ApplicationTable::takeSelection() {
    if (syncing_) return;
    std::set<std::string> ids;
    for (const QModelIndex& index : view_->selectionModel()->selectedRows())
        ids.insert(rows_->rowAt(index.row()).row.id);
    if (ids != model_.selectionIDs) model_.setSelectionIDs(std::move(ids));
}

void ApplicationTable::activate(const QString& qid, CellControl control) {
    const std::string id = qid.toStdString();
    // The model's row when it still has one; else the row as last shown.
    AppRow row;
    if (const AppRow* current = model_.findRow(id)) row = *current;
    else if (int r = rows_->rowOf(id); r >= 0) row = rows_->rowAt(r).row;
    else return;

    switch (control) {
    case CellControl::checkBox: model_.toggleCheck(id); break;
    case CellControl::probe: MainTask::start(model_.executor(), model_.probeSize(id)); break;
    case CellControl::cancel: model_.cancelOne(id); break;
    case CellControl::update: model_.updateOne(row, state_.dryRun()); break;
    case CellControl::rescan: MainTask::start(model_.executor(), model_.rescanOne(id)); break;
    case CellControl::ignore: model_.ignore(row, std::string(kReasonIgnoredFromTable)); break;
    case CellControl::runningDot: break;
    }
}

std::set<std::string> ApplicationTable::contextMenuIDs(const QPoint& viewportPos) const {
    const QModelIndex index = view_->indexAt(viewportPos);
    if (!index.isValid()) return {};
    const std::string& id = rows_->rowAt(index.row()).row.id;
    if (model_.selectionIDs.contains(id)) return model_.selectionIDs;
    return {id};
}

bool ApplicationTable::fillContextMenu(QMenu& menu, const std::set<std::string>& ids) {
    const ContextMenuContent content = contextMenuFor(model_, ids);
    if (!content.row) return false;
    const AppRow row = *content.row;
    for (const MenuEntry& entry : content.entries) {
        using Kind = MenuEntry::Kind;
        if (entry.kind == Kind::divider) {
            menu.addSeparator()->setObjectName("contextMenuDivider");
            continue;
        }
        QAction* action = menu.addAction(ui::mnemonicSafe(ui::qs(entry.text)));
        action->setEnabled(entry.enabled);
        switch (entry.kind) {
        case Kind::update:
            action->setObjectName("updateRowAction");
            connect(action, &QAction::triggered, this, [this, row] {
                const AppRow* current = model_.findRow(row.id);
                model_.updateOne(current ? *current : row, state_.dryRun());
            });
            break;
        case Kind::rescan:
            action->setObjectName("rescanRowAction");
            connect(action, &QAction::triggered, this,
                    [this, id = row.id] { MainTask::start(model_.executor(), model_.rescanOne(id)); });
            break;
        case Kind::ignore:
            action->setObjectName("ignoreRowAction");
            connect(action, &QAction::triggered, this,
                    [this, row] { model_.ignore(row, std::string(kReasonIgnoredFromTable)); });
            break;
        case Kind::copyBundleID:
            action->setObjectName("copyBundleIDAction");
            connect(action, &QAction::triggered, this,
                    [this, bundleID = row.app.bundleID] { clipboard_->setString(bundleID); });
            break;
        case Kind::divider: break;
        }
    }
    return !menu.isEmpty();
}

void ApplicationTable::showContextMenu(const QPoint& pos) {
    QMenu menu(this);
    menu.setObjectName("applicationTableMenu");
    if (fillContextMenu(menu, contextMenuIDs(pos))) menu.exec(view_->viewport()->mapToGlobal(pos));
}

void ApplicationTable::updateSpinner() {
    if (rows_->anyChecking() && !spinner_->isActive()) spinner_->start();
    else if (!rows_->anyChecking() && spinner_->isActive()) spinner_->stop();
}

} // namespace pelapp
