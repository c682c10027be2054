#include "Platform/SerialQueue.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <utility>
#include <vector>

namespace platform {
namespace {

// The queue whose worker runs on this thread, if any.
thread_local const void* currentQueue = nullptr;

// How long the worker sleeps at most before it reads the clock again: the system clock can be set, and
// any other clock moves without telling us.
constexpr std::chrono::milliseconds kSystemClockRecheck{1000};
constexpr std::chrono::milliseconds kOtherClockRecheck{5};

} // namespace

struct SerialQueue::Impl {
    struct Key {
        TimePoint due;
        std::uint64_t seq;
        bool operator<(const Key& other) const {
            return due != other.due ? due < other.due : seq < other.seq;
        }
    };
    struct Entry {
        Task task;
        std::shared_ptr<std::atomic<bool>> cancelled;
    };

    Impl(std::string n, const Clock& c) : name(std::move(n)), clock(c) {}

    const std::string name;
    const Clock& clock;
    std::mutex mutex;
    std::condition_variable wake;
    std::map<Key, Entry> entries;
    std::uint64_t nextSeq = 0;
    // Immediate tasks never get a due time earlier than an earlier one's, even when the clock is set
    // back, so post() stays first-in first-out.
    TimePoint lastImmediateDue{};
    bool stopping = false;
    Key stopKey{}; // on stopping: tasks ordered before this still run
    std::thread thread;

    // Queues `task` after `delay`, or as an immediate task when the delay is not positive.
    TaskHandle add(std::chrono::nanoseconds delay, Task task) {
        auto flag = std::make_shared<std::atomic<bool>>(false);
        {
            std::lock_guard lock(mutex);
            TimePoint now = clock.now();
            TimePoint due;
            if (delay.count() > 0) {
                due = now + std::chrono::duration_cast<TimePoint::duration>(delay);
            } else {
                lastImmediateDue = std::max(lastImmediateDue, now);
                due = lastImmediateDue;
            }
            entries.emplace(Key{due, nextSeq++}, Entry{std::move(task), flag});
        }
        wake.notify_one();
        return TaskHandle(flag);
    }

    // Takes the cancelled tasks out and releases their captures outside the lock: a destructor may
    // post here. Returns whether there were any.
    bool dropCancelled(std::unique_lock<std::mutex>& lock) {
        std::vector<Entry> dropped;
        for (auto it = entries.begin(); it != entries.end();) {
            if (it->second.cancelled->load()) {
                dropped.push_back(std::move(it->second));
                it = entries.erase(it);
            } else {
                ++it;
            }
        }
        if (dropped.empty()) return false;
        lock.unlock();
        dropped.clear();
        lock.lock();
        return true;
    }

    void run() {
        currentQueue = this;
        std::unique_lock lock(mutex);
        for (;;) {
            if (stopping && (entries.empty() || !(entries.begin()->first < stopKey))) break;
            if (entries.empty()) {
                wake.wait(lock);
                continue;
            }
            auto next = entries.begin();
            if (next->second.cancelled->load()) {
                dropCancelled(lock);
                continue;
            }
            TimePoint now = clock.now();
            if (next->first.due > now && !stopping) {
                auto recheck = &clock == &systemClock()
                                   ? std::chrono::duration_cast<std::chrono::nanoseconds>(kSystemClockRecheck)
                                   : std::chrono::nanoseconds(kOtherClockRecheck);
                auto wait = std::min<std::chrono::nanoseconds>(next->first.due - now, recheck);
                // Cancelled delayed tasks would otherwise hold their captures until their due time.
                if (dropCancelled(lock)) continue; // the lock was let go meanwhile
                wake.wait_for(lock, wait);
                continue;
            }
            Entry entry = std::move(next->second);
            entries.erase(next);
            lock.unlock();
            if (!entry.cancelled->load()) entry.task();
            entry = Entry{}; // captures are released outside the lock, on this thread
            lock.lock();
        }
        // Dropped tasks release their captures outside the lock: a destructor may post here.
        auto dropped = std::move(entries);
        entries.clear();
        lock.unlock();
    }
};

SerialQueue::SerialQueue(std::string name, const Clock& clock)
    : impl_(std::make_shared<Impl>(std::move(name), clock)) {
    // The worker keeps the state alive by itself, so a detached worker outlives this object safely.
    impl_->thread = std::thread([impl = impl_] {
        std::string shortName = impl->name.substr(0, 15); // the kernel keeps 15 bytes
        ::pthread_setname_np(::pthread_self(), shortName.c_str());
        impl->run();
    });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
        // What is already due runs; what is delayed beyond now, or posted from here on, does not.
        impl_->stopKey = Impl::Key{std::max(impl_->clock.now(), impl_->lastImmediateDue), impl_->nextSeq};
    }
    impl_->wake.notify_one();
    if (isCurrent()) {
        // Released by one of our own tasks: joining would wait for ourselves.
        impl_->thread.detach();
    } else {
        impl_->thread.join();
    }
}

void SerialQueue::post(Task task) { impl_->add(std::chrono::nanoseconds{0}, std::move(task)); }

TaskHandle SerialQueue::postAfter(std::chrono::nanoseconds delay, Task task) {
    return impl_->add(delay, std::move(task));
}

const Clock& SerialQueue::clock() const { return impl_->clock; }

void SerialQueue::drain() {
    if (isCurrent()) return;
    std::promise<void> done;
    auto future = done.get_future();
    post([&done] { done.set_value(); });
    future.wait();
}

const std::string& SerialQueue::name() const { return impl_->name; }

bool SerialQueue::isCurrent() const { return currentQueue == impl_.get(); }

SerialQueue& SerialQueue::leaked(std::string name, const Clock& clock) {
    static std::mutex mutex;
    static auto* queues = new std::map<std::string, SerialQueue*>();
    std::lock_guard lock(mutex);
    auto found = queues->find(name);
    if (found == queues->end()) found = queues->emplace(name, new SerialQueue(name, clock)).first;
    return *found->second;
}

} // namespace platform
