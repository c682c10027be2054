#include "PelApp/Launch/AppDelegate.hpp"
#include "PelApp/Launch/PelAppMain.hpp"
#include "PelApp/Launch/QuitSignals.hpp"
#include "PelApp/Launch/Sandbox.hpp"
#include "PelApp/RecordingAnalytics.hpp"
#include "PelApp/ScanHarness.hpp"
#include "PelApp/Telemetry/TallyBridge.hpp"
#include "PelApp/Views/MainWindow.hpp"
#include "PelApp/Views/WindowGroup.hpp"
#include "Platform/Files.hpp"
#include "Platform/Json.hpp"
#include "Sentry/Client.hpp"
#include "Support/TempDir.hpp"
#include "Support/TestServer.hpp"
#include "Tally/Runtime.hpp"
#include "Tally/Signals/SignalPostBody.hpp"
#include "Tally/TallyTestSupport.hpp"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using pelsupport::Reply;
using pelsupport::TempDir;
using pelsupport::TestServer;

// Runs the event loop until something calls QCoreApplication::exit; a broken quit path ends the
// child with status 3 instead of hanging the suite.
int runLoop() {
    QTimer::singleShot(60s, [] { std::_Exit(3); });
    return QCoreApplication::exec();
}

// ---- Signals into the orderly quit ----

