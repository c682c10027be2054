#include "PelKit/Proc.hpp"

#include "PelKit/Models.hpp"
#include "Platform/Unicode.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pelkit {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kPollInterval = 20ms;
constexpr auto kTermGrace = 500ms;
constexpr std::size_t kReadChunk = 64 * 1024;
// Longer than any tool runs; keeps the deadline arithmetic far from overflow.
constexpr double kMaxTimeoutSeconds = 1e9;

// ---- test overrides ----

std::mutex& overrideMutex() {
    static std::mutex m;
    return m;
}
std::optional<std::vector<std::string>>& directoryOverride() {
    static std::optional<std::vector<std::string>> dirs;
    return dirs;
}
testing::TimeoutMap& timeoutMap() {
    static testing::TimeoutMap map;
    return map;
}

std::atomic<bool>& processDescriptorsDisabled() {
    static std::atomic<bool> disabled{false};
    return disabled;
}

double appliedTimeout(const std::string& path, double requested) {
    testing::TimeoutMap map;
    {
        std::lock_guard lock(overrideMutex());
        map = timeoutMap();
    }
    if (!map) return requested;
    double applied = map(path, requested);
    if (!std::isfinite(applied) || applied <= 0) return requested;
    return applied;
}

// ---- helpers ----

class Fd {
public:
    Fd() = default;
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool open() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Both ends close-on-exec from the start, so a tool started on another thread never inherits them.
void makePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    int flags = ::fcntl(readEnd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(readEnd.get(), F_SETFL, flags | O_NONBLOCK);
}

bool waitReaped(pid_t pid, int& wstatus, bool block) {
    for (;;) {
        pid_t r = ::waitpid(pid, &wstatus, block ? 0 : WNOHANG);
        if (r == pid) return true;
        if (r == 0) return false;
        if (errno != EINTR) return true; // ECHILD: nothing left to reap
    }
}

// A descriptor that becomes readable when `pid` ends, or -1 where the kernel has no such call;
// callers then look at the child on a short interval instead.
int openProcessFd(pid_t pid) {
    if (processDescriptorsDisabled().load()) return -1;
#ifdef SYS_pidfd_open
    long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        return static_cast<int>(fd);
    }
#else
    (void)pid;
#endif
    return -1;
}

// Kills and reaps a child that is abandoned by an exception, so no run leaves a zombie behind.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) { exitFd_.reset(openProcessFd(pid)); }
    ~Child() {
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            int st;
            waitReaped(pid_, st, true);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool reaped() const { return reaped_; }
    int wstatus() const { return wstatus_; }
    // Readable once the child has ended; -1 when there is none (the child must then be polled).
    int exitFd() const { return reaped_ ? -1 : exitFd_.get(); }
    bool poll() {
        if (!reaped_) reaped_ = waitReaped(pid_, wstatus_, false);
        if (reaped_) exitFd_.reset();
        return reaped_;
    }
    void terminate() {
        if (reaped_) return; // the pid may already belong to someone else
        ::kill(pid_, SIGTERM);
        const auto until = Clock::now() + kTermGrace;
        while (!poll()) {
            const auto now = Clock::now();
            if (now >= until) break;
            auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now);
            if (exitFd() < 0) {
                ::poll(nullptr, 0,
                       static_cast<int>(std::min<std::chrono::milliseconds>(wait, kPollInterval).count()));
            } else {
                pollfd fd{exitFd(), POLLIN, 0};
                ::poll(&fd, 1, static_cast<int>(wait.count()));
            }
        }
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            reaped_ = waitReaped(pid_, wstatus_, true);
            exitFd_.reset();
        }
    }

private:
    pid_t pid_;
    bool reaped_ = false;
    int wstatus_ = 0;
    Fd exitFd_;
};

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

void check(int rc, const char* what) {
    if (rc != 0) throw std::system_error(rc, std::generic_category(), what);
}

// Drains whatever is ready on `fd` into `sink`; closes `fd` at end of stream.
void drain(Fd& fd, std::string& sink) {
    for (;;) {
        std::size_t old = sink.size();
        sink.resize(old + kReadChunk);
        ssize_t n = ::read(fd.get(), sink.data() + old, kReadChunk);
        sink.resize(old + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        fd.reset(); // end of stream, or an error that no retry mends
        return;
    }
}

PelError timeoutError(const std::string& path, double requested) {
    return PelError(ErrorCode::INT_UNEXPECTED, std::nullopt, std::nullopt,
                    fmt::format("{} timeout after {:.0f}s", path, std::trunc(requested)), false);
}

} // namespace

const std::vector<std::string>& Proc::defaultToolDirectories() {
    static const std::vector<std::string> dirs{"/usr/bin/", "/bin/",           "/usr/sbin/",
                                               "/sbin/",    "/usr/local/bin/", "/opt/homebrew/bin/"};
    return dirs;
}

void Proc::useToolDirectories(std::vector<std::string> directories) {
    testing::setToolDirectories(std::move(directories));
}

std::optional<std::string> Proc::which(std::string_view name) {
    // A name is a single path component; anything else could reach outside the tool directories.
    if (name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
    for (const auto& dir : testing::toolDirectories()) {
        std::string path = dir;
        path.append(name);
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) != 0) continue;
        return path;
    }
    return std::nullopt;
}

