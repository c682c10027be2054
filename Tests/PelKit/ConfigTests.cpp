#include "PelKit/Config.hpp"
#include "Platform/Files.hpp"
#include "Support/TempDir.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <thread>

using namespace pelkit;
namespace fs = std::filesystem;
using pelsupport::modeOf;
using pelsupport::readText;
using pelsupport::TempDir;
using pelsupport::writeText;

namespace {

class PathsTest : public ::testing::Test {
protected:
    TempDir tmp{"pel-config"};
    fs::path home = tmp / "home";
    pelkit::testing::ScopedHomeOverride homeOverride{home};
};

Url fileUrl(const fs::path& p) {
    return Url::fromFilePath(p.string());
}

// Makes writes past `bytes` fail with EFBIG (root is not exempt), for one scope.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldHandler_);
    }

private:
    rlimit old_{};
    void (*oldHandler_)(int);
};

} // namespace

// ---- Locations ----

TEST_F(PathsTest, LocationsDeriveFromTheHomeDirectory) {
    std::string h = home.string();
    EXPECT_EQ(PelPaths::cacheDir().filePath(), h + "/.cache/pel/");
    EXPECT_EQ(PelPaths::stateDir().filePath(), h + "/.local/state/pel/");
    EXPECT_EQ(PelPaths::journalDir().filePath(), h + "/.local/state/pel/runs/");
    EXPECT_EQ(PelPaths::backupDir().filePath(), h + "/.local/state/pel/backups/");
    EXPECT_EQ(PelPaths::caskCacheFile().filePath(), h + "/.cache/pel/casks.json");
    EXPECT_EQ(PelPaths::tokenMapFile().filePath(), h + "/.cache/pel/token-map.json");
    EXPECT_EQ(PelPaths::teamIDCacheFile().filePath(), h + "/.cache/pel/teamid-cache.json");
    EXPECT_TRUE(PelPaths::cacheDir().isFile());
    EXPECT_FALSE(fs::exists(home)); // naming a place creates nothing
}

TEST(PelPathsHome, ComesFromHomeThenThePasswordDatabase) {
    const char* old = std::getenv("HOME");
    std::string saved = old ? old : "";
    ::setenv("HOME", "/srv/someone", 1);
    EXPECT_EQ(PelPaths::home(), "/srv/someone");
    EXPECT_EQ(PelPaths::stateDir().filePath(), "/srv/someone/.local/state/pel/");
    ::setenv("HOME", "/", 1);
    EXPECT_EQ(PelPaths::cacheDir().filePath(), "/.cache/pel/");
    for (const char* unusable : {"", "relative/dir"}) {
        ::setenv("HOME", unusable, 1);
        fs::path fromPasswd = PelPaths::home();
        EXPECT_TRUE(fromPasswd.is_absolute()) << unusable;
    }
    ::unsetenv("HOME");
    EXPECT_TRUE(PelPaths::home().is_absolute());
    {
        pelkit::testing::ScopedHomeOverride o("/override/home");
        EXPECT_EQ(PelPaths::home(), "/override/home");
    }
    if (old)
        ::setenv("HOME", saved.c_str(), 1);
    else
        ::unsetenv("HOME");
}

TEST_F(PathsTest, EnsureDirsCreatesTheSkeletonWithMode0700Twice) {
    fs::create_directories(home);
    ::chmod(home.c_str(), 0755);
    mode_t oldMask = ::umask(022);
    PelPaths::ensureDirs();
    PelPaths::ensureDirs();
    ::umask(oldMask);
    for (const char* dir : {".cache", ".cache/pel", ".local", ".local/state", ".local/state/pel",
                            ".local/state/pel/runs", ".local/state/pel/backups"}) {
        EXPECT_TRUE(fs::is_directory(home / dir)) << dir;
        EXPECT_EQ(modeOf(home / dir), 0700) << dir;
    }
    EXPECT_EQ(modeOf(home), 0755); // existed before: untouched
    EXPECT_FALSE(fs::exists(home / ".cache/pel/downloads"));
}

TEST_F(PathsTest, EnsureDirsLeavesAnExistingDirectoryAlone) {
    fs::create_directories(home / ".local/state/pel");
    ::chmod((home / ".local/state/pel").c_str(), 0751);
    PelPaths::ensureDirs();
    EXPECT_EQ(modeOf(home / ".local/state/pel"), 0751);
    EXPECT_EQ(modeOf(home / ".local/state/pel/runs"), 0700);
}

