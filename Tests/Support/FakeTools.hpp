#pragma once

// Fake command-line tools for tests.
//
// A FakeTools object makes a temporary directory (mkdtemp under /tmp), links the real `sh`, `tar`,
// `unzip`, `zip`, `gzip` and `bzip2` into its tool directory, and — unless told otherwise — makes
// that directory the only one pelkit::Proc::which searches while the object lives. Tests then put
// named fakes beside the real tools:
//
//     pelsupport::FakeTools tools;
//     tools.install("spctl", FakeReply().withStatus(3).withErr(app + ": rejected\n"
//                                                              "source=Unnotarized Developer ID\n"));
//     tools.installScenario("mdls",
//         FakeScenario()
//             .when(FakeRule().onCall(1).then(FakeReply().withStatus(1)))
//             .otherwise(FakeReply().withOut("kMDItemFinderComment = \"note\"\n")));
//     ... run the code under test ...
//     EXPECT_EQ(tools.callCount("spctl"), 1);
//     EXPECT_EQ(tools.calls("spctl")[0].args.back(), app);
//
// Each fake is a small /bin/sh script generated from its scenario. Every call, before anything else,
// appends one record (the tool, its arguments, its call number) to the kit's log, which `calls`
// reads back. The call number counts the calls of one tool from 1 and is race-free across
// concurrent calls. Installing a tool again replaces it atomically; the log is kept.
//
// Extending the kit for a tool-specific behaviour (later fakes: codesign, hdiutil, ditto, ...):
//   - `FakeReply::shell` is sh code run inside the call, after the delay and before the output. In it
//     "$@" are the call's arguments, $PEL_FAKE_DIR is tools.dir(), $PEL_FAKE_STATE is
//     tools.stateDir() (a scratch folder outside the tool directory, for files a fake keeps between
//     calls), $PEL_FAKE_CALL is the call number, and `has_arg WORD "$@"` tests for an argument. Call
//     real tools by absolute path (FakeTools::realTool("cp")), since the test's PATH is not the
//     tool directory. `exit` in the snippet ends the call with that status, skipping the output.
//   - `installScript` installs a fake whose whole behaviour is an sh body (after the logging).
//   - Add rule conditions to FakeRule and emit them in FakeTools.cpp's `conditionOf`.
//   - Helpers for one tool (say `installFakeHdiutil(FakeTools&, ...)`) belong in their own files in
//     Tests/Support and build on these three entry points.

#include "PelKit/Proc.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelsupport {

// What one call of a fake does, in this order: log the call, ignore SIGTERM when asked, wait
// `delaySeconds`, run `shell`, write `out` to standard output and `err` to standard error (bytes
// unchanged, so invalid UTF-8 is fine), then end: by `signal` when set (its number is the status
// Proc reports), else with `exitStatus`. Build it field by field or with the chainable setters
// (g++ 12 warns on partial designated initializers): FakeReply().withStatus(1).withErr("bad\n").
// A fake that ignores SIGTERM leaves its sleeper running for the rest of its delay after Proc kills
// it; keep such delays short.
struct FakeReply {
    int exitStatus = 0;
    std::string out;
    std::string err;
    double delaySeconds = 0;
    bool ignoresSigterm = false;
    std::optional<int> signal;
    std::string shell;

    FakeReply& withStatus(int s) {
        exitStatus = s;
        return *this;
    }
    FakeReply& withOut(std::string s) {
        out = std::move(s);
        return *this;
    }
    FakeReply& withErr(std::string s) {
        err = std::move(s);
        return *this;
    }
    FakeReply& withDelay(double seconds) {
        delaySeconds = seconds;
        return *this;
    }
    FakeReply& ignoringSigterm() {
        ignoresSigterm = true;
        return *this;
    }
    FakeReply& endedBySignal(int s) {
        signal = s;
        return *this;
    }
    FakeReply& withShell(std::string code) {
        shell = std::move(code);
        return *this;
    }
};

// Picks the reply for the calls it matches; every condition that is set must hold.
struct FakeRule {
    std::optional<int> call;                         // only the n-th call of this tool (from 1)
    std::vector<std::string> argsInclude;            // each must be one of the arguments
    std::optional<std::vector<std::string>> argsAre; // the arguments exactly
    FakeReply reply;

