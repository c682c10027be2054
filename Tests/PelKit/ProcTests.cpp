#include "PelKit/Models.hpp"
#include "PelKit/Proc.hpp"
#include "Support/FakeTools.hpp"
#include "Support/ScopedStandardInput.hpp"
#include "Support/TempDir.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <ostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace pelkit;
using pelsupport::FakeReply;
using pelsupport::FakeRule;
using pelsupport::FakeScenario;
using pelsupport::FakeTools;
namespace fs = std::filesystem;

namespace {

using Seconds = std::chrono::duration<double>;

// A fresh folder with named subfolders, each path ending with "/".
struct ToolDirs {
    pelsupport::TempDir tmp{"pel-proc-test"};
    std::string sub(const std::string& name) const {
        fs::create_directories(tmp / name);
        return (tmp / name).string() + "/";
    }
    std::string path() const { return tmp.path().string(); }
};

void writeExecutable(const std::string& path, const std::string& content, mode_t mode = 0755) {
    std::ofstream(path) << content;
    ::chmod(path.c_str(), mode);
}

template <class F> double secondsTaken(F&& f) {
    auto start = std::chrono::steady_clock::now();
    f();
    return Seconds(std::chrono::steady_clock::now() - start).count();
}

// The time-out error, or a failure when the call did not throw it.
template <class F> PelError expectTimeout(F&& f) {
    try {
        f();
    } catch (const PelError& e) {
        return e;
    }
    ADD_FAILURE() << "no time-out error";
    return PelError(ErrorCode::SRC_NO_MATCH, {}, {}, "", false);
}

// No child of this process is left unreaped.
void expectNoZombies() {
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

} // namespace

// ---- which ----

TEST(ProcWhich, SearchesTheSixFixedDirectoriesInOrder) {
    EXPECT_EQ(Proc::defaultToolDirectories(),
              (std::vector<std::string>{"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/", "/usr/local/bin/",
                                        "/opt/homebrew/bin/"}));
    EXPECT_EQ(pelkit::testing::toolDirectories(), Proc::defaultToolDirectories());
    EXPECT_EQ(Proc::which("sh"), "/usr/bin/sh");
}

TEST(ProcWhich, FirstDirectoryWithAnExecutableRegularFileWins) {
    ToolDirs tmp;
    auto first = tmp.sub("usr-bin"), second = tmp.sub("opt-homebrew-bin");
    writeExecutable(first + "both", "#!/bin/sh\n");
    writeExecutable(second + "both", "#!/bin/sh\n");
    writeExecutable(first + "notexec", "#!/bin/sh\n", 0644);
    writeExecutable(second + "notexec", "#!/bin/sh\n");
    fs::create_directories(first + "isdir");
    writeExecutable(second + "isdir", "#!/bin/sh\n");
    fs::create_symlink(second + "both", first + "linked");
    fs::create_symlink(tmp.path() + "/nowhere", first + "dangling");

    pelkit::testing::ScopedToolDirectories only({first, second});
    EXPECT_EQ(Proc::which("both"), first + "both");
    EXPECT_EQ(Proc::which("notexec"), second + "notexec");
    EXPECT_EQ(Proc::which("isdir"), second + "isdir");
    EXPECT_EQ(Proc::which("linked"), first + "linked"); // links are followed, the link's path returned
    EXPECT_EQ(Proc::which("dangling"), std::nullopt);
    EXPECT_EQ(Proc::which("missing"), std::nullopt);
    EXPECT_EQ(Proc::which(""), std::nullopt);
    EXPECT_EQ(Proc::which("../usr-bin/both"), std::nullopt);
}

TEST(ProcWhich, NeverConsultsPath) {
    ToolDirs tmp;
    auto onPath = tmp.sub("on-path"), searched = tmp.sub("searched");
    writeExecutable(onPath + "pathonly", "#!/bin/sh\n");
    std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (onPath + ":" + oldPath).c_str(), 1);
    pelkit::testing::ScopedToolDirectories only({searched});
    auto found = Proc::which("pathonly");
    ::setenv("PATH", oldPath.c_str(), 1);
    EXPECT_EQ(found, std::nullopt);
}

