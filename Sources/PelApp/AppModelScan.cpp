#include "PelApp/AppModel.hpp"

#include <algorithm>

namespace pelapp {

Task<void> AppModel::bootstrap() {
    co_return;
}

Task<void> AppModel::rescan() {
    co_return;
}

Task<void> AppModel::resolveAll() {
    co_return;
}

Task<void> AppModel::rescanOne(std::string) {
    co_return;
}

void AppModel::refreshRunning() {
    std::set<std::string> ids;
    std::set<std::string> paths;
    for (const auto& app : workspace_.runningApplications()) {
        if (app.bundleIdentifier) ids.insert(*app.bundleIdentifier);
        if (!app.bundlePath.empty()) paths.insert(app.bundlePath);
    }
    runningBundleIDs = std::move(ids);
    runningAppPaths = std::move(paths);
    changed(ModelChange::running);
}

void AppModel::installRunningObservers() {}

bool AppModel::isRunning(const std::string& bundleID, const std::optional<platform::Url>& appPath) const {
    if (runningBundleIDs.contains(bundleID)) return true;
    const std::string dotted = bundleID + ".";
    const std::string dashed = bundleID + "-";
    for (const auto& running : runningBundleIDs) {
        if (running.starts_with(dotted) || running.starts_with(dashed)) return true;
    }
    if (appPath) {
        std::string prefix = appPath->filePath();
        if (!prefix.ends_with('/')) prefix += '/';
        return std::any_of(runningAppPaths.begin(), runningAppPaths.end(),
                           [&](const std::string& path) { return path.starts_with(prefix); });
    }
    return false;
}

void AppModel::ignore(const AppRow&, const std::string&) {}

void AppModel::unignore(const std::string&) {}

} // namespace pelapp
