#pragma once

#include "PelKit/UpdateSources/HomebrewCatalogue.hpp"
#include "PelKit/UpdateSources/UpdateSource.hpp"
#include "Platform/Clock.hpp"
#include "Platform/SystemVersion.hpp"

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace pelkit {

class HTTP;
class Journal;

// Everything a test may replace; the defaults are the production ones.
struct HomebrewCaskOptions {
    // The cask API's address; the path "/api/cask.json" is appended.
    std::string baseURL = "https://formulae.brew.sh";
    platform::Clock* clock = nullptr; // cache-file ages and the catalogue's age; default: system clock
    std::optional<platform::SystemVersion> systemVersion; // default: platform::runningSystemVersion()
    CpuArchitecture architecture = CpuArchitecture::arm64;
};

// Answers from the cask catalogue, kept in casks.json in the cache directory for six hours. The
// catalogue is loaded on first use, and again on the first use after it has been in memory for six
// hours. A load reads a fresh casks.json, else fetches the catalogue; a fetched body replaces
// casks.json only once it has answered 200 and decoded as an array of objects, so an error page
// never displaces a good catalogue.
//
// Once a catalogue is in memory, a failed reload never fails a resolution: the source keeps
// answering from the catalogue it has, journals the failure ("source_failed" without a bundle
// identifier) once per attempt, and tries again at most once every fifteen minutes, so a machine
// that is offline pays for one failed fetch per quarter hour rather than one per application.
//
// Thread-safe: one load runs at a time (a second first call waits for the first and uses its
// result; while a catalogue is in memory, calls during a reload answer from it without waiting),
// and a failed load leaves the previous catalogue in place.
class HomebrewCaskSource final : public UpdateSource {
public:
    static constexpr const char* feedPath = "/api/cask.json";
    static constexpr std::chrono::seconds cacheTTL{21600};
    static constexpr std::chrono::seconds reloadSpacing{900};

    // `journal` may be null; the source emits no events.
    explicit HomebrewCaskSource(HTTP& http, Journal* journal = nullptr, HomebrewCaskOptions options = {});

    AppSource kind() const override { return AppSource::homebrew; }

    // Loads the catalogue unless one loaded less than six hours ago is in memory. With no
    // catalogue in memory it throws the error of PelPaths::ensureDirs, of the fetch (PelError,
    // platform::Cancelled), of the decoder (simdjson::simdjson_error), of writing casks.json
    // (filesystem_error), PelError SRC_FEED_MALFORMED "cask.json not an array", or PelError for an
    // answer other than 200. With one, only platform::Cancelled.
    void ensureLoaded();

    // The cask token of an application by the override, the file-name map and the identifier map,
    // in that order; from the catalogue in memory (none before the first load). Never loads.
    std::optional<std::string> token(const InstalledApp& app,
                                     const std::optional<OverrideEntry>& override) const;

    std::optional<RemoteVersion> latest(const InstalledApp& app,
                                        const std::optional<OverrideEntry>& overrides) override;

    std::size_t totalMapped() const; // entries of the file-name map
    std::size_t totalCasks() const;

    std::string feedURL() const { return baseURL_ + feedPath; }
    // The "variations" entry this machine reads ("" when its release has no name).
    const std::string& variationKey() const { return variationKey_; }
    Journal* journal() const { return journal_; }

private:
    bool isFresh(const std::filesystem::path& file) const;
    std::shared_ptr<const HomebrewCatalogue> current() const;
    HomebrewCatalogue fetch(const std::filesystem::path& cacheFile);
    std::shared_ptr<const HomebrewCatalogue> load();
    void reloadFailed(std::string_view code, const std::string& message);

    HTTP& http_;
    Journal* const journal_;
    platform::Clock& clock_;
    std::string baseURL_;
    std::string variationKey_;

    std::mutex loadLock_;          // one load at a time; held across the fetch
    mutable std::mutex stateLock_; // guards the three below; never held across I/O
    std::shared_ptr<const HomebrewCatalogue> catalogue_;
    platform::TimePoint loadedAt_{};
    std::optional<platform::TimePoint> reloadFailedAt_; // the last failed reload, while it stands
};

} // namespace pelkit
