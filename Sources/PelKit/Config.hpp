#pragma once

#include "PelKit/Models.hpp"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelkit {

// Where the system keeps its own files: a cache tree (~/.cache/pel) and a state tree
// (~/.local/state/pel). Nothing is cached: each call reads the home directory afresh.
// Directory URLs end in "/"; take `.filePath()` for the file-system path.
struct PelPaths {
    PelPaths() = delete;

    // $HOME when set to an absolute path, else the password database's entry for this user.
    static std::filesystem::path home();

    static Url cacheDir();        // home/.cache/pel/
    static Url stateDir();        // home/.local/state/pel/
    static Url journalDir();      // stateDir/runs/
    static Url backupDir();       // stateDir/backups/
    static Url caskCacheFile();   // cacheDir/casks.json
    static Url tokenMapFile();    // cacheDir/token-map.json
    static Url teamIDCacheFile(); // cacheDir/teamid-cache.json (declared only; unused)

    // <cwd>/config/overrides.json when anything exists there (file or folder), else
    // stateDir/overrides.json. Decided at every call.
    static Url overridesFile();
    static Url overridesFile(const std::filesystem::path& workingDirectory);

    // Creates cacheDir, stateDir, journalDir and backupDir (and missing parents) with mode 0700.
    // Existing directories are left as they are. The first failure is thrown unchanged
    // (std::filesystem::filesystem_error); later directories are not attempted.
    static void ensureDirs();
};

// The overrides of one application. Every field is optional; the JSON key is the field name.
struct OverrideEntry {
    std::optional<bool> ignore;
    std::optional<std::string> ignoreReason;
    std::optional<std::string> caskToken;
    std::optional<std::string> sparkleFeedURL;
    std::optional<std::string> versionField;
    std::optional<std::string> versionTransform;
    std::optional<std::string> expectedTeamID;
    std::optional<std::vector<std::string>> previousBundleIDs;
    std::optional<std::string> channel;
    std::optional<std::string> note;
    std::optional<std::string> bucket;
    std::optional<bool> useBrew;

    bool operator==(const OverrideEntry&) const = default;
};

// The contents of overrides.json.
struct OverridesFile {
    std::int64_t schemaVersion = 1;
    std::map<std::string, OverrideEntry> apps; // keyed by bundle identifier, compared exactly

    bool operator==(const OverridesFile&) const = default;
};

// Strict decoding: a wrong type, or a missing "schemaVersion" or "apps", throws
// platform::JsonDecodeError naming the key path; unknown keys are skipped; null means absent.
OverrideEntry overrideEntryFromJson(const Json& j, const std::string& keyPath);
OverridesFile overridesFileFromJson(const Json& j);
// Fields that are absent are left out.
Json toJson(const OverrideEntry& entry);
Json toJson(const OverridesFile& file);
// Pretty-printed with sorted keys, as persisted.
std::string encodeOverridesFile(const OverridesFile& file);

struct IgnoredEntry {
    std::string bundleID;
    std::optional<std::string> reason;

    bool operator==(const IgnoredEntry&) const = default;
};

// The in-memory store of the overrides file. Reads may come from any thread. Each mutating call
// writes the file with its change and only then takes the change in: a write error is thrown and
// leaves the store as it was before the call.
class Overrides {
public:
    static constexpr std::int64_t currentSchema = 1;

    // A store over `file`; with no URL it never writes.
    Overrides(OverridesFile file, std::optional<Url> url);
    Overrides(const Overrides&) = delete;
    Overrides& operator=(const Overrides&) = delete;

    // A missing file gives an empty store that keeps the URL (the first write creates it).
    // A read or decoding error is thrown unchanged; a schemaVersion other than 1 throws PelError.
    static std::shared_ptr<Overrides> load(const Url& url);

    std::optional<OverrideEntry> entry(const std::string& bundleID) const;
    std::map<std::string, OverrideEntry> all() const;
    int count() const;
    OverridesFile file() const;
    const std::optional<Url>& url() const { return url_; }

    // Sets ignore and the reason, keeping the other fields, and writes the file.
    void setIgnore(const std::string& bundleID, const std::string& reason);
    // Keeps an entry that has other fields (ignore false, no reason), removes one that has not, and
    // writes the file in every case.
    void clearIgnore(const std::string& bundleID);
    // Entries whose ignore is true, by bundle identifier in byte order.
    std::vector<IgnoredEntry> ignoredEntries() const;
    // Empties the store and writes kEmptyDocument to its file (atomically; the file's folder is not
    // created).
    void reset();

    // The text of a file without entries.
    static constexpr std::string_view kEmptyDocument = R"({ "schemaVersion": 1, "apps": {} })";

private:
    // `change` on a copy of the contents, `write` of that copy (without a URL, none), then the copy
    // becomes the store's contents.
    void commit(const std::function<void(OverridesFile&)>& change,
                const std::function<void(const Url&, const OverridesFile&)>& write);
    // Pretty-printed with sorted keys, creating the file's folder.
    static void writeFile(const Url& url, const OverridesFile& contents);

    mutable std::mutex lock_; // guards file_
    OverridesFile file_;
    const std::optional<Url> url_;
    std::mutex persistLock_; // one mutation at a time, each from the contents as of its start
};

namespace testing {
// Replaces the home directory for the whole process (tests only); nullopt restores the real one.
void setHomeOverride(std::optional<std::filesystem::path> home);

class ScopedHomeOverride {
public:
    explicit ScopedHomeOverride(std::filesystem::path home) { setHomeOverride(std::move(home)); }
    ~ScopedHomeOverride() { setHomeOverride(std::nullopt); }
    ScopedHomeOverride(const ScopedHomeOverride&) = delete;
    ScopedHomeOverride& operator=(const ScopedHomeOverride&) = delete;
};
} // namespace testing

} // namespace pelkit
