// The update pipeline of one application: hand-off or pre-flight, download through the cache,
// installer package or extraction, verification and installation, each step journalled.

#include "PelKit/Engine.hpp"

#include "PelKit/BundleReader.hpp"
#include "PelKit/Downloads.hpp"
#include "PelKit/HTTP.hpp"
#include "PelKit/Journal.hpp"
#include "PelKit/Leftovers.hpp"
#include "PelKit/Telemetry.hpp"
#include "PelKit/Verifier.hpp"
#include "PelKit/VersionCompare.hpp"
#include "Platform/Files.hpp"
#include "Platform/Uuid.hpp"

#include <fmt/format.h>

#include <exception>
#include <filesystem>
#include <system_error>

namespace pelkit {
namespace fs = std::filesystem;

namespace {

constexpr double kBytesPerMiB = 1048576.0;

void report(const Engine::UpdateProgress& progress, const std::string& text) {
    if (progress) progress(text);
}

std::int64_t millisecondsSince(const platform::Clock& clock, TimePoint start) {
    return elapsedMilliseconds(start, clock.now());
}

bool handedToHomebrew(const RemoteVersion& remote, const std::optional<OverrideEntry>& entry,
                      const std::string& artifact) {
    if (remote.source != AppSource::homebrew || !remote.sourceToken) return false;
    if (entry && entry->useBrew == true) return true;
    return artifact != "app" && artifact != "pkg" && artifact != "unknown";
}

// The override's Team ID wins (read afresh: the user may have changed it meanwhile), else the
// installed copy's.
std::optional<std::string> expectedTeamID(const Overrides& overrides, const InstalledApp& app) {
    if (auto entry = overrides.entry(app.bundleID); entry && entry->expectedTeamID)
        return entry->expectedTeamID;
    return app.teamID;
}

std::string lowerExtension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return {};
    std::string ext = name.substr(dot + 1);
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return ext;
}

// " (installed V, advertised R)" when the package left a version older than advertised. The
// advertised version may carry a cask's ",build", so the bundle's build takes part.
std::string versionNote(const InstalledApp& app, const RemoteVersion& remote) {
    try {
        const InstalledApp now = BundleReader::read(app.path);
        if (!now.shortVersion) return {};
        std::optional<std::string_view> build;
        if (now.buildVersion) build = *now.buildVersion;
        if (VersionCompare::compareWithBuild(*now.shortVersion, build, remote.version) !=
            ComparisonResult::ascending)
            return {};
        return " (installed " + *now.shortVersion + ", advertised " + remote.version + ")";
    } catch (...) {
        return {};
    }
}

Installer::FreeBytesQuery freeSpaceQuery(const EngineSeams& seams) {
    if (seams.freeBytes) return seams.freeBytes;
    return [](const Url& folder) { return Installer::freeBytes(folder); };
}

// The bound of the transfer: no more than the verifier would still take for the published size.
std::optional<SizeLimit> transferLimit(const RemoteVersion& remote) {
    if (!remote.sizeBytes) return std::nullopt;
    return SizeLimit{*remote.sizeBytes, Verifier::largestMatchingSize(*remote.sizeBytes)};
}

// Without a published size the pre-flight had nothing to test, and only the free space of the
// volume bounds what a server may send.
std::optional<SpaceLimit> transferSpace(const RemoteVersion& remote, const EngineSeams& seams) {
    if (remote.sizeBytes) return std::nullopt;
    return SpaceLimit{freeSpaceQuery(seams)};
}

// Journals each step of a verification, then fails when it aborted.
void settleVerification(Journal& journal, const InstalledApp& app, const VerifyResult& verified) {
    for (const VerifyStep& step : verified.steps) {
        journal.emit("verify_step", Json{{"bundleID", app.bundleID},
                                         {"step", step.name},
                                         {"passed", step.passed},
                                         {"detail", step.detail}});
    }
    if (!verified.aborted) return;
    const ErrorCode code = verified.abortCode.value_or(ErrorCode::INT_UNEXPECTED);
    throw PelError(code, app.bundleID, std::nullopt, verified.abortMessage.value_or("verify aborted"), false);
}

// A failure caused by the downloaded file itself: served again from the cache it would fail the
// same way. Failures of the machine (application running, disk full, not writable, the
// administrator prompt refused) say nothing against the file, which a retry is meant to reuse.
bool spoilsDownload(ErrorCode code) {
    switch (code) {
    case ErrorCode::UNS_ARCHIVE_FORMAT: // no format recognised, unpacking failed, nothing inside
    case ErrorCode::ENV_MOUNT_FAILED:   // not an image the system can attach
    case ErrorCode::SRC_FEED_MALFORMED: // size refused
    case ErrorCode::SRC_HASH_MISMATCH:
    case ErrorCode::SEC_SIGNATURE_INVALID:
    case ErrorCode::SEC_TEAMID_MISMATCH:
    case ErrorCode::SEC_BUNDLEID_CHANGED:
        return true;
    default:
        return false;
    }
}

// Holds one bundle identifier in the engine's set of running updates.
class UpdateClaim {
public:
    UpdateClaim(std::mutex& mutex, std::set<std::string>& updating, const std::string& bundleID)
        : mutex_(mutex), updating_(updating), bundleID_(bundleID) {
        std::lock_guard lock(mutex_);
        if (!updating_.insert(bundleID_).second)
            throw PelError(ErrorCode::INT_UNEXPECTED, bundleID_, std::nullopt,
                           "an update of " + bundleID_ + " is already running", false);
    }
    ~UpdateClaim() {
        std::lock_guard lock(mutex_);
        updating_.erase(bundleID_);
    }
    UpdateClaim(const UpdateClaim&) = delete;
    UpdateClaim& operator=(const UpdateClaim&) = delete;

private:
    std::mutex& mutex_;
    std::set<std::string>& updating_;
    const std::string bundleID_;
};

} // namespace

