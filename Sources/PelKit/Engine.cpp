#include "PelKit/Engine.hpp"

#include "PelKit/DB.hpp"
#include "PelKit/HTTP.hpp"
#include "PelKit/Journal.hpp"
#include "PelKit/Leftovers.hpp"
#include "PelKit/UpdateSources/HomebrewCask.hpp"
#include "PelKit/UpdateSources/MacAppStore.hpp"
#include "PelKit/UpdateSources/Sparkle.hpp"
#include "PelKit/VersionCompare.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

namespace pelkit {
namespace fs = std::filesystem;

namespace {

constexpr const char* kUnknownFailure = "unknown error";

std::vector<std::shared_ptr<UpdateSource>> withoutNulls(std::vector<std::shared_ptr<UpdateSource>> sources) {
    std::erase(sources, nullptr);
    return sources;
}

// The scanner keeps a shared pointer; the caller owns the overrides and keeps them alive.
Scanner makeScanner(Overrides& overrides, const EngineSeams& seams) {
    std::shared_ptr<Overrides> shared(std::shared_ptr<Overrides>{}, &overrides);
    if (seams.scanRoots) return Scanner(std::move(shared), *seams.scanRoots);
    if (seams.home) return Scanner(std::move(shared), Scanner::defaultRoots(*seams.home));
    return Scanner(std::move(shared));
}

std::vector<std::shared_ptr<UpdateSource>> productionSources(Journal& journal) {
    HTTP& http = HTTP::shared();
    return {std::make_shared<HomebrewCaskSource>(http, &journal), std::make_shared<SparkleSource>(http),
            std::make_shared<MacAppStoreSource>(http)};
}

Json textOrNull(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
}

// What the Setapp, App Store and fresh lines show for the installed version.
std::string shownInstalled(const InstalledApp& app) {
    return app.shortVersion.value_or("?");
}

} // namespace

std::int64_t elapsedMilliseconds(double seconds) {
    const double ms = std::trunc(seconds * 1000.0);
    // 2^63 is exact as a double; every double in [-2^63, 2^63) fits.
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(ms) || ms < -limit || ms >= limit) return 0;
    return static_cast<std::int64_t>(ms);
}

std::int64_t elapsedMilliseconds(TimePoint start, TimePoint end) {
    // Exact in integer ticks unless they overflow.
    TimePoint::rep ticks = 0;
    if (__builtin_sub_overflow(end.time_since_epoch().count(), start.time_since_epoch().count(), &ticks)) {
        return elapsedMilliseconds(platform::toSeconds(end) - platform::toSeconds(start));
    }
    return elapsedMilliseconds(std::chrono::duration<double>(TimePoint::duration(ticks)).count());
}

Engine::Engine(Overrides& overrides, Journal& journal)
    : Engine(overrides, journal, productionSources(journal)) {}

Engine::Engine(Overrides& overrides, Journal& journal, std::vector<std::shared_ptr<UpdateSource>> sources,
               EngineSeams seams)
    : overrides(overrides), journal(journal), scanner(makeScanner(overrides, seams)),
      sources(withoutNulls(std::move(sources))),
      homebrew(this->sources.empty() ? nullptr
                                     : std::dynamic_pointer_cast<HomebrewCaskSource>(this->sources.front())),
      seams_(std::move(seams)) {
    if (!seams_.clock) seams_.clock = &platform::systemClock();
}

void Engine::sweepLeftovers() const {
    std::error_code ec;
    const fs::path root = seams_.temporaryRoot ? *seams_.temporaryRoot : fs::temp_directory_path(ec);
    if (!root.empty()) leftovers::sweep(root, *seams_.clock);
}

DB& Engine::db() const {
    return seams_.db ? *seams_.db : DB::shared();
}

ScanResult Engine::scan() const {
    ScanResult result = scanner.scan();
    journal.emit("run_started", Json{{"command", "scan"},
                                     {"appsFound", static_cast<std::int64_t>(result.apps.size())},
                                     {"skipped", static_cast<std::int64_t>(result.skipped.size())}});
    for (const InstalledApp& app : result.apps) {
        journal.emit("app_scanned", Json{{"bundleID", app.bundleID},
                                         {"name", app.name},
                                         {"shortVersion", textOrNull(app.shortVersion)},
                                         {"buildVersion", textOrNull(app.buildVersion)},
                                         {"teamID", textOrNull(app.teamID)},
                                         {"isMacAppStore", app.isMacAppStore},
                                         {"hasSparkle", app.sparkleFeedURL.has_value()},
                                         {"archs", app.archs}});
    }
    for (const SkippedApp& skipped : result.skipped) {
        journal.emit("app_ignored", Json{{"path", skipped.path.filePath()}, {"reason", skipped.reason}});
    }
    return result;
}

bool Engine::isSetapp(const InstalledApp& app) {
    return app.bundleID.ends_with("-setapp") || app.path.filePath().find("/Setapp/") != std::string::npos;
}

