#include "PelKit/Config.hpp"
#include "PelKit/DB.hpp"
#include "PelKit/Journal.hpp"
#include "Support/TempDir.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <thread>

using namespace pelkit;
namespace fs = std::filesystem;
using pelsupport::modeOf;
using pelsupport::readText;
using pelsupport::TempDir;
using pelsupport::writeText;

namespace {

std::vector<std::string> linesOf(const fs::path& file) {
    std::vector<std::string> out;
    std::istringstream in(readText(file));
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Rows of run_events as texts, NULL as "<null>".
std::vector<std::vector<std::string>> eventRows(const fs::path& dbFile) {
    std::vector<std::vector<std::string>> out;
    sqlite3* db = nullptr;
    sqlite3_open(dbFile.c_str(), &db);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(
        db, "SELECT ts, run, event, bundle_id, source, code, success, json FROM run_events ORDER BY id", -1,
        &s, nullptr);
    while (s && sqlite3_step(s) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int i = 0; i < 8; ++i) {
            const unsigned char* t = sqlite3_column_text(s, i);
            row.push_back(t ? reinterpret_cast<const char*>(t) : "<null>");
        }
        out.push_back(row);
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return out;
}

class JournalTest : public ::testing::Test {
protected:
    TempDir tmp{"pel-journal"};
    fs::path home = tmp / "home";
    pelkit::testing::ScopedHomeOverride homeOverride{home};
    // 2026-01-31T23:59:58.700Z
    platform::ManualClock clock{platform::fromSeconds(1769903998.7)};
    fs::path dbFile = tmp / "events.db";
    DB db{Url::fromFilePath(dbFile.string()), clock};
    fs::path dayFile = home / ".local/state/pel/runs/2026-01-31.jsonl";
};

} // namespace

TEST_F(JournalTest, OneEventGivesExactlyThisLineAndRow) {
    Journal journal("01TESTRUN000", &db, clock);
    EXPECT_EQ(journal.file().filePath(), dayFile.string());
    journal.emit("app_resolved", Json{{"bundleID", "com.example.foo"},
                                      {"url", "https://example.com/a/b.zip"},
                                      {"n", 3},
                                      {"ratio", 0.5},
                                      {"success", true},
                                      {"tags", Json::array({"a/b", false})},
                                      {"ts", "caller's"},
                                      {"run", "caller's"},
                                      {"event", "caller's"},
                                      {"schemaVersion", 7},
                                      {"text", "tab\tquote\" é"}});
    journal.flush();
    const std::string line =
        R"({"bundleID":"com.example.foo","event":"app_resolved","n":3,"ratio":0.5,"run":"01TESTRUN000",)"
        R"("schemaVersion":1,"success":true,"tags":["a\/b",false],"text":"tab\tquote\" é",)"
        R"("ts":"2026-01-31T23:59:58Z","url":"https:\/\/example.com\/a\/b.zip"})";
    EXPECT_EQ(readText(dayFile), line + "\n");
    auto rows = eventRows(dbFile);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"2026-01-31T23:59:58Z", "01TESTRUN000", "app_resolved",
                                                 "com.example.foo", "<null>", "<null>", "1", line}));
}

TEST_F(JournalTest, EventWithoutFieldsHasOnlyTheFourKeys) {
    Journal journal("01RUN", &db, clock);
    journal.emit("run_started");
    journal.emit("run_started", Json()); // null fields count as none
    journal.flush();
    const std::string line =
        R"({"event":"run_started","run":"01RUN","schemaVersion":1,"ts":"2026-01-31T23:59:58Z"})";
    EXPECT_EQ(linesOf(dayFile), (std::vector<std::string>{line, line}));
    auto rows = eventRows(dbFile);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"2026-01-31T23:59:58Z", "01RUN", "run_started", "<null>",
                                                 "<null>", "<null>", "<null>", line}));
}