InstallResult Engine::update(const InstalledApp& app, const RemoteVersion& remote, const EngineOptions& opts,
                             const UpdateProgress& progress, const BytesProgress& bytesProgress,
                             std::stop_token stop) {
    try {
        const UpdateClaim claim(updatingMutex_, updating_, app.bundleID);
        return updateInner(app, remote, opts, progress, bytesProgress, std::move(stop));
    } catch (const PelError& e) {
        updateFailed(app, rawValue(e.code()), e.message());
        Telemetry::captureError(e,
                                {{"installed", app.shortVersion.value_or("?")}, {"remote", remote.version}});
        throw;
    } catch (const std::exception& e) {
        const std::string message = e.what();
        updateFailed(app, rawValue(ErrorCode::INT_UNEXPECTED), message);
        Telemetry::captureError(
            PelError(ErrorCode::INT_UNEXPECTED, app.bundleID, std::nullopt, message, false));
        throw;
    } catch (...) {
        const std::string message = "unknown error";
        updateFailed(app, rawValue(ErrorCode::INT_UNEXPECTED), message);
        Telemetry::captureError(
            PelError(ErrorCode::INT_UNEXPECTED, app.bundleID, std::nullopt, message, false));
        throw;
    }
}

void Engine::updateFailed(const InstalledApp& app, std::string_view code, const std::string& message) {
    journal.emit("install_result",
                 Json{{"bundleID", app.bundleID}, {"success", false}, {"code", code}, {"message", message}});
}

