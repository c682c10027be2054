#include "Platform/Workspace.hpp"

#include "Platform/Executor.hpp"
#include "Platform/Plist.hpp"
#include "Platform/SerialQueue.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <map>
#include <string_view>
#include <unistd.h>

namespace platform {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

bool isPidName(const char* name) {
    if (*name == '\0') return false;
    for (const char* p = name; *p != '\0'; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    }
    return true;
}

std::optional<std::string> readLink(const std::string& path) {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (n < 0) return std::nullopt;
        if (static_cast<size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<size_t>(n));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// A bundle without a readable Info.plist is still a running application, only without identifier.
std::optional<std::string> readBundleIdentifier(const std::string& bundlePath) {
    try {
        return PlistValue::readFile(bundlePath + "/Contents/Info.plist").stringForKey("CFBundleIdentifier");
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The bundle that `<procRoot>/<pidName>/exe` lies in, if any. A process whose executable was deleted
// while it runs still counts.
std::optional<std::string> bundleOfProcess(const std::string& procRoot, const std::string& pidName) {
    auto exe = readLink(procRoot + "/" + pidName + "/exe");
    if (!exe) return std::nullopt;
    if (exe->size() > kDeletedSuffix.size() &&
        std::string_view(*exe).substr(exe->size() - kDeletedSuffix.size()) == kDeletedSuffix) {
        exe->resize(exe->size() - kDeletedSuffix.size());
    }
    return enclosingBundlePath(*exe);
}

std::vector<RunningApplication> listApplications(const std::string& procRoot) {
    std::vector<RunningApplication> apps;
    DIR* dir = ::opendir(procRoot.c_str());
    if (dir == nullptr) return apps;
    // One snapshot reads each bundle's Info.plist once, however many of its processes run.
    std::map<std::string, std::optional<std::string>> identifiers;
    while (const dirent* entry = ::readdir(dir)) {
        pid_t pid = 0;
        const char* name = entry->d_name;
        const char* nameEnd = name + std::strlen(name);
        if (!isPidName(name)) continue;
        auto parsed = std::from_chars(name, nameEnd, pid);
        if (parsed.ec != std::errc() || parsed.ptr != nameEnd) continue;
        // Processes come and go while we look: a vanished or unreadable entry is simply skipped.
        auto bundle = bundleOfProcess(procRoot, name);
        if (!bundle) continue;
        auto found = identifiers.find(*bundle);
        if (found == identifiers.end())
            found = identifiers.emplace(*bundle, readBundleIdentifier(*bundle)).first;
        apps.push_back(RunningApplication{pid, *bundle, found->second});
    }
    ::closedir(dir);
    return apps;
}

} // namespace

bool Workspace::terminate(pid_t) const { return false; }
bool Workspace::forceTerminate(pid_t) const { return false; }
bool Workspace::kill(pid_t) const { return false; }
WorkspaceSubscription Workspace::subscribe(std::function<void()>) const { return WorkspaceSubscription(); }

const Workspace& Workspace::shared() {
    static const Workspace* instance = new ProcWorkspace();
    return *instance;
}

std::optional<std::string> enclosingBundlePath(const std::string& executablePath) {
    // Every "/"-separated component before the last one is a folder the executable lies in.
    size_t last = executablePath.rfind('/');
    if (last == std::string::npos) return std::nullopt;
    std::optional<size_t> bundleEnd;
    size_t start = 0;
    while (start < last) {
        size_t end = executablePath.find('/', start);
        if (end == std::string::npos || end > last) end = last;
        std::string_view component(executablePath.data() + start, end - start);
        if (component.size() > 4 && component.substr(component.size() - 4) == ".app") bundleEnd = end;
        start = end + 1;
    }
    if (!bundleEnd) return std::nullopt;
    return executablePath.substr(0, *bundleEnd);
}

struct ProcWorkspace::State : std::enable_shared_from_this<State> {
    using Keys = std::vector<std::pair<pid_t, std::string>>;

    State(std::string root, Executor* watchExecutor, std::chrono::nanoseconds watchInterval)
        : procRoot(std::move(root)), executor(watchExecutor), interval(watchInterval) {}

    static std::shared_ptr<State> make(std::string root, Executor* watchExecutor,
                                       std::chrono::nanoseconds watchInterval) {
        auto state = std::make_shared<State>(std::move(root), watchExecutor, watchInterval);
        state->subscribers = WorkspaceSubscribers([weak = std::weak_ptr<State>(state)] {
            if (auto self = weak.lock()) self->syncWatch();
        });
        return state;
    }

    const std::string procRoot;
    Executor* const executor; // nullptr: ownQueue, made on first use
    const std::chrono::nanoseconds interval;
    WorkspaceSubscribers subscribers;

    std::mutex listedMutex;
    std::map<pid_t, std::string> listed; // the latest snapshot: process id → bundle path

    std::mutex watchMutex;
    std::unique_ptr<SerialQueue> ownQueue;
    RepeatingTimer timer; // after ownQueue: cancelled before the queue goes
    Keys baseline;

    std::vector<RunningApplication> snapshot() {
        auto apps = listApplications(procRoot);
        std::map<pid_t, std::string> now;
        for (const auto& app : apps) now.emplace(app.pid, app.bundlePath);
        std::lock_guard lock(listedMutex);
        listed = std::move(now);
        return apps;
    }

    static Keys keysOf(const std::vector<RunningApplication>& apps) {
        Keys keys;
        for (const auto& app : apps) keys.emplace_back(app.pid, app.bundlePath);
        std::sort(keys.begin(), keys.end());
        return keys;
    }

    bool signal(pid_t pid, int sig) {
        // 0 and negative ids address process groups, 1 is init.
        if (pid <= 1 || pid == ::getpid()) return false;
        std::string bundle;
        {
            std::lock_guard lock(listedMutex);
            auto found = listed.find(pid);
            if (found == listed.end()) return false;
            bundle = found->second;
        }
        if (bundleOfProcess(procRoot, std::to_string(pid)) != bundle) return false;
        return ::kill(pid, sig) == 0;
    }

    // Runs the watch exactly while someone subscribes.
    void syncWatch() {
        std::lock_guard lock(watchMutex);
        const bool wanted = subscribers.count() > 0;
        if (wanted && !timer.isActive()) {
            // The set at subscription is the baseline, so a change right after it is not missed.
            baseline = keysOf(snapshot());
            if (executor == nullptr && !ownQueue) ownQueue = std::make_unique<SerialQueue>("pel.workspace");
            Executor& on = executor != nullptr ? *executor : *ownQueue;
            timer = RepeatingTimer(on, interval, [weak = weak_from_this()] {
                if (auto self = weak.lock()) self->tick();
            });
        } else if (!wanted && timer.isActive()) {
            timer.cancel();
        }
    }

    void tick() {
        Keys keys = keysOf(snapshot());
        {
            std::lock_guard lock(watchMutex);
            if (!timer.isActive() || keys == baseline) return;
            baseline = std::move(keys);
        }
        subscribers.notify();
    }
};

ProcWorkspace::ProcWorkspace(std::string procRoot) : state_(State::make(std::move(procRoot), nullptr, kWatchInterval)) {}

ProcWorkspace::ProcWorkspace(std::string procRoot, Executor& watchExecutor, std::chrono::nanoseconds watchInterval)
    : state_(State::make(std::move(procRoot), &watchExecutor, watchInterval)) {}

ProcWorkspace::~ProcWorkspace() {
    std::lock_guard lock(state_->watchMutex);
    state_->timer.cancel();
}

std::vector<RunningApplication> ProcWorkspace::runningApplications() const { return state_->snapshot(); }
bool ProcWorkspace::terminate(pid_t pid) const { return state_->signal(pid, SIGTERM); }
bool ProcWorkspace::forceTerminate(pid_t pid) const { return state_->signal(pid, SIGKILL); }
bool ProcWorkspace::kill(pid_t pid) const { return state_->signal(pid, SIGKILL); }

WorkspaceSubscription ProcWorkspace::subscribe(std::function<void()> callback) const {
    return state_->subscribers.add(std::move(callback));
}

} // namespace platform
