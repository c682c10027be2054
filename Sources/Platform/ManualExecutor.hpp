#pragma once

#include "Platform/Executor.hpp"

#include <cstdint>
#include <mutex>
#include <vector>

namespace platform {

// Virtual time for tests: tasks run only inside advance() or runPending(), on the calling thread.
// Posting from any thread is safe.
class ManualExecutor final : public Executor {
public:
    // Uses `clock` (not owned; it must outlive the executor), or an own ManualClock when none is given.
    explicit ManualExecutor(ManualClock* clock = nullptr);

    void post(Task task) override;
    TaskHandle postAfter(std::chrono::nanoseconds delay, Task task) override;
    const Clock& clock() const override { return *clock_; }
    ManualClock& manualClock() { return *clock_; }

    // Runs every task that is due now, including tasks those tasks post that are due now.
    // Returns how many ran.
    std::size_t runPending();
    // Moves the clock forward by `d`, running each task as its due time is reached, in due order, with
    // the clock set to that due time; tasks posted meanwhile that fall due within `d` run too.
    std::size_t advance(std::chrono::nanoseconds d);
    // Tasks waiting (due or not), cancelled ones excluded.
    std::size_t pendingCount() const;

private:
    struct Entry {
        TimePoint due;
        std::uint64_t seq;
        Task task;
        std::shared_ptr<std::atomic<bool>> cancelled;
    };
    bool runOneDueBy(TimePoint limit);

    ManualClock ownClock_;
    ManualClock* clock_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::uint64_t nextSeq_ = 0;
};

} // namespace platform
