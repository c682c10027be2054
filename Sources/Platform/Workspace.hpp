#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

// One running application: a process whose executable lies inside an application bundle.
struct RunningApplication {
    pid_t pid = 0;
    std::string bundlePath; // file-system path of the innermost ".app" folder holding the executable
    std::optional<std::string> bundleIdentifier; // from that bundle's Info.plist, when readable

    bool operator==(const RunningApplication&) const = default;
};

// The running applications of this machine. Callers take a `const Workspace&` so tests can hand in a
// fixed list. On macOS this is NSRunningApplication; here it reads /proc.
class Workspace {
public:
    virtual ~Workspace() = default;

    // A snapshot, taken at the call.
    virtual std::vector<RunningApplication> runningApplications() const = 0;

    // The platform's workspace; created on first use and never destroyed.
    static const Workspace& shared();
};

// Lists every process under `procRoot` whose executable (`<procRoot>/<pid>/exe`) lies inside a ".app"
// bundle; the innermost bundle counts, so a helper nested in another bundle is listed as itself.
class ProcWorkspace final : public Workspace {
public:
    explicit ProcWorkspace(std::string procRoot = "/proc");
    std::vector<RunningApplication> runningApplications() const override;

private:
    std::string procRoot_;
};

// The folder of the innermost ".app" bundle that holds `executablePath` (the path itself does not count
// as its own bundle), or nothing when no ancestor folder is one.
std::optional<std::string> enclosingBundlePath(const std::string& executablePath);

} // namespace platform