TEST_F(PathsTest, EnsureDirsStopsAtTheFirstFailureWithTheSystemError) {
    struct Case {
        const char* blocker;
        std::vector<const char*> created;
        std::vector<const char*> notCreated;
    };
    const Case cases[] = {
        {".cache/pel", {}, {".local"}},
        {".local/state/pel/runs", {".cache/pel", ".local/state/pel"}, {".local/state/pel/backups"}},
    };
    for (const auto& c : cases) {
        fs::remove_all(home);
        writeText(home / c.blocker, "not a folder");
        try {
            PelPaths::ensureDirs();
            ADD_FAILURE() << c.blocker << ": no error";
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(e.code(), std::error_code(EEXIST, std::generic_category())) << c.blocker;
            EXPECT_EQ(e.path1(), home / c.blocker);
        }
        EXPECT_EQ(readText(home / c.blocker), "not a folder");
        for (const char* d : c.created)
            EXPECT_TRUE(fs::is_directory(home / d)) << d;
        for (const char* d : c.notCreated)
            EXPECT_FALSE(fs::exists(home / d)) << d;
    }
}

TEST_F(PathsTest, OverridesFileFollowsTheWorkingDirectoryAtEveryCall) {
    fs::path cwd = tmp / "work";
    fs::create_directories(cwd);
    std::string stateFile = home.string() + "/.local/state/pel/overrides.json";
    EXPECT_EQ(PelPaths::overridesFile(cwd).filePath(), stateFile);

    writeText(cwd / "config/overrides.json", "{}");
    EXPECT_EQ(PelPaths::overridesFile(cwd).filePath(), (cwd / "config/overrides.json").string());

    fs::remove(cwd / "config/overrides.json");
    EXPECT_EQ(PelPaths::overridesFile(cwd).filePath(), stateFile);

    fs::create_directories(cwd / "config/overrides.json"); // existence, not kind, counts
    EXPECT_EQ(PelPaths::overridesFile(cwd).filePath(), (cwd / "config/overrides.json").string());
}

TEST_F(PathsTest, OverridesFileUsesTheProcessWorkingDirectory) {
    fs::path cwd = tmp / "proc-cwd";
    writeText(cwd / "config/overrides.json", "{}");
    fs::path old = fs::current_path();
    fs::current_path(cwd);
    std::string found = PelPaths::overridesFile().filePath();
    std::string fromRelative = PelPaths::overridesFile("./").filePath();
    fs::current_path(old);
    EXPECT_EQ(fromRelative, (cwd / "config/overrides.json").string());
    EXPECT_EQ(found, (cwd / "config/overrides.json").string());
}

// ---- Decoding ----

TEST(OverridesDecode, BadDocumentsFailNamingTheKeyPath) {
    struct Case {
        const char* json;
        const char* keyPath;
    };
    const Case cases[] = {
        {R"([])", "(root)"},
        {R"("text")", "(root)"},
        {R"({"schemaVersion": 1)", "(root)"},                  // not JSON at all
        {R"({"schemaVersion": 1e999, "apps": {}})", "(root)"}, // beyond any number
        {R"({"schemaVersion": 1, "apps": {"com.x": {"note": -1e999}}})", "(root)"},
        {R"({"apps": {}})", "schemaVersion"},
        {R"({"schemaVersion": 1})", "apps"},
        {R"({"schemaVersion": "1", "apps": {}})", "schemaVersion"},
        {R"({"schemaVersion": 1.5, "apps": {}})", "schemaVersion"},
        {R"({"schemaVersion": null, "apps": {}})", "schemaVersion"},
        {R"({"schemaVersion": 1, "apps": []})", "apps"},
        {R"({"schemaVersion": 1, "apps": null})", "apps"},
        {R"({"schemaVersion": 1, "apps": {"com.x": "ignore"}})", "apps.com.x"},
        {R"({"schemaVersion": 1, "apps": {"com.x": null}})", "apps.com.x"},
        {R"({"schemaVersion": 1, "apps": {"com.x": {"ignore": "yes"}}})", "apps.com.x.ignore"},
        {R"({"schemaVersion": 1, "apps": {"com.x": {"useBrew": 1}}})", "apps.com.x.useBrew"},
        {R"({"schemaVersion": 1, "apps": {"com.x": {"channel": 5}}})", "apps.com.x.channel"},
        {R"({"schemaVersion": 1, "apps": {"com.x": {"note": {}}}})", "apps.com.x.note"},
        {R"({"schemaVersion": 1, "apps": {"com.x": {"previousBundleIDs": "com.y"}}})",
         "apps.com.x.previousBundleIDs"},
        {R"({"schemaVersion": 1, "apps": {"com.x": {"previousBundleIDs": ["a", 2]}}})",
         "apps.com.x.previousBundleIDs[1]"},
        {R"({"schemaVersion": 1, "apps": {"a": {}, "com.x": {"ignoreReason": true}}})",
         "apps.com.x.ignoreReason"},
    };
    for (const auto& c : cases) {
        TempDir tmp;
        writeText(tmp / "overrides.json", c.json);
        try {
            Overrides::load(fileUrl(tmp / "overrides.json"));
            ADD_FAILURE() << c.json << ": loaded";
        } catch (const platform::JsonDecodeError& e) {
            EXPECT_EQ(e.keyPath(), c.keyPath) << c.json;
            EXPECT_NE(std::string(e.what()).find(c.keyPath), std::string::npos) << e.what();
        }
    }
}

