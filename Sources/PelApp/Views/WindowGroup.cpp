#include "PelApp/Views/WindowGroup.hpp"

#include "PelApp/Views/MainWindow.hpp"

namespace pelapp {

WindowGroup::WindowGroup(AppModel& model, QObject* parent) : QObject(parent), model_(model) {}

MainWindow* WindowGroup::openWindow() {
    auto* window = new MainWindow(model_);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->onShown = [this, window] {
        if (onWindowShown) onWindowShown(*window);
    };
    window->onNewWindow = [this] { openWindow(); };
    windows_.emplace_back(window);
    window->show();
    return window;
}

std::vector<MainWindow*> WindowGroup::windows() const {
    std::vector<MainWindow*> out;
    for (const auto& w : windows_) {
        if (w) out.push_back(w.data());
    }
    return out;
}

} // namespace pelapp
