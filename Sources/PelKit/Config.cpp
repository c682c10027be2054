#include "PelKit/Config.hpp"

#include "Platform/Files.hpp"

#include <fmt/format.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace pelkit {
namespace fs = std::filesystem;
namespace pj = platform::json;

// ---- Locations ----

namespace {

std::mutex& homeOverrideMutex() {
    static auto* m = new std::mutex();
    return *m;
}

std::optional<fs::path>& homeOverrideSlot() {
    static auto* slot = new std::optional<fs::path>();
    return *slot;
}

fs::path passwordHome() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd pw {};
    struct passwd* result = nullptr;
    while (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &result) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (result && result->pw_dir && result->pw_dir[0] == '/') return result->pw_dir;
    return "/";
}

// "home" + "/" + relative, without doubling the slash when home is "/".
std::string under(const fs::path& base, const std::string& relative) {
    std::string text = base.string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    if (text != "/") text += "/";
    return text + relative;
}

Url directoryUrl(const std::string& path) {
    return Url::fromFilePath(path.ends_with('/') ? path : path + "/");
}

} // namespace

namespace testing {
void setHomeOverride(std::optional<fs::path> home) {
    std::lock_guard guard(homeOverrideMutex());
    homeOverrideSlot() = std::move(home);
}
} // namespace testing

fs::path PelPaths::home() {
    {
        std::lock_guard guard(homeOverrideMutex());
        if (homeOverrideSlot()) return *homeOverrideSlot();
    }
    const char* env = std::getenv("HOME");
    if (env && env[0] == '/') return env;
    return passwordHome();
}

Url PelPaths::cacheDir() {
    return directoryUrl(under(home(), ".cache/pel"));
}
Url PelPaths::stateDir() {
    return directoryUrl(under(home(), ".local/state/pel"));
}
Url PelPaths::journalDir() {
    return directoryUrl(under(home(), ".local/state/pel/runs"));
}
Url PelPaths::backupDir() {
    return directoryUrl(under(home(), ".local/state/pel/backups"));
}
Url PelPaths::caskCacheFile() {
    return Url::fromFilePath(under(home(), ".cache/pel/casks.json"));
}
Url PelPaths::tokenMapFile() {
    return Url::fromFilePath(under(home(), ".cache/pel/token-map.json"));
}
Url PelPaths::teamIDCacheFile() {
    return Url::fromFilePath(under(home(), ".cache/pel/teamid-cache.json"));
}

Url PelPaths::overridesFile() {
    std::error_code ec;
    fs::path cwd = fs::current_path(ec);
    if (ec) return Url::fromFilePath(under(home(), ".local/state/pel/overrides.json"));
    return overridesFile(cwd);
}

Url PelPaths::overridesFile(const fs::path& workingDirectory) {
    std::error_code ec;
    fs::path base = fs::absolute(workingDirectory, ec).lexically_normal(); // file URLs need absolute paths
    if (ec) base = workingDirectory;
    std::string local = under(base, "config/overrides.json");
    if (fs::exists(fs::path(local), ec)) return Url::fromFilePath(local);
    return Url::fromFilePath(under(home(), ".local/state/pel/overrides.json"));
}

void PelPaths::ensureDirs() {
    fs::path h = home();
    for (const char* relative :
         {".cache/pel", ".local/state/pel", ".local/state/pel/runs", ".local/state/pel/backups"}) {
        platform::createDirectories(under(h, relative), 0700);
    }
}

// ---- The overrides file ----

OverrideEntry overrideEntryFromJson(const Json& j, const std::string& keyPath) {
    pj::requireObject(j, keyPath);
    OverrideEntry e;
    e.ignore = pj::optionalBool(j, "ignore", keyPath);
    e.ignoreReason = pj::optionalString(j, "ignoreReason", keyPath);
    e.caskToken = pj::optionalString(j, "caskToken", keyPath);
    e.sparkleFeedURL = pj::optionalString(j, "sparkleFeedURL", keyPath);
    e.versionField = pj::optionalString(j, "versionField", keyPath);
    e.versionTransform = pj::optionalString(j, "versionTransform", keyPath);
    e.expectedTeamID = pj::optionalString(j, "expectedTeamID", keyPath);
    e.previousBundleIDs = pj::optionalStringArray(j, "previousBundleIDs", keyPath);
    e.channel = pj::optionalString(j, "channel", keyPath);
    e.note = pj::optionalString(j, "note", keyPath);
    e.bucket = pj::optionalString(j, "bucket", keyPath);
    e.useBrew = pj::optionalBool(j, "useBrew", keyPath);
    return e;
}

OverridesFile overridesFileFromJson(const Json& j) {
    pj::requireObject(j, "");
    OverridesFile f;
    f.schemaVersion = pj::requireInt(j, "schemaVersion");
    auto it = j.find("apps");
    if (it == j.end()) throw platform::JsonDecodeError("apps", "missing key");
    if (!it->is_object()) throw platform::JsonDecodeError("apps", "expected an object");
    for (const auto& [bundleID, value] : it->items()) {
        f.apps.emplace(bundleID, overrideEntryFromJson(value, pj::joinPath("apps", bundleID)));
    }
    return f;
}

