#include "PelKit/DB.hpp"

#include "PelKit/Config.hpp"

#include <fmt/format.h>
#include <sqlite3.h>

#include <atomic>
#include <string_view>
#include <cstdio>

namespace pelkit {
namespace {

PelError dbError(std::string message) {
    return PelError(ErrorCode::INT_UNEXPECTED, std::nullopt, std::nullopt, std::move(message), false);
}

const char* const kSchema[] = {
    "PRAGMA journal_mode=WAL",
    "PRAGMA foreign_keys=ON",
    "CREATE TABLE IF NOT EXISTS run_events (\n"
    "    id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "    ts TEXT NOT NULL,\n"
    "    run TEXT NOT NULL,\n"
    "    event TEXT NOT NULL,\n"
    "    bundle_id TEXT,\n"
    "    source TEXT,\n"
    "    code TEXT,\n"
    "    success INTEGER,\n"
    "    json TEXT NOT NULL\n"
    ")",
    "CREATE INDEX IF NOT EXISTS idx_events_ts ON run_events(ts)",
    "CREATE INDEX IF NOT EXISTS idx_events_bundle ON run_events(bundle_id)",
    "CREATE INDEX IF NOT EXISTS idx_events_code ON run_events(code)",
    "CREATE TABLE IF NOT EXISTS cache_teamid (\n"
    "    bundle_path TEXT PRIMARY KEY,\n"
    "    mtime REAL NOT NULL,\n"
    "    size INTEGER NOT NULL,\n"
    "    team_id TEXT\n"
    ")",
    "CREATE TABLE IF NOT EXISTS cache_tokenmap (\n"
    "    app_filename TEXT PRIMARY KEY,\n"
    "    cask_token TEXT NOT NULL,\n"
    "    updated_at TEXT NOT NULL\n"
    ")",
    "CREATE TABLE IF NOT EXISTS apps (\n"
    "    path TEXT PRIMARY KEY,\n"
    "    mtime REAL NOT NULL,\n"
    "    size INTEGER NOT NULL,\n"
    "    bundle_id TEXT NOT NULL,\n"
    "    name TEXT NOT NULL,\n"
    "    short_version TEXT,\n"
    "    build_version TEXT,\n"
    "    executable TEXT,\n"
    "    min_system TEXT,\n"
    "    sparkle_feed TEXT,\n"
    "    is_mas INTEGER NOT NULL DEFAULT 0,\n"
    "    is_apple INTEGER NOT NULL DEFAULT 0,\n"
    "    team_id TEXT,\n"
    "    archs_csv TEXT,\n"
    "    updated_at REAL NOT NULL\n"
    ")",
    "CREATE INDEX IF NOT EXISTS idx_apps_bundle ON apps(bundle_id)",
    "CREATE TABLE IF NOT EXISTS resolved (\n"
    "    bundle_id TEXT PRIMARY KEY,\n"
    "    source TEXT NOT NULL,\n"
    "    latest TEXT NOT NULL,\n"
    "    build_version TEXT,\n"
    "    url TEXT,\n"
    "    sha256 TEXT,\n"
    "    size_bytes INTEGER,\n"
    "    min_os TEXT,\n"
    "    notes TEXT,\n"
    "    source_token TEXT,\n"
    "    resolved_at REAL NOT NULL\n"
    ")",
};

const char* const kAddArtifactType = "ALTER TABLE resolved ADD COLUMN artifact_type TEXT";

// One use of a kept statement; the caller holds the store's lock for the whole use. The statement
// is prepared into its slot at first use (a failure is not kept, so a later use tries again) and
// reset with its bindings cleared afterwards, ready for the next use.
class Statement {
public:
    Statement(sqlite3* db, sqlite3_stmt*& slot, const char* sql) {
        if (!slot && db && sqlite3_prepare_v2(db, sql, -1, &slot, nullptr) != SQLITE_OK) {
            sqlite3_finalize(slot);
            slot = nullptr;
        }
        stmt_ = slot;
    }
    ~Statement() {
        if (!stmt_) return;
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }

    void bind(int i, const std::string& text) {
        sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void bind(int i, const std::optional<std::string>& text) {
        if (text)
            bind(i, *text);
        else
            sqlite3_bind_null(stmt_, i);
    }
    void bind(int i, double value) { sqlite3_bind_double(stmt_, i, value); }
    void bind(int i, std::int64_t value) { sqlite3_bind_int64(stmt_, i, value); }
    void bind(int i, bool value) { sqlite3_bind_int64(stmt_, i, value ? 1 : 0); }
    void bind(int i, std::optional<std::int64_t> value) {
        if (value)
            bind(i, *value);
        else
            sqlite3_bind_null(stmt_, i);
    }
    void bind(int i, std::optional<bool> value) {
        if (value)
            bind(i, *value);
        else
            sqlite3_bind_null(stmt_, i);
    }

    // True when the step yields a row; every other result counts as no row.
    bool step() { return sqlite3_step(stmt_) == SQLITE_ROW; }
    // True when the step runs to completion.
    bool run() { return sqlite3_step(stmt_) == SQLITE_DONE; }

    std::optional<std::string> text(int col) {
        if (sqlite3_column_type(stmt_, col) == SQLITE_NULL) return std::nullopt;
        const unsigned char* p = sqlite3_column_text(stmt_, col);
        if (!p) return std::nullopt;
        return std::string(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(stmt_, col)));
    }
    bool isNull(int col) { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    double real(int col) { return sqlite3_column_double(stmt_, col); }
    std::int64_t integer(int col) { return sqlite3_column_int64(stmt_, col); }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

// Whether the connection writes ahead to a log (the first pragma can fail to switch, for example
// on a file system without shared memory).
bool usesWriteAheadLog(sqlite3* db) {
    sqlite3_stmt* stmt = nullptr;
    bool wal = false;
    if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        const unsigned char* mode = sqlite3_column_text(stmt, 0);
        wal = mode && std::string_view(reinterpret_cast<const char*>(mode)) == "wal";
    }
    sqlite3_finalize(stmt);
    return wal;
}

std::string joinArchs(const std::vector<std::string>& archs) {
    std::string out;
    for (size_t i = 0; i < archs.size(); ++i) {
        if (i) out += ',';
        out += archs[i];
    }
    return out;
}

std::vector<std::string> splitArchs(const std::string& csv) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= csv.size()) {
        size_t comma = csv.find(',', start);
        if (comma == std::string::npos) comma = csv.size();
        if (comma > start) out.push_back(csv.substr(start, comma - start));
        start = comma + 1;
    }
    return out;
}

std::optional<Url> parseUrl(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return Url::parse(*text);
}

std::optional<std::string> urlText(const std::optional<Url>& url) {
    if (!url) return std::nullopt;
    return url->text();
}

std::atomic<DB*>& sharedOverride() {
    static std::atomic<DB*> slot{nullptr};
    return slot;
}

void reportOpenFailure(const std::exception& e) {
    const auto* pel = dynamic_cast<const PelError*>(&e);
    fmt::print(stderr, "DB open failed: {}\n", pel ? displayText(*pel) : std::string(e.what()));
    std::fflush(stderr);
}

} // namespace

namespace testing {
void setSharedDB(DB* db) {
    sharedOverride().store(db);
}
} // namespace testing