TEST(OverridesDecode, LenientWhereTheFormatAllows) {
    struct Case {
        const char* json;
        std::map<std::string, OverrideEntry> apps;
    };
    OverrideEntry ignored;
    ignored.ignore = true;
    const Case cases[] = {
        {R"({"schemaVersion": 1, "apps": {}})", {}},
        {R"({"schemaVersion": 1, "apps": {"com.x": {}}})", {{"com.x", {}}}},
        {R"({"schemaVersion": 1, "apps": {"com.x": {"ignore": null, "channel": null, "previousBundleIDs": null}}})",
         {{"com.x", {}}}},
        {R"({"schemaVersion": 1, "future": [1], "apps": {"com.x": {"Ignore": "x", "extra": 3, "ignore": true}}})",
         {{"com.x", ignored}}},
        {R"({"schemaVersion": 1, "apps": {"com.X": {}, "com.x": {"ignore": true}}})",
         {{"com.X", {}}, {"com.x", ignored}}},
    };
    for (const auto& c : cases) {
        TempDir tmp;
        writeText(tmp / "overrides.json", c.json);
        auto store = Overrides::load(fileUrl(tmp / "overrides.json"));
        EXPECT_EQ(store->all(), c.apps) << c.json;
        EXPECT_EQ(store->count(), static_cast<int>(c.apps.size()));
    }
}

TEST(OverridesDecode, OtherSchemaVersionsAreRefused) {
    for (std::int64_t version : {0, 2, -1, 100}) {
        TempDir tmp;
        writeText(tmp / "overrides.json", fmt::format(R"({{"schemaVersion": {}, "apps": {{}}}})", version));
        try {
            Overrides::load(fileUrl(tmp / "overrides.json"));
            ADD_FAILURE() << version;
        } catch (const PelError& e) {
            EXPECT_EQ(e.code(), ErrorCode::INT_UNEXPECTED);
            EXPECT_EQ(e.message(),
                      fmt::format("overrides.json schemaVersion {} unsupported (want 1)", version));
            EXPECT_FALSE(e.bundleID());
            EXPECT_FALSE(e.source());
            EXPECT_FALSE(e.overrideCanFix());
        }
    }
}

TEST(OverridesLoad, AFolderAtThePathIsAReadError) {
    TempDir tmp;
    fs::create_directories(tmp / "config/overrides.json");
    try {
        Overrides::load(fileUrl(tmp / "config/overrides.json"));
        ADD_FAILURE() << "loaded";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code().value(), EISDIR);
    }
}

// ---- Writing ----

