#include "PelApp/AppModel.hpp"

namespace pelapp {

Task<void> AppModel::updateViaBrew(AppRow, std::string) {
    co_return;
}

Task<void> AppModel::triggerMasUpgrade(std::string, std::string, std::string) {
    co_return;
}

void AppModel::openInAppStore(const std::string&) {}

void AppModel::openAppStoreUpdatesPage() {}

Task<void> AppModel::probeSize(std::string) {
    co_return;
}

} // namespace pelapp
