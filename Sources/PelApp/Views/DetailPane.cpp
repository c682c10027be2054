#include "PelApp/Views/DetailPane.hpp"

#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/ModelRelay.hpp"
#include "PelApp/Model/OverridesLocation.hpp"
#include "PelApp/Views/InspectorView.hpp"
#include "PelApp/Views/UiKit.hpp"
#include "PelApp/Views/WindowState.hpp"
#include "PelKit/Proc.hpp"

#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace pelapp {

namespace {

// The groups whose fields the pane shows or decides by (busy states live in the run group).
constexpr unsigned kShownGroups = static_cast<unsigned>(ModelChange::rows | ModelChange::selection |
                                                        ModelChange::run | ModelChange::status);

bool sameRemote(const std::optional<pelkit::RemoteVersion>& a,
                const std::optional<pelkit::RemoteVersion>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    // Every field: the actions hand the whole record to the update they start.
    return a->source == b->source && a->sourceToken == b->sourceToken && a->version == b->version &&
           a->buildVersion == b->buildVersion && a->downloadURL == b->downloadURL && a->sha256 == b->sha256 &&
           a->sizeBytes == b->sizeBytes && a->minSystemVersion == b->minSystemVersion &&
           a->publishedAt == b->publishedAt && a->notes == b->notes && a->artifactType == b->artifactType;
}

// The row's progress text is left out: the pane does not show it, and during an update it changes
// every half second.
bool sameRow(const AppRow& a, const AppRow& b) {
    return a.id == b.id && a.app == b.app && sameRemote(a.remote, b.remote) && a.outcome == b.outcome &&
           a.errorCode == b.errorCode && a.errorMessage == b.errorMessage && a.checking == b.checking &&
           a.updating == b.updating && a.bucketOverride == b.bucketOverride;
}

QWidget* makePlaceholder(QWidget* parent) {
    auto* page = new QWidget(parent);
    page->setObjectName("detailPlaceholder");
    auto* layout = new QVBoxLayout(page);
    layout->addStretch(1);
    auto* text = ui::plainLabel(ui::localized("Select an app to see details"), page);
    text->setObjectName("placeholderText");
    text->setAlignment(Qt::AlignCenter);
    text->setWordWrap(true);
    ui::styleLabel(text, ui::TextStyle::body, ui::SystemColor::secondary);
    layout->addWidget(text);
    layout->addStretch(1);
    return page;
}

} // namespace

DetailPane::DetailPane(AppModel& model, WindowState& state, QWidget* parent)
    : QWidget(parent), model_(model), state_(state) {
    setObjectName("detailPane");
    sizeProbe_ = [&model](std::string id) { return model.probeSize(std::move(id)); };

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    pages_ = new QStackedWidget(this);
    pages_->setObjectName("detailPages");
    placeholder_ = makePlaceholder(pages_);
    scroll_ = new QScrollArea(pages_);
    scroll_->setObjectName("detailScroll");
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    pages_->addWidget(placeholder_);
    pages_->addWidget(scroll_);
    layout->addWidget(pages_);

    auto* relay = new ModelRelay(model_, this);
    connect(relay, &ModelRelay::refresh, this, &DetailPane::refresh);
    connect(&state_, &WindowState::changed, this, [this] { sync(); });
    sync();
}

DetailPane::~DetailPane() {
    stopProbe();
}

void DetailPane::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    sync();
}

void DetailPane::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    stopProbe();
    probedID_.reset();
}

void DetailPane::refresh(unsigned groups) {
    if ((groups & kShownGroups) != 0) sync();
}

bool DetailPane::showsAlike(const Shown& a, const Shown& b) {
    if (a.row.has_value() != b.row.has_value()) return false;
    if (a.row && !sameRow(*a.row, *b.row)) return false;
    return a.busy == b.busy && a.context == b.context;
}

DetailPane::Shown DetailPane::wanted() const {
    Shown shown;
    const AppRow* row = nullptr;
    if (!model_.selectionIDs.empty()) row = model_.findRow(*model_.selectionIDs.begin());
    if (!row) return shown;

    shown.row = *row;
    shown.busy = model_.isBusy(row->id);
    InspectorContext& context = shown.context;
    context.dryRun = state_.dryRun();
    const auto& remote = row->remote;
    if (row->outcome == pelkit::Outcome::outdated && remote &&
        remote->source == pelkit::AppSource::homebrew && remote->sourceToken) {
        context.hasBrew = pelkit::Proc::which("brew").has_value();
    }
    if (row->outcome == pelkit::Outcome::unsupported && row->app.isMacAppStore) {
        context.hasMas = pelkit::Proc::which("mas").has_value();
    }
    if (row->outcome == pelkit::Outcome::unresolved)
        context.overridesPath = overridesFileInUse(model_).filePath();
    return shown;
}

void DetailPane::sync() {
    // A hidden pane draws nothing and looks for no tools; showing it brings it up to date.
    if (!isVisible()) return;

    Shown next = wanted();
    if (!next.row) {
        shownID_.reset();
        stopProbe();
        probedID_.reset();
        pages_->setCurrentWidget(placeholder_);
        if (QWidget* old = scroll_->takeWidget()) old->deleteLater();
        shown_ = std::move(next);
        return;
    }

    const AppRow& row = *next.row;
    if (!shown_ || !showsAlike(*shown_, next)) {
        const bool keepScroll = shownID_ == row.id;
        const int scrolled = scroll_->verticalScrollBar()->value();
        if (QWidget* old = scroll_->takeWidget()) old->deleteLater();
        scroll_->setWidget(buildInspector(model_, row, next.context, scroll_));
        pages_->setCurrentWidget(scroll_);
        if (keepScroll) scroll_->verticalScrollBar()->setValue(scrolled);
        shownID_ = row.id;
    }
    probeIfNeeded(row);
    shown_ = std::move(next);
}

void DetailPane::probeIfNeeded(const AppRow& row) {
    if (probedID_ == row.id) return;
    // Another row now: the former row's probe is of no use to this showing.
    stopProbe();
    probedID_ = row.id;
    if (row.remote && row.remote->sizeBytes) return;
    if (row.outcome != pelkit::Outcome::outdated) return;
    if (sizeProbe_) probe_ = MainTask::start(model_.executor(), sizeProbe_(row.id));
}

void DetailPane::stopProbe() {
    probe_.cancel();
    probe_ = MainTask();
}

} // namespace pelapp
