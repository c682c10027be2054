#include "PelApp/Views/WindowState.hpp"

namespace pelapp {

void WindowState::setShowInspector(bool value) {
    if (showInspector_ == value) return;
    showInspector_ = value;
    Q_EMIT changed();
}

void WindowState::setDryRun(bool value) {
    if (dryRun_ == value) return;
    dryRun_ = value;
    Q_EMIT changed();
}

} // namespace pelapp