TEST(OverridesPersist, RoundTripKeepsEveryFieldAndWritesSortedWithoutNulls) {
    TempDir tmp;
    fs::path path = tmp / "overrides.json";
    OverrideEntry full{true,
                       "beta is broken",
                       "my-cask",
                       "https://example.com/a/cast.xml",
                       "CFBundleVersion",
                       "strip-v",
                       "ABCDE12345",
                       std::vector<std::string>{"com.old", "com.older"},
                       "beta",
                       "a note …",
                       "minor",
                       false};
    OverrideEntry sparse;
    sparse.bucket = "major";
    Overrides store(OverridesFile{1, {{"com.full", full}, {"com.sparse", sparse}}}, fileUrl(path));
    store.setIgnore("com.new", "");

    auto loaded = Overrides::load(fileUrl(path));
    EXPECT_EQ(loaded->file(), store.file());
    EXPECT_EQ(loaded->entry("com.full"), full);
    EXPECT_EQ(loaded->entry("com.new")->ignoreReason, "");

    std::string text = readText(path);
    EXPECT_EQ(text.find("null"), std::string::npos);
    EXPECT_EQ(text, "{\n"
                    "  \"apps\": {\n"
                    "    \"com.full\": {\n"
                    "      \"bucket\": \"minor\",\n"
                    "      \"caskToken\": \"my-cask\",\n"
                    "      \"channel\": \"beta\",\n"
                    "      \"expectedTeamID\": \"ABCDE12345\",\n"
                    "      \"ignore\": true,\n"
                    "      \"ignoreReason\": \"beta is broken\",\n"
                    "      \"note\": \"a note …\",\n"
                    "      \"previousBundleIDs\": [\n"
                    "        \"com.old\",\n"
                    "        \"com.older\"\n"
                    "      ],\n"
                    "      \"sparkleFeedURL\": \"https://example.com/a/cast.xml\",\n"
                    "      \"useBrew\": false,\n"
                    "      \"versionField\": \"CFBundleVersion\",\n"
                    "      \"versionTransform\": \"strip-v\"\n"
                    "    },\n"
                    "    \"com.new\": {\n"
                    "      \"ignore\": true,\n"
                    "      \"ignoreReason\": \"\"\n"
                    "    },\n"
                    "    \"com.sparse\": {\n"
                    "      \"bucket\": \"major\"\n"
                    "    }\n"
                    "  },\n"
                    "  \"schemaVersion\": 1\n"
                    "}\n");
}

TEST(OverridesPersist, UnknownKeysAreGoneAfterTheNextWrite) {
    TempDir tmp;
    fs::path path = tmp / "overrides.json";
    writeText(path, R"({"schemaVersion": 1, "top": 1, "apps": {"com.x": {"note": "n", "mystery": [1, 2]}}})");
    auto store = Overrides::load(fileUrl(path));
    store->clearIgnore("com.absent");
    EXPECT_EQ(readText(path).find("mystery"), std::string::npos);
    EXPECT_EQ(readText(path).find("top"), std::string::npos);
    EXPECT_EQ(Overrides::load(fileUrl(path))->entry("com.x")->note, "n");
}

TEST(OverridesPersist, AMissingFileIsCreatedWithItsFolderAtTheFirstChange) {
    TempDir tmp;
    fs::path path = tmp / "state/deeper/overrides.json";
    auto store = Overrides::load(fileUrl(path));
    EXPECT_EQ(store->count(), 0);
    EXPECT_EQ(store->url(), fileUrl(path));
    EXPECT_FALSE(fs::exists(tmp / "state")); // loading writes nothing

    store->setIgnore("com.example.App", "too noisy");
    auto j = Json::parse(readText(path));
    EXPECT_EQ(j, Json::parse(R"({"schemaVersion": 1,
        "apps": {"com.example.App": {"ignore": true, "ignoreReason": "too noisy"}}})"));
}

TEST(OverridesPersist, ClearIgnoreWithoutAnEntryStillWritesTheFile) {
    TempDir tmp;
    fs::path path = tmp / "overrides.json";
    auto store = Overrides::load(fileUrl(path));
    store->clearIgnore("com.none");
    EXPECT_EQ(Json::parse(readText(path)), Json::parse(R"({"schemaVersion": 1, "apps": {}})"));
}

TEST(OverridesPersist, AStoreWithoutUrlChangesButNeverWrites) {
    TempDir tmp;
    fs::path old = fs::current_path();
    fs::current_path(tmp.path());
    Overrides store(OverridesFile{}, std::nullopt);
    store.setIgnore("com.x", "r");
    EXPECT_EQ(store.ignoredEntries(), (std::vector<IgnoredEntry>{{"com.x", "r"}}));
    store.clearIgnore("com.x");
    EXPECT_EQ(store.count(), 0);
    fs::current_path(old);
    EXPECT_TRUE(fs::is_empty(tmp.path()));
}