    FakeRule& onCall(int n) {
        call = n;
        return *this;
    }
    FakeRule& whenArgsInclude(std::vector<std::string> a) {
        argsInclude = std::move(a);
        return *this;
    }
    FakeRule& whenArgsAre(std::vector<std::string> a) {
        argsAre = std::move(a);
        return *this;
    }
    FakeRule& then(FakeReply r) {
        reply = std::move(r);
        return *this;
    }
};

// The first matching rule answers; `fallback` answers the calls no rule matches:
//   FakeScenario().when(FakeRule().onCall(1).then(FakeReply().withStatus(1))).otherwise(FakeReply())
struct FakeScenario {
    std::vector<FakeRule> rules;
    FakeReply fallback;

    FakeScenario& when(FakeRule r) {
        rules.push_back(std::move(r));
        return *this;
    }
    FakeScenario& otherwise(FakeReply r) {
        fallback = std::move(r);
        return *this;
    }
};

// One logged invocation.
struct FakeCall {
    std::string tool;
    std::vector<std::string> args;
    int sequence = 0; // order among all calls of the kit, from 1
    int toolCall = 0; // order among the calls of this tool, from 1
};

class FakeTools {
public:
    // `searchOnlyHere`: while this object lives, Proc::which searches only dir() (restored after).
    explicit FakeTools(bool searchOnlyHere = true);
    ~FakeTools(); // removes every file of the kit
    FakeTools(const FakeTools&) = delete;
    FakeTools& operator=(const FakeTools&) = delete;

    // The tool directory, ending with "/".
    const std::string& dir() const { return binDir_; }
    // Where `tool` is (or would be) in dir().
    std::string path(std::string_view tool) const;
    // A scratch folder of the kit outside the tool directory, ending with "/".
    const std::string& stateDir() const { return stateDir_; }

    void install(std::string_view tool, const FakeReply& reply);
    void installScenario(std::string_view tool, const FakeScenario& scenario);
    // A fake that logs its call and then runs `shBody` (same variables as FakeReply::shell).
    void installScript(std::string_view tool, std::string_view shBody);
    // Links the machine's real tool of that name into dir(); false when there is none.
    bool linkReal(std::string_view tool);
    // Takes a tool (fake or linked) out of dir().
    void remove(std::string_view tool);

    // Logged calls, in order: all of them, or those of one tool.
    std::vector<FakeCall> calls() const;
    std::vector<FakeCall> calls(std::string_view tool) const;
    int callCount(std::string_view tool) const;
    // Forgets the log; call numbers start again from 1.
    void clearCalls();

    // The machine's real tool (from /usr/bin or /bin), for fakes that delegate to it.
    static std::optional<std::string> realTool(std::string_view tool);
    // The same, quoted for a fake's script; throws when the machine lacks it.
    static std::string quotedRealTool(std::string_view tool);

private:
    void writeScript(std::string_view tool, const std::string& body);
    std::string replyCode(std::string_view tool, const FakeReply& reply);

    std::string root_;
    std::string binDir_;
    std::string stateDir_;
    std::string logDir_;
    std::string dataDir_;
    int dataCounter_ = 0;
    std::unique_ptr<pelkit::testing::ScopedToolDirectories> searchGuard_;
};

// Quotes `s` for sh (single quotes).
std::string shQuote(std::string_view s);

// A time-out map that lets only `tool` (matched by file name) time out after `seconds`; every other
// tool keeps the time-out its caller asked for, so a busy machine cannot make them strike first.
inline pelkit::testing::TimeoutMap shortTimeOutFor(std::string tool, double seconds) {
    return [tool = std::move(tool), seconds](const std::string& path, double requested) {
        const auto slash = path.rfind('/');
        return path.substr(slash == std::string::npos ? 0 : slash + 1) == tool ? seconds : requested;
    };
}

} // namespace pelsupport

// The kit's first home; kept so both spellings work.
namespace testsupport {
using pelsupport::FakeCall;
using pelsupport::FakeReply;
using pelsupport::FakeRule;
using pelsupport::FakeScenario;
using pelsupport::FakeTools;
using pelsupport::shQuote;
} // namespace testsupport
