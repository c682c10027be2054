#include "PelApp/Views/SettingsView.hpp"

#include "PelApp/Launch/AppDelegate.hpp"
#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/LoginItem.hpp"
#include "PelApp/Model/ModelRelay.hpp"
#include "PelApp/Telemetry/Scrubbing.hpp"
#include "PelApp/Views/SettingsSigning.hpp"
#include "PelApp/Views/StripKit.hpp"
#include "PelApp/Views/SymbolNames.hpp"
#include "PelApp/Views/UiKit.hpp"
#include "PelKit/Config.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>

#include <system_error>

namespace pelapp {

namespace {

constexpr int kPadding = 20;
constexpr int kAboutSpacing = 8;
constexpr std::size_t kJournalLines = 40;

QLabel* caption(const char* text, QWidget* parent, const char* objectName) {
    QLabel* label = ui::plainLabel(ui::localized(text), parent);
    label->setObjectName(objectName);
    label->setWordWrap(true);
    ui::styleLabel(label, ui::TextStyle::caption, ui::SystemColor::secondary);
    return label;
}

QCheckBox* toggle(std::string_view key, QWidget* parent, const char* objectName) {
    auto* box = new QCheckBox(ui::actionText(key), parent);
    box->setObjectName(objectName);
    return box;
}

// A form page with the tab content's padding.
QFormLayout* formPage(QWidget* page) {
    auto* form = new QFormLayout(page);
    form->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    form->setRowWrapPolicy(QFormLayout::DontWrapRows);
    return form;
}

void setChecked(QCheckBox* box, bool on) {
    if (box->isChecked() == on) return;
    const QSignalBlocker block(box);
    box->setChecked(on);
}

} // namespace

SettingsView::SettingsView(AppModel& model, platform::Defaults defaults, LoginItem& loginItem,
                           SigningTeam& signingTeam, QWidget* parent, SettingsSeams seams)
    : QWidget(parent), model_(model), preferences_(std::move(defaults)), loginItem_(loginItem),
      signingTeam_(signingTeam), seams_(std::move(seams)), relay_(new ModelRelay(model, this)) {
    setObjectName("settingsView");
    if (!seams_.home) seams_.home = [] { return pelkit::PelPaths::home(); };
    if (!seams_.loginName) seams_.loginName = [] { return currentLoginName(); };
    if (!seams_.osVersion) seams_.osVersion = [] { return operatingSystemVersionString(); };
    setFixedSize(kWidth, kHeight);

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("settingsTabs");
    tabs_->addTab(buildGeneral(), ui::symbolIcon("gear"), ui::localized("settings.general"));
    tabs_->addTab(buildUpdates(), ui::symbolIcon("arrow.down.circle"), ui::localized("settings.updates"));
    tabs_->addTab(buildAdvanced(), ui::symbolIcon("wrench"), ui::localized("settings.advanced"));
    tabs_->addTab(buildAbout(), ui::symbolIcon("info.circle"), ui::localized("settings.about"));
    tabs_->setCurrentIndex(0);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(tabs_);

    signingToken_ = signingTeam_.observe([this] { refresh(); });
    connect(relay_, &ModelRelay::refresh, this, [this](unsigned) { refresh(); });
    refresh();
}

SettingsView::~SettingsView() {
    signingTeam_.unobserve(signingToken_);
}

QWidget* SettingsView::buildGeneral() {
    auto* page = new QWidget(this);
    page->setObjectName("settingsGeneral");
    QFormLayout* form = formPage(page);

    launchAtLogin_ = toggle("settings.launchAtLogin", page, "launchAtLoginToggle");
    connect(launchAtLogin_, &QCheckBox::toggled, this, [this](bool on) {
        setLaunchAtLogin(model_, loginItem_, on);
        refresh(); // the toggle shows the login item's status, whatever became of the call
    });
    form->addRow(launchAtLogin_);
    form->addRow(ui::divider(page, "generalDivider"));

    struct Row {
        std::string_view key;
        const char* name;
        std::function<void()> action;
    };
    const Row rows[] = {
        {"settings.sendFeedback", "sendFeedbackButton", [this] { openFeedbackMail(); }},
        {"settings.privacyPolicy", "privacyPolicyButton",
         [this] { model_.urlOpener().open(*platform::Url::parse(kPrivacyPolicyURL)); }},
        {"settings.termsOfService", "termsOfServiceButton",
         [this] { model_.urlOpener().open(*platform::Url::parse(kTermsOfServiceURL)); }},
    };
    for (const Row& row : rows) {
        auto* line = new QHBoxLayout;
        line->addWidget(ui::plainLabel(ui::localized(row.key), page));
        line->addStretch(1);
        QPushButton* b = ui::pushButton(row.key, row.name, page);
        connect(b, &QPushButton::clicked, this, row.action);
        line->addWidget(b);
        form->addRow(line);
    }
    return page;
}

QWidget* SettingsView::buildUpdates() {
    auto* page = new QWidget(this);
    page->setObjectName("settingsUpdates");
    QFormLayout* form = formPage(page);

    autoScan_ = toggle("settings.autoScan", page, "autoScanToggle");
    connect(autoScan_, &QCheckBox::toggled, this, [this](bool on) {
        preferences_.setAutoScan(on);
        refresh();
    });
    form->addRow(autoScan_);

    interval_ = new QComboBox(page);
    interval_->setObjectName("autoScanIntervalPicker");
    for (const ScanInterval& choice : kScanIntervals)
        interval_->addItem(ui::localized(choice.title), QVariant::fromValue<qlonglong>(choice.hours));
    connect(interval_, &QComboBox::activated, this, [this](int index) {
        preferences_.setAutoScanIntervalHours(interval_->itemData(index).toLongLong());
        refresh();
    });
    auto* intervalLabel = ui::plainLabel(ui::localized("Interval"), page);
    intervalLabel->setObjectName("autoScanIntervalLabel");
    form->addRow(intervalLabel, interval_);

    form->addRow(caption("Automatic scans run in the background and never install without your action.", page,
                         "autoScanCaption"));
    return page;
}

QWidget* SettingsView::buildAdvanced() {
    auto* page = new QWidget(this);
    page->setObjectName("settingsAdvanced");
    QFormLayout* form = formPage(page);

    telemetry_ = toggle("Send crash + error reports", page, "telemetryToggle");
    connect(telemetry_, &QCheckBox::toggled, this, [this](bool on) { preferences_.setTelemetryEnabled(on); });
    form->addRow(telemetry_);
    form->addRow(caption("Sent via Sentry. No installed-app inventory. Paths and usernames scrubbed. Restart required "
                         "to change.",
                         page, "telemetryCaption"));
    analytics_ = toggle("Send anonymous product analytics", page, "analyticsToggle");
    connect(analytics_, &QCheckBox::toggled, this, [this](bool on) { preferences_.setAnalyticsEnabled(on); });
    form->addRow(analytics_);
    form->addRow(caption("Sent via Tally. Aggregate counts only: outcome / source / error class. No bundle IDs, no "
                         "user ID. Restart required to change.",
                         page, "analyticsCaption"));
    form->addRow(ui::divider(page, "advancedDivider"));

    auto* folders = new QHBoxLayout;
    QPushButton* journal = ui::pushButton("settings.openJournal", "openJournalButton", page);
    connect(journal, &QPushButton::clicked, this, [this] { openFolder(pelkit::PelPaths::journalDir()); });
    QPushButton* cache = ui::pushButton("settings.openCache", "openCacheButton", page);
    connect(cache, &QPushButton::clicked, this, [this] { openFolder(pelkit::PelPaths::cacheDir()); });
    folders->addWidget(journal);
    folders->addWidget(cache);
    folders->addStretch(1);
    form->addRow(folders);
    form->addRow(ui::divider(page, "resetDivider"));

    QPushButton* reset = ui::pushButton("settings.resetOverrides", "resetOverridesButton", page);
    // Destructive: white on the system red.
    QPalette tint = reset->palette();
    tint.setColor(QPalette::Button, ui::systemColor(ui::SystemColor::red));
    tint.setColor(QPalette::ButtonText, ui::systemColor(ui::SystemColor::white));
    reset->setPalette(tint);
    reset->setAutoFillBackground(true);
    connect(reset, &QPushButton::clicked, this, [this] { resetOverrides(model_.engineApi()); });
    auto* resetRow = new QHBoxLayout;
    resetRow->addWidget(reset);
    resetRow->addStretch(1);
    form->addRow(resetRow);
    return page;
}

QWidget* SettingsView::buildAbout() {
    auto* page = new QWidget(this);
    page->setObjectName("settingsAbout");
    auto* stack = new QVBoxLayout(page);
    stack->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    stack->setSpacing(kAboutSpacing);

    QLabel* name = ui::plainLabel(ui::localized("app.name"), page);
    name->setObjectName("aboutName");
    QFont title = ui::font(ui::TextStyle::title2);
    title.setBold(true);
    name->setFont(title);
    QLabel* version = ui::plainLabel(ui::qs(aboutVersionLine(model_.appInfo())), page);
    version->setObjectName("aboutVersion");
    ui::styleLabel(version, ui::TextStyle::body, ui::SystemColor::secondary);
    signedBy_ = ui::plainLabel({}, page);
    signedBy_->setObjectName("aboutSignedBy");
    ui::styleLabel(signedBy_, ui::TextStyle::caption, ui::SystemColor::secondary);
    QLabel* copyright = ui::plainLabel(ui::qs(kCopyrightNotice), page);
    copyright->setObjectName("aboutCopyright");
    ui::styleLabel(copyright, ui::TextStyle::caption, ui::SystemColor::secondary);

    stack->addWidget(name, 0, Qt::AlignHCenter);
    stack->addWidget(version, 0, Qt::AlignHCenter);
    stack->addWidget(signedBy_, 0, Qt::AlignHCenter);
    stack->addStretch(1);
    stack->addWidget(copyright, 0, Qt::AlignHCenter);
    return page;
}

void SettingsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    signingTeam_.start(model_.executor());
    refresh();
}