TEST(QuitSignals, EachSignalQuitsOnceThroughTheEventLoop) {
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // handlers stay installed: one child each
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signo);
        EXPECT_EXIT(
            {
                int quits = 0;
                pelapp::quitOnSignals([&quits] {
                    ++quits;
                    QCoreApplication::exit(0);
                });
                ::raise(signo);
                // The handler only wakes the loop: nothing has quit before it runs.
                const bool deferred = quits == 0;
                const int status = runLoop();
                std::exit(deferred && quits == 1 && status == 0 ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

TEST(QuitSignals, ASecondSignalDuringTheQuitEndsTheProcessAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int second : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(second);
        EXPECT_EXIT(
            {
                pelapp::quitOnSignals([second] {
                    ::raise(second); // while the last writes would still be going on
                    std::exit(1);
                });
                ::raise(SIGTERM);
                runLoop();
                std::exit(2);
            },
            ::testing::ExitedWithCode(128 + second), "");
    }
}

TEST(QuitSignals, ASignalTheStarterIgnoresStaysIgnored) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::signal(SIGHUP, SIG_IGN); // as under nohup
            int quits = 0;
            pelapp::quitOnSignals([&quits] {
                ++quits;
                QCoreApplication::exit(0);
            });
            ::raise(SIGHUP);
            QCoreApplication::processEvents();
            const bool ignored = quits == 0;
            ::raise(SIGTERM); // the others still quit
            runLoop();
            std::exit(ignored && quits == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- The application's events reach the analytics client ----

TEST(ApplicationEvents, QuittingTheEventLoopPostsWillTerminateOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // connections to the one application stay
    EXPECT_EXIT(
        {
            tallytest::VirtualRuntime runtime;
            runtime.install();
            int terminations = 0;
            auto subscription = runtime.appEvents->subscribe(tally::AppEvent::willTerminate,
                                                             [&terminations] { ++terminations; });
            pelapp::forwardApplicationEvents();
            QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
            const bool before = terminations == 0;
            runLoop(); // aboutToQuit is emitted as exec returns
            std::exit(before && terminations == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- Crash reports at quit ----

constexpr const char* kKey = "0123456789abcdef0123456789abcdef";
constexpr const char* kEnvelopePath = "/api/7/envelope/";

// Starts the process-wide crash client on `server`, project 7.
void startCrashClient(const TestServer& server) {
    sentry::Options options;
    options.dsn = std::string("https://") + kKey + "@127.0.0.1:" + std::to_string(server.port()) + "/7";
    options.caFile = server.caFile();
    sentry::SDK::start(options);
}

sentry::Event report(const std::string& message) {
    sentry::Event event;
    event.level = sentry::Level::error;
    event.message = message;
    return event;
}

TEST(QuitCrashReports, AReportCapturedJustBeforeQuitIsSentFirst) {
    TestServer server;
    Reply slow = Reply::withStatus(200, "{}");
    slow.delay = 300ms;
    server.script(kEnvelopePath, {slow});
    startCrashClient(server);
    ASSERT_TRUE(sentry::SDK::capture(report("last words")));

    pelapp::PelAppMain::finishLastWrites(nullptr);

    EXPECT_TRUE(sentry::SDK::flush(0ms)) << "nothing is left queued or in flight";
    const auto sent = server.requests(kEnvelopePath);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0].body.find("last words"), std::string::npos);
}

TEST(QuitCrashReports, AnEndpointThatDoesNotAnswerHoldsTheQuitNoLongerThanTheBound) {
    TestServer server; // its destruction ends the wait below
    Reply silent = Reply::withStatus(200, "{}");
    silent.delay = 10min;
    server.script(kEnvelopePath, {silent});
    startCrashClient(server);
    ASSERT_TRUE(sentry::SDK::capture(report("never answered")));

    const auto started = std::chrono::steady_clock::now();
    pelapp::PelAppMain::finishLastWrites(nullptr, 300ms);
    const auto waited = std::chrono::steady_clock::now() - started;

    EXPECT_GE(waited, 300ms) << "it did wait for the report";
    EXPECT_LT(waited, 60s) << "and gave up at the bound, not at the endpoint's pace";
    EXPECT_FALSE(sentry::SDK::flush(0ms)) << "the report is still in flight";
}

// ---- Crash reports through the quit path ----

// A crash-report endpoint that holds every envelope until it is opened, and notes each report that
// reaches it. The notes are module state: the process's last act (an at_quick_exit handler) prints
// them, so the death test sees what the endpoint had received when the process ended.
struct HeldEndpoint {
    static inline std::mutex mutex;
    static inline std::condition_variable opened;
    static inline bool open = false;
    static inline std::vector<std::string> received;

    static pelsupport::Reply answer(const pelsupport::RecordedRequest& request) {
        std::unique_lock lock(mutex);
        for (const char* marker : {"first report", "second report"}) {
            if (request.body.find(marker) != std::string::npos) received.emplace_back(marker);
        }
        opened.wait_for(lock, 60s, [] { return open; }); // the bound only keeps a broken run from hanging
        return pelsupport::Reply::withStatus(200, "{}");
    }
    static void letThrough() {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        opened.notify_all();
    }
    static void printReceived() {
        std::lock_guard lock(mutex);
        std::string line = "received before the end:";
        for (const auto& report : received)
            line += " [" + report + "]";
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    }
};

// The model's engine, which lets the endpoint answer once the quit asks for the journal: the first
// of the last writes, which come only after the event loop has ended.
class OpensTheEndpointAtTheLastWrites final : public pelapp::EngineApi {
public:
    explicit OpensTheEndpointAtTheLastWrites(pelapp::EngineApi& inner) : inner_(inner) {}
    pelkit::ScanResult scan() override { return inner_.scan(); }
    pelkit::ResolvedApp check(const pelkit::InstalledApp& app, bool useCache) override {
        return inner_.check(app, useCache);
    }
    pelkit::InstallResult update(const pelkit::InstalledApp& app, const pelkit::RemoteVersion& remote,
                                 const pelkit::EngineOptions& opts,
                                 const pelkit::Engine::UpdateProgress& progress,
                                 const pelkit::Engine::BytesProgress& bytesProgress,
                                 std::stop_token stop) override {
        return inner_.update(app, remote, opts, progress, bytesProgress, std::move(stop));
    }
    pelkit::Overrides& overrides() override { return inner_.overrides(); }
    pelkit::Journal& journal() override {
        HeldEndpoint::letThrough();
        return inner_.journal();
    }

private:
    pelapp::EngineApi& inner_;
};

// As the application ends: launched with crash reporting on, two core errors reported, the quit
// started by a signal or by closing the last window, then the event loop's end handed to
// PelAppMain::terminate. The endpoint holds the first report until the last writes begin, so the
// second is still queued when the loop ends: it reaches the endpoint only if the quit waits for it.
TEST(QuitCrashReports, AReportStillQueuedWhenTheQuitBeginsIsSentBeforeTheProcessEnds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // the Qt application, signal handlers: one child each
    enum class Quit { signal, lastWindowClosed };
    for (Quit quit : {Quit::signal, Quit::lastWindowClosed}) {
        SCOPED_TRACE(quit == Quit::signal ? "SIGTERM" : "last window closed");
        EXPECT_EXIT(
            {
                TestServer server;
                server.on(kEnvelopePath, HeldEndpoint::answer);
                pelapptest::ScanHarness h;
                h.startedWithRows({});
                OpensTheEndpointAtTheLastWrites engine(h.engine);
                pelapp::AppModelTestAccess::engine(*h.model) = &engine;

                auto defaults = platform::Defaults::inMemory();
                defaults.setBoolean(pelapp::kTelemetryConsentKey, true);
                defaults.setBoolean(pelapp::kAnalyticsConsentKey, false);
                pelapp::SentryInitOptions crashReporting;
                crashReporting.dsn =
                    std::string("https://") + kKey + "@127.0.0.1:" + std::to_string(server.port()) + "/7";
                crashReporting.caFile = server.caFile();
                pelapp::AppDelegate(defaults, h.model->appInfo(),
                                    std::make_shared<pelapptest::RecordingAnalytics>(), crashReporting)
                    .applicationDidFinishLaunching();
                for (const char* message : {"first report", "second report"})
                    pelkit::Telemetry::captureError(pelkit::PelError(pelkit::ErrorCode::ENV_DISK_FULL,
                                                                     "com.a", std::nullopt, message, false));
                std::at_quick_exit(HeldEndpoint::printReceived);

                pelkit::KillSwitchOptions killSwitch;
                killSwitch.baseURL = server.baseUrl();
                killSwitch.caFile = server.caFile();
                pelapp::WindowGroup group(*h.model);
                pelapp::PelAppMain shell(*h.model, group, killSwitch);
                pelapp::MainWindow* window = shell.openMainWindow();
                if (quit == Quit::signal) {
                    pelapp::quitOnSignals();
                    ::raise(SIGTERM);
                } else {
                    QTimer::singleShot(0, window, [window] { window->close(); });
                }
                pelapp::PelAppMain::terminate(*h.model, runLoop());
            },
            ::testing::ExitedWithCode(0), "received before the end: \\[first report\\] \\[second report\\]");
    }
}

// ---- The built application, ended by a signal ----

// One backed-up signal of an earlier run, in the cache's disk form.
tally::SignalPostBody earlierSignal(const std::string& type) {
    tally::SignalPostBody body;
    body.receivedAt = 800'000'000;
    body.appID = "com.pelloran";
    body.clientUser = "user";
    body.sessionID = "earlier-session";
    body.type = type;
    body.isTestMode = "false";
    return body;
}

// The application as a child process with `environment` added to this one's.
class RunningApplication {
public:
    RunningApplication(const std::vector<std::string>& environment, const std::filesystem::path& output) {
        std::vector<std::string> entries(environment);
        for (char** e = environ; *e != nullptr; ++e)
            entries.emplace_back(*e); // the first of two equal names wins
        std::vector<char*> envp;
        for (auto& entry : entries)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string program = PEL_APP_EXECUTABLE;
        char* argv[] = {program.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int failed = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) pid_ = -1;
    }
    ~RunningApplication() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    RunningApplication(const RunningApplication&) = delete;
    RunningApplication& operator=(const RunningApplication&) = delete;

    pid_t pid() const { return pid_; }
    // The wait status once the process has ended, or nothing while it still runs after `patience`.
    std::optional<int> waitForEnd(std::chrono::seconds patience) {
        const auto until = std::chrono::steady_clock::now() + patience;
        while (std::chrono::steady_clock::now() < until) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return status;
            }
            std::this_thread::sleep_for(20ms);
        }
        return std::nullopt;
    }

private:
    pid_t pid_ = -1;
};

bool waitUntil(const std::function<bool()>& done, std::chrono::seconds patience = 120s) {
    const auto until = std::chrono::steady_clock::now() + patience;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

TEST(QuitOnSignal, TheApplicationEndsWithStatusZeroAndBacksUpItsPendingSignals) {
    TempDir dir("pel-app-quit");
    // Only a build that honours the sandbox may be started here: any other would reach the network.
    ::setenv("PELLORAN_SANDBOX", (dir / "probe").c_str(), 1);
    pelsupport::writeText(
        dir / "probe/sandbox.json",
        R"({"baseURL": "https://127.0.0.1:1", "caFile": "", "toolDirectory": "", "applications": ""})");
    const bool sandboxed = pelapp::sandboxFromEnvironment().has_value();
    ::unsetenv("PELLORAN_SANDBOX");
    if (!sandboxed) GTEST_SKIP() << "this build ignores the sandbox";

    const auto home = dir / "home";
    // Crash reporting off: this build's crash-report project is no place for a test's reports.
    pelsupport::writeText(home / ".local/state/pel/preferences.json", R"({"pel.telemetry.enabled": false})");
    const auto backup = home / ".cache/pel/telemetrysignalcache";
    // The previous run left two signals it could not send.
    platform::createDirectories(backup.parent_path());
    pelsupport::writeText(backup,
                          tally::encodeSignals({earlierSignal("earlier.one"), earlierSignal("earlier.two")},
                                               tally::DateRule::backup));
    // Every service the application reaches is this server; the uploads fail and are kept.
    TestServer server;
    server.script("/v2/", {Reply::withStatus(500)});
    const auto sandbox = dir / "sandbox";
    platform::createDirectories(dir / "tools");
    platform::createDirectories(dir / "Applications");
    platform::Json config = {{"baseURL", server.baseUrl()},
                             {"caFile", server.caFile().string()},
                             {"toolDirectory", (dir / "tools").string()},
                             {"applications", (dir / "Applications").string()}};
    platform::createDirectories(sandbox);
    pelsupport::writeText(sandbox / "sandbox.json", config.dump());

    const auto output = dir / "output.txt";
    RunningApplication app({"HOME=" + home.string(), "QT_QPA_PLATFORM=offscreen",
                            "PELLORAN_SANDBOX=" + sandbox.string(), "XDG_RUNTIME_DIR=" + dir.path().string()},
                           output);
    ASSERT_GT(app.pid(), 0);
    // The backup is read (and deleted) as the analytics start, and its signals go up at once.
    ASSERT_TRUE(waitUntil([&] { return !server.requests("/v2/").empty(); })) << pelsupport::readText(output);
    EXPECT_FALSE(std::filesystem::exists(backup));
    // The refused batch goes back into the queue as its answer arrives; the next attempt is many
    // seconds away, so nothing is in flight when the signal comes.
    std::this_thread::sleep_for(3s);

    ASSERT_EQ(::kill(app.pid(), SIGTERM), 0);
    const std::optional<int> status = app.waitForEnd(60s);
    ASSERT_TRUE(status) << "still running after SIGTERM\n" << pelsupport::readText(output);
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0) << pelsupport::readText(output);

    ASSERT_TRUE(std::filesystem::exists(backup)) << pelsupport::readText(output);
    const auto saved = platform::Json::parse(pelsupport::readText(backup));
    ASSERT_TRUE(saved.is_array());
    std::multiset<std::string> types;
    for (const auto& record : saved)
        types.insert(tally::signalPostBodyFromJson(record).type);
    EXPECT_EQ(types.count("earlier.one"), 1u) << saved.dump();
    EXPECT_EQ(types.count("earlier.two"), 1u) << saved.dump();
    EXPECT_EQ(types.count("app.launched"), 1u) << saved.dump();
}

} // namespace
