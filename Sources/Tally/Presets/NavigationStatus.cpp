#include "Tally/Presets/NavigationStatus.hpp"

#include <utility>

namespace tally {

NavigationStatus& NavigationStatus::shared() {
    static auto* instance = new NavigationStatus();
    return *instance;
}

std::optional<std::string> NavigationStatus::previousNavigationPath() const {
    std::lock_guard lock(mutex_);
    return previousNavigationPath_;
}

void NavigationStatus::setPreviousNavigationPath(std::optional<std::string> path) {
    std::lock_guard lock(mutex_);
    previousNavigationPath_ = std::move(path);
}

std::optional<std::string> NavigationStatus::exchangePreviousNavigationPath(std::string path) {
    std::lock_guard lock(mutex_);
    return std::exchange(previousNavigationPath_, std::move(path));
}

} // namespace tally