TEST(ProcWhich, OverrideAddsSlashesNestsAndRestores) {
    ToolDirs tmp;
    auto a = tmp.sub("a"), b = tmp.sub("b");
    {
        pelkit::testing::ScopedToolDirectories outer({a.substr(0, a.size() - 1)});
        EXPECT_EQ(pelkit::testing::toolDirectories(), std::vector<std::string>{a});
        {
            pelkit::testing::ScopedToolDirectories inner({b});
            EXPECT_EQ(pelkit::testing::toolDirectories(), std::vector<std::string>{b});
        }
        EXPECT_EQ(pelkit::testing::toolDirectories(), std::vector<std::string>{a});
    }
    EXPECT_EQ(pelkit::testing::toolDirectories(), Proc::defaultToolDirectories());
}

// ---- run: results ----

struct RunCase {
    const char* name;
    FakeReply reply;
    std::int32_t status;
    std::string out;
    std::string err;
};

void PrintTo(const RunCase& c, std::ostream* os) {
    *os << c.name;
}

using R = FakeReply;

class ProcRunResults : public ::testing::TestWithParam<RunCase> {};

TEST_P(ProcRunResults, StatusAndDecodedOutput) {
    const auto& c = GetParam();
    FakeTools tools;
    tools.install("tool", c.reply);
    ProcResult r = Proc::run(*Proc::which("tool"), {}, 10);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.ok(), c.status == 0);
    EXPECT_EQ(r.stdout, c.out);
    EXPECT_EQ(r.stderr, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProcRunResults,
    ::testing::Values(RunCase{"Success", R().withOut("hello\n"), 0, "hello\n", ""},
                      RunCase{"FailureWithStderr", R().withStatus(1).withErr("boom: no such thing\n"), 1, "",
                              "boom: no such thing\n"},
                      RunCase{"Status255", R().withStatus(255).withOut("x"), 255, "x", ""},
                      RunCase{"BothStreamsUntrimmed", R().withOut("  out \n\n").withErr("\terr\n"), 0,
                              "  out \n\n", "\terr\n"},
                      RunCase{"KilledBySigkill", R().withOut("partial").endedBySignal(9), 9, "partial", ""},
                      RunCase{"EndedBySigterm", R().endedBySignal(15), 15, "", ""},
                      RunCase{"EndedBySigsegv", R().endedBySignal(11), 11, "", ""},
                      RunCase{"MultiByteUtf8Kept", R().withOut("Grüße — ✓ 😀\n"), 0, "Grüße — ✓ 😀\n", ""},
                      RunCase{"NulBytesAreUtf8", R().withOut(std::string("a\0b", 3)), 0,
                              std::string("a\0b", 3), ""},
                      RunCase{"InvalidByteEmptiesWholeStdout",
                              R().withOut("valid start \xff valid end").withErr("ok"), 0, "", "ok"},
                      RunCase{"InvalidStderrOnly", R().withStatus(2).withOut("fine").withErr("bad \xc3\x28"),
                              2, "fine", ""},
                      RunCase{"OverlongEncoding", R().withOut("\xc0\xaf"), 0, "", ""},
                      RunCase{"SurrogateEncoding", R().withOut("\xed\xa0\x80"), 0, "", ""},
                      RunCase{"BeyondU10FFFF", R().withOut("\xf4\x90\x80\x80"), 0, "", ""},
                      RunCase{"TruncatedAtEnd", R().withOut("abc\xe2\x82"), 0, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProcRun, ArgumentsReachTheToolUnchangedWithoutAShell) {
    FakeTools tools;
    tools.install("tool", FakeReply());
    const std::vector<std::string> args{"a b", "$HOME", "*", "", "'q'", "\"dq\"", "line\nbreak", "-x", ";ls"};
    Proc::run(*Proc::which("tool"), args, 10);
    auto calls = tools.calls("tool");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, args);
}

TEST(ProcRun, InheritsEnvironmentAndWorkingDirectory) {
    ::setenv("PEL_PROC_INHERITED", "from the caller", 1);
    auto r = Proc::run("/bin/sh", {"-c", "printf '%s|' \"$PEL_PROC_INHERITED\"; pwd"}, 10);
    ::unsetenv("PEL_PROC_INHERITED");
    EXPECT_EQ(r.stdout, "from the caller|" + fs::current_path().string() + "\n");
}

TEST(ProcRun, StandardInputIsTheNullDeviceNotTheCallers) {
    // The caller's input holds an answer and stays open: a tool reading it would take the answer,
    // then wait there until its time-out.
    pelsupport::ScopedStandardInput terminal("y\n");
    const auto readlink = *FakeTools::realTool("readlink");
    const auto cat = *FakeTools::realTool("cat");
    const ProcResult r =
        Proc::run("/bin/sh", {"-c", readlink + " /proc/self/fd/0; " + cat + "; echo end-of-input"}, 60);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.stdout, "/dev/null\nend-of-input\n");
    EXPECT_EQ(r.stderr, "");

    // A fake that asks a question reads end of input the same way.
    FakeTools tools;
    tools.install("asks", FakeReply().withShell("printf 'Agree Y/N? '\n"
                                                "if read -r answer; then echo \"answered $answer\"; "
                                                "else echo 'no answer'; fi\n"));
    EXPECT_EQ(Proc::run(tools.path("asks"), {}, 60).stdout, "Agree Y/N? no answer\n");
}

