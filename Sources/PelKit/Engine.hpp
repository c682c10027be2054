#pragma once

#include "PelKit/Config.hpp"
#include "PelKit/Models.hpp"
#include "PelKit/Scanner.hpp"
#include "PelKit/UpdateSources/UpdateSource.hpp"
#include "Platform/Clock.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pelkit {

class DB;
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
};

// The one object through which the application drives the library: scan, resolve, update.
// Its fields are set by the constructor and never change. The overrides and the journal belong
// to the caller and must outlive the engine.
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

    EngineSeams seams_;
};

// Seconds as whole milliseconds, truncated toward zero; 0 for a value that is not finite or does
// not fit in 64 bits.
std::int64_t elapsedMilliseconds(double seconds);

} // namespace pelkit
