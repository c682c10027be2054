#pragma once

#include "PelKit/Models.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace pelkit {

// The local SQLite cache, pel.db in the state directory. Lookups never throw (a failure is a
// miss) and writes never throw (a failure is dropped); only opening and exec report errors.
// One connection, one mutex held around every use of a statement. Each statement is prepared once
// per connection, on first use, and reset after every use.
class DB {
public:
    struct CachedRemote {
        RemoteVersion remote;
        TimePoint resolvedAt;
    };

    // Opens or creates the file (read-write, create, serialized threading) and migrates it.
    // Throws PelError INT_UNEXPECTED: "sqlite open: …" or the failing schema statement's "sqlite exec: …".
    explicit DB(const Url& url, platform::Clock& clock = platform::systemClock());
    ~DB();
    DB(const DB&) = delete;
    DB& operator=(const DB&) = delete;

    // A store without a connection: lookups miss, writes are dropped, exec throws.
    static std::unique_ptr<DB> disconnected(platform::Clock& clock = platform::systemClock());
    // Opens `url`, or on failure writes "DB open failed: <error>" to standard error and returns a
    // disconnected store: the cache is optional and the application must run without it.
    static std::unique_ptr<DB> openOrDisconnected(const Url& url,
                                                  platform::Clock& clock = platform::systemClock());

    // The process-wide store on `path()`, created once on first use (after PelPaths::ensureDirs())
    // and never destroyed. Safe under concurrent first access.
    static DB& shared();
    // home/.local/state/pel/pel.db
    static Url path();

    bool isOpen() const { return handle_ != nullptr; }

    // Runs every statement of `sql`. Throws PelError "sqlite exec: <message> sql=<sql>".
    void exec(const std::string& sql);

    // nullopt: no row; a row holding nullopt: cached answer that the bundle has no Team ID.
    std::optional<std::optional<std::string>> getTeamID(const std::string& bundlePath, double mtime,
                                                        std::int64_t size);
    void setTeamID(const std::string& bundlePath, double mtime, std::int64_t size,
                   const std::optional<std::string>& teamID);

    // The record stored under exactly (path, mtime, size); its `path` is made from the argument.
    std::optional<InstalledApp> getApp(const std::string& path, double mtime, std::int64_t size);
    void setApp(const InstalledApp& app, double mtime, std::int64_t size);
    void deleteApp(const std::string& path);

    // The stored resolution unless it is older than maxAgeSeconds (exactly that age is fresh).
    std::optional<CachedRemote> getResolved(const std::string& bundleID, double maxAgeSeconds);
    void setResolved(const std::string& bundleID, const RemoteVersion& remote);

    void clearScanAndResolveCaches(); // errors discarded
    void purgeStaleResolves();        // Setapp rows ("-setapp"); errors discarded

    struct EventRow {
        std::string ts, run, event;
        std::optional<std::string> bundleID, source, code;
        std::optional<bool> success;
        std::string json;
    };
    void insertEvent(const std::string& ts, const std::string& run, const std::string& event,
                     const std::optional<std::string>& bundleID, const std::optional<std::string>& source,
                     const std::optional<std::string>& code, std::optional<bool> success,
                     const std::string& json);
    // The same insertions, in order, committed together: one sync for the lot instead of one each.
    void insertEvents(const std::vector<EventRow>& rows);

private:
    // The statements kept prepared, one slot each.
    enum class Query {
        getTeamID,
        setTeamID,
        getApp,
        setApp,
        deleteApp,
        getResolved,
        setResolved,
        insertEvent,
        begin,
        commit,
        rollback,
        count
    };

    struct Disconnected {};
    DB(Disconnected, platform::Clock& clock);
    void execLocked(const std::string& sql);
    void insertEventLocked(const EventRow& row);
    void close();
    sqlite3_stmt*& slot(Query q) { return statements_[static_cast<std::size_t>(q)]; }

    platform::Clock& clock_;
    std::mutex lock_;
    sqlite3* handle_ = nullptr;
    std::array<sqlite3_stmt*, static_cast<std::size_t>(Query::count)> statements_{};
};

namespace testing {
// Makes DB::shared() return `db` (tests only; nullptr restores the real one). Not owned.
void setSharedDB(DB* db);
} // namespace testing

} // namespace pelkit
