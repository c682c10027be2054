#pragma once

#include "PelKit/Config.hpp"
#include "PelKit/Installer.hpp"
#include "PelKit/Models.hpp"
#include "PelKit/Scanner.hpp"
#include "PelKit/UpdateSources/UpdateSource.hpp"
#include "Platform/Clock.hpp"
#include "Platform/HttpTransport.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

namespace platform {
class FileOps;
class Workspace;
} // namespace platform

namespace pelkit {

class DB;
class HTTP;
class HomebrewCaskSource;
class Journal;

// How one update is run. Only `dryRun` is ever consulted; the other two travel with it.
struct EngineOptions {
    bool dryRun = false;
    bool verbose = false;
    bool quiet = false;
};

// What tests put in place of the engine's outside dependencies; each default is the production one.
struct EngineSeams {
    // The folders the scanner walks, in order; none: the default roots of `home`.
    std::optional<std::vector<ScanRoot>> scanRoots;
    // The home directory of the default roots; none: the user's, looked up at every scan.
    std::optional<std::string> home;
    // The wall clock of "durationMs".
    platform::Clock* clock = &platform::systemClock();
    // The resolution cache; nullptr: DB::shared() at each use.
    DB* db = nullptr;

    // The client of update downloads; nullptr: HTTP::shared() at each update.
    HTTP* http = nullptr;
    // Where the work directories of updates (and the administrator's staging folder) are made;
    // none: the system temporary directory.
    std::optional<std::filesystem::path> temporaryRoot;
    // The running applications the pre-flight looks at; nullptr: the platform's.
    const platform::Workspace* workspace = nullptr;
    // The free-space query of the pre-flight, of extraction and of a download without a published
    // size; empty: Installer::freeBytes.
    Installer::FreeBytesQuery freeBytes;
    // Whether the user may write the installed bundle; empty: the installer's own test.
    std::function<bool(const std::string& path)> isWritable;
    // The moves and removals of the bundle swap; nullptr: plain calls.
    platform::FileOps* fileOps = nullptr;
};

// The one object through which the application drives the library: scan, resolve, update.
// Its fields are set by the constructor and never change. The overrides and the journal belong
// to the caller and must outlive the engine.
//
// Threads: scan, check and update may run at the same time on different threads, and so may
// updates of different applications; a second update of a bundle identifier while one runs is
// refused. The overrides are edited (setIgnore, clearIgnore) from one thread only, since their
// file is written outside their lock.
class Engine final {
public:
    // A served resolution is at most six hours old.
    static constexpr double resolvedMaxAgeSeconds = 21600;
    static constexpr const char* setappNotes = "Setapp-managed — update via the Setapp app";
    static constexpr const char* appStoreNotes = "Mac App Store — update via App Store.app";

    // The production engine: the scanner over the default roots, and the Homebrew, Sparkle and App
    // Store sources on HTTP::shared(), in that order; the Homebrew source journals to `journal`.
    Engine(Overrides& overrides, Journal& journal);
    // The given sources in the given order (null entries are dropped); `homebrew` is the first
    // source when that is a HomebrewCaskSource, else empty.
    Engine(Overrides& overrides, Journal& journal, std::vector<std::shared_ptr<UpdateSource>> sources,
           EngineSeams seams = {});
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Walks the application folders and journals what it found; returns the scanner's result unchanged.
    ScanResult scan() const;

    // The newest release and update state of one application. Blocks on the caller's thread while
    // the sources are asked one after another; never throws: failures become journal lines.
    ResolvedApp check(const InstalledApp& app, bool useCache);

    // Removes what crashed, killed or timed-out runs left behind (work folders, partial stores of
    // the download cache, administrator staging folders, images still attached) when older than an
    // hour on the clock and not in use by this process. Never throws; cheap when there is nothing.
    void sweepLeftovers() const;

    // A progress text; called from whatever thread the update runs on.
    using UpdateProgress = std::function<void(const std::string& text)>;
    // Bytes received so far and the expected total (-1 unknown); called from the transfer's thread.
    using BytesProgress = platform::ProgressHandler;

    // Carries one application to `remote`: a Homebrew hand-off, or pre-flight, download (or a
    // cached copy), then an installer package or extraction, verification and installation.
    // Blocks on the caller's thread. Only the transfer watches `stop`. A failure is journalled
    // once, reported to the telemetry sink and rethrown as it was raised: a PelError, or any
    // other exception (file system, platform::Cancelled) unchanged. While an update of the same
    // bundle identifier runs, fails at once with INT_UNEXPECTED "an update of <bundle identifier>
    // is already running" and touches nothing (the two would share staging and backup places).
    InstallResult update(const InstalledApp& app, const RemoteVersion& remote, const EngineOptions& opts,
                         const UpdateProgress& progress = {}, const BytesProgress& bytesProgress = {},
                         std::stop_token stop = {});

    Overrides& overrides;
    Journal& journal;
    const Scanner scanner;
    const std::vector<std::shared_ptr<UpdateSource>> sources;
    const std::shared_ptr<HomebrewCaskSource> homebrew;

    // Managed by the Setapp app: identifier ends "-setapp" or the path has a "/Setapp/" folder.
    static bool isSetapp(const InstalledApp& app);
    static RemoteVersion setappPlaceholder(const InstalledApp& app);
    static RemoteVersion appStorePlaceholder(const InstalledApp& app);
    // `unsupported` when the deciding kind is the App Store; otherwise `outdated` exactly when the
    // installed copy (no short version counts as "0") is older by the build-aware comparison.
    static Outcome outcomeFor(const InstalledApp& app, const RemoteVersion& remote, AppSource decidingKind);

private:
    DB& db() const;
    void sourceFailed(const InstalledApp& app, AppSource kind, std::string_view code,
                      const std::string& message);
    InstallResult updateInner(const InstalledApp& app, const RemoteVersion& remote, const EngineOptions& opts,
                              const UpdateProgress& progress, const BytesProgress& bytesProgress,
                              std::stop_token stop);
    // The steps after the download: installer package, or extraction, verification and the swap.
    // `digest` is workFile's SHA-256 when already known, so the verifier does not read it again.
    InstallResult installDownload(const InstalledApp& app, const RemoteVersion& remote, const Url& workFile,
                                  const std::optional<std::string>& digest, std::int64_t bytes,
                                  const std::filesystem::path& workDir, const UpdateProgress& progress);
    void updateFailed(const InstalledApp& app, std::string_view code, const std::string& message);

    EngineSeams seams_;

    // The bundle identifiers whose update is running.
    std::mutex updatingMutex_;
    std::set<std::string> updating_;
};

// Seconds as whole milliseconds, truncated toward zero; 0 for a value that is not finite or does
// not fit in 64 bits.
std::int64_t elapsedMilliseconds(double seconds);
// The same for the interval between two clock readings, taken from their exact difference (two
// absolute times as doubles would lose a millisecond to rounding now and then).
std::int64_t elapsedMilliseconds(TimePoint start, TimePoint end);

} // namespace pelkit
