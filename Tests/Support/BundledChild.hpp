#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace pelsupport {

// Writes `bundle`/Contents/Info.plist with this bundle identifier.
void writeInfoPlist(const std::filesystem::path& bundle, const std::string& identifier);

// A copy of /bin/sleep at `bundle`/Contents/MacOS/<name>, so a process's executable lies in the bundle.
std::filesystem::path installSleeper(const std::filesystem::path& bundle, const std::string& name);

// A child process running `exe` (a copy of sleep) for a minute; killed and reaped when the object goes.
class BundledChild {
public:
    // With `ignoreTerminate` the child ignores SIGTERM (the disposition survives exec).
    explicit BundledChild(const std::filesystem::path& exe, bool ignoreTerminate = false);
    ~BundledChild() { stop(); }
    BundledChild(const BundledChild&) = delete;
    BundledChild& operator=(const BundledChild&) = delete;

    pid_t pid() const { return pid_; }
    // Kills and reaps the child.
    void stop();
    // Waits until the child ends; the signal that ended it, or 0 when it exited by itself.
    int waitForEnd();
    // True while the child has not ended (it is not reaped by asking).
    bool running() const;

private:
    pid_t pid_ = -1;
};

} // namespace pelsupport