InstallResult Engine::updateInner(const InstalledApp& app, const RemoteVersion& remote,
                                  const EngineOptions& opts, const UpdateProgress& progress,
                                  const BytesProgress& bytesProgress, std::stop_token stop) {
    const platform::Clock& clock = *seams_.clock;
    const std::optional<OverrideEntry> entry = overrides.entry(app.bundleID);
    const std::string artifact = remote.artifactType.value_or("unknown");

    if (handedToHomebrew(remote, entry, artifact)) {
        const std::string& token = *remote.sourceToken;
        // Refused before a dry run too, which would otherwise promise a hand-off that cannot happen.
        if (!Installer::isUsableCaskToken(token))
            throw PelError(ErrorCode::UNS_ARCHIVE_FORMAT, app.bundleID, std::nullopt, "unusable cask token",
                           false);
        if (opts.dryRun) {
            return InstallResult(true,
                                 "dry-run: would run 'brew install --cask " + token +
                                     " --force' (artifact=" + artifact + ")",
                                 std::nullopt, std::nullopt);
        }
        report(progress, "Handing off to Homebrew (artifact=" + artifact + ")");
        const TimePoint started = clock.now();
        InstallResult result = Installer::installViaBrew(token, progress);
        journal.emit("install_result", Json{{"bundleID", app.bundleID},
                                            {"success", result.success()},
                                            {"durationMs", millisecondsSince(clock, started)},
                                            {"path", "brew"},
                                            {"source", "brew"},
                                            {"message", result.message()}});
        return result;
    }

    if (!remote.downloadURL)
        throw PelError(ErrorCode::UNS_ARCHIVE_FORMAT, app.bundleID, std::nullopt, "no download URL", false);
    const Url& url = *remote.downloadURL;

    report(progress, "Pre-flight");
    const platform::Workspace& workspace =
        seams_.workspace ? *seams_.workspace : platform::Workspace::shared();
    const Installer::FreeBytesQuery freeBytes = freeSpaceQuery(seams_);
    const std::optional<PelError> blocked = Installer::preflight(app, remote.sizeBytes, workspace, freeBytes);
    if (blocked) throw *blocked;

    const fs::path root = seams_.temporaryRoot ? *seams_.temporaryRoot : fs::temp_directory_path();
    const fs::path workDir = root / ("pel-" + platform::uuidV4());
    const leftovers::InUse workDirInUse(workDir);
    platform::createDirectories(workDir, 0700);
    platform::ScopeGuard removeWorkDir([&] {
        std::error_code ignored;
        fs::remove_all(workDir, ignored);
    });

    // The name comes from the feed: "..", "." or an encoded "/" must not address a folder, since
    // the downloader replaces whatever is at its destination.
    const std::string filename = DownloadCache::sanitizedFileName(url.lastPathComponent());

    if (opts.dryRun) {
        journal.emit("download_finished", Json{{"bundleID", app.bundleID}, {"dryRun", true}});
        return InstallResult(true, "dry-run: would download " + url.text() + " and install", std::nullopt,
                             std::nullopt);
    }

    Url workFile;
    std::int64_t bytes = 0;
    std::optional<std::string> digest; // of workFile, when already known
    if (auto cached =
            DownloadCache::lookup(app.bundleID, remote.version, filename, remote.sha256, remote.sizeBytes)) {
        report(progress, "Reusing cached download (" + filename + ")");
        journal.emit("download_started",
                     Json{{"bundleID", app.bundleID}, {"url", url.text()}, {"cache", true}});
        bytes = static_cast<std::int64_t>(fs::file_size(fs::path(cached->filePath())));
        journal.emit("download_finished",
                     Json{{"bundleID", app.bundleID}, {"bytes", bytes}, {"cache", true}});
        workFile = *cached;
        // A hit under a published hash has just been hashed against it.
        digest = remote.sha256;
    } else {
        journal.emit("download_started", Json{{"bundleID", app.bundleID}, {"url", url.text()}});
        const TimePoint started = clock.now();
        std::string sizeText;
        if (remote.sizeBytes)
            sizeText = fmt::format(" ({:.1f} MB)", static_cast<double>(*remote.sizeBytes) / kBytesPerMiB);
        report(progress, "Downloading " + app.name + sizeText);
        HTTP& http = seams_.http ? *seams_.http : HTTP::shared();
        // Received beside its place in the cache and renamed there: written once, hashed as it
        // arrives, and the key holds the former file or the whole new one.
        workFile = DownloadCache::path(app.bundleID, remote.version, filename);
        const fs::path cacheFile = workFile.filePath();
        platform::createDirectories(cacheFile.parent_path(), 0700);
        HTTP::DownloadedFile got = http.downloadFile(url, cacheFile, bytesProgress, std::move(stop),
                                                     transferLimit(remote), transferSpace(remote, seams_));
        bytes = got.bytes;
        digest = std::move(got.sha256);
        journal.emit("download_finished", Json{{"bundleID", app.bundleID},
                                               {"bytes", bytes},
                                               {"durationMs", millisecondsSince(clock, started)}});
    }

    try {
        return installDownload(app, remote, workFile, digest, bytes, workDir, progress);
    } catch (const PelError& e) {
        if (spoilsDownload(e.code())) DownloadCache::evict(app.bundleID, remote.version, filename);
        throw;
    }
}

