#include "PelKit/Config.hpp"
#include "PelKit/DB.hpp"
#include "PelKit/HTTP.hpp"
#include "PelKit/Journal.hpp"
#include "PelKit/UpdateSources/HomebrewCask.hpp"

#include "Support/CatalogueBuilder.hpp"
#include "Support/TempDir.hpp"
#include "Support/TestServer.hpp"
#include "Support/VirtualSleeper.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <filesystem>
#include <thread>

using namespace pelkit;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using pelsupport::readText;
using pelsupport::Reply;
using pelsupport::TestServer;
using pelsupport::writeText;

namespace {

std::string catalogue(const std::string& version) {
    return fmt::format(
        R"([{{"token":"editor","version":"{0}","url":"https://example.com/e.dmg","sha256":"abc","desc":"Editor",)"
        R"("artifacts":[{{"app":["Editor.app"]}},{{"uninstall":[{{"quit":"com.example.editor"}}]}}],)"
        R"("variations":{{"arm64_sequoia":{{"version":"{0}-arm"}},"sequoia":{{"version":"{0}-intel"}}}}}},)"
        R"({{"token":"noversion","artifacts":[{{"app":["Broken.app"]}}]}}])",
        version);
}

InstalledApp app(const std::string& fileName = "Editor.app",
                 const std::string& bundleID = "com.example.editor") {
    InstalledApp a;
    a.path = Url::fromFilePath("/Applications/" + fileName);
    a.bundleID = bundleID;
    a.name = "Editor";
    return a;
}

OverrideEntry withCaskToken(std::string token) {
    OverrideEntry e;
    e.caskToken = std::move(token);
    return e;
}

// The error a call ended with: its code for a PelError, nullopt for any other error.
template <class F> std::optional<ErrorCode> failure(F&& f, bool* threw = nullptr) {
    if (threw) *threw = false;
    try {
        f();
    } catch (const PelError& e) {
        if (threw) *threw = true;
        return e.code();
    } catch (const std::exception&) {
        if (threw) *threw = true;
    }
    return std::nullopt;
}

// A cask API on the test server, a home directory of its own, and virtual time for the client's
// waits and for cache ages. The clock starts at the real time, so the files the source writes are
// "just modified" on it.
class HomebrewCaskTest : public ::testing::Test {
protected:
    pelsupport::TempDir tmp{"pel-brew"};
    pelkit::testing::ScopedHomeOverride home{tmp.path()};
    TestServer server;
    platform::ManualClock clock{std::chrono::system_clock::now()};
    pelsupport::VirtualSleeper sleeper{clock};
    HTTP http{{.caFile = server.caFile(), .clock = &clock, .sleeper = &sleeper}};

    fs::path cacheFile() const { return PelPaths::caskCacheFile().filePath(); }
    fs::path tokenMapFile() const { return PelPaths::tokenMapFile().filePath(); }

    HomebrewCaskOptions options(int major = 14, CpuArchitecture arch = CpuArchitecture::arm64) {
        HomebrewCaskOptions o;
        o.baseURL = server.baseUrl();
        o.clock = &clock;
        o.systemVersion = platform::SystemVersion{major, 0, 0};
        o.architecture = arch;
        return o;
    }

    std::size_t fetches() const { return server.requests("/api/cask.json").size(); }

    void serve(std::vector<Reply> replies) { server.script("/api/cask.json", std::move(replies)); }

    // Sets the file's modification time `age` before the clock's now (negative: in the future).
    void setAge(const fs::path& file, std::chrono::seconds age) {
        auto when = clock.now() - age;
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
        timespec times[2];
        times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(ns % 1'000'000'000);
        ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    }

    static std::optional<std::pair<time_t, long>> mtimeOf(const fs::path& file) {
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0) return std::nullopt;
        return std::pair{st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
    }

    void cacheCatalogue(const std::string& body, std::chrono::seconds age) {
        PelPaths::ensureDirs();
        writeText(cacheFile(), body);
        setAge(cacheFile(), age);
    }
};

} // namespace

TEST_F(HomebrewCaskTest, FetchesOnceWritesBothCacheFilesAndAnswersFromMemory) {
    const std::string body = catalogue("1.0");
    serve({Reply::ok(body)});
    HomebrewCaskSource source(http, nullptr, options());
    EXPECT_EQ(source.kind(), AppSource::homebrew);

    auto r = source.latest(app(), std::nullopt);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->source, AppSource::homebrew);
    EXPECT_EQ(r->sourceToken, "editor");
    EXPECT_EQ(r->version, "1.0");
    EXPECT_EQ(r->downloadURL->text(), "https://example.com/e.dmg");
    EXPECT_EQ(r->sha256, "abc");
    EXPECT_EQ(r->notes, "Editor");
    EXPECT_EQ(r->artifactType, "app");

