#include "PelApp/AppModel.hpp"

namespace pelapp {

void AppModel::updateOne(const AppRow&, bool) {}

void AppModel::updateSelected(bool) {}

void AppModel::updateIdleOutdated(bool) {}

bool AppModel::isBusy(const std::string&) const {
    return false;
}

void AppModel::cancelAll() {}

void AppModel::cancelOne(const std::string&) {}

void AppModel::hideUpdateSheet() {}

void AppModel::toggleCheck(const std::string&) {}

void AppModel::checkAllVisible() {}

void AppModel::enqueue(AppRow, pelkit::RemoteVersion, bool) {}

void AppModel::pumpQueue() {}

} // namespace pelapp
