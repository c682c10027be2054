#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelkit {

// The outcome of one finished tool run.
struct ProcResult {
    std::int32_t status = 0; // exit status, or the signal's number for a tool ended by a signal
    std::string stdout;      // UTF-8; empty when the bytes were not valid UTF-8
    std::string stderr;

    bool ok() const { return status == 0; }
};

// The one way the system starts a command-line tool. Stateless; safe from any number of threads.
class Proc {
public:
    Proc() = delete;

    // The first of the fixed tool directories that holds a regular executable file of that name
    // (symbolic links followed). PATH is never consulted.
    static std::optional<std::string> which(std::string_view name);

    // Runs `path` with `args` (no shell), inheriting environment and working directory, with
    // /dev/null as standard input, and captures both output streams. A launch failure throws
    // std::system_error with the launch's errno. Running past `timeoutSeconds` (finite and positive, else
    // std::invalid_argument) ends the tool with SIGTERM, then SIGKILL 0.5 s later, and throws
    // PelError INT_UNEXPECTED "<path> timeout after <N>s". Output held open past the deadline by
    // a process the tool left behind counts as the same time-out.
    static ProcResult run(const std::string& path, const std::vector<std::string>& args,
                          double timeoutSeconds);

    // The directories `which` searches in production, in order.
    static const std::vector<std::string>& defaultToolDirectories();

    // A start-up setting: search only `directories` from now on (a missing trailing "/" is added).
    // Called once, before any tool runs, by a build that stands in for macOS tools; a release build
    // for macOS never calls it, since it decides which `codesign` judges a download.
    static void useToolDirectories(std::vector<std::string> directories);
};

// Process-wide overrides for tests only; production code never calls these.
namespace testing {

// The directories `which` searches now (the override when one is set). Each ends with "/".
std::vector<std::string> toolDirectories();

// Replaces the searched directories (a missing trailing "/" is added); nothing restores the
// defaults. Prefer ScopedToolDirectories.
void setToolDirectories(std::optional<std::vector<std::string>> directories);

// Searches only `directories` while alive, then restores what was in force before. Nests.
class ScopedToolDirectories {
public:
    explicit ScopedToolDirectories(std::vector<std::string> directories);
    ~ScopedToolDirectories();
    ScopedToolDirectories(const ScopedToolDirectories&) = delete;
    ScopedToolDirectories& operator=(const ScopedToolDirectories&) = delete;

private:
    std::optional<std::vector<std::string>> previous_;
};

// Maps the time-out a caller asked for to the one actually applied, so a test can let a 300 s
// time-out strike after a fraction of a second (or record what callers ask for). The time-out
// error's message keeps the caller's value.
using TimeoutMap = std::function<double(const std::string& path, double requestedSeconds)>;

void setToolTimeoutMap(TimeoutMap map); // an empty map applies the requested time-outs

// While alive, applies `map` (or caps every time-out at `capSeconds`), then restores the previous one.
class ScopedToolTimeout {
public:
    explicit ScopedToolTimeout(double capSeconds);
    explicit ScopedToolTimeout(TimeoutMap map);
    ~ScopedToolTimeout();
    ScopedToolTimeout(const ScopedToolTimeout&) = delete;
    ScopedToolTimeout& operator=(const ScopedToolTimeout&) = delete;

private:
    TimeoutMap previous_;
};

// While alive, runs wait for their tools as on a kernel without process descriptors (by looking
// at the child on a short interval), then restores the previous way.
class ScopedNoProcessDescriptors {
public:
    ScopedNoProcessDescriptors();
    ~ScopedNoProcessDescriptors();
    ScopedNoProcessDescriptors(const ScopedNoProcessDescriptors&) = delete;
    ScopedNoProcessDescriptors& operator=(const ScopedNoProcessDescriptors&) = delete;

private:
    bool previous_;
};

} // namespace testing

} // namespace pelkit