    auto requests = server.requests("/api/cask.json");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].header("User-Agent"), http.userAgent());
    EXPECT_EQ(readText(cacheFile()), body);
    EXPECT_EQ(readText(tokenMapFile()), R"({"Broken.app":"noversion","Editor.app":"editor"})");
    EXPECT_EQ(pelsupport::modeOf(PelPaths::cacheDir().filePath()), 0700);
    EXPECT_EQ(source.totalCasks(), 2u);
    EXPECT_EQ(source.totalMapped(), 2u);

    EXPECT_EQ(source.latest(app("Other.app"), std::nullopt)->version, "1.0"); // by bundle identifier
    EXPECT_FALSE(source.latest(app("Other.app", "com.other"), std::nullopt));
    EXPECT_EQ(fetches(), 1u);
}

TEST_F(HomebrewCaskTest, CacheFileIsUsedWhileYoungerThanSixHours) {
    struct Case {
        const char* name;
        std::chrono::seconds age;
        bool fetched;
    } cases[] = {
        {"five hours", 5h, false},     {"just under six hours", 6h - 1s, false},
        {"six hours", 6h, true},       {"seven hours", 7h, true},
        {"in the future", -1h, false},
    };
    serve({Reply::ok(catalogue("fetched"))});
    std::size_t before = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cacheCatalogue(catalogue("cached"), c.age);
        HomebrewCaskSource source(http, nullptr, options());
        EXPECT_EQ(source.latest(app(), std::nullopt)->version, c.fetched ? "fetched" : "cached");
        EXPECT_EQ(fetches() - before, c.fetched ? 1u : 0u);
        EXPECT_EQ(readText(cacheFile()), catalogue(c.fetched ? "fetched" : "cached"));
        before = fetches();
    }
}

TEST_F(HomebrewCaskTest, FreshCacheFileThatIsNoCatalogueIsFetchedAgain) {
    cacheCatalogue("<html>oops</html>", 1h);
    serve({Reply::ok(catalogue("fetched"))});
    HomebrewCaskSource source(http, nullptr, options());
    EXPECT_EQ(source.latest(app(), std::nullopt)->version, "fetched");
    EXPECT_EQ(fetches(), 1u);
    EXPECT_EQ(readText(cacheFile()), catalogue("fetched"));
}

