#include "PelApp/Views/IgnoredSheet.hpp"

#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/OverridesLocation.hpp"
#include "PelApp/Views/StripKit.hpp"
#include "PelApp/Views/UiKit.hpp"
#include "PelApp/Views/WindowState.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QVBoxLayout>

namespace pelapp {

namespace {

constexpr int kEmptyMinHeight = 200;
constexpr int kListMinHeight = 260;
constexpr int kRowPadY = 4;

// Reloads the list once the rescan has finished, if the sheet still exists then.
Task<void> rescanThenReload(AppModel* model, QPointer<QWidget> sheet, std::function<void()> reload) {
    co_await model->rescan();
    if (sheet) reload();
}

} // namespace

IgnoredSheet::IgnoredSheet(AppModel& model, WindowState& state, QWidget* parent)
    : QWidget(parent), model_(model), state_(state) {
    setObjectName("ignoredSheetContent");
    setMinimumSize(480, 320);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* header = new QWidget(this);
    header->setObjectName("ignoredHeader");
    auto* headerRow = new QHBoxLayout(header);
    auto* title = ui::plainLabel(ui::localized("Ignored Apps"), header);
    title->setObjectName("ignoredTitle");
    ui::styleLabel(title, ui::TextStyle::headline);
    count_ = ui::plainLabel({}, header);
    count_->setObjectName("ignoredCount");
    ui::styleLabel(count_, ui::TextStyle::caption, ui::SystemColor::secondary);
    headerRow->addWidget(title);
    headerRow->addStretch(1);
    headerRow->addWidget(count_);
    layout->addWidget(header);
    layout->addWidget(ui::divider(this, "ignoredHeaderDivider"));

    empty_ = new QWidget(this);
    empty_->setObjectName("ignoredEmpty");
    empty_->setMinimumHeight(kEmptyMinHeight);
    auto* emptyColumn = new QVBoxLayout(empty_);
    auto* none = ui::plainLabel(ui::localized("No apps ignored"), empty_);
    none->setObjectName("noAppsIgnoredLabel");
    ui::styleLabel(none, ui::TextStyle::body, ui::SystemColor::secondary);
    emptyColumn->addStretch(1);
    emptyColumn->addWidget(none, 0, Qt::AlignHCenter);
    emptyColumn->addStretch(1);
    layout->addWidget(empty_, 1);

    list_ = new QScrollArea(this);
    list_->setObjectName("ignoredList");
    list_->setMinimumHeight(kListMinHeight);
    list_->setWidgetResizable(true);
    list_->setFrameShape(QFrame::NoFrame);
    rows_ = new QWidget(list_);
    rows_->setObjectName("ignoredRows");
    rowsLayout_ = new QVBoxLayout(rows_);
    rowsLayout_->setSpacing(0);
    rowsLayout_->addStretch(1);
    list_->setWidget(rows_);
    layout->addWidget(list_, 1);

    layout->addWidget(ui::divider(this, "ignoredFooterDivider"));
    auto* footer = new QWidget(this);
    footer->setObjectName("ignoredFooter");
    auto* footerRow = new QHBoxLayout(footer);
    footer_ = ui::plainLabel({}, footer);
    footer_->setObjectName("overridesPathLabel");
    footer_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A long path must not widen the sheet; the tool tip holds it whole.
    footer_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    ui::styleLabel(footer_, ui::TextStyle::caption, ui::SystemColor::secondary);
    auto* rescan = ui::pushButton("Rescan", "rescanButton", footer);
    connect(rescan, &QPushButton::clicked, this, &IgnoredSheet::startRescan);
    auto* close = ui::pushButton("Close", "closeButton", footer);
    // Return presses it.
    close->setDefault(true);
    connect(close, &QPushButton::clicked, this, [this] {
        if (onClose) onClose();
    });
    footerRow->addWidget(footer_, 1);
    footerRow->addWidget(rescan);
    footerRow->addWidget(close);
    layout->addWidget(footer);

    rebuildRows();
}

void IgnoredSheet::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) reload();
}

void IgnoredSheet::reload() {
    entries_ = model_.ignoredEntries();
    rebuildRows();
}

void IgnoredSheet::rebuildRows() {
    // Rows go later: the Unignore button that asked for this reload is still handling its click.
    while (rowsLayout_->count() > 1) {
        QLayoutItem* item = rowsLayout_->takeAt(0);
        if (QWidget* row = item->widget()) {
            row->hide();
            row->deleteLater();
        }
        delete item;
    }
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        rowsLayout_->insertWidget(static_cast<int>(i), makeRow(entries_[i]));
    }
    count_->setText(ui::localized("%lld entries", {static_cast<long long>(entries_.size())}));
    empty_->setVisible(entries_.empty());
    list_->setVisible(!entries_.empty());
    // The store that Unignore writes to may only now exist.
    const QString path = ui::qs(overridesFileInUse(model_).filePath());
    footer_->setText(ui::localizedInserting("Written to %@", path));
    footer_->setToolTip(ui::plainToolTip(path));
}

QWidget* IgnoredSheet::makeRow(const pelkit::IgnoredEntry& entry) {
    auto* row = new QWidget(rows_);
    row->setObjectName("ignoredRow");
    row->setProperty("bundleID", ui::qs(entry.bundleID));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, kRowPadY, 0, kRowPadY);
    line->setAlignment(Qt::AlignTop);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* id = ui::plainLabel(ui::qs(entry.bundleID), row);
    id->setObjectName("ignoredBundleID");
    ui::styleLabel(id, ui::TextStyle::monospacedBody);
    texts->addWidget(id);
    if (entry.reason && !entry.reason->empty()) {
        auto* reason = ui::plainLabel(ui::qs(*entry.reason), row);
        reason->setObjectName("ignoredReason");
        reason->setWordWrap(true);
        ui::styleLabel(reason, ui::TextStyle::caption, ui::SystemColor::secondary);
        texts->addWidget(reason);
    }
    line->addLayout(texts, 1);

    auto* unignore = ui::borderlessButton("Unignore", "unignoreButton", row);
    ui::setButtonTextColor(unignore, ui::systemColor(ui::SystemColor::blue));
    connect(unignore, &QPushButton::clicked, this, [this, id = entry.bundleID] { this->unignore(id); });
    line->addWidget(unignore, 0, Qt::AlignTop);
    return row;
}

void IgnoredSheet::unignore(const std::string& bundleID) {
    model_.unignore(bundleID);
    reload();
}

void IgnoredSheet::startRescan() {
    MainTask::start(model_.executor(),
                    rescanThenReload(&model_, QPointer<QWidget>(this), [this] { reload(); }));
}

} // namespace pelapp
