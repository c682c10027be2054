#include "PelKit/Config.hpp"
#include "PelKit/DB.hpp"
#include "Support/TempDir.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>
#include <thread>

using namespace pelkit;
namespace fs = std::filesystem;
using pelsupport::readText;
using pelsupport::TempDir;
using pelsupport::writeText;

namespace {

// A second, plain connection for looking at what the store wrote.
class Peek {
public:
    explicit Peek(const fs::path& file) { sqlite3_open(file.c_str(), &db_); }
    ~Peek() { sqlite3_close(db_); }
    void exec(const std::string& sql) {
        ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    }
    // Rows of text cells; NULL reads as "<null>".
    std::vector<std::vector<std::string>> rows(const std::string& sql) {
        std::vector<std::vector<std::string>> out;
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sqlite3_errmsg(db_) << " in " << sql;
            return out;
        }
        while (sqlite3_step(s) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < sqlite3_column_count(s); ++i) {
                const unsigned char* t = sqlite3_column_text(s, i);
                row.push_back(sqlite3_column_type(s, i) == SQLITE_NULL ? "<null>"
                                                                       : reinterpret_cast<const char*>(t));
            }
            out.push_back(row);
        }
        sqlite3_finalize(s);
        return out;
    }
    std::vector<std::string> column(const std::string& sql) {
        std::vector<std::string> out;
        for (auto& r : rows(sql))
            out.push_back(r.at(0));
        return out;
    }

private:
    sqlite3* db_ = nullptr;
};

InstalledApp fullApp(const std::string& path) {
    return InstalledApp{Url::fromFilePath(path),
                        "com.example.foo",
                        "Foo",
                        "1.2",
                        "120",
                        "Foo",
                        "13.0",
                        Url::parse("https://example.com/appcast.xml?x=1"),
                        true,
                        false,
                        "ABCDE12345",
                        {"arm64", "x86_64"}};
}

