#pragma once

#include "PelApp/Model/AppInfo.hpp"
#include "PelApp/Model/AppRow.hpp"
#include "PelApp/Model/EngineApi.hpp"
#include "PelApp/Model/MainActor.hpp"
#include "PelApp/Model/UrlOpener.hpp"
#include "PelKit/Config.hpp"
#include "PelKit/PermissionProbe.hpp"
#include "Platform/Clock.hpp"
#include "Platform/Executor.hpp"
#include "Platform/Workspace.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelkit {
class HTTP;
}

namespace pelapp {

// The identifier the permission probe skips as our own.
inline constexpr std::string_view kOwnBundleID = "com.pelloran.Pelloran";

// Groups of model fields; observers hear one group per change (the Qt side folds them into one
// refresh per event-loop turn).
enum class ModelChange : unsigned {
    rows = 1u << 0,       // rows, skipped
    status = 1u << 1,     // statusMessage, busy, lastScanDate
    filters = 1u << 2,    // filter, bucketFilter, search
    selection = 1u << 3,  // selectionIDs, checkedIDs
    run = 1u << 4,        // update run: runningUpdate, sheet flags, activeUpdateID/Phase, updateQueue,
                          // bytesDone/Total, activeCount, quitAppBeforeUpdate, showIgnored
    log = 1u << 5,        // updateLog
    running = 1u << 6,    // runningBundleIDs, runningAppPaths
    permission = 1u << 7, // permissionStatus
};

inline constexpr ModelChange operator|(ModelChange a, ModelChange b) {
    return static_cast<ModelChange>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
inline constexpr bool hasChange(ModelChange set, ModelChange one) {
    return (static_cast<unsigned>(set) & static_cast<unsigned>(one)) != 0;
}

struct RowCounts {
    int total = 0;
    int outdated = 0;
    int unsupported = 0;
    int unresolved = 0;
    bool operator==(const RowCounts&) const = default;
};

// The model's outside dependencies that have production defaults.
struct AppModelSeams {
    // Where the permission probe looks, and how it opens a file.
    std::string applicationsRoot{pelkit::PermissionProbe::kApplicationsRoot};
    pelkit::PermissionProbe::OpenProbe openProbe = pelkit::PermissionProbe::openForWriting;
    // The size probe's client; nullptr: pelkit::HTTP::shared() at each probe.
    pelkit::HTTP* http = nullptr;
    // "Now" for scan dates and elapsed times; nullptr: the main executor's clock.
    const platform::Clock* clock = nullptr;
};

// The one view model. Everything runs on the main executor; asynchronous operations are Task
// coroutines started with MainTask::start. Field writers call changed() with the field's group.
class AppModel {
public:
    AppModel(platform::Executor& main, EngineFactory& engines, platform::Workspace& workspace,
             UrlOpener& urls, AppInfo appInfo, AppModelSeams seams = {});
    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    // ---- Observable state ----
    std::vector<AppRow> rows;
    std::vector<pelkit::SkippedApp> skipped;
    bool busy = false;
    std::string statusMessage = "Ready";
    Filter filter = Filter::outdated;
    std::optional<pelkit::SemverBucket> bucketFilter;
    std::string search;
    std::set<std::string> selectionIDs;
    std::set<std::string> checkedIDs;
    std::optional<platform::TimePoint> lastScanDate;
    bool runningUpdate = false;
    std::vector<std::string> updateLog;
    bool quitAppBeforeUpdate = true;
    bool showIgnored = false;
    bool showUpdateSheet = false;
    bool sheetSuppressed = false;
    std::optional<std::string> activeUpdateID;
    std::optional<std::string> activePhase;
    std::vector<std::string> updateQueue;
    std::map<std::string, std::int64_t> bytesDone;
    std::map<std::string, std::int64_t> bytesTotal;
    pelkit::PermissionStatus permissionStatus = pelkit::PermissionStatus::unknown;
    int activeCount = 0;
    const int maxConcurrent = 2;
    std::set<std::string> runningBundleIDs;
    std::set<std::string> runningAppPaths;
    // Index of updateLog at which the current (or last) update run began.
    std::size_t runLogStart = 0;

    // ---- Change notification ----
    using ChangeObserver = std::function<void(ModelChange)>;
    int addObserver(ChangeObserver observer);
    void removeObserver(int token);
    void changed(ModelChange group);

    // ---- Bindings of the views (assign, then notify) ----
    void setFilter(Filter value);
    void setSearch(std::string value);
    void setSelectionIDs(std::set<std::string> value);
    void setQuitAppBeforeUpdate(bool value);
    void setShowIgnored(bool value);
    void setShowUpdateSheet(bool value);

    // ---- Derived views ----
    std::vector<AppRow> filtered() const;
    RowCounts counts() const;
    std::vector<AppRow> rowsInBucket(pelkit::SemverBucket bucket) const;
    std::vector<std::pair<pelkit::SemverBucket, int>> bucketCounts() const;
    void checkBucket(pelkit::SemverBucket bucket);
    void toggleBucketFilter(pelkit::SemverBucket bucket);
    std::vector<pelkit::IgnoredEntry> ignoredEntries() const;
    // The first row with this identifier, or nullptr.
    AppRow* findRow(const std::string& id);
    const AppRow* findRow(const std::string& id) const;
    // The dry-run switch of a queued or running update of the queue, by identifier.
    std::optional<bool> entryDryRun(const std::string& id) const;

    // ---- Start-up, scan and resolution ----
    Task<void> bootstrap();
    Task<void> rescan();
    Task<void> rescanOne(std::string id);
    void refreshRunning();
    bool isRunning(const std::string& bundleID, const std::optional<platform::Url>& appPath) const;
    void ignore(const AppRow& row, const std::string& reason);
    void unignore(const std::string& bundleID);

    // ---- Update queue ----
    void updateOne(const AppRow& row, bool dryRun);
    void updateSelected(bool dryRun);
    void updateIdleOutdated(bool dryRun);
    bool isBusy(const std::string& id) const;
    // The same answer for a row at hand, without looking it up (the table asks for every row).
    bool isBusy(const AppRow& row) const;
    void cancelAll();
    void cancelOne(const std::string& id);
    void hideUpdateSheet();
    void toggleCheck(const std::string& id);
    void checkAllVisible();

    // ---- Hand-offs and size probe ----
    Task<void> updateViaBrew(AppRow row, std::string token);
    // `bundleID` is recorded in the journal event of the hand-off.
    Task<void> triggerMasUpgrade(std::string trackID, std::string appName, std::string bundleID);
    void openInAppStore(const std::string& trackID);
    void openAppStoreUpdatesPage();
    Task<void> probeSize(std::string id);

    // ---- Seams, for the views ----
    platform::Executor& executor() const { return main_; }
    const AppInfo& appInfo() const { return appInfo_; }
    UrlOpener& urlOpener() const { return urls_; }
    platform::Workspace& workspace() const { return workspace_; }
    const platform::Clock& clock() const { return *clock_; }
    // The App Management probe over the model's applications root, for our own identifier.
    pelkit::PermissionStatus probePermission() const;
    // The engine, once start-up has made it.
    EngineApi* engineApi() const { return engine; }

private:
    friend struct AppModelTestAccess;

    struct QueueEntry {
        AppRow row;
        pelkit::RemoteVersion remote;
        bool dryRun = false;
    };

    Task<void> resolveAll();
    void installRunningObservers();
    // Opens the sheet and queues `targets` (rows that are not busy), in order.
    void requestUpdates(const std::vector<AppRow>& targets, bool dryRun);
    void enqueue(AppRow row, pelkit::RemoteVersion remote, bool dryRun);
    void pumpQueue();
    // Takes one slot for an update (queued or hand-off), starting a run when none is going.
    void takeSlot();
    // Gives back the slot of `id`, lets waiting entries take it, and ends the run once nothing is
    // left running or waiting.
    void releaseSlot(const std::string& id);
    Task<void> doUpdate(AppRow row, pelkit::RemoteVersion remote, bool dryRun, EngineApi* engine);
    void markUpdating(const std::string& id, const std::string& text);
    void setProgress(const std::string& id, const std::string& text);
    void markDone(const std::string& id, bool ok, const std::string& message);
    Task<void> quitAppEscalating(std::string bundleID, std::string appName);

    // Workspace subscriptions (launch first), kept for the model's life.
    std::vector<std::shared_ptr<void>> runningObservers;
    std::map<std::string, MainTask> activeTasks;
    std::vector<QueueEntry> queue;
    EngineApi* engine = nullptr;
    // Dry-run switch of every queued or running entry of the queue.
    std::map<std::string, bool> dryRunByID;

    platform::Executor& main_;
    EngineFactory& engines_;
    platform::Workspace& workspace_;
    UrlOpener& urls_;
    AppInfo appInfo_;
    AppModelSeams seams_;
    const platform::Clock* clock_;
    std::map<int, ChangeObserver> observers_;
    int nextObserverToken_ = 1;
};

} // namespace pelapp