TEST_F(JournalTest, RowColumnsTakeOnlyValuesOfTheRightType) {
    struct Case {
        Json fields;
        std::vector<std::string> columns; // bundle_id, source, code, success
    };
    const Case cases[] = {
        {{{"success", false}}, {"<null>", "<null>", "<null>", "0"}},
        {{{"success", 1}}, {"<null>", "<null>", "<null>", "<null>"}},
        {{{"success", "true"}}, {"<null>", "<null>", "<null>", "<null>"}},
        {{{"bundleID", 5}, {"source", "sparkle"}, {"code", "SRC_FEED_404"}},
         {"<null>", "sparkle", "SRC_FEED_404", "<null>"}},
        {{{"bundleID", Json::array({"com.a"})}, {"code", nullptr}}, {"<null>", "<null>", "<null>", "<null>"}},
    };
    Journal journal("01RUN", &db, clock);
    for (const auto& c : cases)
        journal.emit("e", c.fields);
    journal.flush();
    auto rows = eventRows(dbFile);
    auto lines = linesOf(dayFile);
    ASSERT_EQ(rows.size(), std::size(cases));
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(std::vector<std::string>(rows[i].begin() + 3, rows[i].begin() + 7), cases[i].columns) << i;
        EXPECT_EQ(rows[i][7], lines[i]);
        auto parsed = Json::parse(lines[i]);
        for (const auto& [k, v] : cases[i].fields.items())
            EXPECT_EQ(parsed[k], v) << k; // the line keeps them
    }
}

TEST_F(JournalTest, RecordsThatAreNoJsonWriteNothingAndTheWriterGoesOn) {
    Journal journal("01RUN", &db, clock);
    journal.emit("bad", Json{{"name", std::string("caf\xC3", 4)}});
    journal.emit("bad", Json{{"x", std::numeric_limits<double>::quiet_NaN()}});
    journal.emit("bad", Json{{"nested", Json{{"x", std::numeric_limits<double>::infinity()}}}});
    journal.emit("bad", Json{{"blob", Json::binary({1, 2, 3})}});
    journal.emit(std::string("bad\xFF"), Json::object());
    journal.emit("good", Json{{"n", 1}});
    journal.flush();
    auto lines = linesOf(dayFile);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Json::parse(lines[0])["event"], "good");
    ASSERT_EQ(eventRows(dbFile).size(), 1u);
}

TEST_F(JournalTest, TheDayFileIsCreatedEmptyWithMode0600) {
    mode_t old = ::umask(0);
    {
        Journal journal("01RUN", &db, clock);
        EXPECT_TRUE(fs::exists(dayFile));
        EXPECT_EQ(readText(dayFile), "");
        EXPECT_EQ(modeOf(dayFile), 0600);
        EXPECT_EQ(modeOf(home / ".local/state/pel/runs"), 0700);
    }
    ::umask(old);
}

TEST_F(JournalTest, AnExistingDayFileIsAppendedToAndKeepsItsMode) {
    writeText(dayFile, "{\"earlier\":true}\n");
    ::chmod(dayFile.c_str(), 0644);
    Journal journal("01RUN", &db, clock);
    journal.emit("e");
    journal.flush();
    auto lines = linesOf(dayFile);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "{\"earlier\":true}");
    EXPECT_EQ(modeOf(dayFile), 0644);
}