ProcResult Proc::run(const std::string& path, const std::vector<std::string>& args, double timeoutSeconds) {
    if (!std::isfinite(timeoutSeconds) || timeoutSeconds <= 0)
        throw std::invalid_argument(fmt::format("{}: time-out must be a positive number of seconds", path));
    const double applied = std::min(appliedTimeout(path, timeoutSeconds), kMaxTimeoutSeconds);

    Fd outRead, outWrite, errRead, errWrite;
    makePipe(outRead, outWrite);
    makePipe(errRead, errWrite);

    pid_t pid = 0;
    {
        SpawnSetup setup;
        check(posix_spawn_file_actions_adddup2(&setup.actions, outWrite.get(), STDOUT_FILENO), "spawn setup");
        check(posix_spawn_file_actions_adddup2(&setup.actions, errWrite.get(), STDERR_FILENO), "spawn setup");
        // No tool may wait on the user's terminal: one that asks a question (a disk image's licence,
        // say) reads end of input and goes on or fails at once. Opened after the two copies above, in
        // case a pipe end took descriptor 0 in a process started without standard input.
        check(posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0),
              "spawn setup");
        // Descriptors opened elsewhere without close-on-exec stay out of the tool too.
        check(posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1), "spawn setup");

        // A tool starts with default signal handling, whatever this thread blocks or ignores;
        // otherwise an inherited blocked SIGTERM would turn every time-out into a SIGKILL.
        sigset_t empty, defaults;
        sigemptyset(&empty);
        sigfillset(&defaults);
        sigdelset(&defaults, SIGKILL);
        sigdelset(&defaults, SIGSTOP);
        check(posix_spawnattr_setsigmask(&setup.attr, &empty), "spawn setup");
        check(posix_spawnattr_setsigdefault(&setup.attr, &defaults), "spawn setup");
        check(posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
              "spawn setup");

        std::vector<char*> argv;
        argv.reserve(args.size() + 2);
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);

        int rc = ::posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
        if (rc != 0) throw std::system_error(rc, std::generic_category(), path);
    }
    Child child(pid);
    outWrite.reset();
    errWrite.reset();

    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(applied));
    std::string out, err;
    std::chrono::milliseconds exitWait = 1ms;
    for (;;) {
        child.poll();
        if (child.reaped() && !outRead.open() && !errRead.open()) break;
        const auto now = Clock::now();
        if (now > deadline) {
            // Still running, or gone but with its output held open by something it started.
            outRead.reset();
            errRead.reset();
            child.terminate();
            throw timeoutError(path, timeoutSeconds);
        }
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        if (child.exitFd() >= 0 || child.reaped()) {
            // The end of the child and of its output both wake the poll below by themselves.
        } else if (!outRead.open() && !errRead.open()) {
            // Both streams ended: the exit itself is usually a moment away, so look again soon,
            // backing off to the regular interval for a tool that closed its outputs and went on.
            wait = std::min(wait, exitWait);
            exitWait = std::min<std::chrono::milliseconds>(exitWait * 2, kPollInterval);
        } else {
            wait = std::min<std::chrono::milliseconds>(wait, kPollInterval);
        }
        wait = std::clamp<std::chrono::milliseconds>(wait, 1ms, 1000ms);

        pollfd fds[3];
        nfds_t n = 0;
        if (outRead.open()) fds[n++] = {outRead.get(), POLLIN, 0};
        if (errRead.open()) fds[n++] = {errRead.get(), POLLIN, 0};
        if (child.exitFd() >= 0) fds[n++] = {child.exitFd(), POLLIN, 0};
        int ready = ::poll(n > 0 ? fds : nullptr, n, static_cast<int>(wait.count()));
        if (ready < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "poll");
        if (ready <= 0) continue;
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == outRead.get())
                drain(outRead, out);
            else if (fds[i].fd == errRead.get())
                drain(errRead, err);
        }
    }

    ProcResult result;
    const int ws = child.wstatus();
    if (WIFEXITED(ws))
        result.status = WEXITSTATUS(ws);
    else if (WIFSIGNALED(ws))
        result.status = WTERMSIG(ws);
    else
        result.status = ws;
    if (platform::unicode::isValidUtf8(out)) result.stdout = std::move(out);
    if (platform::unicode::isValidUtf8(err)) result.stderr = std::move(err);
    return result;
}

namespace testing {

std::vector<std::string> toolDirectories() {
    std::lock_guard lock(overrideMutex());
    if (directoryOverride()) return *directoryOverride();
    return Proc::defaultToolDirectories();
}

void setToolDirectories(std::optional<std::vector<std::string>> directories) {
    if (directories) {
        for (auto& d : *directories) {
            if (d.empty() || d.back() != '/') d.push_back('/');
        }
    }
    std::lock_guard lock(overrideMutex());
    directoryOverride() = std::move(directories);
}

ScopedToolDirectories::ScopedToolDirectories(std::vector<std::string> directories) {
    {
        std::lock_guard lock(overrideMutex());
        previous_ = directoryOverride();
    }
    setToolDirectories(std::move(directories));
}

ScopedToolDirectories::~ScopedToolDirectories() {
    setToolDirectories(std::move(previous_));
}

void setToolTimeoutMap(TimeoutMap map) {
    std::lock_guard lock(overrideMutex());
    timeoutMap() = std::move(map);
}

ScopedToolTimeout::ScopedToolTimeout(double capSeconds)
    : ScopedToolTimeout(TimeoutMap(
          [capSeconds](const std::string&, double requested) { return std::min(requested, capSeconds); })) {}

ScopedToolTimeout::ScopedToolTimeout(TimeoutMap map) {
    std::lock_guard lock(overrideMutex());
    previous_ = std::exchange(timeoutMap(), std::move(map));
}

ScopedToolTimeout::~ScopedToolTimeout() {
    setToolTimeoutMap(std::move(previous_));
}

ScopedNoProcessDescriptors::ScopedNoProcessDescriptors()
    : previous_(processDescriptorsDisabled().exchange(true)) {}

ScopedNoProcessDescriptors::~ScopedNoProcessDescriptors() {
    processDescriptorsDisabled().store(previous_);
}

} // namespace testing

} // namespace pelkit