void SettingsView::refresh() {
    setChecked(launchAtLogin_, loginItem_.status() == LoginItemStatus::enabled);

    const bool autoScan = preferences_.autoScan();
    setChecked(autoScan_, autoScan);
    const int index = interval_->findData(QVariant::fromValue<qlonglong>(preferences_.autoScanIntervalHours()));
    if (interval_->currentIndex() != index) interval_->setCurrentIndex(index);
    interval_->setEnabled(autoScan);

    setChecked(telemetry_, preferences_.telemetryEnabled());
    setChecked(analytics_, preferences_.analyticsEnabled());

    const std::optional<std::string> team = signingTeam_.team();
    signedBy_->setText(team ? ui::qs("Signed by " + *team) : QString());
    signedBy_->setVisible(team.has_value());
}

void SettingsView::openFeedbackMail() {
    const std::string excerpt = scrubbedJournalTail(feedbackJournalFile(model_.engineApi(), model_.clock().now()),
                                                    kJournalLines, seams_.home().string(), seams_.loginName());
    const AppInfo& info = model_.appInfo();
    if (auto url = feedbackMailUrl(feedbackSubject(info), feedbackBody(info, seams_.osVersion(), excerpt)))
        model_.urlOpener().open(*url);
}

void SettingsView::openFolder(const platform::Url& folder) {
    std::error_code ec;
    if (!std::filesystem::is_directory(folder.filePath(), ec)) return;
    model_.urlOpener().open(folder);
}

namespace {

// The settings scene's window: the view over the production preferences, login item and signing team.
class SettingsWindow final : public QWidget {
public:
    explicit SettingsWindow(AppModel& model) : loginItem_(mainAppLoginItem()) {
        setObjectName("settingsWindow");
        setAttribute(Qt::WA_DeleteOnClose);
        setWindowTitle(ui::localized("Settings"));
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(new SettingsView(model, appDefaults(), *loginItem_,
                                           SigningTeam::shared(model.appInfo().bundlePath), this));
        layout->setSizeConstraint(QLayout::SetFixedSize);
    }

private:
    std::unique_ptr<LoginItem> loginItem_;
};

} // namespace

QWidget* showSettingsWindow(AppModel& model) {
    static QPointer<QWidget> window;
    if (!window) window = new SettingsWindow(model);
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

} // namespace pelapp
