#pragma once

#include "Platform/Clock.hpp"
#include "Platform/Executor.hpp"
#include "Platform/HttpTransport.hpp"
#include "Tally/AppEvents.hpp"
#include "Tally/DefaultsStore.hpp"
#include "Tally/HostInfo.hpp"
#include "Tally/Helpers/LogHandler.hpp"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// The analytics client's view of its host. The host installs one Runtime, before Tally::initialize;
// every field it leaves empty gets the default named beside it. Tests install theirs with
// testing::reset, usually on a platform::ManualExecutor.
//
// Where the client's work runs:
//   main     - what belongs to the application's main thread (signal stage 1, the first-session step,
//              the session timer);
//   utility  - concurrent background work (signal stage 2, delayed immediate syncs);
//   makeSerialQueue(name) - one serial executor per queue of the client (".SignalTimer", ".SignalUpload"
//              where each pipeline's uploads run one at a time, the session persistence queue, ...);
//              tracked so that testing::reset can drain it.
// The client's own locks guard plain data only; nothing is called out while one is held.
namespace tally {

class SignalManageable;
class TelemetryManagerConfiguration;

struct Runtime {
    using SerialQueueFactory = std::function<std::shared_ptr<platform::Executor>(const std::string& label)>;
    using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;
    using PipelineFactory = std::function<std::shared_ptr<SignalManageable>(
        const std::shared_ptr<TelemetryManagerConfiguration>& configuration)>;
    using HostInfoProvider = std::function<HostInfo()>;

    // platform::systemClock().
    std::shared_ptr<const platform::Clock> clock;
    // A platform::SerialQueue "tally-main".
    std::shared_ptr<platform::Executor> main;
    // A platform::WorkerPool of two threads, labelled queueLabel("utility").
    std::shared_ptr<platform::Executor> utility;
    // A platform::SerialQueue with the given label, on `clock`.
    SerialQueueFactory makeSerialQueue;
    // Carries the uploads: platform::defaultTransport(). testing::reset leaves it absent (no uploads).
    std::shared_ptr<platform::HttpTransport> transport;
    // DefaultsStore::inMemory(): hosts that keep their statistics across runs give a folder of their own.
    std::optional<DefaultsStore> defaults;
    // Where the pending signals are backed up: $XDG_CACHE_HOME, else $HOME/.cache (looked up, never
    // created); absent when neither is set to an absolute path. testing::reset leaves it absent.
    std::optional<std::filesystem::path> cachesDirectory;
    // The process environment (getenv), read afresh on each lookup ("XCODE_RUNNING_FOR_PREVIEWS").
    EnvironmentLookup environment;
    // A fresh hub; the host posts will-terminate and the activity changes to it.
    std::shared_ptr<AppEvents> appEvents;
    // Where the client reports when no configuration's handler applies: LogHandler::standard(info).
    std::optional<LogHandler> logHandler;
    // Builds the signal pipeline of each installed manager: makeSignalManager (testing::reset:
    // makeDiscardingPipeline, so tests upload only when they say so).
    PipelineFactory makePipeline;
    // What the host says about itself, read on `main` for every signal: linuxHostInfo over `environment`.
    HostInfoProvider hostInfo;
    // Whether the calling thread is the one `main` runs on: a platform::SerialQueue's own thread, else
    // the thread that installed the runtime (the host's main thread; the test thread that drives a
    // platform::ManualExecutor).
    std::function<bool()> isMainThread;
};

// Installs `runtime` with its empty fields defaulted. Only the first installation counts: false (and the
// runtime is dropped) when one was installed already or the default one has been used.
bool install(Runtime runtime);

// The installed runtime, every field filled but `transport` and `cachesDirectory` (which may be absent).
// Installs the defaults on first use when the host installed none. Never destroyed.
const Runtime& runtime();

// A new serial executor for the client's queue `name`, labelled queueLabel(name) ("SignalTimer" gives
// "com.pelloran.tally.SignalTimer").
std::shared_ptr<platform::Executor> makeSerialQueue(std::string_view name);

// Whether the caller runs on the main executor's thread, through the runtime.
bool onMainThread();

// The value of an environment variable, through the runtime.
std::optional<std::string> environmentValue(const std::string& name);

// $XDG_CACHE_HOME when it is an absolute path, else $HOME/.cache; absent when neither applies.
std::optional<std::filesystem::path> defaultCachesDirectory(const Runtime::EnvironmentLookup& environment);

namespace detail {
// Registers what testing::reset calls, after draining, to forget one process-wide instance.
void onReset(std::function<void()> forget);
// Keeps a retired instance reachable for good: retired instances are leaked, never destroyed.
void keepForever(const void* instance);
} // namespace detail

// A process-wide instance of T, made on first use and never destroyed, so a worker still running at exit
// never meets a destroyed object. testing::reset retires it (leaked, not destroyed), and the next use
// makes a fresh one. A ProcessWide must itself live for the whole process:
//   static auto* instance = new ProcessWide<SessionManager>([] { return new SessionManager(); });
//   return instance->get();
template <class T> class ProcessWide {
public:
    explicit ProcessWide(std::function<T*()> make) : make_(std::move(make)) {
        detail::onReset([this] { retire(); });
    }
    ProcessWide(const ProcessWide&) = delete;
    ProcessWide& operator=(const ProcessWide&) = delete;

    T& get() {
        if (T* current = current_.load(std::memory_order_acquire)) return *current;
        std::lock_guard lock(mutex_);
        if (T* current = current_.load(std::memory_order_relaxed)) return *current;
        T* made = make_();
        current_.store(made, std::memory_order_release);
        return *made;
    }
    // The current instance, or null when none has been made since the last reset.
    T* peek() const { return current_.load(std::memory_order_acquire); }

private:
    void retire() {
        std::lock_guard lock(mutex_);
        if (T* old = current_.exchange(nullptr)) detail::keepForever(old);
    }

    std::function<T*()> make_;
    std::mutex mutex_;
    std::atomic<T*> current_{nullptr};
};

namespace testing {
// Drains the current runtime's executors and the serial queues made through it, retires every
// process-wide instance (see ProcessWide), then installs `runtime` (defaults as for install, except
// that the caches directory and the transport stay absent and the pipeline discards, when not given). Old instances and their executors are leaked,
// never destroyed. Their delayed tasks stay where they were: give the new runtime new executors.
void reset(Runtime runtime = {});
} // namespace testing

} // namespace tally
