#include "PelApp/Model/AppModel.hpp"

#include "Platform/Errors.hpp"

#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace pelapp {

namespace {

using namespace std::chrono_literals;

constexpr auto kTickInterval = 500ms;
constexpr auto kQuitPollInterval = 200ms;
constexpr double kMiB = 1048576.0;

// Calls `tick` every interval until the task that runs it is cancelled.
Task<void> tickUntilCancelled(std::chrono::milliseconds interval, std::function<void()> tick) {
    MainTask self = co_await currentTask();
    while (!self.isCancelled()) {
        co_await sleepFor(interval);
        if (self.isCancelled()) break;
        tick();
    }
}

// What an update ended with: a result, or the text of the error it threw (with the core error, when
// it was one).
struct Ending {
    std::optional<pelkit::InstallResult> result;
    std::optional<pelkit::PelError> pelError;
    std::string errorText;
};

Ending endingOf(std::exception_ptr error) {
    Ending ending;
    try {
        std::rethrow_exception(error);
    } catch (const pelkit::PelError& e) {
        ending.pelError = e;
        ending.errorText = pelkit::displayText(e);
    } catch (const std::exception& e) {
        ending.errorText = e.what();
    } catch (...) {
        ending.errorText = "unknown error";
    }
    return ending;
}

// Reports of one update reach the model only while it runs: a report that arrives after its end,
// or one of an earlier update of the same row, is dropped. Read and written on the main executor.
struct ReportGate {
    bool open = true;
};

// Byte reports come once per received chunk, thousands a second: only the newest one waiting is
// delivered, so the main executor, and every view it redraws, takes at most one per turn.
struct LatestBytes {
    std::mutex mutex;
    std::int64_t done = 0;
    std::int64_t total = -1;
    bool posted = false;
};

std::string byteProgressText(std::int64_t done, std::int64_t total) {
    if (total < 1) return fmt::format("Downloading {:.1f} MB", static_cast<double>(done) / kMiB);
    const auto percent =
        static_cast<std::int64_t>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
    return fmt::format("Downloading {:.1f} / {:.1f} MB ({}%)", static_cast<double>(done) / kMiB,
                       static_cast<double>(total) / kMiB, percent);
}

} // namespace

Task<void> AppModel::doUpdate(AppRow row, pelkit::RemoteVersion remote, bool dryRun, EngineApi* engine) {
    const std::string id = row.id;
    const std::string name = row.app.name;
    activeUpdateID = id;
    activePhase = "Starting";
    changed(ModelChange::run);
    markUpdating(id, "Preparing…");
    updateLog.push_back("→ " + name + " " + row.app.shortVersion.value_or("?") + " → " +
                        (row.remote ? row.remote->version : std::string("—")));
    changed(ModelChange::log);

    const MainTask self = co_await currentTask();
    if (quitAppBeforeUpdate && !dryRun && !self.isCancelled()) {
        Task<void> quit = quitAppEscalating(id, name);
        co_await quit;
    }

    // The seconds are summed tick by tick, a step of the wall clock back counting as none: a clock set
    // back during the update neither shows negative seconds nor holds them still until it catches up.
    auto tick = [this, id, last = clock_->now(), elapsed = platform::TimePoint::duration{}]() mutable {
        const platform::TimePoint now = clock_->now();
        if (now > last) elapsed += now - last;
        last = now;
        if (bytesDone.contains(id)) return;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
        setProgress(id, fmt::format("{} ({}s elapsed)", activePhase.value_or("Working"), seconds));
    };
    const MainTask ticker = MainTask::start(main_, tickUntilCancelled(kTickInterval, tick));

    // The engine calls back on its worker thread; each report is posted to the main executor, in
    // the order made, ahead of the update's own resumption (byte reports folded into the newest).
    auto gate = std::make_shared<ReportGate>();
    platform::Executor* const mainExecutor = &main_;
    pelkit::Engine::UpdateProgress onPhase = [this, mainExecutor, gate, id](const std::string& text) {
        mainExecutor->post([this, gate, id, text] {
            if (!gate->open) return;
            setProgress(id, text);
            activePhase = text;
            changed(ModelChange::run);
            updateLog.push_back("  · " + text);
            changed(ModelChange::log);
        });
    };
    auto latest = std::make_shared<LatestBytes>();
    pelkit::Engine::BytesProgress onBytes = [this, mainExecutor, gate, id, latest](std::int64_t done,
                                                                                   std::int64_t total) {
        {
            std::lock_guard lock(latest->mutex);
            latest->done = done;
            latest->total = total;
            if (latest->posted) return; // the waiting delivery will carry these numbers
            latest->posted = true;
        }
        mainExecutor->post([this, gate, id, latest] {
            std::int64_t done = 0;
            std::int64_t total = -1;
            {
                std::lock_guard lock(latest->mutex);
                done = latest->done;
                total = latest->total;
                latest->posted = false;
            }
            if (!gate->open) return;
            bytesDone[id] = done;
            if (total >= 1) bytesTotal[id] = total;
            const std::string text = byteProgressText(done, total);
            setProgress(id, text);
            activePhase = text;
            changed(ModelChange::run);
        });
    };

    std::exception_ptr error;
    std::optional<pelkit::InstallResult> result;
    if (self.isCancelled()) {
        // Cancelled before the engine began: nothing to stop, so it is not started at all.
        error = std::make_exception_ptr(platform::Cancelled());
    } else {
        const pelkit::InstalledApp app = row.app;
        const pelkit::EngineOptions opts{dryRun, false, false};
        auto work = [engine, app, remote, opts, onPhase, onBytes](std::stop_token stop) {
            return engine->update(app, remote, opts, onPhase, onBytes, std::move(stop));
        };
        try {
            result = co_await offMain(work);
        } catch (...) {
            error = std::current_exception();
        }
    }
    gate->open = false;
    ticker.cancel();

    if (result) {
        markDone(id, result->success(), result->message());
        updateLog.push_back("✓ " + name + ": " + result->message());
        changed(ModelChange::log);
        co_return;
    }
    const Ending ending = endingOf(error);
    markDone(id, false, ending.errorText);
    if (ending.pelError) {
        if (AppRow* current = findRow(id)) {
            current->errorCode = ending.pelError->code();
            current->errorMessage = ending.pelError->message();
            changed(ModelChange::rows);
        }
    }
    updateLog.push_back("✗ " + name + ": " + ending.errorText);
    changed(ModelChange::log);
}