Json toJson(const OverrideEntry& e) {
    Json j = Json::object();
    auto put = [&j](const char* key, const auto& value) {
        if (value) j[key] = *value;
    };
    put("ignore", e.ignore);
    put("ignoreReason", e.ignoreReason);
    put("caskToken", e.caskToken);
    put("sparkleFeedURL", e.sparkleFeedURL);
    put("versionField", e.versionField);
    put("versionTransform", e.versionTransform);
    put("expectedTeamID", e.expectedTeamID);
    put("previousBundleIDs", e.previousBundleIDs);
    put("channel", e.channel);
    put("note", e.note);
    put("bucket", e.bucket);
    put("useBrew", e.useBrew);
    return j;
}

Json toJson(const OverridesFile& f) {
    Json apps = Json::object();
    for (const auto& [bundleID, entry] : f.apps)
        apps[bundleID] = toJson(entry);
    return Json{{"schemaVersion", f.schemaVersion}, {"apps", std::move(apps)}};
}

std::string encodeOverridesFile(const OverridesFile& f) {
    // nlohmann objects keep their keys sorted. Bytes that are no UTF-8 (only a caller's text can
    // hold them) become U+FFFD rather than making the file unwritable for good.
    return toJson(f).dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

// ---- The store ----

Overrides::Overrides(OverridesFile file, std::optional<Url> url)
    : file_(std::move(file)), url_(std::move(url)) {}

std::shared_ptr<Overrides> Overrides::load(const Url& url) {
    fs::path path = url.filePath();
    std::error_code ec;
    if (!fs::exists(path, ec) && !ec) return std::make_shared<Overrides>(OverridesFile{}, url);

    std::string text = platform::readFile(path);
    Json j;
    try {
        j = Json::parse(text);
    } catch (const Json::exception& e) {
        // Syntax errors, and numbers beyond the range of a double (out_of_range), alike.
        throw platform::JsonDecodeError("(root)", fmt::format("not valid JSON ({})", e.what()));
    }
    OverridesFile file = overridesFileFromJson(j);
    if (file.schemaVersion != currentSchema) {
        throw PelError(ErrorCode::INT_UNEXPECTED, std::nullopt, std::nullopt,
                       fmt::format("overrides.json schemaVersion {} unsupported (want {})",
                                   file.schemaVersion, currentSchema),
                       false);
    }
    return std::make_shared<Overrides>(std::move(file), url);
}

std::optional<OverrideEntry> Overrides::entry(const std::string& bundleID) const {
    std::lock_guard guard(lock_);
    auto it = file_.apps.find(bundleID);
    if (it == file_.apps.end()) return std::nullopt;
    return it->second;
}

std::map<std::string, OverrideEntry> Overrides::all() const {
    std::lock_guard guard(lock_);
    return file_.apps;
}

int Overrides::count() const {
    std::lock_guard guard(lock_);
    return static_cast<int>(file_.apps.size());
}

OverridesFile Overrides::file() const {
    std::lock_guard guard(lock_);
    return file_;
}

void Overrides::setIgnore(const std::string& bundleID, const std::string& reason) {
    commit(
        [&](OverridesFile& file) {
            OverrideEntry& e = file.apps[bundleID];
            e.ignore = true;
            e.ignoreReason = reason;
        },
        &Overrides::writeFile);
}

void Overrides::clearIgnore(const std::string& bundleID) {
    commit(
        [&](OverridesFile& file) {
            auto it = file.apps.find(bundleID);
            if (it == file.apps.end()) return;
            const OverrideEntry& e = it->second;
            bool hasOtherFields = e.caskToken || e.sparkleFeedURL || e.versionField || e.versionTransform ||
                                  e.expectedTeamID || e.previousBundleIDs || e.channel || e.note ||
                                  e.bucket || e.useBrew;
            if (hasOtherFields) {
                it->second.ignore = false;
                it->second.ignoreReason.reset();
            } else {
                file.apps.erase(it);
            }
        },
        &Overrides::writeFile);
}

std::vector<IgnoredEntry> Overrides::ignoredEntries() const {
    std::lock_guard guard(lock_);
    std::vector<IgnoredEntry> out;
    for (const auto& [bundleID, e] : file_.apps) { // std::map: byte order, upper case first
        if (e.ignore == true) out.push_back({bundleID, e.ignoreReason});
    }
    return out;
}

void Overrides::reset() {
    commit(
        [](OverridesFile& file) {
            file.apps.clear();
            file.schemaVersion = currentSchema;
        },
        [](const Url& url, const OverridesFile&) { platform::atomicWrite(url.filePath(), kEmptyDocument); });
}

void Overrides::commit(const std::function<void(OverridesFile&)>& change,
                       const std::function<void(const Url&, const OverridesFile&)>& write) {
    // Mutations run one at a time, so the copy cannot miss a change made meanwhile. The store takes
    // the new contents only once they are on disk: a failed write leaves it as it was, and no reader
    // ever sees a change that was not saved.
    std::lock_guard writing(persistLock_);
    OverridesFile next = file();
    change(next);
    if (url_) write(*url_, next);
    std::lock_guard guard(lock_);
    file_ = std::move(next);
}

void Overrides::writeFile(const Url& url, const OverridesFile& contents) {
    fs::path path = url.filePath();
    fs::path parent = path.parent_path();
    if (!parent.empty()) fs::create_directories(parent);
    platform::atomicWrite(path, encodeOverridesFile(contents));
}

} // namespace pelkit