InstallResult Engine::installDownload(const InstalledApp& app, const RemoteVersion& remote, const Url& workFile,
                                      const std::optional<std::string>& digest, std::int64_t bytes,
                                      const fs::path& workDir, const UpdateProgress& progress) {
    const platform::Clock& clock = *seams_.clock;
    const InstallOptions install(false);
    const Installer::Format format = Installer::detectFormat(workFile);

    if (format == Installer::Format::pkg) {
        report(progress, "Inspecting pkg signature");
        // A package never reaches the verifier; its published size and hash still bind it to the
        // release, so a mismatching file is never installed.
        settleVerification(journal, app,
                           Verifier::verifyDownload(workFile, remote.sizeBytes, remote.sha256, digest));
        const TimePoint started = clock.now();
        InstallResult result =
            Installer::installPkg(app, workFile, expectedTeamID(overrides, app), install, &journal);
        const std::int64_t durationMs = millisecondsSince(clock, started);
        const std::string message = result.message() + versionNote(app, remote);
        journal.emit("install_result", Json{{"bundleID", app.bundleID},
                                            {"success", result.success()},
                                            {"durationMs", durationMs},
                                            {"path", "pkg"},
                                            {"message", message}});
        return InstallResult(result.success(), message, std::nullopt, std::nullopt);
    }

    // Nothing is unpacked or attached before the file is known to be the published one. Passed
    // steps are journalled where they were before: with the inner package's, or by `verify` below.
    const VerifyResult downloadChecked =
        Verifier::verifyDownload(workFile, remote.sizeBytes, remote.sha256, digest);
    if (downloadChecked.aborted) settleVerification(journal, app, downloadChecked);

    report(progress, fmt::format("Extracting {:.1f} MB", static_cast<double>(bytes) / kBytesPerMiB));
    const Installer::FreeBytesQuery freeBytes = freeSpaceQuery(seams_);
    const Url extracted =
        Installer::extract(workFile, Url::fromFilePath((workDir / "extracted").string()), freeBytes);

    if (lowerExtension(extracted.lastPathComponent()) == "pkg") {
        report(progress, "Inspecting inner pkg signature");
        settleVerification(journal, app, downloadChecked);
        const TimePoint started = clock.now();
        InstallResult result =
            Installer::installPkg(app, extracted, expectedTeamID(overrides, app), install, &journal);
        journal.emit("install_result", Json{{"bundleID", app.bundleID},
                                            {"success", result.success()},
                                            {"durationMs", millisecondsSince(clock, started)},
                                            {"path", "pkg-in-dmg"},
                                            {"message", result.message()}});
        return result;
    }

    report(progress, "Verifying signature + Team ID");
    settleVerification(journal, app,
                       Verifier::verify(workFile, extracted, remote.sizeBytes, remote.sha256, app, remote,
                                        overrides.entry(app.bundleID), &journal, digest));

    report(progress, "Installing (atomic swap)");
    Installer::ReplaceSeams replace;
    replace.isWritable = seams_.isWritable;
    replace.fileOps = seams_.fileOps;
    replace.temporaryDirectory = seams_.temporaryRoot;
    const TimePoint started = clock.now();
    InstallResult result = Installer::install(app, extracted, install, &journal, replace);
    journal.emit("install_result", Json{{"bundleID", app.bundleID},
                                        {"success", result.success()},
                                        {"durationMs", millisecondsSince(clock, started)},
                                        {"message", result.message()}});
    return result;
}

} // namespace pelkit
