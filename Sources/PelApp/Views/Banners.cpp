#include "PelApp/Views/Banners.hpp"

#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/ModelRelay.hpp"
#include "PelApp/Views/SettingsPanes.hpp"
#include "PelApp/Views/StripKit.hpp"
#include "PelApp/Views/UiKit.hpp"
#include "PelApp/Views/WindowState.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <utility>

namespace pelapp {

namespace {

constexpr int kIconSize = 18;
constexpr QSize kSpinnerSize{48, 10};

// A banner's strip: a row with spacing 10 and padding 12 by 8 on a tinted background.
std::pair<QWidget*, QHBoxLayout*> bannerStrip(QWidget* parent, const char* objectName, ui::SystemColor tint,
                                              double opacity) {
    auto* strip = new QWidget(parent);
    strip->setObjectName(objectName);
    ui::fillBackground(strip, ui::withOpacity(ui::systemColor(tint), opacity));
    return {strip, ui::stripLayout(strip, 10, 12, 8)};
}

QFont boldBody() {
    QFont bold = ui::font(ui::TextStyle::body);
    bold.setBold(true);
    return bold;
}

} // namespace

bool showsPermissionBanner(const AppModel& model) {
    return model.permissionStatus == pelkit::PermissionStatus::denied;
}

bool showsRunningBanner(const AppModel& model) {
    return model.runningUpdate;
}

QString runningBannerTitle(const AppModel& model) {
    return ui::localized("Updating %lld of %lld", {static_cast<long long>(model.activeCount),
                                                   static_cast<long long>(model.updateQueue.size())});
}

std::optional<std::string> runningBannerAppName(const AppModel& model) {
    if (!model.activeUpdateID) return std::nullopt;
    if (const AppRow* row = model.findRow(*model.activeUpdateID)) return row->app.name;
    return std::nullopt;
}

Banners::Banners(AppModel& model, WindowState& state, QWidget* parent)
    : QWidget(parent), model_(model), state_(state) {
    setObjectName("banners");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    permissionStrip_ = buildPermissionStrip();
    permissionDivider_ = ui::divider(this, "permissionBannerDivider");
    runningStrip_ = buildRunningStrip();
    runningDivider_ = ui::divider(this, "runningBannerDivider");
    for (QWidget* part : {permissionStrip_, permissionDivider_, runningStrip_, runningDivider_}) {
        layout->addWidget(part);
    }

    auto* relay = new ModelRelay(model_, this);
    connect(relay, &ModelRelay::refresh, this, &Banners::refresh);
    connect(&state_, &WindowState::changed, this, [this] { refresh(0); });
    refresh(0);
}

QWidget* Banners::buildPermissionStrip() {
    auto [strip, row] = bannerStrip(this, "permissionBanner", ui::SystemColor::orange, 0.14);

    auto* icon = new QLabel(strip);
    icon->setObjectName("permissionIcon");
    icon->setPixmap(
        ui::symbolIcon("lock.trianglebadge.exclamationmark.fill", ui::systemColor(ui::SystemColor::orange))
            .pixmap(kIconSize, kIconSize));
    row->addWidget(icon, 0, Qt::AlignVCenter);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* title = ui::plainLabel(ui::localized("App Management permission not granted"), strip);
    title->setObjectName("permissionTitle");
    title->setFont(boldBody());
    auto* detail =
        ui::plainLabel(ui::localized("Installs into /Applications will fail with ENV_NOT_WRITABLE. Grant in "
                                     "System Settings > Privacy & Security > App Management."),
                       strip);
    detail->setObjectName("permissionDetail");
    detail->setWordWrap(true);
    ui::styleLabel(detail, ui::TextStyle::caption, ui::SystemColor::secondary);
    texts->addWidget(title);
    texts->addWidget(detail);
    row->addLayout(texts, 1);

    auto* openSettings = ui::pushButton("Open Settings", "openSettingsButton", strip);
    connect(openSettings, &QPushButton::clicked, this,
            [this] { model_.urlOpener().open(appManagementSettingsUrl()); });
    auto* recheck = ui::pushButton("Recheck", "recheckButton", strip);
    connect(recheck, &QPushButton::clicked, this, [this] {
        model_.permissionStatus = model_.probePermission();
        model_.changed(ModelChange::permission);
    });
    row->addWidget(openSettings, 0, Qt::AlignVCenter);
    row->addWidget(recheck, 0, Qt::AlignVCenter);
    return strip;
}

QWidget* Banners::buildRunningStrip() {
    auto [strip, row] = bannerStrip(this, "runningBanner", ui::SystemColor::blue, 0.12);

    auto* spinner = new QProgressBar(strip);
    spinner->setObjectName("runningProgress");
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setFixedSize(kSpinnerSize);
    row->addWidget(spinner, 0, Qt::AlignVCenter);

    runningTitle_ = ui::plainLabel({}, strip);
    runningTitle_->setObjectName("runningTitle");
    runningTitle_->setFont(boldBody());
    runningName_ = ui::plainLabel({}, strip);
    runningName_->setObjectName("runningAppName");
    ui::styleLabel(runningName_, ui::TextStyle::body, ui::SystemColor::secondary);
    runningPhase_ = ui::plainLabel({}, strip);
    runningPhase_->setObjectName("runningPhase");
    ui::styleLabel(runningPhase_, ui::TextStyle::caption, ui::SystemColor::secondary);
    for (QLabel* label : {runningTitle_, runningName_, runningPhase_})
        row->addWidget(label, 0, Qt::AlignVCenter);
    row->addStretch(1);

    auto* details = ui::borderlessButton("Show details", "showDetailsButton", strip);
    // Reopens the sheet even when the user hid it during this run.
    connect(details, &QPushButton::clicked, this, [this] { model_.setShowUpdateSheet(true); });
    auto* cancelAll = ui::borderlessButton("Cancel All", "cancelAllButton", strip);
    ui::setButtonTextColor(cancelAll, ui::systemColor(ui::SystemColor::red));
    connect(cancelAll, &QPushButton::clicked, this, [this] { model_.cancelAll(); });
    row->addWidget(details, 0, Qt::AlignVCenter);
    row->addWidget(cancelAll, 0, Qt::AlignVCenter);
    return strip;
}

void Banners::refresh(unsigned) {
    const bool permission = showsPermissionBanner(model_);
    const bool running = showsRunningBanner(model_);
    permissionStrip_->setVisible(permission);
    permissionDivider_->setVisible(permission);
    runningStrip_->setVisible(running);
    runningDivider_->setVisible(running);
    if (running) {
        runningTitle_->setText(runningBannerTitle(model_));
        const auto name = runningBannerAppName(model_);
        runningName_->setVisible(name.has_value());
        runningName_->setText(name ? QStringLiteral("· ") + ui::qs(*name) : QString());
        runningPhase_->setVisible(model_.activePhase.has_value());
        runningPhase_->setText(model_.activePhase ? QStringLiteral("· ") + ui::qs(*model_.activePhase)
                                                  : QString());
    }
    setVisible(permission || running);
}

} // namespace pelapp