RemoteVersion fullRemote() {
    RemoteVersion r;
    r.source = AppSource::homebrew;
    r.sourceToken = "foo";
    r.version = "2.0,200";
    r.buildVersion = "200";
    r.downloadURL = Url::parse("https://example.com/Foo-2.0.zip");
    r.sha256 = std::string(64, 'a');
    r.sizeBytes = 5'000'000'000LL;
    r.minSystemVersion = "14.0";
    r.publishedAt = platform::fromSeconds(1'600'000'000);
    r.notes = "notes";
    r.artifactType = "zip";
    return r;
}

class DBTest : public ::testing::Test {
protected:
    TempDir tmp{"pel-db"};
    fs::path file = tmp / "pel.db";
    platform::ManualClock clock{platform::fromSeconds(1'700'000'000)};
    DB db{Url::fromFilePath(file.string()), clock};
};

} // namespace

TEST_F(DBTest, ANewFileGetsTheWholeSchemaAndReopensUnchanged) {
    Peek peek(file);
    EXPECT_EQ(
        peek.column(
            "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' ORDER BY name"),
        (std::vector<std::string>{"apps", "cache_teamid", "cache_tokenmap", "resolved", "run_events"}));
    EXPECT_EQ(
        peek.column("SELECT name FROM sqlite_master WHERE type='index' AND sql IS NOT NULL ORDER BY name"),
        (std::vector<std::string>{"idx_apps_bundle", "idx_events_bundle", "idx_events_code",
                                  "idx_events_ts"}));
    auto columns = peek.column("SELECT name FROM pragma_table_info('resolved') ORDER BY cid");
    ASSERT_EQ(columns.size(), 12u);
    EXPECT_EQ(columns[11], "artifact_type");
    EXPECT_EQ(peek.column("PRAGMA journal_mode"), std::vector<std::string>{"wal"});
    std::string before = peek.column("SELECT group_concat(sql, ';') FROM sqlite_master").at(0);

    db.setResolved("com.a", fullRemote());
    DB again(Url::fromFilePath(file.string()), clock); // the column-adding error is discarded
    EXPECT_TRUE(again.isOpen());
    EXPECT_EQ(peek.column("SELECT group_concat(sql, ';') FROM sqlite_master").at(0), before);
    EXPECT_TRUE(again.getResolved("com.a", 21600));
}

TEST(DBMigration, AnOlderFileGainsTheArtifactColumn) {
    TempDir tmp;
    fs::path file = tmp / "pel.db";
    {
        Peek old(file);
        old.exec(
            "CREATE TABLE resolved (bundle_id TEXT PRIMARY KEY, source TEXT NOT NULL, latest TEXT NOT NULL,"
            " build_version TEXT, url TEXT, sha256 TEXT, size_bytes INTEGER, min_os TEXT, notes TEXT,"
            " source_token TEXT, resolved_at REAL NOT NULL)");
        old.exec("INSERT INTO resolved (bundle_id, source, latest, resolved_at) VALUES ('com.old', "
                 "'sparkle', '3', 100)");
    }
    platform::ManualClock clock{platform::fromSeconds(200)};
    DB db(Url::fromFilePath(file.string()), clock);
    auto cached = db.getResolved("com.old", 21600);
    ASSERT_TRUE(cached);
    EXPECT_EQ(cached->remote.source, AppSource::sparkle);
    EXPECT_EQ(cached->remote.version, "3");
    EXPECT_FALSE(cached->remote.artifactType);
    EXPECT_FALSE(cached->remote.downloadURL);
    EXPECT_EQ(platform::toSeconds(cached->resolvedAt), 100);
}

TEST_F(DBTest, TeamIDLookupHasThreeStates) {
    db.setTeamID("/Applications/A.app", 10.5, 100, std::string("TEAM1"));
    db.setTeamID("/Applications/B.app", 10.5, 100, std::nullopt);
    struct Case {
        const char* path;
        double mtime;
        std::int64_t size;
        std::optional<std::optional<std::string>> expected;
    };
    const Case cases[] = {
        {"/Applications/A.app", 10.5, 100, std::optional<std::string>("TEAM1")},
        {"/Applications/B.app", 10.5, 100, std::optional<std::string>()}, // cached: no Team ID
        {"/Applications/C.app", 10.5, 100, std::nullopt},                 // no row
        {"/Applications/A.app", 10.25, 100, std::nullopt},
        {"/Applications/A.app", 10.5, 101, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(db.getTeamID(c.path, c.mtime, c.size), c.expected)
            << c.path << " " << c.mtime << " " << c.size;
    }
    db.setTeamID("/Applications/A.app", 11, 100, std::string("TEAM2")); // replaces the row of that path
    EXPECT_EQ(db.getTeamID("/Applications/A.app", 10.5, 100), std::nullopt);
    EXPECT_EQ(db.getTeamID("/Applications/A.app", 11, 100), std::optional<std::string>("TEAM2"));
}

TEST_F(DBTest, AppRoundTripsAndIsKeyedByPathMtimeAndSize) {
    InstalledApp app = fullApp("/Applications/Foo.app");
    db.setApp(app, 1234.5, 99);
    EXPECT_EQ(db.getApp("/Applications/Foo.app", 1234.5, 99), app);
    EXPECT_FALSE(db.getApp("/Applications/Foo.app", 1234.50001, 99));
    EXPECT_FALSE(db.getApp("/Applications/Foo.app", 1234.5, 98));
    EXPECT_FALSE(db.getApp("/Applications/Other.app", 1234.5, 99));

    // The record's path comes from the argument, not from the row.
    Peek peek(file);
    peek.exec("UPDATE apps SET path = '/Elsewhere/Foo.app'");
    auto moved = db.getApp("/Elsewhere/Foo.app", 1234.5, 99);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->path, Url::fromFilePath("/Elsewhere/Foo.app"));
    EXPECT_EQ(peek.column("SELECT updated_at FROM apps"), std::vector<std::string>{"1700000000.0"});

    db.deleteApp("/Elsewhere/Foo.app");
    EXPECT_FALSE(db.getApp("/Elsewhere/Foo.app", 1234.5, 99));
}

TEST_F(DBTest, SparseAppsAndOddStoredTextsReadBackAsTheRulesSay) {
    InstalledApp sparse{Url::fromFilePath("/Applications/My App ü.app"),
                        "com.x",
                        "X",
                        std::nullopt,
                        std::nullopt,
                        std::nullopt,
                        std::nullopt,
                        std::nullopt,
                        false,
                        true,
                        std::nullopt,
                        {}};
    db.setApp(sparse, 1, 2);
    Peek peek(file);
    EXPECT_EQ(peek.rows("SELECT archs_csv, short_version, sparkle_feed, is_mas, is_apple FROM apps"),
              (std::vector<std::vector<std::string>>{{"", "<null>", "<null>", "0", "1"}}));
    EXPECT_EQ(db.getApp("/Applications/My App ü.app", 1, 2), sparse);

    struct Case {
        const char* archs; // SQL literal
        const char* feed;  // SQL literal
        std::vector<std::string> expectedArchs;
        std::optional<Url> expectedFeed;
    };
    const Case cases[] = {
        {"',arm64,,x86_64,'", "'not a url'", {"arm64", "x86_64"}, std::nullopt},
        {"NULL", "'https://e.com/f'", {}, Url::parse("https://e.com/f")},
        {"' arm64'", "NULL", {" arm64"}, std::nullopt},
    };
    for (const auto& c : cases) {
        peek.exec(
            fmt::format("UPDATE apps SET archs_csv = {}, sparkle_feed = {}, is_mas = 7", c.archs, c.feed));
        auto got = db.getApp("/Applications/My App ü.app", 1, 2);
        ASSERT_TRUE(got) << c.archs;
        EXPECT_EQ(got->archs, c.expectedArchs) << c.archs;
        EXPECT_EQ(got->sparkleFeedURL, c.expectedFeed) << c.feed;
        EXPECT_TRUE(got->isMacAppStore);
    }
}

TEST_F(DBTest, ResolvedRowsAreFreshUpToExactlyTheMaximumAge) {
    db.setResolved("com.a", fullRemote());
    struct Case {
        double age;
        bool fresh;
    };
    const Case cases[] = {{0, true}, {21599, true}, {21600, true}, {21600.5, false}, {21601, false}};
    for (const auto& c : cases) {
        clock.setSeconds(1'700'000'000 + c.age);
        EXPECT_EQ(db.getResolved("com.a", 21600).has_value(), c.fresh) << c.age;
    }
    clock.setSeconds(1'700'000'000 - 5); // a clock set back reads the row as fresh
    EXPECT_TRUE(db.getResolved("com.a", 21600));
    clock.setSeconds(1'700'000'000);
    EXPECT_TRUE(db.getResolved("com.a", 0));
    clock.setSeconds(1'700'000'001);
    EXPECT_FALSE(db.getResolved("com.a", 0));
}

TEST_F(DBTest, ResolvedRowKeepsEveryFieldButThePublicationDate) {
    RemoteVersion r = fullRemote();
    db.setResolved("com.a", r);
    clock.advance(std::chrono::seconds(10));
    auto cached = db.getResolved("com.a", 21600);
    ASSERT_TRUE(cached);
    const RemoteVersion& got = cached->remote;
    EXPECT_EQ(got.source, r.source);
    EXPECT_EQ(got.sourceToken, r.sourceToken);
    EXPECT_EQ(got.version, r.version);
    EXPECT_EQ(got.buildVersion, r.buildVersion);
    EXPECT_EQ(got.downloadURL, r.downloadURL);
    EXPECT_EQ(got.sha256, r.sha256);
    EXPECT_EQ(got.sizeBytes, r.sizeBytes);
    EXPECT_EQ(got.minSystemVersion, r.minSystemVersion);
    EXPECT_FALSE(got.publishedAt);
    EXPECT_EQ(got.notes, r.notes);
    EXPECT_EQ(got.artifactType, r.artifactType);
    EXPECT_EQ(platform::toSeconds(cached->resolvedAt), 1'700'000'000);

    RemoteVersion bare;
    bare.source = AppSource::macAppStore;
    bare.version = "1";
    db.setResolved("com.a", bare); // replaces
    Peek peek(file);
    EXPECT_EQ(peek.rows("SELECT source, url, size_bytes, artifact_type FROM resolved"),
              (std::vector<std::vector<std::string>>{{"macAppStore", "<null>", "<null>", "<null>"}}));
    auto again = db.getResolved("com.a", 21600);
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->remote.sizeBytes);
    EXPECT_FALSE(again->remote.sourceToken);
}

// A stamp from the far future is fresh (it is not older than the maximum age); its date must
// saturate rather than wrap around into the distant past.
TEST_F(DBTest, AFarFutureStampReadsBackAsALateDate) {
    db.setResolved("com.a", fullRemote());
    Peek peek(file);
    for (const char* stamp : {"1e300", "9e999", "9300000000"}) {
        peek.exec(fmt::format("UPDATE resolved SET resolved_at = {}", stamp));
        auto cached = db.getResolved("com.a", 21600);
        ASSERT_TRUE(cached) << stamp;
        EXPECT_GT(platform::toSeconds(cached->resolvedAt), 9.2e9) << stamp;
    }
}

TEST_F(DBTest, AStoredSourceThatIsNoRawValueReadsAsNone) {
    db.setResolved("com.a", fullRemote());
    Peek peek(file);
    for (const char* stored : {"Homebrew", "", "brew"}) {
        peek.exec(fmt::format("UPDATE resolved SET source = '{}'", stored));
        auto cached = db.getResolved("com.a", 21600);
        ASSERT_TRUE(cached) << stored;
        EXPECT_EQ(cached->remote.source, AppSource::none) << stored;
    }
}

TEST_F(DBTest, ExecFailureNamesTheStatementAndLeavesTheConnectionUsable) {
    try {
        db.exec("SELEC nonsense");
        ADD_FAILURE() << "no error";
    } catch (const PelError& e) {
        EXPECT_EQ(e.code(), ErrorCode::INT_UNEXPECTED);
        EXPECT_TRUE(e.message().starts_with("sqlite exec: ")) << e.message();
        EXPECT_TRUE(e.message().ends_with(" sql=SELEC nonsense")) << e.message();
        EXPECT_NE(e.message().find("syntax error"), std::string::npos) << e.message();
        EXPECT_FALSE(e.bundleID());
        EXPECT_FALSE(e.overrideCanFix());
    }
    db.exec("INSERT INTO cache_tokenmap VALUES ('A.app', 'a', 'now'); INSERT INTO cache_tokenmap VALUES "
            "('B.app', 'b', 'now')");
    Peek peek(file);
    EXPECT_EQ(peek.column("SELECT count(*) FROM cache_tokenmap"), std::vector<std::string>{"2"});
}

TEST_F(DBTest, PurgeDeletesExactlyTheSetappRows) {
    for (const char* id : {"com.a-setapp", "com.b-SETAPP", "com.c-setapp.x", "setapp", "com.d", "-setapp"}) {
        RemoteVersion r;
        r.version = "1";
        db.setResolved(id, r);
    }
    db.purgeStaleResolves();
    Peek peek(file);
    EXPECT_EQ(peek.column("SELECT bundle_id FROM resolved ORDER BY bundle_id"),
              (std::vector<std::string>{"com.c-setapp.x", "com.d", "setapp"}));
}

TEST_F(DBTest, ClearingTheCachesEmptiesAppsAndResolvedOnly) {
    db.setApp(fullApp("/A.app"), 1, 1);
    db.setResolved("com.a", fullRemote());
    db.setTeamID("/A.app", 1, 1, std::string("T"));
    db.clearScanAndResolveCaches();
    EXPECT_FALSE(db.getApp("/A.app", 1, 1));
    EXPECT_FALSE(db.getResolved("com.a", 1e9));
    EXPECT_TRUE(db.getTeamID("/A.app", 1, 1));
}

TEST_F(DBTest, EventsStoreNullForAbsentValues) {
    db.insertEvent("2026-01-01T00:00:00Z", "01RUN", "app_resolved", "com.a", "sparkle", std::nullopt, false,
                   "{}");
    db.insertEvent("2026-01-01T00:00:01Z", "01RUN", "run_started", std::nullopt, std::nullopt, "NET_DNS",
                   true, "{\"a\":1}");
    db.insertEvent("2026-01-01T00:00:02Z", "01RUN", "x", std::nullopt, std::nullopt, std::nullopt,
                   std::nullopt, "{}");
    Peek peek(file);
    EXPECT_EQ(
        peek.rows(
            "SELECT id, ts, run, event, bundle_id, source, code, success, json FROM run_events ORDER BY id"),
        (std::vector<std::vector<std::string>>{
            {"1", "2026-01-01T00:00:00Z", "01RUN", "app_resolved", "com.a", "sparkle", "<null>", "0", "{}"},
            {"2", "2026-01-01T00:00:01Z", "01RUN", "run_started", "<null>", "<null>", "NET_DNS", "1",
             "{\"a\":1}"},
            {"3", "2026-01-01T00:00:02Z", "01RUN", "x", "<null>", "<null>", "<null>", "<null>", "{}"}}));
}

TEST_F(DBTest, ConcurrentCallersShareTheOneConnection) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 20; ++i) {
                std::string path = fmt::format("/T{}/A{}.app", t, i);
                db.setApp(fullApp(path), i, i);
                EXPECT_TRUE(db.getApp(path, i, i));
                db.insertEvent("ts", "run", "e", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                               "{}");
            }
        });
    }
    for (auto& th : threads)
        th.join();
    Peek peek(file);
    EXPECT_EQ(peek.column("SELECT count(*) FROM apps"), std::vector<std::string>{"80"});
    EXPECT_EQ(peek.column("SELECT count(*) FROM run_events"), std::vector<std::string>{"80"});
}

// ---- A store that cannot be opened ----

TEST(DBOpenFailure, OpeningReportsSqliteErrors) {
    TempDir tmp;
    writeText(tmp / "garbage.db", std::string(4096, 'G'));
    fs::create_directories(tmp / "dir.db");
    struct Case {
        fs::path path;
        const char* prefix;
    };
    const Case cases[] = {
        {tmp / "garbage.db", "sqlite exec: file is not a database sql=PRAGMA journal_mode=WAL"},
        {tmp / "dir.db", "sqlite open: "},
        {tmp / "missing/folder/pel.db", "sqlite open: unable to open database file"},
    };
    for (const auto& c : cases) {
        try {
            DB db(Url::fromFilePath(c.path.string()));
            ADD_FAILURE() << c.path << ": opened";
        } catch (const PelError& e) {
            EXPECT_EQ(e.code(), ErrorCode::INT_UNEXPECTED);
            EXPECT_TRUE(e.message().starts_with(c.prefix)) << e.message();
        }
    }
    EXPECT_EQ(readText(tmp / "garbage.db"), std::string(4096, 'G'));
}

TEST(DBOpenFailure, AnUnopenableFileGivesAStoreThatStillWorksWithoutACache) {
    TempDir tmp;
    fs::path file = tmp / "pel.db";
    writeText(file, std::string(4096, 'G'));
    ::testing::internal::CaptureStderr();
    auto db = DB::openOrDisconnected(Url::fromFilePath(file.string()));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(err.starts_with("DB open failed: [INT_UNEXPECTED] sqlite exec: file is not a database"))
        << err;
    ASSERT_TRUE(db);
    EXPECT_FALSE(db->isOpen());

    db->setTeamID("/A.app", 1, 1, std::string("T"));
    EXPECT_EQ(db->getTeamID("/A.app", 1, 1), std::nullopt);
    db->setApp(fullApp("/A.app"), 1, 1);
    EXPECT_FALSE(db->getApp("/A.app", 1, 1));
    db->deleteApp("/A.app");
    db->setResolved("com.a", fullRemote());
    EXPECT_FALSE(db->getResolved("com.a", 21600));
    db->insertEvent("ts", "run", "e", std::nullopt, std::nullopt, std::nullopt, true, "{}");
    db->clearScanAndResolveCaches();
    db->purgeStaleResolves();
    try {
        db->exec("SELECT 1");
        ADD_FAILURE() << "no error";
    } catch (const PelError& e) {
        EXPECT_EQ(e.message(), "sqlite exec: database not open sql=SELECT 1");
    }
    EXPECT_EQ(readText(file), std::string(4096, 'G')); // the user's file is left alone
}

TEST(DBShared, IsOneInstanceInTheStateDirectory) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // In a child process: the shared store is created once per process.
    EXPECT_EXIT(
        {
            TempDir tmp;
            pelkit::testing::ScopedHomeOverride home(tmp / "home");
            std::set<DB*> seen;
            std::mutex m;
            std::vector<std::thread> threads;
            for (int i = 0; i < 8; ++i) {
                threads.emplace_back([&] {
                    DB* db = &DB::shared();
                    std::lock_guard g(m);
                    seen.insert(db);
                });
            }
            for (auto& t : threads)
                t.join();
            bool ok = seen.size() == 1 && DB::shared().isOpen() &&
                      DB::path().filePath() == (tmp / "home/.local/state/pel/pel.db").string() &&
                      fs::exists(tmp / "home/.local/state/pel/pel.db") &&
                      fs::is_directory(tmp / "home/.cache/pel");
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(DBShared, WithoutItsDirectoriesRunsDisconnected) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TempDir tmp;
            writeText(tmp / "home/.cache", "file in the way");
            pelkit::testing::ScopedHomeOverride home(tmp / "home");
            DB& db = DB::shared();
            db.setResolved("com.a", fullRemote());
            std::exit(!db.isOpen() && !db.getResolved("com.a", 21600) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "DB open failed: filesystem error: create directory: File exists");
}

TEST(DBShared, TestsCanReplaceTheSharedStore) {
    TempDir tmp;
    DB mine(Url::fromFilePath((tmp / "mine.db").string()));
    pelkit::testing::setSharedDB(&mine);
    EXPECT_EQ(&DB::shared(), &mine);
    pelkit::testing::setSharedDB(nullptr);
}
