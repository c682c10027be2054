#include "PelApp/Model/MainActor.hpp"

#include "Platform/Errors.hpp"

#include <cstdio>
#include <fmt/format.h>

namespace pelapp {

namespace {

// The root frame of a started task: destroys itself when the body has finished.
struct Detached {
    struct promise_type {
        std::shared_ptr<TaskContext> context;

        promise_type(const std::shared_ptr<TaskContext>& ctx, Task<void>&) : context(ctx) {}
        Detached get_return_object() {
            return Detached{std::coroutine_handle<promise_type>::from_promise(*this)};
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() noexcept {}
    };
    std::coroutine_handle<promise_type> handle;
};

Detached drive(std::shared_ptr<TaskContext> context, Task<void> body) {
    try {
        co_await body;
    } catch (const platform::Cancelled&) {
    } catch (const std::exception& e) {
        fmt::print(stderr, "pelloran: a main-actor task ended with an error: {}\n", e.what());
    } catch (...) {
        fmt::print(stderr, "pelloran: a main-actor task ended with an unknown error\n");
    }
    context->markDone();
}

} // namespace

MainTask MainTask::start(platform::Executor& executor, Task<void> body) {
    auto context = std::make_shared<TaskContext>(executor);
    auto root = drive(context, std::move(body)).handle;
    executor.post([root] { root.resume(); });
    return MainTask(std::move(context));
}

namespace detail {

struct SleepAwaiter::Wake {
    std::chrono::nanoseconds delay;
    std::coroutine_handle<> handle;
    bool fired = false;
    bool fullTime = false;
    platform::TaskHandle timer;
    // Posts the early wake; runs on the thread that cancels.
    struct OnCancel {
        std::weak_ptr<Wake> wake;
        platform::Executor* executor;
        void operator()() const {
            auto w = wake.lock();
            if (!w) return;
            executor->post([w] {
                if (w->fired) return;
                w->fired = true;
                w->timer.cancel();
                w->handle.resume();
            });
        }
    };
    std::optional<std::stop_callback<OnCancel>> onCancel;
};

SleepAwaiter::SleepAwaiter(std::chrono::nanoseconds delay) : wake_(std::make_shared<Wake>()) {
    wake_->delay = delay;
}

void SleepAwaiter::suspend(std::coroutine_handle<> h, TaskContext& context) {
    wake_->handle = h;
    platform::Executor& executor = context.executor();
    wake_->timer = executor.postAfter(wake_->delay, [w = wake_] {
        if (w->fired) return;
        w->fired = true;
        w->fullTime = true;
        w->handle.resume();
    });
    // Registered last: when the task is already cancelled this posts the early wake at once.
    wake_->onCancel.emplace(context.stopToken(), Wake::OnCancel{wake_, &executor});
}

bool SleepAwaiter::await_resume() {
    wake_->onCancel.reset();
    return wake_->fullTime;
}

} // namespace detail

} // namespace pelapp
