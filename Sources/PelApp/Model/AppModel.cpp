#include "PelApp/Model/AppModel.hpp"

#include "Platform/Unicode.hpp"

namespace pelapp {

using pelkit::Outcome;
using pelkit::SemverBucket;

AppModel::AppModel(platform::Executor& main, EngineFactory& engines, platform::Workspace& workspace,
                   UrlOpener& urls, AppInfo appInfo, AppModelSeams seams)
    : main_(main), engines_(engines), workspace_(workspace), urls_(urls), appInfo_(std::move(appInfo)),
      seams_(std::move(seams)), clock_(seams_.clock ? seams_.clock : &main.clock()) {}

int AppModel::addObserver(ChangeObserver observer) {
    int token = nextObserverToken_++;
    observers_.emplace(token, std::move(observer));
    return token;
}

void AppModel::removeObserver(int token) {
    observers_.erase(token);
}

void AppModel::changed(ModelChange group) {
    // A copy: an observer may add or remove observers while it is told.
    auto observers = observers_;
    for (auto& [token, observer] : observers)
        observer(group);
}

void AppModel::setFilter(Filter value) {
    filter = value;
    changed(ModelChange::filters);
}

void AppModel::setSearch(std::string value) {
    search = std::move(value);
    changed(ModelChange::filters);
}

void AppModel::setSelectionIDs(std::set<std::string> value) {
    selectionIDs = std::move(value);
    changed(ModelChange::selection);
}

void AppModel::setQuitAppBeforeUpdate(bool value) {
    quitAppBeforeUpdate = value;
    changed(ModelChange::run);
}

void AppModel::setShowIgnored(bool value) {
    showIgnored = value;
    changed(ModelChange::run);
}

void AppModel::setShowUpdateSheet(bool value) {
    showUpdateSheet = value;
    changed(ModelChange::run);
}

namespace {

// Only blanks and tabs count as empty space in the search field; a line break is text.
bool isBlankSearch(std::string_view text) {
    return text.find_first_not_of(" \t") == std::string_view::npos;
}

} // namespace

std::vector<AppRow> AppModel::filtered() const {
    const bool searching = !isBlankSearch(search);
    const std::string needle = searching ? platform::unicode::lowercase(search) : std::string();
    std::vector<AppRow> out;
    for (const auto& row : rows) {
        bool kept = false;
        switch (filter) {
        case Filter::all:
            kept = true;
            break;
        case Filter::outdated:
            kept = row.outcome == Outcome::outdated;
            break;
        case Filter::idleOutdated:
            kept = row.outcome == Outcome::outdated && !isRunning(row.id, row.app.path);
            break;
        case Filter::unsupported:
            kept = row.outcome == Outcome::unsupported || row.outcome == Outcome::unresolved;
            break;
        case Filter::ignored:
            kept = false;
            break;
        }
        if (!kept) continue;
        if (bucketFilter && row.bucket() != bucketFilter) continue;
        if (searching && platform::unicode::lowercase(row.app.name).find(needle) == std::string::npos &&
            platform::unicode::lowercase(row.app.bundleID).find(needle) == std::string::npos) {
            continue;
        }
        out.push_back(row);
    }
    return out;
}

RowCounts AppModel::counts() const {
    RowCounts c;
    c.total = static_cast<int>(rows.size());
    for (const auto& row : rows) {
        if (row.outcome == Outcome::outdated) ++c.outdated;
        if (row.outcome == Outcome::unsupported) ++c.unsupported;
        if (row.outcome == Outcome::unresolved) ++c.unresolved;
    }
    return c;
}

std::vector<AppRow> AppModel::rowsInBucket(SemverBucket bucket) const {
    std::vector<AppRow> out;
    for (const auto& row : rows) {
        if (row.bucket() == bucket) out.push_back(row);
    }
    return out;
}

std::vector<std::pair<SemverBucket, int>> AppModel::bucketCounts() const {
    std::vector<std::pair<SemverBucket, int>> out;
    for (SemverBucket bucket : pelkit::semverBucketAllCases) {
        const auto n = static_cast<int>(rowsInBucket(bucket).size());
        if (n > 0) out.emplace_back(bucket, n);
    }
    return out;
}

void AppModel::checkBucket(SemverBucket bucket) {
    for (const auto& row : rowsInBucket(bucket)) {
        checkedIDs.insert(row.id);
        changed(ModelChange::selection);
    }
}

void AppModel::toggleBucketFilter(SemverBucket bucket) {
    if (bucketFilter == bucket) {
        bucketFilter.reset();
    } else {
        bucketFilter = bucket;
    }
    changed(ModelChange::filters);
}

std::vector<pelkit::IgnoredEntry> AppModel::ignoredEntries() const {
    if (!engine) return {};
    return engine->overrides().ignoredEntries();
}

AppRow* AppModel::findRow(const std::string& id) {
    for (auto& row : rows) {
        if (row.id == id) return &row;
    }
    return nullptr;
}

const AppRow* AppModel::findRow(const std::string& id) const {
    return const_cast<AppModel*>(this)->findRow(id);
}

std::optional<bool> AppModel::entryDryRun(const std::string& id) const {
    auto it = dryRunByID.find(id);
    if (it == dryRunByID.end()) return std::nullopt;
    return it->second;
}

pelkit::PermissionStatus AppModel::probePermission() const {
    return pelkit::PermissionProbe::appManagementGranted(std::string(kOwnBundleID), seams_.applicationsRoot,
                                                         seams_.openProbe);
}

} // namespace pelapp
