#include "PelApp/AppModelTestAccess.hpp"
#include "PelApp/Model/LoginItem.hpp"
#include "PelApp/ModelHarness.hpp"
#include "PelApp/QtTestApp.hpp"
#include "PelApp/RunUntil.hpp"
#include "PelApp/Views/MainWindow.hpp"
#include "PelApp/Views/SettingsSigning.hpp"
#include "PelApp/Views/SettingsView.hpp"
#include "Platform/Time.hpp"
#include "Support/FakeTools.hpp"
#include "Support/TempDir.hpp"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;
using pelapp::LoginItemStatus;
using pelapptest::flushUi;

struct CountingLoginItem final : pelapp::LoginItem {
    LoginItemStatus current = LoginItemStatus::notRegistered;
    std::optional<std::string> refusal;
    int registers = 0;
    LoginItemStatus status() const override { return current; }
    void registerItem() override {
        ++registers;
        if (refusal) throw std::runtime_error(*refusal);
        current = LoginItemStatus::enabled;
    }
    void unregisterItem() override {
        if (refusal) throw std::runtime_error(*refusal);
        current = LoginItemStatus::notRegistered;
    }
};

class SettingsViewTest : public ::testing::Test {
protected:
    ~SettingsViewTest() override {
        view.reset();
        flushUi();
        // The signing-team run, when one started, must end before the executor goes.
        pelapptest::runUntil(h.executor, [this] { return !started || signingTeam.known(); });
    }

    pelapp::SettingsView& make() {
        pelapp::SettingsSeams seams;
        seams.home = [this] { return home; };
        seams.loginName = [] { return std::string("dee"); };
        seams.osVersion = [] { return std::string("TestOS 1.0"); };
        view = std::make_unique<pelapp::SettingsView>(h.model, defaults, loginItem, signingTeam, nullptr, seams);
        return *view;
    }
    void showView() {
        started = true;
        view->show();
        flushUi();
    }
    template <class T> T* find(const char* name) const {
        auto* found = view->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    pelsupport::FakeTools tools;
    pelsupport::TempDir tmp{"pel-settings"};
    fs::path home = tmp / "home";
    pelkit::testing::ScopedHomeOverride homeOverride{home};
    pelapptest::ModelHarness h;
    platform::Defaults defaults = platform::Defaults::inMemory();
    CountingLoginItem loginItem;
    pelapp::SigningTeam signingTeam{"/opt/pelloran"};
    bool started = false;
    std::unique_ptr<pelapp::SettingsView> view;
};

TEST_F(SettingsViewTest, FourTabsInAFixedFrame) {
    auto& v = make();
    EXPECT_EQ(v.size(), QSize(500, 340));
    EXPECT_EQ(v.minimumSize(), v.maximumSize());
    auto* tabs = find<QTabWidget>("settingsTabs");
    ASSERT_EQ(tabs->count(), 4);
    const QStringList labels{"General", "Updates", "Advanced", "About"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(tabs->tabText(i), labels[i]);
        EXPECT_FALSE(tabs->tabIcon(i).isNull()) << i;
        EXPECT_EQ(tabs->widget(i)->layout()->contentsMargins(), QMargins(20, 20, 20, 20)) << i;
    }
    EXPECT_EQ(tabs->currentIndex(), 0);
    for (QWidget* w : v.findChildren<QWidget*>())
        EXPECT_FALSE(w->objectName().isEmpty() && (qobject_cast<QPushButton*>(w) || qobject_cast<QCheckBox*>(w)));
}

TEST_F(SettingsViewTest, IntervalPickerIsDisabledWhileAutoScanIsOffAndKeepsItsValue) {
    make();
    auto* autoScan = find<QCheckBox>("autoScanToggle");
    auto* picker = find<QComboBox>("autoScanIntervalPicker");
    EXPECT_FALSE(autoScan->isChecked());
    EXPECT_FALSE(picker->isEnabled());
    EXPECT_EQ(picker->currentText(), "Daily");
    ASSERT_EQ(picker->count(), 3);
    EXPECT_EQ(picker->itemText(0), "Every 6 hours");
    EXPECT_EQ(picker->itemText(2), "Weekly");

    autoScan->click();
    EXPECT_EQ(defaults.boolean("pel.autoScan"), true);
    EXPECT_TRUE(picker->isEnabled());
    picker->setCurrentIndex(2);
    Q_EMIT picker->activated(2);
    EXPECT_EQ(defaults.integer("pel.autoScanIntervalHours"), 168);
    autoScan->click();
    EXPECT_FALSE(picker->isEnabled());
    EXPECT_EQ(picker->currentText(), "Weekly");
}

TEST_F(SettingsViewTest, ConsentTogglesWriteTheirPreferences) {
    make();
    auto* telemetry = find<QCheckBox>("telemetryToggle");
    auto* analytics = find<QCheckBox>("analyticsToggle");
    EXPECT_TRUE(telemetry->isChecked());
    EXPECT_TRUE(analytics->isChecked());
    EXPECT_EQ(telemetry->text(), "Send crash + error reports");
    telemetry->click();
    analytics->click();
    EXPECT_EQ(defaults.boolean("pel.telemetry.enabled"), false);
    EXPECT_EQ(defaults.boolean("pel.analytics.enabled"), false);
}

TEST_F(SettingsViewTest, LoginItemToggleShowsTheSystemStatus) {
    loginItem.current = LoginItemStatus::requiresApproval;
    make();
    auto* toggle = find<QCheckBox>("launchAtLoginToggle");
    EXPECT_FALSE(toggle->isChecked());
    toggle->click();
    EXPECT_EQ(loginItem.registers, 1);
    EXPECT_TRUE(toggle->isChecked());

    loginItem.current = LoginItemStatus::requiresApproval;
    loginItem.refusal = "needs approval in System Settings";
    view->refresh();
    toggle->click();
    EXPECT_EQ(loginItem.registers, 2);
    EXPECT_FALSE(toggle->isChecked()) << "the toggle keeps showing the system's status";
    EXPECT_EQ(h.model.statusMessage, "launch-at-login: needs approval in System Settings");
}

TEST_F(SettingsViewTest, FeedbackMailCarriesTheScrubbedTodaysJournal) {
    make();
    find<QPushButton>("sendFeedbackButton")->click();
    ASSERT_EQ(h.urls.opened.size(), 1u);
    const auto url = platform::Url::parse(h.urls.opened[0]);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme(), "mailto");
    const std::string query = platform::percentDecode(url->query().value_or(""));
    EXPECT_NE(query.find("subject=Pelloran feedback (v1.2.3)&body="), std::string::npos) << query;
    EXPECT_NE(query.find("macOS: TestOS 1.0\n"), std::string::npos);
    EXPECT_NE(query.find("Recent journal (scrubbed):\n(no journal)"), std::string::npos) << query;