TEST(ProcRun, LargeOutputOnBothStreamsDoesNotDeadlock) {
    // More than a pipe holds on standard error first, then 50 MB on standard output.
    const auto head = *FakeTools::realTool("head");
    const std::string script = head + " -c 1048576 /dev/zero >&2; " + head + " -c 52428800 /dev/zero";
    ProcResult r;
    double taken = secondsTaken([&] { r = Proc::run("/bin/sh", {"-c", script}, 60); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.stdout.size(), 52428800u);
    EXPECT_EQ(r.stderr.size(), 1048576u);
    EXPECT_EQ(std::count(r.stdout.begin(), r.stdout.end(), '\0'), 52428800);
    EXPECT_LT(taken, 20.0);
}

TEST(ProcRun, NoticesTheEndPromptly) {
    FakeTools tools;
    tools.install("quick", FakeReply().withDelay(0.05));
    double taken = secondsTaken([&] { Proc::run(*Proc::which("quick"), {}, 30); });
    EXPECT_LT(taken, 2.0);
}

// ---- run: launch errors ----

TEST(ProcRun, LaunchFailuresThrowThePlatformError) {
    ToolDirs tmp;
    writeExecutable(tmp.path() + "/plain", "#!/bin/sh\n", 0644);
    writeExecutable(tmp.path() + "/garbage", "\x01\x02 not a program\n");
    struct Case {
        std::string path;
        int errnoValue;
    };
    for (const auto& c : std::vector<Case>{{tmp.path() + "/missing", ENOENT},
                                           {tmp.path() + "/plain", EACCES},
                                           {tmp.path(), EACCES},
                                           {tmp.path() + "/garbage", ENOEXEC}}) {
        SCOPED_TRACE(c.path);
        try {
            Proc::run(c.path, {}, 5);
            ADD_FAILURE() << "launched";
        } catch (const PelError&) {
            ADD_FAILURE() << "a launch failure is not a PelError";
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code().value(), c.errnoValue);
        }
    }
    expectNoZombies();
}

TEST(ProcRun, RejectsTimeoutsThatAreNotFinitePositive) {
    FakeTools tools;
    tools.install("tool", FakeReply());
    for (double t : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
        EXPECT_THROW(Proc::run(*Proc::which("tool"), {}, t), std::invalid_argument) << t;
    }
    EXPECT_EQ(tools.callCount("tool"), 0);
}

// ---- run: time-outs ----

TEST(ProcTimeout, TermIsEnoughForAWellBehavedTool) {
    FakeTools tools;
    tools.install("slow", FakeReply().withOut("never seen").withDelay(20));
    const std::string path = tools.dir() + "/slow"; // passed on as given, double slash and all
    PelError e = expectTimeout([&] { Proc::run(path, {}, 0.3); });
    EXPECT_EQ(e.code(), ErrorCode::INT_UNEXPECTED);
    EXPECT_EQ(e.message(), path + " timeout after 0s");
    EXPECT_EQ(e.bundleID(), std::nullopt);
    EXPECT_EQ(e.source(), std::nullopt);
    EXPECT_FALSE(e.overrideCanFix());
    expectNoZombies();
}

TEST(ProcTimeout, ToolIgnoringTermIsKilledHalfASecondLater) {
    FakeTools tools;
    tools.install("stubborn", FakeReply().withDelay(3).ignoringSigterm());
    double taken = secondsTaken([&] {
        PelError e = expectTimeout([&] { Proc::run(*Proc::which("stubborn"), {}, 0.2); });
        EXPECT_EQ(e.message(), tools.path("stubborn") + " timeout after 0s");
    });
    EXPECT_GE(taken, 0.2 + 0.5);
    EXPECT_LT(taken, 3.0);
    expectNoZombies();
}

