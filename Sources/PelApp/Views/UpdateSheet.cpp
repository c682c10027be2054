#include "PelApp/Views/UpdateSheet.hpp"

#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/ModelRelay.hpp"
#include "PelApp/Model/UpdateSheetView.hpp"
#include "PelApp/Views/StripKit.hpp"
#include "PelApp/Views/UiKit.hpp"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextDocument>
#include <QVBoxLayout>

#include <algorithm>

namespace pelapp {

namespace {

constexpr int kMinWidth = 560;
constexpr int kMinHeight = 460;
constexpr int kListMinHeight = 260;
constexpr int kLogHeight = 120;
constexpr int kPadding = 12;

QHBoxLayout* paddedRow() {
    auto* row = new QHBoxLayout;
    row->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    return row;
}

QFont monospacedCaption() {
    QFont f = ui::font(ui::TextStyle::monospacedBody);
    f.setPointSizeF(ui::font(ui::TextStyle::caption).pointSizeF());
    return f;
}

} // namespace

UpdateSheet::UpdateSheet(AppModel& model, WindowState&, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName("updateSheetContent");
    setMinimumSize(kMinWidth, kMinHeight);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);

    auto* head = paddedRow();
    header_ = ui::plainLabel({}, this);
    header_->setObjectName("sheetHeader");
    header_->setFont(ui::font(ui::TextStyle::headline));
    head->addWidget(header_);
    head->addStretch(1);
    runSpinner_ = sheet::smallSpinner(this, "runSpinner");
    head->addWidget(runSpinner_);
    head->addSpacing(4);
    phase_ = ui::plainLabel({}, this);
    phase_->setObjectName("runPhase");
    ui::styleLabel(phase_, ui::TextStyle::caption, ui::SystemColor::secondary);
    head->addWidget(phase_);
    stack->addLayout(head);
    stack->addWidget(ui::divider(this, "divider"));

    auto* scroll = new QScrollArea(this);
    scroll->setObjectName("updateList");
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setMinimumHeight(kListMinHeight);
    auto* listBody = new QWidget(scroll);
    listBody->setObjectName("updateListBody");
    list_ = new QVBoxLayout(listBody);
    list_->setContentsMargins(kPadding, 4, kPadding, 4);
    list_->setSpacing(0);
    list_->addStretch(1);
    scroll->setWidget(listBody);
    stack->addWidget(scroll, 1);

    logDivider_ = ui::divider(this, "logDivider");
    stack->addWidget(logDivider_);
    log_ = new QPlainTextEdit(this);
    log_->setObjectName("updateLogPane");
    log_->setReadOnly(true);
    log_->setFixedHeight(kLogHeight);
    log_->setFont(monospacedCaption());
    log_->setFrameShape(QFrame::NoFrame);
    log_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // 12 by 6 around the lines: the document's own margin plus the rest on the sides.
    log_->document()->setDocumentMargin(6);
    log_->setContentsMargins(kPadding - 6, 0, kPadding - 6, 0);
    log_->setFocusPolicy(Qt::ClickFocus);
    ui::fillBackground(log_, ui::textBackground());
    stack->addWidget(log_);
    stack->addWidget(ui::divider(this, "divider"));

    auto* foot = paddedRow();
    counts_ = ui::plainLabel({}, this);
    counts_->setObjectName("counters");
    ui::styleLabel(counts_, ui::TextStyle::caption, ui::SystemColor::secondary);
    foot->addWidget(counts_);
    foot->addStretch(1);
    cancelAll_ = ui::pushButton("Cancel All", "cancelAllButton", this);
    cancelAll_->setToolTip(ui::localized("Cancel remaining downloads. In-progress installs finish cleanly."));
    ui::setButtonTextColor(cancelAll_, ui::systemColor(ui::SystemColor::red));
    foot->addWidget(cancelAll_);
    close_ = new QPushButton(this);
    close_->setObjectName("closeButton");
    close_->setDefault(true);
    foot->addWidget(close_);
    stack->addLayout(foot);

    connect(cancelAll_, &QPushButton::clicked, this, [this] { model_.cancelAll(); });
    connect(close_, &QPushButton::clicked, this, [this] {
        if (onClose) onClose();
    });
    auto* relay = new ModelRelay(model_, this);
    connect(relay, &ModelRelay::refresh, this, [this](unsigned) { redraw(); });
    redraw();
}

