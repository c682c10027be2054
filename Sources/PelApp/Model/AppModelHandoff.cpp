#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/ErrorText.hpp"

#include "PelKit/HTTP.hpp"
#include "PelKit/Installer.hpp"
#include "PelKit/Journal.hpp"
#include "PelKit/Proc.hpp"
#include "Platform/Unicode.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <string_view>

namespace pelapp {

namespace {

constexpr double kMasTimeoutSeconds = 900;
constexpr const char* kProbingSize = "Probing size…";

// The store's track identifiers are decimal numbers; anything else from a lookup answer (such as
// "--all" or "-1") would reach `mas` as an option.
bool isUsableTrackID(std::string_view trackID) {
    return !trackID.empty() &&
           std::all_of(trackID.begin(), trackID.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

Task<void> AppModel::updateViaBrew(AppRow row, std::string token) {
    const std::string id = row.id;
    const std::string name = row.app.name;
    if (isBusy(id)) co_return;

    // The hand-off counts as an active update and holds a queue slot until it ends.
    takeSlot();
    showUpdateSheet = !sheetSuppressed;
    updateQueue.push_back(id);
    changed(ModelChange::run);
    const std::string command = "brew install --cask " + token;
    markUpdating(id, command + " --force");
    activeUpdateID = id;
    activePhase = command;
    changed(ModelChange::run);
    updateLog.push_back("→ " + name + " via Homebrew");
    changed(ModelChange::log);

    // Called on the worker; posted before the hand-off's own resumption, so it lands first.
    platform::Executor* const mainExecutor = &main_;
    pelkit::Installer::Progress onPhase = [this, mainExecutor, id](const std::string& text) {
        mainExecutor->post([this, id, text] {
            setProgress(id, text);
            activePhase = text;
            changed(ModelChange::run);
            updateLog.push_back("  · " + text);
            changed(ModelChange::log);
        });
    };
    auto work = [token, onPhase] { return pelkit::Installer::installViaBrew(token, onPhase); };
    std::optional<pelkit::InstallResult> result;
    std::exception_ptr error;
    try {
        result = co_await offMain(work);
    } catch (...) {
        error = std::current_exception();
    }

    if (result) {
        markDone(id, result->success(), result->message());
        updateLog.push_back("✓ " + name + ": " + result->message());
    } else {
        try {
            std::rethrow_exception(error);
        } catch (const pelkit::PelError& e) {
            markDone(id, false, e.message());
            if (AppRow* current = findRow(id)) {
                current->errorCode = e.code();
                current->errorMessage = e.message();
                changed(ModelChange::rows);
            }
            updateLog.push_back("✗ " + name + " [" + std::string(pelkit::rawValue(e.code())) +
                                "]: " + e.message());
        } catch (...) {
            const std::string text = errorText(std::current_exception());
            markDone(id, false, text);
            updateLog.push_back("✗ " + name + ": " + text);
        }
    }
    changed(ModelChange::log);

    // Waiting entries found no slot while the hand-off held one; nothing else would start them.
    releaseSlot(id);
}

Task<void> AppModel::triggerMasUpgrade(std::string trackID, std::string appName, std::string bundleID) {
    const std::optional<std::string> tool = pelkit::Proc::which("mas");
    if (!tool) {
        statusMessage = "'mas' CLI not found in PATH — install with 'brew install mas'";
        changed(ModelChange::status);
        co_return;
    }
    if (!isUsableTrackID(trackID)) {
        statusMessage = "mas upgrade error: unusable track identifier";
        changed(ModelChange::status);
        co_return;
    }
    statusMessage = "mas upgrade " + trackID + " (" + appName + ")…";
    changed(ModelChange::status);

    auto work = [path = *tool, trackID] {
        return pelkit::Proc::run(path, {"upgrade", trackID}, kMasTimeoutSeconds);
    };
    std::optional<pelkit::ProcResult> result;
    std::string failure;
    try {
        result = co_await offMain(work);
    } catch (...) {
        failure = errorText(std::current_exception());
    }
    if (!result) {
        statusMessage = "mas upgrade error: " + failure;
        changed(ModelChange::status);
        co_return;
    }

    platform::Json event{{"bundleID", bundleID}, {"success", result->ok()}, {"source", "mas"}};
    if (result->ok()) {
        statusMessage = "mas upgrade " + appName + ": success";
        event["message"] = "mas upgrade " + trackID;
    } else {
        statusMessage = "mas upgrade failed: " + platform::unicode::trim(result->stderr);
        event["code"] = "UNS_MAS";
        event["message"] = result->stderr;
    }
    changed(ModelChange::status);
    if (engine) engine->journal().emit("install_result", event);
}

void AppModel::openInAppStore(const std::string& trackID) {
    if (auto url = platform::Url::parse("macappstore://apps.apple.com/app/id" + trackID)) urls_.open(*url);
}

void AppModel::openAppStoreUpdatesPage() {
    if (auto url = platform::Url::parse("macappstore://showUpdatesPage")) urls_.open(*url);
}

Task<void> AppModel::probeSize(std::string id) {
    AppRow* row = findRow(id);
    if (!row || !row->remote || !row->remote->downloadURL || row->remote->sizeBytes) co_return;
    const platform::Url url = *row->remote->downloadURL;
    row->progressText = kProbingSize;
    changed(ModelChange::rows);

    pelkit::HTTP* const http = seams_.http ? seams_.http : &pelkit::HTTP::shared();
    auto work = [http, url](std::stop_token stop) { return http->head(url, std::move(stop)); };
    const std::optional<std::int64_t> size = co_await offMain(work);

    row = findRow(id);
    if (!row) co_return;
    // A size below 1 would become the expected size of every later download of this row and fail it.
    if (!size || *size < 1) {
        row->progressText.reset();
        changed(ModelChange::rows);
        co_return;
    }
    if (!row->remote) co_return;
    // A newer release came in meanwhile: the size belongs to the file that was probed, not to it.
    if (row->remote->downloadURL != url) {
        row->progressText.reset();
        changed(ModelChange::rows);
        co_return;
    }
    row->remote->sizeBytes = *size;
    row->progressText.reset();
    changed(ModelChange::rows);
    updateLog.push_back(fmt::format("· probeSize {} → {} bytes", id, *size));
    changed(ModelChange::log);
}

} // namespace pelapp