TEST(ProcTimeout, MessageDropsTheFractionOfTheRequestedTimeout) {
    FakeTools tools;
    tools.install("slow", FakeReply().withDelay(20));
    std::vector<double> requested;
    pelkit::testing::ScopedToolTimeout fast([&](const std::string&, double t) {
        requested.push_back(t);
        return 0.1;
    });
    PelError e = expectTimeout([&] { Proc::run(tools.path("slow"), {}, 2.9); });
    EXPECT_EQ(e.message(), tools.path("slow") + " timeout after 2s");
    EXPECT_EQ(requested, std::vector<double>{2.9});
}

TEST(ProcTimeout, CapStrikesEarlyButKeepsTheCallersNumber) {
    FakeTools tools;
    tools.install("slow", FakeReply().withDelay(20));
    pelkit::testing::ScopedToolTimeout fast(0.1);
    double taken = secondsTaken([&] {
        PelError e = expectTimeout([&] { Proc::run(tools.path("slow"), {}, 300); });
        EXPECT_EQ(e.message(), tools.path("slow") + " timeout after 300s");
    });
    EXPECT_LT(taken, 3.0);
}

TEST(ProcTimeout, GrandchildHoldingTheOutputOpenCannotHangTheCaller) {
    const auto sleep = *FakeTools::realTool("sleep");
    struct Case {
        const char* name;
        std::string script;
        bool timesOut;
    };
    for (const auto& c : std::vector<Case>{
             {"holds stdout", sleep + " 3 & echo started", true},
             {"holds stderr", sleep + " 3 >/dev/null & echo started", true},
             {"lets go", sleep + " 3 >/dev/null 2>&1 & echo started", false},
         }) {
        SCOPED_TRACE(c.name);
        double taken = secondsTaken([&] {
            if (c.timesOut) {
                PelError e = expectTimeout([&] { Proc::run("/bin/sh", {"-c", c.script}, 0.4); });
                EXPECT_EQ(e.message(), "/bin/sh timeout after 0s");
            } else {
                EXPECT_EQ(Proc::run("/bin/sh", {"-c", c.script}, 0.4).stdout, "started\n");
            }
        });
        EXPECT_LT(taken, 2.0);
    }
    expectNoZombies();
}

// ---- run: concurrency ----

TEST(ProcConcurrency, ToolsSeeOnlyTheirOwnThreeStreams) {
    // Opened without close-on-exec on purpose: it must not reach the tools either.
    int stray = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 0);
    auto listOwnDescriptors = [](std::vector<std::string>& seen) {
        for (int i = 0; i < 25; ++i)
            seen.push_back(Proc::run("/bin/sh", {"-c", "ls /proc/$$/fd; :"}, 10).stdout);
    };
    std::vector<std::string> a, b;
    std::thread t1(listOwnDescriptors, std::ref(a));
    std::thread t2(listOwnDescriptors, std::ref(b));
    t1.join();
    t2.join();
    ::close(stray);
    for (const auto* seen : {&a, &b}) {
        ASSERT_EQ(seen->size(), 25u);
        for (const auto& s : *seen)
            EXPECT_EQ(s, "0\n1\n2\n");
    }
}

TEST(ProcConcurrency, RunsOnTwoThreadsDoNotWaitForEachOther) {
    // Each run marks its start, then waits for the other's mark: both succeed only when both runs
    // were under way at once. Serialised runs would give up after about 20 s and say "alone".
    FakeTools tools;
    const auto sleep = *FakeTools::realTool("sleep");
    tools.install("meet", FakeReply().withOut("met").withShell(
                              ": > \"$PEL_FAKE_STATE/$1\"; i=0\n"
                              "while [ ! -e \"$PEL_FAKE_STATE/$2\" ]; do\n"
                              "  i=$((i + 1)); [ $i -gt 2000 ] && { echo alone; exit 1; }\n"
                              "  " + pelsupport::shQuote(sleep) + " 0.01\n"
                              "done\n"));
    auto meet = [&](std::string self, std::string other, ProcResult& out) {
        out = Proc::run(tools.path("meet"), {self, other}, 60);
    };
    ProcResult a, b;
    std::thread first(meet, "a", "b", std::ref(a));
    std::thread second(meet, "b", "a", std::ref(b));
    first.join();
    second.join();
    for (const auto* r : {&a, &b}) {
        EXPECT_EQ(r->status, 0);
        EXPECT_EQ(r->stdout, "met");
    }
}

// ---- the fake tool kit ----

