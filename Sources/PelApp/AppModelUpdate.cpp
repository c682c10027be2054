#include "PelApp/AppModel.hpp"

namespace pelapp {

Task<void> AppModel::doUpdate(AppRow, pelkit::RemoteVersion, bool, EngineApi*) {
    co_return;
}

void AppModel::markUpdating(const std::string&, const std::string&) {}

void AppModel::setProgress(const std::string&, const std::string&) {}

void AppModel::markDone(const std::string&, bool, const std::string&) {}

Task<void> AppModel::quitAppEscalating(std::string, std::string) {
    co_return;
}

} // namespace pelapp