UpdateSheet::~UpdateSheet() {
    pending_.cancel();
}

void UpdateSheet::redraw(bool intervalOver) {
    const std::vector<AppRow> rows = sheet::rows(model_);
    View view;
    view.header = sheet::header(rows, sheet::allDryRun(model_, rows));
    view.running = model_.runningUpdate;
    view.counts = sheet::countsText(sheet::counts(model_, rows.size()));
    view.logSize = model_.updateLog.size();
    Progress progress;
    progress.phase = model_.activePhase;
    for (const auto& row : rows) {
        view.lines.push_back(sheet::lineView(model_, row));
        progress.lines.push_back(sheet::lineProgress(model_, row));
    }

    const platform::TimePoint now = model_.executor().now();
    if (view != view_) {
        apply(view);
        apply(progress);
        progressAt_ = now;
        return;
    }
    if (progress == progress_) return;
    // The wall clock can be set back or forward while a download runs: the time since the last
    // progress redraw is held between none and a whole interval, and a redraw that waited out its
    // interval on the executor's timer draws without asking the clock again.
    const auto since =
        intervalOver ? kProgressInterval
                     : std::clamp<platform::TimePoint::duration>(now - progressAt_, {}, kProgressInterval);
    if (since >= kProgressInterval) {
        apply(progress);
        progressAt_ = now;
        return;
    }
    if (scheduled_) return;
    // A burst of reports: draw the latest once the interval is up.
    scheduled_ = true;
    QPointer<UpdateSheet> self(this);
    pending_ = model_.executor().postAfter(kProgressInterval - since, [self] {
        if (!self) return;
        self->scheduled_ = false;
        self->redraw(true);
    });
}

void UpdateSheet::apply(const View& view) {
    header_->setText(ui::qs(view.header));
    runSpinner_->setVisible(view.running);
    phase_->setVisible(view.running);
    cancelAll_->setVisible(view.running);
    close_->setText(ui::actionText(view.running ? "Hide" : "Close"));
    close_->setToolTip(ui::localized(view.running ? "Hide the sheet — updates continue in background" : "Close"));
    counts_->setText(ui::qs(view.counts));

    // Lines follow the queue: reuse the widget of an identifier, add and drop the others.
    std::vector<std::string> order;
    for (const auto& line : view.lines)
        order.push_back(line.id);
    for (auto it = lines_.begin(); it != lines_.end();) {
        if (std::find(order.begin(), order.end(), it->first) == order.end()) {
            it->second->hide();
            it->second->deleteLater();
            it = lines_.erase(it);
        } else {
            ++it;
        }
    }
    if (order != order_) {
        for (const auto& [id, line] : lines_)
            list_->removeWidget(line);
        for (std::size_t i = 0; i < order.size(); ++i) {
            auto [it, added] = lines_.try_emplace(order[i], nullptr);
            if (added) it->second = new sheet::Line(model_, order[i], list_->parentWidget());
            list_->insertWidget(static_cast<int>(i), it->second);
            it->second->show();
        }
        order_ = std::move(order);
    }
    for (const auto& line : view.lines)
        lines_.at(line.id)->apply(line);

    syncLog();
    view_ = view;
}

void UpdateSheet::apply(const Progress& progress) {
    phase_->setText(progress.phase ? ui::qs(*progress.phase) : ui::localized("working…"));
    for (std::size_t i = 0; i < progress.lines.size() && i < order_.size(); ++i)
        lines_.at(order_[i])->apply(progress.lines[i]);
    progress_ = progress;
}

void UpdateSheet::syncLog() {
    const auto& log = model_.updateLog;
    logDivider_->setVisible(!log.empty());
    log_->setVisible(!log.empty());
    if (log.size() == logShown_) return;
    if (log.size() < logShown_ || !view_) {
        // First show (or a log that shrank, which the model never does): fill without scrolling.
        QStringList lines;
        for (const auto& line : log)
            lines << ui::qs(line);
        log_->setPlainText(lines.join(QLatin1Char('\n')));
        logShown_ = log.size();
        return;
    }
    for (std::size_t i = logShown_; i < log.size(); ++i)
        log_->appendPlainText(ui::qs(log[i]));
    logShown_ = log.size();
    // The newest line is the last: the least scroll that shows it ends at the bottom.
    QScrollBar* bar = log_->verticalScrollBar();
    bar->setValue(bar->maximum());
}

} // namespace pelapp
