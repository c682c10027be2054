#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/ErrorText.hpp"

#include "PelKit/BundleReader.hpp"
#include "PelKit/DB.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <system_error>

namespace pelapp {

namespace {

constexpr const char* kStaleSetappPurge = "DELETE FROM resolved WHERE bundle_id LIKE '%-setapp'";

// Copies what a resolution answered into its row.
void applyResolution(AppRow& row, const pelkit::ResolvedApp& resolved) {
    row.checking = false;
    row.remote = resolved.remote;
    row.outcome = resolved.outcome;
    if (resolved.error) {
        row.errorCode = resolved.error->code();
        row.errorMessage = resolved.error->message();
    } else {
        row.errorCode.reset();
        row.errorMessage.reset();
    }
}

} // namespace

Task<void> AppModel::bootstrap() {
    if (!engine) {
        try {
            engine = &engines_.make();
        } catch (...) {
            statusMessage = "init failed: " + errorText(std::current_exception());
            changed(ModelChange::status);
            co_return;
        }
    }
    try {
        pelkit::DB::shared().exec(kStaleSetappPurge);
    } catch (...) {
        // A stale cached resolution only costs one more lookup.
    }
    permissionStatus = probePermission();
    changed(ModelChange::permission);
    refreshRunning();
    installRunningObservers();
    co_await rescan();
}

Task<void> AppModel::rescan() {
    if (!engine) co_return;
    busy = true;
    statusMessage = "Scanning…";
    changed(ModelChange::status);

    // The folder walk blocks the main executor, as the window is not redrawn during it anyway.
    pelkit::ScanResult result = engine->scan();
    std::vector<AppRow> fresh;
    fresh.reserve(result.apps.size());
    for (auto& app : result.apps) {
        std::optional<std::string> bucket;
        if (auto entry = engine->overrides().entry(app.bundleID)) bucket = entry->bucket;
        fresh.push_back(AppRow::scanned(std::move(app), std::move(bucket)));
    }
    rows = std::move(fresh);
    skipped = std::move(result.skipped);
    changed(ModelChange::rows);

    lastScanDate = clock_->now();
    statusMessage = "Resolving latest versions…";
    changed(ModelChange::status);

    co_await resolveAll();

    busy = false;
    statusMessage = "Ready";
    changed(ModelChange::status);
}

Task<void> AppModel::resolveAll() {
    if (!engine) co_return;
    EngineApi* const api = engine;

    const std::size_t count = rows.size();
    for (std::size_t i = 0; i < count && i < rows.size(); ++i) {
        rows[i].checking = true;
        changed(ModelChange::rows);
    }

    std::vector<std::string> order;
    order.reserve(rows.size());
    for (const auto& row : rows)
        order.push_back(row.id);

    for (std::size_t k = 0; k < order.size(); ++k) {
        const std::string& id = order[k];
        const AppRow* row = findRow(id);
        if (!row) continue;
        const pelkit::InstalledApp app = row->app;
        auto check = [api, app] { return api->check(app, true); };
        const pelkit::ResolvedApp resolved = co_await offMain(check);

        // Rows may have been replaced or removed while the check ran.
        if (AppRow* current = findRow(id)) {
            applyResolution(*current, resolved);
            changed(ModelChange::rows);
            if (resolved.outcome == pelkit::Outcome::outdated) {
                checkedIDs.insert(id);
                changed(ModelChange::selection);
            }
        }
        statusMessage = fmt::format("Resolved {} / {}", k + 1, order.size());
        changed(ModelChange::status);
    }
}

namespace {

// Removes every row with `id` together with its tick and its selection.
void dropRow(AppModel& model, const std::string& id) {
    std::erase_if(model.rows, [&](const AppRow& row) { return row.id == id; });
    model.changed(ModelChange::rows);
    model.checkedIDs.erase(id);
    model.selectionIDs.erase(id);
    model.changed(ModelChange::selection);
}

} // namespace

Task<void> AppModel::rescanOne(std::string id) {
    if (!engine) co_return;
    EngineApi* const api = engine;
    AppRow* row = findRow(id);
    if (!row) co_return;

    row->checking = true;
    row->progressText = "Rescanning…";
    changed(ModelChange::rows);
    statusMessage = "Rescanning " + row->app.name + "…";
    changed(ModelChange::status);

    const platform::Url path = row->app.path;
    std::error_code ec;
    if (!std::filesystem::exists(path.filePath(), ec)) {
        dropRow(*this, id);
        statusMessage = "Removed — bundle no longer at " + path.lastPathComponent();
        changed(ModelChange::status);
        co_return;
    }

    pelkit::InstalledApp fresh;
    try {
        fresh = pelkit::BundleReader::read(path);
    } catch (...) {
        dropRow(*this, id);
        statusMessage = "Removed — bundle unreadable";
        changed(ModelChange::status);
        co_return;
    }
    // The row keeps its identifier even when the bundle now names another one.
    row->app = fresh;
    changed(ModelChange::rows);

    auto check = [api, fresh] { return api->check(fresh, true); };
    const pelkit::ResolvedApp resolved = co_await offMain(check);

    if (AppRow* current = findRow(id)) {
        applyResolution(*current, resolved);
        current->progressText.reset();
        changed(ModelChange::rows);
        if (resolved.outcome == pelkit::Outcome::outdated) {
            checkedIDs.insert(id);
        } else {
            checkedIDs.erase(id);
        }
        changed(ModelChange::selection);
    }
    statusMessage = "Rescan done";
    changed(ModelChange::status);
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

namespace {

// The workspace subscription and the handle through which its deliveries reach the model.
// Members end in reverse order: the subscription first, so no callback is left running when the
// handle goes.
struct RunningObserver {
    std::shared_ptr<AppModel*> model;
    platform::WorkspaceSubscription subscription;
};

} // namespace

void AppModel::installRunningObservers() {
    if (!runningObservers.empty()) return;
    auto observer = std::make_shared<RunningObserver>();
    observer->model = std::make_shared<AppModel*>(this);
    // Weak: a delivery still queued on the main executor when the model is gone does nothing.
    std::weak_ptr<AppModel*> weak = observer->model;
    platform::Executor* mainExecutor = &main_;
    observer->subscription = workspace_.subscribe([weak, mainExecutor] {
        mainExecutor->post([weak] {
            if (auto model = weak.lock()) (*model)->refreshRunning();
        });
    });
    runningObservers.push_back(std::move(observer));
}

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

void AppModel::ignore(const AppRow& row, const std::string& reason) {
    if (!engine) return;
    // `row` may be one of `rows`, which the removal below destroys.
    const std::string id = row.id;
    const std::string name = row.app.name;
    try {
        engine->overrides().setIgnore(id, reason);
    } catch (...) {
        statusMessage = "ignore failed: " + errorText(std::current_exception());
        changed(ModelChange::status);
        return;
    }
    std::erase_if(rows, [&](const AppRow& r) { return r.id == id; });
    changed(ModelChange::rows);
    checkedIDs.erase(id);
    changed(ModelChange::selection);
    statusMessage = "Ignored " + name;
    changed(ModelChange::status);
}

void AppModel::unignore(const std::string& bundleID) {
    if (!engine) return;
    try {
        engine->overrides().clearIgnore(bundleID);
    } catch (...) {
        statusMessage = "unignore failed: " + errorText(std::current_exception());
        changed(ModelChange::status);
        return;
    }
    statusMessage = "Unignored " + bundleID + " — rescan to see";
    changed(ModelChange::status);
}

} // namespace pelapp
