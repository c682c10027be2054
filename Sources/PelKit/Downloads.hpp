#pragma once

#include "PelKit/Models.hpp"
#include "Platform/Clock.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace pelkit {

// The downloaded update files, one per bundle identifier, version and file name, under
// PelPaths::cacheDir()/downloads. Keeps no state in memory; the file system is the only state.
class DownloadCache {
public:
    DownloadCache() = delete;

    // cacheDir/downloads/, from the home directory at every call.
    static Url root();

    // root/<bundle>/<version>/<file>; touches no file.
    static Url path(const std::string& bundleID, const std::string& version, const std::string& filename);

    // A bundle or version component: every "/" (and NUL) becomes "_", then every ".."
    // (non-overlapping, left to right) becomes "_"; what is then "" or "." becomes "unknown".
    static std::string sanitizedComponent(std::string_view text);

    // A file component: every "/" (and NUL) becomes "_"; a name that is then "", "." or ".."
    // (which would address a folder) becomes "download.bin".
    static std::string sanitizedFileName(std::string_view filename);

    // A usable cached file, or nothing. A given hash (even empty) decides alone and a mismatch
    // deletes the file; else a size within 1 %; else a modification time under a day ago on
    // `clock`. Only a regular file can be a hit. Never throws.
    static std::optional<Url> lookup(const std::string& bundleID, const std::string& version,
                                     const std::string& filename,
                                     const std::optional<std::string>& expectedSHA256,
                                     std::optional<std::int64_t> expectedSize,
                                     const platform::Clock& clock = platform::systemClock());

    // Copies `from` into the cache and returns the cache URL. The copy goes to a temporary file in
    // the same folder and is renamed over the destination, so the key holds either the previous
    // file or the new one, whole. Throws std::filesystem::filesystem_error.
    static Url store(const Url& from, const std::string& bundleID, const std::string& version,
                     const std::string& filename);

    // Removes whatever is at the key's path; never throws.
    static void evict(const std::string& bundleID, const std::string& version, const std::string& filename);

    // Deletes the oldest paths under the root (folders included) until the total is at most
    // `maxBytes`; never throws.
    static void prune(std::int64_t maxBytes);
};

namespace testing {

// Called by `store` after each chunk written to its temporary file, with the bytes written so
// far; an exception thrown from it fails the copy there. Tests only.
using StoreWriteHook = std::function<void(std::int64_t bytesWritten)>;
void setStoreWriteHook(StoreWriteHook hook); // an empty hook removes it

class ScopedStoreWriteHook {
public:
    explicit ScopedStoreWriteHook(StoreWriteHook hook) { setStoreWriteHook(std::move(hook)); }
    ~ScopedStoreWriteHook() { setStoreWriteHook({}); }
    ScopedStoreWriteHook(const ScopedStoreWriteHook&) = delete;
    ScopedStoreWriteHook& operator=(const ScopedStoreWriteHook&) = delete;
};

} // namespace testing

} // namespace pelkit
