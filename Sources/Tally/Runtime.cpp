#include "Tally/Runtime.hpp"

#include "Platform/ManualExecutor.hpp"
#include "Platform/SerialQueue.hpp"
#include "Platform/WorkerPool.hpp"
#include "Tally/Signals/SignalManageable.hpp"
#include "Tally/Signals/SignalManager.hpp"
#include "Tally/Vendor.hpp"

#include <cstdlib>
#include <thread>
#include <vector>

namespace tally {
namespace {

struct Registry {
    std::mutex mutex;
    std::atomic<const Runtime*> current{nullptr};
    std::vector<std::weak_ptr<platform::Executor>> serialQueues; // made through the current runtime
    std::vector<std::function<void()>> resets;
    std::vector<const void*> retired; // keeps leaked instances reachable
};

// Never destroyed: workers may read the runtime while the process exits.
Registry& registry() {
    static auto* r = new Registry;
    return *r;
}

std::optional<std::string> processEnvironment(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

enum class Purpose { host, tests };

const Runtime* complete(Runtime runtime, Purpose purpose) {
    if (!runtime.clock) runtime.clock = std::shared_ptr<const platform::Clock>(&platform::systemClock(), [](auto*) {});
    if (!runtime.makeSerialQueue) {
        runtime.makeSerialQueue = [clock = runtime.clock](const std::string& label) {
            return std::make_shared<platform::SerialQueue>(label, *clock);
        };
    }
    if (!runtime.main) runtime.main = std::make_shared<platform::SerialQueue>("tally-main", *runtime.clock);
    if (!runtime.utility) runtime.utility = std::make_shared<platform::WorkerPool>(queueLabel("utility"), 2);
    if (!runtime.defaults) runtime.defaults = DefaultsStore::inMemory();
    if (!runtime.environment) runtime.environment = processEnvironment;
    if (!runtime.cachesDirectory && purpose == Purpose::host) {
        runtime.cachesDirectory = defaultCachesDirectory(runtime.environment);
    }
    if (!runtime.appEvents) runtime.appEvents = std::make_shared<AppEvents>();
    if (!runtime.logHandler) runtime.logHandler = LogHandler::standard(LogLevel::info);
    if (!runtime.transport && purpose == Purpose::host) {
        runtime.transport = std::shared_ptr<platform::HttpTransport>(&platform::defaultTransport(), [](auto*) {});
    }
    if (!runtime.makePipeline) {
        if (purpose == Purpose::host) {
            runtime.makePipeline = makeSignalManager;
        } else {
            runtime.makePipeline = makeDiscardingPipeline;
        }
    }
    if (!runtime.hostInfo) {
        runtime.hostInfo = [environment = runtime.environment] { return linuxHostInfo(environment); };
    }
    if (!runtime.isMainThread) {
        if (auto queue = std::dynamic_pointer_cast<platform::SerialQueue>(runtime.main)) {
            runtime.isMainThread = [queue = std::weak_ptr(queue)] {
                auto strong = queue.lock();
                return strong && strong->isCurrent();
            };
        } else {
            runtime.isMainThread = [installer = std::this_thread::get_id()] {
                return std::this_thread::get_id() == installer;
            };
        }
    }
    return new Runtime(std::move(runtime)); // never destroyed; see registry()
}

void drain(platform::Executor& executor) {
    if (auto* queue = dynamic_cast<platform::SerialQueue*>(&executor)) {
        queue->drain();
    } else if (auto* pool = dynamic_cast<platform::WorkerPool*>(&executor)) {
        pool->drain();
    } else if (auto* manual = dynamic_cast<platform::ManualExecutor*>(&executor)) {
        manual->runPending();
    }
}

} // namespace

bool install(Runtime runtime) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.current.load() != nullptr) return false;
    r.current.store(complete(std::move(runtime), Purpose::host));
    return true;
}

const Runtime& runtime() {
    auto& r = registry();
    if (const Runtime* current = r.current.load(std::memory_order_acquire)) return *current;
    std::lock_guard lock(r.mutex);
    if (r.current.load() == nullptr) r.current.store(complete(Runtime{}, Purpose::host));
    return *r.current.load();
}

std::shared_ptr<platform::Executor> makeSerialQueue(std::string_view name) {
    auto queue = runtime().makeSerialQueue(queueLabel(name));
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.serialQueues, [](const auto& weak) { return weak.expired(); });
    r.serialQueues.push_back(queue);
    return queue;
}

bool onMainThread() { return runtime().isMainThread(); }

std::optional<std::string> environmentValue(const std::string& name) { return runtime().environment(name); }

std::optional<std::filesystem::path> defaultCachesDirectory(const Runtime::EnvironmentLookup& environment) {
    if (auto xdg = environment("XDG_CACHE_HOME"); xdg && !xdg->empty() && xdg->front() == '/') {
        return std::filesystem::path(*xdg);
    }
    if (auto home = environment("HOME"); home && !home->empty() && home->front() == '/') {
        return std::filesystem::path(*home) / ".cache";
    }
    return std::nullopt;
}

namespace detail {

void onReset(std::function<void()> forget) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.resets.push_back(std::move(forget));
}

void keepForever(const void* instance) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.retired.push_back(instance);
}

} // namespace detail

namespace testing {

void reset(Runtime next) {
    auto& r = registry();
    std::vector<std::shared_ptr<platform::Executor>> executors;
    std::vector<std::function<void()>> resets;
    {
        std::lock_guard lock(r.mutex);
        if (const Runtime* current = r.current.load()) {
            executors.push_back(current->main);
            executors.push_back(current->utility);
        }
        for (const auto& weak : r.serialQueues) {
            if (auto queue = weak.lock()) executors.push_back(std::move(queue));
        }
        resets = r.resets;
    }
    // Twice round: a task drained from one executor may have posted to another.
    for (int round = 0; round < 2; ++round) {
        for (const auto& executor : executors) {
            drain(*executor);
        }
    }
    for (const auto& forget : resets) {
        forget();
    }
    const Runtime* fresh = complete(std::move(next), Purpose::tests);
    std::lock_guard lock(r.mutex);
    r.serialQueues.clear();
    if (const Runtime* old = r.current.exchange(fresh)) r.retired.push_back(old); // leaked with its executors
}

} // namespace testing
} // namespace tally