TEST_F(JournalTest, TheDayIsTheUtcDateAtCreationWhateverTheTimeZone) {
    const char* oldTz = std::getenv("TZ");
    std::string saved = oldTz ? oldTz : "";
    ::setenv("TZ", "Asia/Tokyo", 1); // already 1 February there
    ::tzset();
    {
        Journal journal("01RUN", &db, clock);
        EXPECT_EQ(journal.file().lastPathComponent(), "2026-01-31.jsonl");
        clock.advance(std::chrono::seconds(2)); // past midnight UTC
        journal.emit("after_midnight");
        journal.flush();
        auto lines = linesOf(dayFile);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(Json::parse(lines[0])["ts"], "2026-02-01T00:00:00Z");
        EXPECT_FALSE(fs::exists(home / ".local/state/pel/runs/2026-02-01.jsonl"));
        Journal next("01RUN2", &db, clock); // a journal made now uses the new day
        EXPECT_EQ(next.file().lastPathComponent(), "2026-02-01.jsonl");
    }
    if (oldTz)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST_F(JournalTest, ADeletedDayFileStopsTheLinesButNotTheRows) {
    Journal journal("01RUN", &db, clock);
    journal.emit("one");
    journal.flush();
    fs::remove(dayFile);
    journal.emit("two");
    journal.flush();
    EXPECT_FALSE(fs::exists(dayFile));
    EXPECT_EQ(eventRows(dbFile).size(), 2u);
}

TEST_F(JournalTest, TwoJournalsOnOneFileWriteWholeLinesOnly) {
    auto noDB = DB::disconnected(); // rows are not what this is about; keep it fast
    Journal a("01AAAAAAAAAA", noDB.get(), clock);
    Journal b("01BBBBBBBBBB", noDB.get(), clock);
    ASSERT_EQ(a.file(), b.file());
    const int perThread = 300;
    const std::string payload(3000, 'x'); // longer than a pipe-sized write
    auto emitMany = [&](Journal& j) {
        for (int i = 0; i < perThread; ++i)
            j.emit("tick", Json{{"i", i}, {"payload", payload}});
        j.flush();
    };
    std::thread ta(emitMany, std::ref(a));
    std::thread tb(emitMany, std::ref(b));
    ta.join();
    tb.join();
    auto lines = linesOf(dayFile);
    ASSERT_EQ(lines.size(), 2u * perThread);
    std::map<std::string, int> next;
    for (const auto& line : lines) {
        Json j = Json::parse(line); // throws on a torn line
        ASSERT_EQ(j["payload"], payload);
        std::string run = j["run"];
        EXPECT_EQ(j["i"], next[run]++) << "events of one journal stay in order";
    }
    EXPECT_EQ(next["01AAAAAAAAAA"], perThread);
    EXPECT_EQ(next["01BBBBBBBBBB"], perThread);
}

TEST_F(JournalTest, DestroyingTheJournalWritesWhatIsQueued) {
    auto noDB = DB::disconnected();
    {
        Journal journal("01RUN", noDB.get(), clock);
        for (int i = 0; i < 200; ++i)
            journal.emit("e", Json{{"i", i}});
    }
    auto lines = linesOf(dayFile);
    ASSERT_EQ(lines.size(), 200u);
    EXPECT_EQ(Json::parse(lines.back())["i"], 199);
}

TEST_F(JournalTest, EmitStampsTheTimeOnTheCallersThread) {
    auto noDB = DB::disconnected();
    Journal journal("01RUN", noDB.get(), clock);
    journal.emit("first");
    clock.advance(std::chrono::hours(1)); // moving the clock later does not change the queued stamp
    journal.emit("second");
    journal.flush();
    auto lines = linesOf(dayFile);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Json::parse(lines[0])["ts"], "2026-01-31T23:59:58Z");
    EXPECT_EQ(Json::parse(lines[1])["ts"], "2026-02-01T00:59:58Z");
}

TEST_F(JournalTest, WithoutAStoreItWritesToTheSharedOne) {
    pelkit::testing::setSharedDB(&db);
    {
        Journal journal("01RUN", nullptr, clock);
        journal.emit("e", Json{{"code", "NET_DNS"}});
        journal.flush();
    }
    pelkit::testing::setSharedDB(nullptr);
    auto rows = eventRows(dbFile);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][5], "NET_DNS");
}

TEST_F(JournalTest, CreationFailsWithTheDirectoryError) {
    writeText(home / ".cache/pel", "in the way");
    EXPECT_THROW(Journal("01RUN", &db, clock), fs::filesystem_error);
    EXPECT_FALSE(fs::exists(home / ".local"));
}

TEST(JournalRunID, TwelveCrockfordCharactersStartingWith01) {
    const std::string alphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
    std::set<std::string> seen;
    std::set<char> used;
    for (int i = 0; i < 2000; ++i) {
        std::string id = Journal::makeRunID();
        ASSERT_EQ(id.size(), 12u) << id;
        ASSERT_TRUE(id.starts_with("01")) << id;
        for (char c : id)
            ASSERT_NE(alphabet.find(c), std::string::npos) << id;
        used.insert(id.begin() + 2, id.end());
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 2000u);
    EXPECT_EQ(used.size(), 32u); // every digit turns up
}

TEST(JournalRunID, AGivenIdentifierIsKeptAndNoneMakesANewOne) {
    TempDir tmp;
    pelkit::testing::ScopedHomeOverride home(tmp / "home");
    auto noDB = DB::disconnected();
    Journal given("01GIVEN00000", noDB.get());
    EXPECT_EQ(given.runID(), "01GIVEN00000");
    Journal fresh(std::nullopt, noDB.get());
    EXPECT_EQ(fresh.runID().size(), 12u);
    EXPECT_NE(fresh.runID(), given.runID());
}
