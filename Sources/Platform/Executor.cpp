#include "Platform/Executor.hpp"

#include <mutex>
#include <stdexcept>

namespace platform {

struct RepeatingTimer::State : std::enable_shared_from_this<State> {
    Executor* executor = nullptr;
    std::chrono::nanoseconds interval{};
    std::function<void()> tick;
    std::mutex mutex;
    bool active = true;
    TaskHandle pending;

    // Called with `mutex` held.
    void schedule() {
        std::weak_ptr<State> weak = shared_from_this();
        TaskHandle handle = executor->postAfter(interval, [weak] {
            auto self = weak.lock();
            if (!self) return;
            {
                std::lock_guard lock(self->mutex);
                if (!self->active) return;
            }
            self->tick();
            std::lock_guard lock(self->mutex);
            if (self->active) self->schedule();
        });
        pending = handle;
    }
};

RepeatingTimer::RepeatingTimer(Executor& executor, std::chrono::nanoseconds interval, std::function<void()> tick)
    : state_(std::make_shared<State>()) {
    // A timer that is always due would never let its executor move on.
    if (interval.count() <= 0) throw std::invalid_argument("repeating timer interval must be positive");
    state_->executor = &executor;
    state_->interval = interval;
    state_->tick = std::move(tick);
    std::lock_guard lock(state_->mutex);
    state_->schedule();
}

RepeatingTimer& RepeatingTimer::operator=(RepeatingTimer&& other) noexcept {
    if (this != &other) {
        cancel();
        state_ = std::move(other.state_);
    }
    return *this;
}

void RepeatingTimer::cancel() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->active = false;
    state_->pending.cancel();
}

bool RepeatingTimer::isActive() const {
    if (!state_) return false;
    std::lock_guard lock(state_->mutex);
    return state_->active;
}

} // namespace platform