TEST(FakeTools, OnlyTheKitIsSearchedAndRealToolsAreLinked) {
    {
        FakeTools tools;
        EXPECT_EQ(pelkit::testing::toolDirectories(), std::vector<std::string>{tools.dir()});
        EXPECT_EQ(Proc::which("ls"), std::nullopt);
        for (const char* real : {"sh", "tar", "unzip"})
            EXPECT_EQ(Proc::which(real), tools.path(real)) << real;
        auto r = Proc::run(*Proc::which("sh"), {"-c", "echo linked"}, 10);
        EXPECT_EQ(r.stdout, "linked\n");
        EXPECT_EQ(Proc::run(*Proc::which("tar"), {"--version"}, 10).status, 0);
        tools.remove("tar");
        EXPECT_EQ(Proc::which("tar"), std::nullopt);
        EXPECT_TRUE(tools.linkReal("cp"));
        EXPECT_EQ(Proc::which("cp"), tools.path("cp"));
    }
    EXPECT_EQ(pelkit::testing::toolDirectories(), Proc::defaultToolDirectories());
}

TEST(FakeTools, RulesPickRepliesByCallNumberAndArguments) {
    FakeTools tools;
    tools.installScenario(
        "codesign",
        FakeScenario()
            .when(FakeRule().onCall(1).then(FakeReply().withStatus(3).withErr("first\n")))
            .when(FakeRule().whenArgsInclude({"--verify", "--deep"}).then(FakeReply().withOut("verified\n")))
            .when(FakeRule().whenArgsAre({"-dv", "x y"}).then(FakeReply().withOut("exact\n")))
            .otherwise(FakeReply().withStatus(9).withOut("otherwise\n")));
    const auto path = *Proc::which("codesign");
    auto r1 = Proc::run(path, {"--verify", "--deep"}, 10);
    EXPECT_EQ(r1.status, 3);
    EXPECT_EQ(r1.stderr, "first\n");
    EXPECT_EQ(Proc::run(path, {"--deep", "a", "--verify"}, 10).stdout, "verified\n");
    EXPECT_EQ(Proc::run(path, {"-dv", "x y"}, 10).stdout, "exact\n");
    EXPECT_EQ(Proc::run(path, {"-dv", "x", "y"}, 10).stdout, "otherwise\n");
    EXPECT_EQ(Proc::run(path, {"--verify"}, 10).status, 9);
}

TEST(FakeTools, LogsEveryCallInOrderWithPerToolCounters) {
    FakeTools tools;
    tools.install("a", FakeReply());
    tools.installScript(
        "b", R"(echo "call $PEL_FAKE_CALL of $PEL_FAKE_TOOL"; has_arg --x "$@" && exit 4; exit 0)");
    Proc::run(tools.path("a"), {"1"}, 10);
    EXPECT_EQ(Proc::run(tools.path("b"), {"2"}, 10).stdout, "call 1 of b\n");
    Proc::run(tools.path("a"), {}, 10);
    auto rb = Proc::run(tools.path("b"), {"--x"}, 10);
    EXPECT_EQ(rb.status, 4);
    EXPECT_EQ(rb.stdout, "call 2 of b\n");

    auto all = tools.calls();
    ASSERT_EQ(all.size(), 4u);
    std::vector<std::string> order;
    for (const auto& c : all)
        order.push_back(c.tool + std::to_string(c.toolCall));
    EXPECT_EQ(order, (std::vector<std::string>{"a1", "b1", "a2", "b2"}));
    EXPECT_EQ(all[0].args, std::vector<std::string>{"1"});
    EXPECT_EQ(all[2].args, std::vector<std::string>{});
    EXPECT_EQ(all[3].sequence, 4);
    EXPECT_EQ(tools.callCount("a"), 2);

    tools.clearCalls();
    EXPECT_EQ(tools.callCount("a"), 0);
    Proc::run(tools.path("b"), {}, 10);
    EXPECT_EQ(tools.calls("b").at(0).toolCall, 1);
}

TEST(FakeTools, ConcurrentCallsEachGetTheirOwnNumber) {
    FakeTools tools;
    tools.install("t", FakeReply());
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < 5; ++j)
                Proc::run(tools.path("t"), {}, 10);
        });
    for (auto& t : threads)
        t.join();
    auto calls = tools.calls("t");
    ASSERT_EQ(calls.size(), 20u);
    std::vector<int> numbers;
    for (const auto& c : calls)
        numbers.push_back(c.toolCall);
    std::sort(numbers.begin(), numbers.end());
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(numbers[i], i + 1);
}