void AppModel::markUpdating(const std::string& id, const std::string& text) {
    AppRow* row = findRow(id);
    if (!row) return;
    row->updating = true;
    row->progressText = text;
    changed(ModelChange::rows);
}

void AppModel::setProgress(const std::string& id, const std::string& text) {
    AppRow* row = findRow(id);
    if (!row) return;
    row->progressText = text;
    changed(ModelChange::rows);
}

void AppModel::markDone(const std::string& id, bool ok, const std::string& message) {
    AppRow* row = findRow(id);
    if (!row) return;
    row->updating = false;
    if (ok) {
        row->progressText.reset();
        row->outcome = pelkit::Outcome::upToDate;
        // A success supersedes an earlier failure's error.
        row->errorCode.reset();
        row->errorMessage.reset();
    } else {
        row->progressText = message;
    }
    changed(ModelChange::rows);
    checkedIDs.erase(id);
    changed(ModelChange::selection);
}

Task<void> AppModel::quitAppEscalating(std::string bundleID, std::string appName) {
    auto instances = [this, &bundleID] {
        std::vector<platform::RunningApplication> found;
        for (auto& app : workspace_.runningApplications()) {
            if (app.bundleIdentifier == bundleID) found.push_back(std::move(app));
        }
        return found;
    };
    std::vector<platform::RunningApplication> found = instances();
    if (found.empty()) co_return;

    struct Stage {
        std::string progress;
        std::string phase;
        bool (platform::Workspace::*control)(pid_t) const;
        int polls;
    };
    const Stage stages[] = {
        {"Quitting " + appName + "…", "Quitting " + appName + " (polite)", &platform::Workspace::terminate,
         20},
        {"App refused polite quit — force terminating…", "Force terminating " + appName,
         &platform::Workspace::forceTerminate, 15},
        {"Force killing (SIGKILL)…", "SIGKILL " + appName, &platform::Workspace::kill, 10},
    };
    const MainTask self = co_await currentTask();
    for (const Stage& stage : stages) {
        // A cancelled update never goes on to quit an application harder.
        if (self.isCancelled()) co_return;
        setProgress(bundleID, stage.progress);
        activePhase = stage.phase;
        changed(ModelChange::run);
        for (const auto& app : found) {
            if (app.pid > 0) (workspace_.*stage.control)(app.pid);
        }
        for (int poll = 0; poll < stage.polls; ++poll) {
            found = instances();
            if (found.empty()) co_return;
            co_await sleepFor(kQuitPollInterval);
            if (self.isCancelled()) co_return;
        }
    }
    updateLog.push_back("  · " + appName + " refused all quit signals");
    changed(ModelChange::log);
}

} // namespace pelapp