TEST_F(HomebrewCaskTest, AnAnswerThatIsNoCatalogueNeverReplacesTheCacheFile) {
    const std::string good = catalogue("cached");
    const std::string body = catalogue("fetched");
    struct Case {
        const char* name;
        Reply reply;
        std::optional<ErrorCode> code; // nullopt: the decoder's own error
    } cases[] = {
        {"404 page", Reply::withStatus(404, "<html>Not Found</html>"), ErrorCode::SRC_FEED_404},
        {"403 with a catalogue", Reply::withStatus(403, body), ErrorCode::SRC_FEED_MALFORMED},
        {"HTML with 200", Reply::ok("<html>maintenance</html>"), std::nullopt},
        {"object", Reply::ok(R"({"error":"rate limited"})"), ErrorCode::SRC_FEED_MALFORMED},
        {"array of numbers", Reply::ok("[1,2,3]"), ErrorCode::SRC_FEED_MALFORMED},
        {"cut short", Reply::ok(body.substr(0, body.size() / 2)), std::nullopt},
        {"server error", Reply::withStatus(503), ErrorCode::NET_HTTP_5XX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cacheCatalogue(good, 7h);
        const auto modified = mtimeOf(cacheFile());
        serve({c.reply});
        HomebrewCaskSource source(http, nullptr, options());
        bool threw = false;
        EXPECT_EQ(failure([&] { source.latest(app(), std::nullopt); }, &threw), c.code);
        EXPECT_TRUE(threw);
        EXPECT_EQ(readText(cacheFile()), good);
        EXPECT_EQ(mtimeOf(cacheFile()), modified);
        EXPECT_EQ(source.totalCasks(), 0u);

        // The bad answer cost one failed call, not six hours: the next call asks again.
        serve({Reply::ok(body)});
        EXPECT_EQ(source.latest(app(), std::nullopt)->version, "fetched");
        EXPECT_EQ(readText(cacheFile()), body);
    }
}

TEST_F(HomebrewCaskTest, AFailedFirstFetchLeavesNoCacheFile) {
    serve({Reply::withStatus(404, "gone")});
    HomebrewCaskSource source(http, nullptr, options());
    EXPECT_EQ(failure([&] { source.latest(app(), std::nullopt); }), ErrorCode::SRC_FEED_404);
    EXPECT_FALSE(fs::exists(cacheFile()));
    EXPECT_FALSE(fs::exists(tokenMapFile()));
}

TEST_F(HomebrewCaskTest, CatalogueInMemoryIsLoadedAgainAfterSixHours) {
    serve({Reply::ok(catalogue("1.0"))});
    HomebrewCaskSource source(http, nullptr, options());
    EXPECT_EQ(source.latest(app(), std::nullopt)->version, "1.0");

    serve({Reply::ok(catalogue("2.0"))});
    clock.advance(6h - 1s);
    EXPECT_EQ(source.latest(app(), std::nullopt)->version, "1.0");
    EXPECT_EQ(fetches(), 1u);

    clock.advance(2s);
    EXPECT_EQ(source.latest(app(), std::nullopt)->version, "2.0");
    EXPECT_EQ(fetches(), 2u);
    EXPECT_EQ(readText(cacheFile()), catalogue("2.0"));
}

TEST_F(HomebrewCaskTest, TokenMapIsWrittenOnlyWhenItsContentChanges) {
    serve({Reply::ok(catalogue("1.0"))});
    HomebrewCaskSource source(http, nullptr, options());
    ASSERT_TRUE(source.latest(app(), std::nullopt));
    setAge(tokenMapFile(), 1h);
    const auto written = mtimeOf(tokenMapFile());

    // A new release of the same casks maps the same names to the same tokens: the file stays.
    serve({Reply::ok(catalogue("2.0"))});
    clock.advance(6h + 1s);
    EXPECT_EQ(source.latest(app(), std::nullopt)->version, "2.0");
    EXPECT_EQ(mtimeOf(tokenMapFile()), written);

    // A different map replaces it.
    serve({Reply::ok(R"([{"token":"writer","version":"3.0","url":"https://example.com/w.dmg",)"
                     R"("artifacts":[{"app":["Editor.app"]}]}])")});
    clock.advance(6h + 1s);
    EXPECT_EQ(source.latest(app(), std::nullopt)->version, "3.0");
    EXPECT_EQ(readText(tokenMapFile()), R"({"Editor.app":"writer"})");
}

TEST_F(HomebrewCaskTest, AFailedReloadKeepsAnsweringFromThePreviousCatalogue) {
    DB db{Url::fromFilePath((tmp / "pel.db").string()), clock};
    Journal journal{"01TESTRUN000", &db, clock};
    serve({Reply::ok(catalogue("1.0"))});
    HomebrewCaskSource source(http, &journal, options());
    ASSERT_EQ(source.latest(app(), std::nullopt)->version, "1.0");

    // Stale and the service unreachable: answers keep coming from memory, one attempt and one
    // journal event per quarter hour, in virtual time.
    clock.advance(7h);
    serve({Reply::withStatus(503)});
    std::size_t before = fetches();
    EXPECT_EQ(source.latest(app(), std::nullopt)->version, "1.0");
    const std::size_t perAttempt = fetches() - before;
    EXPECT_GE(perAttempt, 1u);
    const std::size_t waits = sleeper.waits().size();
    const auto failedAt = clock.now();
    for (int minute = 1; minute < 15; ++minute) {
        clock.advance(1min);
        EXPECT_EQ(source.latest(app(), std::nullopt)->version, "1.0");
    }
    EXPECT_EQ(fetches(), before + perAttempt);
    EXPECT_EQ(sleeper.waits().size(), waits);

    clock.advance(failedAt + 15min - clock.now());
    EXPECT_EQ(source.latest(app(), std::nullopt)->version, "1.0");
    EXPECT_EQ(fetches(), before + 2 * perAttempt);

    // An answer that is no catalogue is a failed reload too; casks.json stays as it was.
    clock.advance(15min);
    serve({Reply::ok("[{\"token\":")});
    EXPECT_EQ(source.latest(app(), std::nullopt)->version, "1.0");
    EXPECT_EQ(source.token(app(), std::nullopt), "editor");
    EXPECT_EQ(source.totalCasks(), 2u);
    EXPECT_EQ(readText(cacheFile()), catalogue("1.0"));

    journal.flush();
    std::vector<Json> events;
    std::istringstream lines(readText(journal.file().filePath()));
    for (std::string line; std::getline(lines, line);)
        events.push_back(Json::parse(line));
    ASSERT_EQ(events.size(), 3u);
    for (std::size_t i = 0; i < events.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(events[i]["event"], "source_failed");
        EXPECT_EQ(events[i]["source"], "homebrew");
        EXPECT_FALSE(events[i].contains("bundleID"));
        EXPECT_TRUE(events[i]["message"].get<std::string>().starts_with("cask catalogue reload failed: "));
    }
    EXPECT_EQ(events[0]["code"], "NET_HTTP_5XX");
    EXPECT_EQ(events[2]["code"], "INT_UNEXPECTED");

    // Back online: the next attempt replaces the catalogue, and the six hours start again.
    clock.advance(15min);
    serve({Reply::ok(catalogue("2.0"))});
    EXPECT_EQ(source.latest(app(), std::nullopt)->version, "2.0");
    EXPECT_EQ(readText(cacheFile()), catalogue("2.0"));
    before = fetches();
    clock.advance(6h - 1s);
    EXPECT_EQ(source.latest(app(), std::nullopt)->version, "2.0");
    EXPECT_EQ(fetches(), before);
}

TEST_F(HomebrewCaskTest, WithoutACatalogueInMemoryEveryCallFailsAndAsksAgain) {
    serve({Reply::withStatus(503)});
    HomebrewCaskSource source(http, nullptr, options());
    EXPECT_EQ(failure([&] { source.latest(app(), std::nullopt); }), ErrorCode::NET_HTTP_5XX);
    const std::size_t perAttempt = fetches();
    EXPECT_EQ(failure([&] { source.latest(app(), std::nullopt); }), ErrorCode::NET_HTTP_5XX);
    EXPECT_EQ(fetches(), 2 * perAttempt);
}

TEST_F(HomebrewCaskTest, CallsDuringAReloadAnswerFromMemoryWithoutWaiting) {
    serve({Reply::ok(catalogue("1.0"))});
    HomebrewCaskSource source(http, nullptr, options());
    ASSERT_EQ(source.latest(app(), std::nullopt)->version, "1.0");
    clock.advance(7h);

    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    server.on("/api/cask.json", [&](const pelsupport::RecordedRequest&) {
        // Bounded only so that a call that does wait fails the test instead of hanging it.
        std::unique_lock lock(m);
        cv.wait_for(lock, 20s, [&] { return release; });
        return Reply::ok(catalogue("2.0"));
    });
    std::optional<RemoteVersion> reloaded;
    std::thread reloading([&] { reloaded = source.latest(app(), std::nullopt); });
    for (int i = 0; i < 20000 && fetches() < 2; ++i)
        std::this_thread::sleep_for(1ms);
    const bool held = fetches() == 2;
    // The reload is held at the server: this call must not wait for it.
    if (held) {
        EXPECT_EQ(source.latest(app(), std::nullopt)->version, "1.0");
    }
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    reloading.join();
    ASSERT_TRUE(held) << "the reload never reached the server";
    ASSERT_TRUE(reloaded);
    EXPECT_EQ(reloaded->version, "2.0");
    EXPECT_EQ(source.latest(app(), std::nullopt)->version, "2.0");
}

TEST_F(HomebrewCaskTest, TwoFirstCallsAtOnceLoadOnce) {
    Reply slow = Reply::ok(catalogue("1.0"));
    slow.delay = 300ms;
    serve({slow});
    HomebrewCaskSource source(http, nullptr, options());
    std::optional<RemoteVersion> a, b;
    std::thread first([&] { a = source.latest(app(), std::nullopt); });
    std::thread second([&] { b = source.latest(app("Other.app"), std::nullopt); });
    first.join();
    second.join();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->version, "1.0");
    EXPECT_EQ(b->version, "1.0");
    EXPECT_EQ(fetches(), 1u);
}

