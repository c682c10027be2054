#include "Platform/ManualExecutor.hpp"

#include <algorithm>
#include <iterator>

namespace platform {

ManualExecutor::ManualExecutor(ManualClock* clock) : clock_(clock ? clock : &ownClock_) {}

void ManualExecutor::post(Task task) { postAfter(std::chrono::nanoseconds{0}, std::move(task)); }

TaskHandle ManualExecutor::postAfter(std::chrono::nanoseconds delay, Task task) {
    if (delay.count() < 0) delay = std::chrono::nanoseconds{0};
    auto flag = std::make_shared<std::atomic<bool>>(false);
    TimePoint due = clock_->now() + std::chrono::duration_cast<TimePoint::duration>(delay);
    std::lock_guard lock(mutex_);
    entries_.push_back(Entry{due, nextSeq_++, std::move(task), flag});
    return TaskHandle(flag);
}

// Takes the earliest entry due by `limit` (FIFO among equal due times), moves the clock to its due time
// when that lies ahead, and runs it outside the lock.
bool ManualExecutor::runOneDueBy(TimePoint limit) {
    {
        std::vector<Entry> dropped; // released after the lock: a destructor may post here
        std::lock_guard lock(mutex_);
        auto firstCancelled =
            std::partition(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.cancelled->load(); });
        dropped.assign(std::make_move_iterator(firstCancelled), std::make_move_iterator(entries_.end()));
        entries_.erase(firstCancelled, entries_.end());
    }
    Entry entry;
    {
        std::lock_guard lock(mutex_);
        auto best = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->due > limit) continue;
            if (best == entries_.end() || it->due < best->due || (it->due == best->due && it->seq < best->seq))
                best = it;
        }
        if (best == entries_.end()) return false;
        entry = std::move(*best);
        entries_.erase(best);
    }
    if (entry.due > clock_->now()) clock_->set(entry.due);
    if (!entry.cancelled->load()) entry.task();
    return true;
}

std::size_t ManualExecutor::runPending() {
    std::size_t ran = 0;
    while (runOneDueBy(clock_->now())) ++ran;
    return ran;
}

std::size_t ManualExecutor::advance(std::chrono::nanoseconds d) {
    TimePoint limit = clock_->now() + std::chrono::duration_cast<TimePoint::duration>(d);
    std::size_t ran = 0;
    while (runOneDueBy(limit)) ++ran;
    if (clock_->now() < limit) clock_->set(limit);
    return ran;
}

std::size_t ManualExecutor::pendingCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.cancelled->load(); }));
}

} // namespace platform
