#pragma once

#include "Platform/Clock.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace platform {

// Cancels one delayed task. Copies share the task; cancel() also stops a task that is already due but
// has not started. A default-constructed handle refers to nothing.
class TaskHandle {
public:
    TaskHandle() = default;
    explicit TaskHandle(std::shared_ptr<std::atomic<bool>> cancelled) : cancelled_(std::move(cancelled)) {}
    void cancel() const {
        if (cancelled_) cancelled_->store(true);
    }
    bool isCancelled() const { return cancelled_ && cancelled_->load(); }
    // The flag the executor checks right before running the task.
    const std::shared_ptr<std::atomic<bool>>& flag() const { return cancelled_; }

private:
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

// Somewhere to run work later: the GUI thread, a serial queue, or virtual time in tests.
// Tasks run one at a time, in order of due time, first-in first-out among equal due times.
// post and postAfter are safe from any thread.
class Executor {
public:
    using Task = std::function<void()>;
    virtual ~Executor() = default;

    virtual void post(Task task) = 0;
    // Runs `task` once `delay` has passed on this executor's clock (a negative delay counts as zero).
    virtual TaskHandle postAfter(std::chrono::nanoseconds delay, Task task) = 0;
    // The clock that due times are measured on.
    virtual const Clock& clock() const = 0;
    TimePoint now() const { return clock().now(); }
};

// Calls `tick` every `interval` on `executor` until cancelled (the first call after one interval).
// cancel() also stops a tick that is already due; destroying the timer cancels it. An interval that is
// not positive throws std::invalid_argument.
class RepeatingTimer {
public:
    RepeatingTimer() = default;
    RepeatingTimer(Executor& executor, std::chrono::nanoseconds interval, std::function<void()> tick);
    RepeatingTimer(RepeatingTimer&&) noexcept = default;
    RepeatingTimer& operator=(RepeatingTimer&& other) noexcept;
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;
    ~RepeatingTimer() { cancel(); }

    void cancel();
    bool isActive() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace platform