TEST_F(HomebrewCaskTest, VariationFollowsTheReleaseAndTheArchitecture) {
    serve({Reply::ok(catalogue("1"))});
    struct Case {
        int major;
        CpuArchitecture arch;
        const char* version;
    } cases[] = {
        {15, CpuArchitecture::arm64, "1-arm"},
        {15, CpuArchitecture::x86_64, "1-intel"},
        {14, CpuArchitecture::arm64, "1"},
        {16, CpuArchitecture::arm64, "1"},
    };
    for (const Case& c : cases) {
        HomebrewCaskSource source(http, nullptr, options(c.major, c.arch));
        EXPECT_EQ(source.latest(app(), std::nullopt)->version, c.version) << c.major;
    }
    // Production defaults: Apple silicon and the running release.
    HomebrewCaskSource defaults(http);
    EXPECT_EQ(defaults.variationKey(),
              variationKey(platform::runningSystemVersion().major, CpuArchitecture::arm64));
}

TEST_F(HomebrewCaskTest, TokenOrderAndAnswersWithoutAToken) {
    serve({Reply::ok(catalogue("1.0"))});
    HomebrewCaskSource source(http, nullptr, options());
    // Before the load only an override can name a token, and asking does not load.
    EXPECT_EQ(source.token(app(), std::nullopt), std::nullopt);
    EXPECT_EQ(source.token(app(), withCaskToken("custom")), "custom");
    EXPECT_EQ(fetches(), 0u);

    EXPECT_FALSE(source.latest(app(), withCaskToken("no-such-cask")));
    EXPECT_EQ(source.token(app(), std::nullopt), "editor");
    EXPECT_EQ(source.token(app("Other.app"), std::nullopt), "editor");
    EXPECT_EQ(source.token(app("Broken.app", "com.example.editor"), std::nullopt), "noversion");
    EXPECT_FALSE(source.latest(app("Unknown.app", "com.unknown"), std::nullopt));
    try {
        source.latest(app("Broken.app"), std::nullopt);
        FAIL() << "expected an error";
    } catch (const PelError& e) {
        EXPECT_EQ(e.code(), ErrorCode::SRC_FEED_MALFORMED);
        EXPECT_EQ(e.message(), "cask noversion has no version");
        EXPECT_EQ(e.source(), AppSource::homebrew);
    }
}

