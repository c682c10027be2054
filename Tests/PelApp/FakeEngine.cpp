#include "PelApp/FakeEngine.hpp"

#include "Platform/Errors.hpp"

#include <algorithm>

namespace pelapptest {

FakeEngine::FakeEngine(std::shared_ptr<pelkit::Overrides> overrides, pelkit::Journal* journal)
    : overrides_(overrides ? std::move(overrides) : memoryOverrides()), journal_(journal) {}

std::shared_ptr<pelkit::Overrides> FakeEngine::memoryOverrides(pelkit::OverridesFile file) {
    return std::make_shared<pelkit::Overrides>(std::move(file), std::nullopt);
}

void FakeEngine::setScan(pelkit::ScanResult result) {
    std::lock_guard lock(mutex_);
    scan_ = std::move(result);
}

int FakeEngine::scanCount() const {
    std::lock_guard lock(mutex_);
    return scans_;
}

pelkit::ScanResult FakeEngine::scan() {
    std::lock_guard lock(mutex_);
    ++scans_;
    return scan_;
}

void FakeEngine::setCheckReply(const std::string& bundleID, pelkit::ResolvedApp reply) {
    {
        std::lock_guard lock(mutex_);
        checkReplies_[bundleID] = reply;
    }
    answerCheck(bundleID, std::move(reply));
}

void FakeEngine::answerCheck(const std::string& bundleID, pelkit::ResolvedApp reply) {
    std::lock_guard lock(mutex_);
    for (auto& [id, answer] : waitingChecks_) {
        if (id == bundleID && !answer) answer = reply;
    }
    changed_.notify_all();
}

std::vector<std::string> FakeEngine::pendingChecks() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [id, answer] : waitingChecks_) {
        if (!answer) out.push_back(id);
    }
    return out;
}

std::vector<std::string> FakeEngine::checkCalls() const {
    std::lock_guard lock(mutex_);
    return checkCalls_;
}

pelkit::ResolvedApp FakeEngine::check(const pelkit::InstalledApp& app, bool) {
    std::unique_lock lock(mutex_);
    checkCalls_.push_back(app.bundleID);
    std::optional<pelkit::ResolvedApp> reply;
    if (auto it = checkReplies_.find(app.bundleID); it != checkReplies_.end()) {
        reply = it->second;
    } else {
        // Entries are never removed, so the index stays valid while the list grows.
        waitingChecks_.emplace_back(app.bundleID, std::nullopt);
        const auto ticket = waitingChecks_.size() - 1;
        changed_.wait(lock, [&] { return waitingChecks_[ticket].second.has_value(); });
        reply = waitingChecks_[ticket].second;
    }
    reply->app = app;
    return *reply;
}

void FakeEngine::setUpdateScript(const std::string& bundleID, UpdateScript script) {
    std::lock_guard lock(mutex_);
    updateScripts_[bundleID] = std::move(script);
    changed_.notify_all();
}

void FakeEngine::release(const std::string& bundleID) {
    std::lock_guard lock(mutex_);
    ++releases_[bundleID];
    changed_.notify_all();
}

std::vector<std::string> FakeEngine::pendingUpdates() const {
    std::lock_guard lock(mutex_);
    return waitingUpdates_;
}

std::vector<FakeEngine::UpdateCall> FakeEngine::updateCalls() const {
    std::lock_guard lock(mutex_);
    return updateCalls_;
}

pelkit::InstallResult FakeEngine::update(const pelkit::InstalledApp& app, const pelkit::RemoteVersion& remote,
                                         const pelkit::EngineOptions& opts,
                                         const pelkit::Engine::UpdateProgress& progress,
                                         const pelkit::Engine::BytesProgress& bytesProgress,
                                         std::stop_token stop) {
    const std::string id = app.bundleID;
    UpdateScript script;
    {
        std::unique_lock lock(mutex_);
        updateCalls_.push_back({app, remote, opts, progress, bytesProgress});
        waitingUpdates_.push_back(id);
        const bool scripted = changed_.wait(lock, stop, [&] { return updateScripts_.contains(id); });
        if (!scripted) {
            waitingUpdates_.erase(std::find(waitingUpdates_.begin(), waitingUpdates_.end(), id));
            throw platform::Cancelled();
        }
        script = updateScripts_[id];
        if (!script.hold)
            waitingUpdates_.erase(std::find(waitingUpdates_.begin(), waitingUpdates_.end(), id));
    }
    for (const auto& report : script.reports) {
        if (report.phase && progress) progress(*report.phase);
        if (report.bytes && bytesProgress) bytesProgress(report.bytes->first, report.bytes->second);
    }
    if (script.hold) {
        std::unique_lock lock(mutex_);
        const bool released = changed_.wait(lock, stop, [&] { return releases_[id] > 0; });
        waitingUpdates_.erase(std::find(waitingUpdates_.begin(), waitingUpdates_.end(), id));
        if (!released) throw platform::Cancelled();
        --releases_[id];
    }
    if (script.error) std::rethrow_exception(script.error);
    return pelkit::InstallResult(true, script.message, std::nullopt, std::nullopt);
}

pelkit::Journal& FakeEngine::journal() {
    std::lock_guard lock(mutex_);
    if (journal_) return *journal_;
    if (!ownJournal_) ownJournal_ = std::make_unique<pelkit::Journal>();
    return *ownJournal_;
}

pelapp::EngineApi& FakeEngineFactory::make() {
    ++makes_;
    if (failure_) std::rethrow_exception(failure_);
    return engine_;
}

} // namespace pelapptest
