#pragma once

#include "PelApp/Views/Settings.hpp"

#include <QWidget>

#include <filesystem>
#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QTabWidget;

namespace pelapp {

class AppModel;
class LoginItem;
class ModelRelay;
class SigningTeam;

// What the settings view reads from the machine; the defaults are the production ones.
struct SettingsSeams {
    std::function<std::filesystem::path()> home; // default: pelkit::PelPaths::home()
    std::function<std::string()> loginName;      // default: currentLoginName()
    std::function<std::string()> osVersion;      // default: operatingSystemVersionString()
};

// The settings window's content: General, Updates, Advanced and About in a fixed 500×340 frame. It
// keeps nothing of its own: the preferences live in `defaults`, and every refresh reads them, the
// login item and the signing team anew. The only model field it writes is the status line.
class SettingsView final : public QWidget {
    Q_OBJECT
public:
    SettingsView(AppModel& model, platform::Defaults defaults, LoginItem& loginItem, SigningTeam& signingTeam,
                 QWidget* parent = nullptr, SettingsSeams seams = {});
    ~SettingsView() override;

    static constexpr int kWidth = 500;
    static constexpr int kHeight = 340;

    // Composes the feedback mail and hands it to the model's URL opener.
    void openFeedbackMail();
    // Shows what the preferences, the login item and the signing team say now.
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildGeneral();
    QWidget* buildUpdates();
    QWidget* buildAdvanced();
    QWidget* buildAbout();
    void openFolder(const platform::Url& folder);

    AppModel& model_;
    SettingsPreferences preferences_;
    LoginItem& loginItem_;
    SigningTeam& signingTeam_;
    SettingsSeams seams_;
    ModelRelay* relay_;
    int signingToken_;

    QTabWidget* tabs_ = nullptr;
    QCheckBox* launchAtLogin_ = nullptr;
    QCheckBox* autoScan_ = nullptr;
    QComboBox* interval_ = nullptr;
    QCheckBox* telemetry_ = nullptr;
    QCheckBox* analytics_ = nullptr;
    QLabel* signedBy_ = nullptr;
};

// Opens the application's one settings window over `model` (production preferences, login item and
// signing team), or brings it to the front. Closing it deletes it.
QWidget* showSettingsWindow(AppModel& model);

} // namespace pelapp
