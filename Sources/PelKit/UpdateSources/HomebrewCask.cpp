#include "PelKit/UpdateSources/HomebrewCask.hpp"

#include "PelKit/Config.hpp"
#include "PelKit/HTTP.hpp"
#include "PelKit/Journal.hpp"
#include "Platform/Errors.hpp"
#include "Platform/Files.hpp"

#include <fmt/format.h>

#include <sys/stat.h>

#include <utility>

namespace pelkit {

namespace fs = std::filesystem;

HomebrewCaskSource::HomebrewCaskSource(HTTP& http, Journal* journal, HomebrewCaskOptions options)
    : http_(http), journal_(journal), clock_(options.clock ? *options.clock : platform::systemClock()),
      baseURL_(std::move(options.baseURL)),
      variationKey_(pelkit::variationKey(
          options.systemVersion.value_or(platform::runningSystemVersion()).major, options.architecture)) {
    while (!baseURL_.empty() && baseURL_.back() == '/')
        baseURL_.pop_back();
}

std::shared_ptr<const HomebrewCatalogue> HomebrewCaskSource::current() const {
    std::lock_guard lock(stateLock_);
    return catalogue_;
}

bool HomebrewCaskSource::isFresh(const fs::path& file) const {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return false;
    auto modified = platform::TimePoint{std::chrono::duration_cast<platform::TimePoint::duration>(
        std::chrono::seconds{st.st_mtim.tv_sec} + std::chrono::nanoseconds{st.st_mtim.tv_nsec})};
    // A modification time in the future gives a negative age, which counts as fresh.
    return clock_.now() - modified < cacheTTL;
}

HomebrewCatalogue HomebrewCaskSource::fetch(const fs::path& cacheFile) {
    const std::string text = feedURL();
    auto url = Url::parse(text);
    if (!url) {
        throw PelError(ErrorCode::INT_UNEXPECTED, std::nullopt, AppSource::homebrew,
                       "cask catalogue address unusable: " + text, false);
    }
    HTTPResponse response = http_.get(*url);
    // Anything but a catalogue leaves casks.json as it was: an error page written there would
    // count as fresh and fail every load for six hours.
    if (response.status == 404) {
        throw PelError(ErrorCode::SRC_FEED_404, std::nullopt, AppSource::homebrew,
                       "cask catalogue 404 " + text, false);
    }
    if (response.status != 200) {
        throw PelError(ErrorCode::SRC_FEED_MALFORMED, std::nullopt, AppSource::homebrew,
                       fmt::format("cask catalogue answered {} {}", response.status, text), false);
    }
    HomebrewCatalogue catalogue = HomebrewCatalogue::decode(response.data, variationKey_);
    platform::atomicWrite(cacheFile, response.data, 0600);
    return catalogue;
}

std::shared_ptr<const HomebrewCatalogue> HomebrewCaskSource::load() {
    PelPaths::ensureDirs();
    const fs::path cacheFile = PelPaths::caskCacheFile().filePath();

    std::optional<HomebrewCatalogue> catalogue;
    if (isFresh(cacheFile)) {
        // A cache file that cannot be read or decoded is fetched again rather than trusted for
        // the rest of its six hours.
        try {
            std::string bytes = HomebrewCatalogue::readFile(cacheFile);
            catalogue = HomebrewCatalogue::decode(bytes, variationKey_);
        } catch (const std::exception&) {
            catalogue.reset();
        }
    }
    if (!catalogue) catalogue = fetch(cacheFile);
    return std::make_shared<const HomebrewCatalogue>(std::move(*catalogue));
}

void HomebrewCaskSource::reloadFailed(std::string_view code, const std::string& message) {
    {
        std::lock_guard lock(stateLock_);
        reloadFailedAt_ = clock_.now();
    }
    if (journal_) {
        journal_->emit("source_failed", Json{{"source", rawValue(AppSource::homebrew)},
                                             {"code", code},
                                             {"message", "cask catalogue reload failed: " + message}});
    }
}

void HomebrewCaskSource::ensureLoaded() {
    std::unique_lock loading(loadLock_, std::defer_lock);
    bool haveCatalogue = false;
    auto upToDate = [&] {
        std::lock_guard lock(stateLock_);
        haveCatalogue = catalogue_ != nullptr;
        if (!catalogue_) return false;
        const auto now = clock_.now();
        if (now - loadedAt_ < cacheTTL) return true;
        return reloadFailedAt_ && now - *reloadFailedAt_ < reloadSpacing;
    };
    if (upToDate()) return;
    // While one call reloads, the others answer from the catalogue they have.
    if (haveCatalogue) {
        if (!loading.try_lock()) return;
    } else {
        loading.lock();
    }
    if (upToDate()) return;

    std::shared_ptr<const HomebrewCatalogue> loaded;
    try {
        loaded = load();
    } catch (const platform::Cancelled&) {
        throw;
    } catch (const PelError& e) {
        if (!haveCatalogue) throw;
        reloadFailed(rawValue(e.code()), e.message());
        return;
    } catch (const std::exception& e) {
        if (!haveCatalogue) throw;
        reloadFailed(rawValue(ErrorCode::INT_UNEXPECTED), e.what());
        return;
    }
    {
        std::lock_guard lock(stateLock_);
        catalogue_ = loaded;
        loadedAt_ = clock_.now();
        reloadFailedAt_.reset();
    }

    // Nothing reads token-map.json back; it is there for people looking into the cache. It is
    // written only when its content changed, sparing a synced write at every reload.
    try {
        const fs::path tokenMapFile = PelPaths::tokenMapFile().filePath();
        std::string encoded = loaded->encodeTokenMap();
        std::error_code ec;
        bool same = false;
        if (fs::is_regular_file(tokenMapFile, ec) && fs::file_size(tokenMapFile, ec) == encoded.size() && !ec) {
            try {
                same = platform::readFile(tokenMapFile) == encoded;
            } catch (const std::exception&) {
                same = false;
            }
        }
        if (!same) platform::atomicWrite(tokenMapFile, encoded, 0600);
    } catch (const std::exception&) {
    }
}

std::optional<std::string> HomebrewCaskSource::token(const InstalledApp& app,
                                                     const std::optional<OverrideEntry>& override) const {
    auto catalogue = current();
    return caskToken(catalogue.get(), app, override);
}

std::optional<RemoteVersion> HomebrewCaskSource::latest(const InstalledApp& app,
                                                        const std::optional<OverrideEntry>& overrides) {
    ensureLoaded();
    auto catalogue = current();
    auto token = caskToken(catalogue.get(), app, overrides);
    if (!token) return std::nullopt;
    return catalogue->release(*token);
}

std::size_t HomebrewCaskSource::totalMapped() const {
    auto catalogue = current();
    return catalogue ? catalogue->tokenMap.size() : 0;
}

std::size_t HomebrewCaskSource::totalCasks() const {
    auto catalogue = current();
    return catalogue ? catalogue->casks.size() : 0;
}

} // namespace pelkit
