#pragma once

#include "PelApp/Views/MainWindow.hpp"

#include <QObject>
#include <QPointer>

#include <functional>
#include <vector>

namespace pelapp {

class AppModel;

// The application's main windows, all over one model: the first at launch, more through New Window.
// Each window is deleted when closed.
class WindowGroup final : public QObject {
    Q_OBJECT
public:
    explicit WindowGroup(AppModel& model, QObject* parent = nullptr);

    // Builds a window, hands it `onWindowShown` and shows it.
    MainWindow* openWindow();
    // The open windows, oldest first.
    std::vector<MainWindow*> windows() const;

    // Given to every window as its onShown (start-up work runs again for each window).
    std::function<void(MainWindow&)> onWindowShown;

private:
    AppModel& model_;
    std::vector<QPointer<MainWindow>> windows_;
};

} // namespace pelapp
