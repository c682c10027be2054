#include "Platform/WorkerPool.hpp"

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace platform {

struct WorkerPool::Impl {
    struct Entry {
        TimePoint due;
        std::uint64_t seq;
        Task task;
        std::shared_ptr<std::atomic<bool>> cancelled;
        bool operator>(const Entry& other) const {
            return due != other.due ? due > other.due : seq > other.seq;
        }
    };

    std::string name;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> entries;
    std::uint64_t nextSeq = 0;
    std::size_t running = 0;
    bool stopping = false;
    std::vector<std::thread> threads;

    TaskHandle add(std::chrono::nanoseconds delay, Task task) {
        auto flag = std::make_shared<std::atomic<bool>>(false);
        const auto now = systemClock().now();
        const auto due = delay.count() > 0 ? now + std::chrono::duration_cast<TimePoint::duration>(delay) : now;
        {
            std::lock_guard lock(mutex);
            entries.push(Entry{due, nextSeq++, std::move(task), flag});
        }
        wake.notify_one();
        return TaskHandle(flag);
    }

    bool hasDueTask(TimePoint now) const { return !entries.empty() && entries.top().due <= now; }

    void work() {
        std::unique_lock lock(mutex);
        for (;;) {
            const auto now = systemClock().now();
            if (!hasDueTask(now)) {
                if (stopping) return;
                if (running == 0) idle.notify_all();
                if (entries.empty()) {
                    wake.wait(lock);
                } else {
                    wake.wait_until(lock, entries.top().due);
                }
                continue;
            }
            Entry entry = std::move(const_cast<Entry&>(entries.top()));
            entries.pop();
            if (entry.cancelled->load()) {
                lock.unlock();
                entry = Entry{}; // captures go outside the lock: a destructor may post here
                lock.lock();
                continue;
            }
            ++running;
            lock.unlock();
            try {
                entry.task();
            } catch (...) {
                // A task's failure is its own; the worker goes on with the next one.
            }
            entry = Entry{};
            lock.lock();
            --running;
        }
    }

    bool onWorkerThread() const {
        const auto self = std::this_thread::get_id();
        for (const auto& t : threads) {
            if (t.get_id() == self) return true;
        }
        return false;
    }
};

WorkerPool::WorkerPool(std::string name, std::size_t threads) : impl_(std::make_shared<Impl>()) {
    impl_->name = std::move(name);
    const std::string threadName = impl_->name.substr(impl_->name.size() > 15 ? impl_->name.size() - 15 : 0);
    for (std::size_t i = 0; i < (threads == 0 ? 1 : threads); ++i) {
        // Each thread shares the state, so a thread detached by the pool's own task never outlives it.
        impl_->threads.emplace_back([impl = impl_] { impl->work(); });
        ::pthread_setname_np(impl_->threads.back().native_handle(), threadName.c_str());
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->wake.notify_all();
    for (auto& t : impl_->threads) {
        if (t.get_id() == std::this_thread::get_id()) {
            t.detach(); // the pool's own task released it; the thread cannot join itself
        } else {
            t.join();
        }
    }
}

void WorkerPool::post(Task task) { impl_->add(std::chrono::nanoseconds{0}, std::move(task)); }

TaskHandle WorkerPool::postAfter(std::chrono::nanoseconds delay, Task task) {
    return impl_->add(delay, std::move(task));
}

const Clock& WorkerPool::clock() const { return systemClock(); }

void WorkerPool::drain() {
    if (impl_->onWorkerThread()) return;
    std::unique_lock lock(impl_->mutex);
    impl_->idle.wait(lock, [&] { return impl_->running == 0 && !impl_->hasDueTask(systemClock().now()); });
}

const std::string& WorkerPool::name() const { return impl_->name; }

} // namespace platform
