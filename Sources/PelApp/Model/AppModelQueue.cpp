#include "PelApp/Model/AppModel.hpp"

#include <algorithm>
#include <exception>
#include <functional>

namespace pelapp {

namespace {

// The body of one queued update: the update itself, then the queue's bookkeeping with the task's
// own handle (so a completion never removes a task that replaced it).
Task<void> runThenComplete(Task<void> work, std::function<void(const MainTask&)> complete) {
    try {
        co_await work;
    } catch (...) {
        // An update reports its own failures; the queue must move on whatever happened.
    }
    MainTask self = co_await currentTask();
    complete(self);
}

void removeAll(std::vector<std::string>& ids, const std::string& id) {
    std::erase(ids, id);
}

} // namespace

bool AppModel::isBusy(const std::string& id) const {
    if (activeTasks.contains(id)) return true;
    if (std::find(updateQueue.begin(), updateQueue.end(), id) != updateQueue.end()) return true;
    const AppRow* row = findRow(id);
    return row && row->updating;
}

bool AppModel::isBusy(const AppRow& row) const {
    return activeTasks.contains(row.id) ||
           std::find(updateQueue.begin(), updateQueue.end(), row.id) != updateQueue.end() || row.updating;
}

void AppModel::updateOne(const AppRow& row, bool dryRun) {
    if (!row.remote) return;
    if (isBusy(row.id)) return;
    // A copy: `row` may live in `rows`, which the steps below must not depend on.
    const AppRow target = row;
    checkedIDs.insert(target.id);
    changed(ModelChange::selection);
    if (!sheetSuppressed) showUpdateSheet = true;
    if (std::find(updateQueue.begin(), updateQueue.end(), target.id) == updateQueue.end())
        updateQueue.push_back(target.id);
    changed(ModelChange::run);
    enqueue(target, *target.remote, dryRun);
}

void AppModel::updateSelected(bool dryRun) {
    std::vector<AppRow> targets;
    for (const auto& row : rows) {
        if (checkedIDs.contains(row.id) && row.outcome == pelkit::Outcome::outdated && !isBusy(row.id))
            targets.push_back(row);
    }
    if (targets.empty()) {
        statusMessage = "Nothing checked";
        changed(ModelChange::status);
        return;
    }
    requestUpdates(targets, dryRun);
}

void AppModel::updateIdleOutdated(bool dryRun) {
    refreshRunning();
    std::vector<AppRow> idle;
    for (const auto& row : rows) {
        if (row.outcome == pelkit::Outcome::outdated && !isRunning(row.id, row.app.path) && !isBusy(row.id))
            idle.push_back(row);
    }
    if (idle.empty()) {
        statusMessage = "No idle outdated apps";
        changed(ModelChange::status);
        return;
    }
    for (const auto& row : idle)
        checkedIDs.insert(row.id);
    changed(ModelChange::selection);
    // Only the idle rows: other ticked rows may belong to running applications, which an update
    // would quit.
    requestUpdates(idle, dryRun);
}

void AppModel::requestUpdates(const std::vector<AppRow>& targets, bool dryRun) {
    if (!sheetSuppressed) showUpdateSheet = true;
    // Every identifier is listed before the first task starts.
    for (const auto& row : targets) {
        if (std::find(updateQueue.begin(), updateQueue.end(), row.id) == updateQueue.end())
            updateQueue.push_back(row.id);
    }
    changed(ModelChange::run);
    for (const auto& row : targets) {
        if (row.remote) {
            enqueue(row, *row.remote, dryRun);
        } else {
            // An outdated row without a remote version cannot be updated; keep it out of the list.
            removeAll(updateQueue, row.id);
            changed(ModelChange::run);
        }
    }
}

void AppModel::enqueue(AppRow row, pelkit::RemoteVersion remote, bool dryRun) {
    if (activeTasks.contains(row.id)) return;
    dryRunByID[row.id] = dryRun;
    queue.push_back(QueueEntry{std::move(row), std::move(remote), dryRun});
    pumpQueue();
}

void AppModel::pumpQueue() {
    if (!engine) return;
    EngineApi* const api = engine;
    bool started = false;
    while (activeCount < maxConcurrent && !queue.empty()) {
        QueueEntry entry = std::move(queue.front());
        queue.erase(queue.begin());
        takeSlot();
        const std::string id = entry.row.id;
        auto complete = [this, id](const MainTask& self) {
            auto it = activeTasks.find(id);
            if (it != activeTasks.end() && it->second == self) activeTasks.erase(it);
            bytesDone.erase(id);
            bytesTotal.erase(id);
            if (!activeTasks.contains(id)) dryRunByID.erase(id);
            releaseSlot(id);
        };
        // Started by a post: the task is registered below before its first step runs.
        activeTasks[id] = MainTask::start(
            main_, runThenComplete(doUpdate(entry.row, entry.remote, entry.dryRun, api), complete));
        started = true;
    }
    if (started) changed(ModelChange::run);
}

void AppModel::takeSlot() {
    if (!runningUpdate) runLogStart = updateLog.size();
    runningUpdate = true;
    ++activeCount;
}

void AppModel::releaseSlot(const std::string& id) {
    activeCount = std::max(activeCount - 1, 0);
    removeAll(updateQueue, id);
    changed(ModelChange::run);
    pumpQueue();
    if (activeCount == 0 && queue.empty()) {
        runningUpdate = false;
        activeUpdateID.reset();
        activePhase.reset();
        sheetSuppressed = false;
        changed(ModelChange::run);
    }
}

void AppModel::cancelAll() {
    statusMessage = "Cancelling…";
    changed(ModelChange::status);
    for (const auto& [id, task] : activeTasks)
        task.cancel();
    std::vector<QueueEntry> dropped = std::move(queue);
    queue.clear();
    for (const auto& entry : dropped) {
        removeAll(updateQueue, entry.row.id);
        if (!activeTasks.contains(entry.row.id)) dryRunByID.erase(entry.row.id);
    }
    changed(ModelChange::run);
    updateLog.push_back("· cancel requested (all)");
    changed(ModelChange::log);
}

void AppModel::cancelOne(const std::string& id) {
    if (auto it = activeTasks.find(id); it != activeTasks.end()) {
        it->second.cancel();
        updateLog.push_back("· cancel requested (" + id + ")");
        changed(ModelChange::log);
        statusMessage = "Cancelling " + id + "…";
        changed(ModelChange::status);
        return;
    }
    std::erase_if(queue, [&](const QueueEntry& entry) { return entry.row.id == id; });
    removeAll(updateQueue, id);
    dryRunByID.erase(id);
    changed(ModelChange::run);
    checkedIDs.erase(id);
    changed(ModelChange::selection);
    updateLog.push_back("· dequeued " + id);
    changed(ModelChange::log);
    statusMessage = "Removed " + id + " from queue";
    changed(ModelChange::status);
}

void AppModel::hideUpdateSheet() {
    showUpdateSheet = false;
    if (runningUpdate) sheetSuppressed = true;
    changed(ModelChange::run);
}

void AppModel::toggleCheck(const std::string& id) {
    if (!checkedIDs.erase(id)) checkedIDs.insert(id);
    changed(ModelChange::selection);
}

void AppModel::checkAllVisible() {
    for (const auto& row : filtered()) {
        if (row.outcome == pelkit::Outcome::outdated) checkedIDs.insert(row.id);
    }
    changed(ModelChange::selection);
}

} // namespace pelapp