TEST_F(HomebrewCaskTest, FileSystemFailures) {
    serve({Reply::ok(catalogue("1.0"))});
    {
        SCOPED_TRACE("cache directory cannot be made");
        writeText(tmp / ".cache", "a file where a folder belongs");
        HomebrewCaskSource source(http, nullptr, options());
        EXPECT_THROW(source.latest(app(), std::nullopt), fs::filesystem_error);
        EXPECT_EQ(fetches(), 0u);
        fs::remove(tmp / ".cache");
    }
    {
        SCOPED_TRACE("casks.json cannot be written");
        PelPaths::ensureDirs();
        writeText(cacheFile() / "blocker", "x");
        HomebrewCaskSource source(http, nullptr, options());
        EXPECT_THROW(source.latest(app(), std::nullopt), fs::filesystem_error);
        EXPECT_EQ(fetches(), 1u);
        EXPECT_EQ(source.totalCasks(), 0u);
        fs::remove_all(cacheFile());
    }
    {
        SCOPED_TRACE("token-map.json cannot be written");
        writeText(tokenMapFile() / "blocker", "x");
        HomebrewCaskSource source(http, nullptr, options());
        EXPECT_EQ(source.latest(app(), std::nullopt)->version, "1.0");
        EXPECT_TRUE(fs::is_directory(tokenMapFile()));
    }
}

TEST_F(HomebrewCaskTest, GeneratedCatalogueThroughTheWholeSource) {
    const pelsupport::GeneratedCatalogue generated = pelsupport::buildCatalogue(2000, 3);
    serve({Reply::ok(generated.json)});
    HomebrewCaskSource source(http, nullptr, options());
    const pelsupport::GeneratedCask* withApp = nullptr;
    for (const auto& cask : generated.casks) {
        if (cask.appName && !cask.sharesWith && cask.release.version != "latest") {
            withApp = &cask;
            break;
        }
    }
    ASSERT_NE(withApp, nullptr);
    auto r = source.latest(app(*withApp->appName, "com.nobody"), std::nullopt);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->sourceToken, withApp->token);
    EXPECT_EQ(source.totalCasks(), 2000u);
    EXPECT_EQ(readText(cacheFile()), generated.json);
}