    const fs::path runs = home / ".local/state/pel/runs";
    fs::create_directories(runs);
    std::string escapedHome; // the journal writes "/" as "\/"
    for (char c : home.string()) {
        if (c == '/') escapedHome += '\\';
        escapedHome += c;
    }
    pelsupport::writeText(runs / (platform::utcDay(h.model.clock().now()) + ".jsonl"),
                          "{\"path\":\"" + escapedHome + "\\/x\",\"who\":\"dee\"}\n");
    view->openFeedbackMail();
    ASSERT_EQ(h.urls.opened.size(), 2u);
    const std::string body = platform::percentDecode(platform::Url::parse(h.urls.opened[1])->query().value_or(""));
    EXPECT_NE(body.find(R"(Recent journal (scrubbed):
{"path":"$HOME\/x","who":"$USER"})"),
              std::string::npos)
        << body;
}

TEST_F(SettingsViewTest, WebPagesAndFoldersOpenThroughTheWorkspace) {
    make();
    find<QPushButton>("privacyPolicyButton")->click();
    find<QPushButton>("termsOfServiceButton")->click();
    find<QPushButton>("openJournalButton")->click(); // missing folder: nothing opens
    fs::create_directories(home / ".cache/pel");
    find<QPushButton>("openCacheButton")->click();
    EXPECT_EQ(h.urls.opened, (std::vector<std::string>{"https://pelloran.app/privacy", "https://pelloran.app/terms",
                                                       pelkit::PelPaths::cacheDir().text()}));
}

TEST_F(SettingsViewTest, AboutShowsVersionsAndTheSignerOnceKnown) {
    tools.install("codesign", pelsupport::FakeReply().withErr("Authority=Pelloran Test Signing\nTeamIdentifier=T1\n"));
    make();
    EXPECT_EQ(find<QLabel>("aboutVersion")->text(), "Version 1.2.3 (build 45)");
    EXPECT_EQ(find<QLabel>("aboutName")->text(), "Pelloran");
    auto* signedBy = find<QLabel>("aboutSignedBy");
    EXPECT_TRUE(signedBy->isHidden());
    showView();
    ASSERT_TRUE(pelapptest::runUntil(h.executor, [this] { return signingTeam.known(); }));
    EXPECT_EQ(signedBy->text(), "Signed by Pelloran Test Signing");
    EXPECT_FALSE(signedBy->isHidden());
    view->hide();
    showView();
    view->refresh();
    EXPECT_EQ(tools.callCount("codesign"), 1) << "the answer is kept";
}

TEST_F(SettingsViewTest, ResetOverridesReachesTheRunningEnginesStore) {
    make();
    h.engine.overrides().setIgnore("com.a", "r");
    pelapp::AppModelTestAccess::engine(h.model) = &h.engine;
    find<QPushButton>("resetOverridesButton")->click();
    EXPECT_EQ(h.engine.overrides().count(), 0);
    EXPECT_TRUE(h.model.ignoredEntries().empty());
    EXPECT_EQ(h.model.statusMessage, "Ready");
}

TEST_F(SettingsViewTest, TheFileMenuOpensOneSettingsWindow) {
    pelapp::MainWindow window(h.model);
    auto* action = window.fileMenu()->findChild<QAction*>("settingsAction");
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->menuRole(), QAction::PreferencesRole);
    action->trigger();
    action->trigger();
    flushUi();
    int windows = 0;
    QWidget* settings = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == "settingsWindow" && w->isVisible()) {
            ++windows;
            settings = w;
        }
    }
    ASSERT_EQ(windows, 1);
    EXPECT_NE(settings->findChild<pelapp::SettingsView*>("settingsView"), nullptr);
    settings->close();
    flushUi();
    // The window started the process-wide signing-team run on this test's executor: let it end.
    auto& shared = pelapp::SigningTeam::shared(h.model.appInfo().bundlePath);
    EXPECT_TRUE(pelapptest::runUntil(h.executor, [&] { return shared.known(); }));
}

} // namespace