DB::DB(const Url& url, platform::Clock& clock) : clock_(clock) {
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX; // 0x10006
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(url.filePath().c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string message = db ? sqlite3_errmsg(db) : "unknown";
        sqlite3_close_v2(db);
        throw dbError("sqlite open: " + message);
    }
    handle_ = db;
    try {
        for (const char* sql : kSchema)
            exec(sql);
    } catch (...) {
        close();
        throw;
    }
    try {
        exec(kAddArtifactType); // fails with a duplicate column on every opening but the first
    } catch (const PelError&) {
    }
    if (usesWriteAheadLog(handle_)) {
        // A commit then syncs at checkpoints only, not each time: a power cut may lose the newest
        // transactions, never the database (the log is still synced before it is copied back).
        sqlite3_exec(handle_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    }
}

DB::DB(Disconnected, platform::Clock& clock) : clock_(clock) {}

DB::~DB() {
    close();
}

void DB::close() {
    for (sqlite3_stmt*& stmt : statements_) {
        sqlite3_finalize(stmt);
        stmt = nullptr;
    }
    if (handle_) sqlite3_close_v2(handle_);
    handle_ = nullptr;
}

std::unique_ptr<DB> DB::disconnected(platform::Clock& clock) {
    return std::unique_ptr<DB>(new DB(Disconnected{}, clock));
}

std::unique_ptr<DB> DB::openOrDisconnected(const Url& url, platform::Clock& clock) {
    try {
        return std::make_unique<DB>(url, clock);
    } catch (const std::exception& e) {
        reportOpenFailure(e);
        return disconnected(clock);
    }
}

DB& DB::shared() {
    if (DB* db = sharedOverride().load()) return *db;
    // Never destroyed: the journal's writer may still insert while the process exits.
    static DB* instance = []() -> DB* {
        try {
            PelPaths::ensureDirs();
        } catch (const std::exception& e) {
            reportOpenFailure(e);
            return disconnected().release();
        }
        return openOrDisconnected(path()).release();
    }();
    return *instance;
}

Url DB::path() {
    return Url::fromFilePath(PelPaths::stateDir().filePath() + "pel.db");
}

void DB::exec(const std::string& sql) {
    std::lock_guard guard(lock_);
    execLocked(sql);
}

void DB::execLocked(const std::string& sql) {
    if (!handle_) throw dbError("sqlite exec: database not open sql=" + sql);
    char* err = nullptr;
    int rc = sqlite3_exec(handle_, sql.c_str(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        std::string message = err ? err : "unknown";
        sqlite3_free(err);
        throw dbError("sqlite exec: " + message + " sql=" + sql);
    }
    sqlite3_free(err);
}

std::optional<std::optional<std::string>> DB::getTeamID(const std::string& bundlePath, double mtime,
                                                        std::int64_t size) {
    std::lock_guard guard(lock_);
    Statement s(handle_, slot(Query::getTeamID), "SELECT team_id FROM cache_teamid WHERE bundle_path = ? AND mtime = ? AND size = ?");
    if (!s.ok()) return std::nullopt;
    s.bind(1, bundlePath);
    s.bind(2, mtime);
    s.bind(3, size);
    if (!s.step()) return std::nullopt;
    return std::optional<std::optional<std::string>>(s.text(0));
}

void DB::setTeamID(const std::string& bundlePath, double mtime, std::int64_t size,
                   const std::optional<std::string>& teamID) {
    std::lock_guard guard(lock_);
    Statement s(handle_, slot(Query::setTeamID),
                "INSERT OR REPLACE INTO cache_teamid (bundle_path, mtime, size, team_id) VALUES (?,?,?,?)");
    if (!s.ok()) return;
    s.bind(1, bundlePath);
    s.bind(2, mtime);
    s.bind(3, size);
    s.bind(4, teamID);
    s.step();
}

std::optional<InstalledApp> DB::getApp(const std::string& path, double mtime, std::int64_t size) {
    std::lock_guard guard(lock_);
    Statement s(handle_, slot(Query::getApp), "SELECT bundle_id, name, short_version, build_version, executable, min_system,\n"
                         "       sparkle_feed, is_mas, is_apple, team_id, archs_csv\n"
                         "FROM apps WHERE path = ? AND mtime = ? AND size = ?");
    if (!s.ok()) return std::nullopt;
    s.bind(1, path);
    s.bind(2, mtime);
    s.bind(3, size);
    if (!s.step()) return std::nullopt;
    auto archs = s.text(10);
    return InstalledApp{Url::fromFilePath(path),
                        s.text(0).value_or(""),
                        s.text(1).value_or(""),
                        s.text(2),
                        s.text(3),
                        s.text(4),
                        s.text(5),
                        parseUrl(s.text(6)),
                        s.integer(7) != 0,
                        s.integer(8) != 0,
                        s.text(9),
                        archs ? splitArchs(*archs) : std::vector<std::string>{}};
}

void DB::setApp(const InstalledApp& app, double mtime, std::int64_t size) {
    double now = clock_.nowSeconds();
    std::lock_guard guard(lock_);
    Statement s(handle_, slot(Query::setApp),
                "INSERT OR REPLACE INTO apps\n"
                "(path, mtime, size, bundle_id, name, short_version, build_version, executable, min_system,\n"
                " sparkle_feed, is_mas, is_apple, team_id, archs_csv, updated_at)\n"
                "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    if (!s.ok()) return;
    s.bind(1, app.path.filePath());
    s.bind(2, mtime);
    s.bind(3, size);
    s.bind(4, app.bundleID);
    s.bind(5, app.name);
    s.bind(6, app.shortVersion);
    s.bind(7, app.buildVersion);
    s.bind(8, app.executable);
    s.bind(9, app.minSystemVersion);
    s.bind(10, urlText(app.sparkleFeedURL));
    s.bind(11, app.isMacAppStore);
    s.bind(12, app.isAppleOwned);
    s.bind(13, app.teamID);
    s.bind(14, joinArchs(app.archs));
    s.bind(15, now);
    s.step();
}

void DB::deleteApp(const std::string& path) {
    std::lock_guard guard(lock_);
    Statement s(handle_, slot(Query::deleteApp), "DELETE FROM apps WHERE path = ?");
    if (!s.ok()) return;
    s.bind(1, path);
    s.step();
}

std::optional<DB::CachedRemote> DB::getResolved(const std::string& bundleID, double maxAgeSeconds) {
    double now = clock_.nowSeconds();
    std::lock_guard guard(lock_);
    Statement s(handle_, slot(Query::getResolved), "SELECT source, latest, build_version, url, sha256, size_bytes, min_os, notes, "
                         "source_token, resolved_at, artifact_type\n"
                         "FROM resolved WHERE bundle_id = ?");
    if (!s.ok()) return std::nullopt;
    s.bind(1, bundleID);
    if (!s.step()) return std::nullopt;
    double resolvedAt = s.isNull(9) ? 0 : s.real(9);
    if (now - resolvedAt > maxAgeSeconds) return std::nullopt;
    RemoteVersion r;
    r.source = fromRawValue<AppSource>(s.text(0).value_or("none")).value_or(AppSource::none);
    r.version = s.text(1).value_or("");
    r.buildVersion = s.text(2);
    r.downloadURL = parseUrl(s.text(3));
    r.sha256 = s.text(4);
    if (!s.isNull(5)) r.sizeBytes = s.integer(5);
    r.minSystemVersion = s.text(6);
    r.notes = s.text(7);
    r.sourceToken = s.text(8);
    r.artifactType = s.text(10);
    return CachedRemote{std::move(r), platform::fromSeconds(resolvedAt)};
}

void DB::setResolved(const std::string& bundleID, const RemoteVersion& remote) {
    double now = clock_.nowSeconds();
    std::lock_guard guard(lock_);
    Statement s(handle_, slot(Query::setResolved), "INSERT OR REPLACE INTO resolved\n"
                         "(bundle_id, source, latest, build_version, url, sha256, size_bytes, min_os, notes, "
                         "source_token, resolved_at, artifact_type)\n"
                         "VALUES (?,?,?,?,?,?,?,?,?,?,?,?)");
    if (!s.ok()) return;
    s.bind(1, bundleID);
    s.bind(2, std::string(rawValue(remote.source)));
    s.bind(3, remote.version);
    s.bind(4, remote.buildVersion);
    s.bind(5, urlText(remote.downloadURL));
    s.bind(6, remote.sha256);
    s.bind(7, remote.sizeBytes);
    s.bind(8, remote.minSystemVersion);
    s.bind(9, remote.notes);
    s.bind(10, remote.sourceToken);
    s.bind(11, now);
    s.bind(12, remote.artifactType);
    s.step();
}

void DB::clearScanAndResolveCaches() {
    for (const char* sql : {"DELETE FROM apps", "DELETE FROM resolved"}) {
        try {
            exec(sql);
        } catch (const PelError&) {
        }
    }
}

void DB::purgeStaleResolves() {
    try {
        exec("DELETE FROM resolved WHERE bundle_id LIKE '%-setapp'");
    } catch (const PelError&) {
    }
}

void DB::insertEvent(const std::string& ts, const std::string& run, const std::string& event,
                     const std::optional<std::string>& bundleID, const std::optional<std::string>& source,
                     const std::optional<std::string>& code, std::optional<bool> success,
                     const std::string& json) {
    std::lock_guard guard(lock_);
    insertEventLocked(EventRow{ts, run, event, bundleID, source, code, success, json});
}

void DB::insertEvents(const std::vector<EventRow>& rows) {
    if (rows.empty()) return;
    std::lock_guard guard(lock_);
    bool inTransaction = false;
    {
        Statement begin(handle_, slot(Query::begin), "BEGIN");
        inTransaction = begin.ok() && begin.run();
    }
    for (const EventRow& row : rows)
        insertEventLocked(row);
    if (!inTransaction) return; // each insertion committed by itself
    bool committed = false;
    {
        Statement commit(handle_, slot(Query::commit), "COMMIT");
        committed = commit.ok() && commit.run();
    }
    if (!committed && !sqlite3_get_autocommit(handle_)) {
        // Rows that cannot be committed are lost; a transaction left open would swallow all later writes.
        Statement rollback(handle_, slot(Query::rollback), "ROLLBACK");
        if (rollback.ok()) rollback.run();
    }
}

void DB::insertEventLocked(const EventRow& row) {
    Statement s(handle_, slot(Query::insertEvent),
                "INSERT INTO run_events (ts, run, event, bundle_id, source, code, success, json) "
                "VALUES (?,?,?,?,?,?,?,?)");
    if (!s.ok()) return;
    s.bind(1, row.ts);
    s.bind(2, row.run);
    s.bind(3, row.event);
    s.bind(4, row.bundleID);
    s.bind(5, row.source);
    s.bind(6, row.code);
    s.bind(7, row.success);
    s.bind(8, row.json);
    s.step();
}

} // namespace pelkit