RemoteVersion Engine::setappPlaceholder(const InstalledApp& app) {
    RemoteVersion r;
    r.source = AppSource::none;
    r.version = shownInstalled(app);
    r.notes = setappNotes;
    return r;
}

RemoteVersion Engine::appStorePlaceholder(const InstalledApp& app) {
    RemoteVersion r;
    r.source = AppSource::macAppStore;
    r.version = shownInstalled(app);
    r.notes = appStoreNotes;
    return r;
}

Outcome Engine::outcomeFor(const InstalledApp& app, const RemoteVersion& remote, AppSource decidingKind) {
    if (decidingKind == AppSource::macAppStore) return Outcome::unsupported;
    std::optional<std::string_view> build;
    if (app.buildVersion) build = *app.buildVersion;
    const auto c = VersionCompare::compareWithBuild(app.shortVersion.value_or("0"), build, remote.version);
    return c == ComparisonResult::ascending ? Outcome::outdated : Outcome::upToDate;
}

void Engine::sourceFailed(const InstalledApp& app, AppSource kind, std::string_view code,
                          const std::string& message) {
    journal.emit(
        "source_failed",
        Json{{"bundleID", app.bundleID}, {"source", rawValue(kind)}, {"code", code}, {"message", message}});
}

ResolvedApp Engine::check(const InstalledApp& app, bool useCache) {
    const std::optional<OverrideEntry> entry = overrides.entry(app.bundleID);

    if (isSetapp(app)) {
        const std::string installed = shownInstalled(app);
        journal.emit("app_resolved", Json{{"bundleID", app.bundleID},
                                          {"installed", installed},
                                          {"latest", installed},
                                          {"source", "setapp"},
                                          {"outcome", rawValue(Outcome::unsupported)}});
        return ResolvedApp{app, setappPlaceholder(app), Outcome::unsupported, std::nullopt};
    }

    if (app.isMacAppStore) {
        std::optional<RemoteVersion> remote;
        auto store = std::find_if(sources.begin(), sources.end(),
                                  [](const auto& s) { return s->kind() == AppSource::macAppStore; });
        if (store != sources.end()) {
            try {
                remote = (*store)->latest(app, entry);
            } catch (...) {
                // The placeholder says all there is to say about an App Store application.
            }
        }
        if (!remote) remote = appStorePlaceholder(app);
        journal.emit("app_resolved", Json{{"bundleID", app.bundleID},
                                          {"installed", shownInstalled(app)},
                                          {"latest", remote->version},
                                          {"source", rawValue(AppSource::macAppStore)},
                                          {"outcome", rawValue(Outcome::unsupported)}});
        return ResolvedApp{app, std::move(remote), Outcome::unsupported, std::nullopt};
    }

    if (useCache) {
        if (auto cached = db().getResolved(app.bundleID, resolvedMaxAgeSeconds)) {
            const Outcome outcome = outcomeFor(app, cached->remote, cached->remote.source);
            journal.emit("app_resolved", Json{{"bundleID", app.bundleID},
                                              {"installed", app.shortVersion.value_or("0")},
                                              {"latest", cached->remote.version},
                                              {"source", rawValue(cached->remote.source)},
                                              {"cache", true},
                                              {"outcome", rawValue(outcome)}});
            return ResolvedApp{app, std::move(cached->remote), outcome, std::nullopt};
        }
    }

    platform::Clock& clock = *seams_.clock;
    for (const auto& source : sources) {
        const AppSource kind = source->kind();
        const TimePoint started = clock.now();
        std::optional<RemoteVersion> remote;
        try {
            remote = source->latest(app, entry);
        } catch (const PelError& e) {
            sourceFailed(app, kind, rawValue(e.code()), e.message());
            continue;
        } catch (const std::exception& e) {
            sourceFailed(app, kind, rawValue(ErrorCode::INT_UNEXPECTED), e.what());
            continue;
        } catch (...) {
            sourceFailed(app, kind, rawValue(ErrorCode::INT_UNEXPECTED), kUnknownFailure);
            continue;
        }
        if (!remote) continue;

        const std::int64_t durationMs = elapsedMilliseconds(started, clock.now());
        const Outcome outcome = outcomeFor(app, *remote, kind);
        db().setResolved(app.bundleID, *remote);
        journal.emit("app_resolved", Json{{"bundleID", app.bundleID},
                                          {"installed", shownInstalled(app)},
                                          {"latest", remote->version},
                                          {"source", rawValue(kind)},
                                          {"sourceToken", textOrNull(remote->sourceToken)},
                                          {"durationMs", durationMs},
                                          {"usedOverride", entry.has_value()},
                                          {"outcome", rawValue(outcome)}});
        return ResolvedApp{app, std::move(remote), outcome, std::nullopt};
    }

    journal.emit("app_unresolved", Json{{"bundleID", app.bundleID}});
    return ResolvedApp{app, std::nullopt, Outcome::unresolved, std::nullopt};
}

} // namespace pelkit