TEST(OverridesPersist, AFileWhereTheFolderShouldBeFailsAndLeavesTheStoreAsItWas) {
    TempDir tmp;
    writeText(tmp / "state", "I am a file");
    Overrides store(OverridesFile{}, fileUrl(tmp / "state/overrides.json"));
    EXPECT_THROW(store.setIgnore("com.a", "first"), fs::filesystem_error);
    EXPECT_EQ(readText(tmp / "state"), "I am a file");
    EXPECT_FALSE(store.entry("com.a")) << "a change that was not saved is not kept";

    fs::remove(tmp / "state");
    store.setIgnore("com.b", "second"); // the next write stores only what succeeded
    auto loaded = Overrides::load(fileUrl(tmp / "state/overrides.json"));
    EXPECT_EQ(loaded->ignoredEntries(), (std::vector<IgnoredEntry>{{"com.b", "second"}}));
}

// Every mutator, with a folder where the file should be: the write fails (also as root), the error
// reaches the caller, and the store, its listing and the file on disk are as before the call.
TEST(OverridesPersist, EveryFailedMutationLeavesTheStoreAsBeforeTheCall) {
    OverridesFile before;
    before.apps["com.ignored"].ignore = true;
    before.apps["com.ignored"].ignoreReason = "noisy";
    before.apps["com.kept"].ignore = true;
    before.apps["com.kept"].caskToken = "kept";
    before.apps["com.plain"].note = "hand-written";
    struct Case {
        const char* name;
        std::function<void(Overrides&)> mutate;
    };
    const Case cases[] = {
        {"ignore a new app", [](Overrides& o) { o.setIgnore("com.new", "why"); }},
        {"ignore an app with other fields", [](Overrides& o) { o.setIgnore("com.plain", "why"); }},
        {"re-ignore with another reason", [](Overrides& o) { o.setIgnore("com.ignored", "other"); }},
        {"unignore, entry removed", [](Overrides& o) { o.clearIgnore("com.ignored"); }},
        {"unignore, entry kept", [](Overrides& o) { o.clearIgnore("com.kept"); }},
        {"unignore an unknown app", [](Overrides& o) { o.clearIgnore("com.absent"); }},
        {"reset", [](Overrides& o) { o.reset(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        fs::create_directories(tmp / "overrides.json/inside");
        Overrides store(before, fileUrl(tmp / "overrides.json"));
        EXPECT_THROW(c.mutate(store), fs::filesystem_error);
        EXPECT_EQ(store.file(), before);
        EXPECT_EQ(store.ignoredEntries(),
                  (std::vector<IgnoredEntry>{{"com.ignored", "noisy"}, {"com.kept", std::nullopt}}));
        EXPECT_TRUE(fs::is_directory(tmp / "overrides.json/inside"));
    }
}

TEST(OverridesPersist, AFailedWriteLeavesTheOldFileIntact) {
    TempDir tmp;
    fs::path path = tmp / "overrides.json";
    std::string old = R"({"schemaVersion": 1, "apps": {"com.keep": {"note": "old"}}})";
    writeText(path, old);
    auto store = Overrides::load(fileUrl(path));
    {
        FileSizeLimit limit(old.size());
        try {
            store->setIgnore("com.big", std::string(4096, 'r'));
            ADD_FAILURE() << "no error";
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(e.code().value(), EFBIG);
        }
    }
    EXPECT_EQ(readText(path), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator{}), 1);
    EXPECT_FALSE(store->entry("com.big"));
    EXPECT_EQ(store->all().at("com.keep").note, "old");
}

// ---- Ignore and unignore ----

TEST(OverridesIgnore, TransitionsFollowTheRules) {
    auto with = [](auto set) {
        OverrideEntry e;
        set(e);
        return e;
    };
    struct Case {
        const char* name;
        std::optional<OverrideEntry> before;
        bool ignore; // true: setIgnore("why"), false: clearIgnore
        std::optional<OverrideEntry> after;
    };
    const Case cases[] = {
        {"ignore new", std::nullopt, true, with([](auto& e) { e.ignore = true, e.ignoreReason = "why"; })},
        {"ignore again replaces the reason", with([](auto& e) { e.ignore = true, e.ignoreReason = "old"; }),
         true, with([](auto& e) { e.ignore = true, e.ignoreReason = "why"; })},
        {"ignore keeps other fields", with([](auto& e) { e.caskToken = "c", e.ignore = false; }), true,
         with([](auto& e) { e.caskToken = "c", e.ignore = true, e.ignoreReason = "why"; })},
        {"clear only-ignore removes", with([](auto& e) { e.ignore = true, e.ignoreReason = "r"; }), false,
         std::nullopt},
        {"clear empty entry removes", OverrideEntry{}, false, std::nullopt},
        {"clear absent stays absent", std::nullopt, false, std::nullopt},
        {"clear keeps bucket",
         with([](auto& e) { e.ignore = true, e.ignoreReason = "r", e.bucket = "major"; }), false,
         with([](auto& e) { e.ignore = false, e.bucket = "major"; })},
        {"clear keeps useBrew false", with([](auto& e) { e.ignore = true, e.useBrew = false; }), false,
         with([](auto& e) { e.ignore = false, e.useBrew = false; })},
        {"clear never-ignored with note", with([](auto& e) { e.note = "n"; }), false,
         with([](auto& e) { e.ignore = false, e.note = "n"; })},
    };
    for (const auto& c : cases) {
        TempDir tmp;
        OverridesFile f;
        if (c.before) f.apps["com.t"] = *c.before;
        f.apps["com.other"].channel = "beta";
        Overrides store(f, fileUrl(tmp / "o.json"));
        if (c.ignore)
            store.setIgnore("com.t", "why");
        else
            store.clearIgnore("com.t");
        EXPECT_EQ(store.entry("com.t"), c.after) << c.name;
        EXPECT_EQ(store.entry("com.other")->channel, "beta") << c.name;
        EXPECT_EQ(Overrides::load(fileUrl(tmp / "o.json"))->file(), store.file()) << c.name;
    }
}

TEST(OverridesIgnore, ClearKeepsAnEntryForEachOtherField) {
    using Setter = void (*)(OverrideEntry&);
    const std::pair<const char*, Setter> fields[] = {
        {"caskToken", [](OverrideEntry& e) { e.caskToken = ""; }},
        {"sparkleFeedURL", [](OverrideEntry& e) { e.sparkleFeedURL = "u"; }},
        {"versionField", [](OverrideEntry& e) { e.versionField = "v"; }},
        {"versionTransform", [](OverrideEntry& e) { e.versionTransform = "t"; }},
        {"expectedTeamID", [](OverrideEntry& e) { e.expectedTeamID = "T"; }},
        {"previousBundleIDs", [](OverrideEntry& e) { e.previousBundleIDs = std::vector<std::string>{}; }},
        {"channel", [](OverrideEntry& e) { e.channel = "c"; }},
        {"note", [](OverrideEntry& e) { e.note = "n"; }},
        {"bucket", [](OverrideEntry& e) { e.bucket = "patch"; }},
        {"useBrew", [](OverrideEntry& e) { e.useBrew = true; }},
    };
    for (const auto& [name, set] : fields) {
        OverrideEntry e;
        e.ignore = true;
        e.ignoreReason = "r";
        set(e);
        Overrides store(OverridesFile{1, {{"com.t", e}}}, std::nullopt);
        store.clearIgnore("com.t");
        auto after = store.entry("com.t");
        ASSERT_TRUE(after) << name;
        EXPECT_EQ(after->ignore, false) << name;
        EXPECT_FALSE(after->ignoreReason) << name;
    }
}

TEST(OverridesIgnore, ListsOnlyIgnoredEntriesInByteOrder) {
    OverridesFile f;
    f.apps["com.a"].ignore = true;
    f.apps["com.B"].ignore = true;
    f.apps["com.B"].ignoreReason = "why";
    f.apps["com.c"].ignore = false;
    f.apps["com.d"].note = "n";
    f.apps["com.Z"].ignore = true;
    f.apps["com.Z"].ignoreReason = "";
    Overrides store(f, std::nullopt);
    EXPECT_EQ(store.ignoredEntries(),
              (std::vector<IgnoredEntry>{{"com.B", "why"}, {"com.Z", ""}, {"com.a", std::nullopt}}));
    EXPECT_FALSE(store.entry("com.b")); // exact lookup
}

TEST(OverridesIgnore, OverlappingChangesAllReachTheFile) {
    TempDir tmp;
    fs::path path = tmp / "overrides.json";
    Overrides store(OverridesFile{}, fileUrl(path));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&store, t] {
            for (int i = 0; i < 25; ++i) {
                std::string id = fmt::format("com.t{}.app{}", t, i);
                store.setIgnore(id, "r");
                if (i % 3 == 0) store.clearIgnore(id);
            }
        });
    }
    std::thread reader([&store] {
        for (int i = 0; i < 200; ++i)
            (void)store.all();
    });
    for (auto& th : threads)
        th.join();
    reader.join();
    EXPECT_EQ(store.count(), 4 * 16);
    EXPECT_EQ(Overrides::load(fileUrl(path))->file(), store.file());
}
