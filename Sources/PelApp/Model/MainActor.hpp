#pragma once

#include "Platform/Executor.hpp"

#include <atomic>
#include <chrono>
#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <stop_token>
#include <thread>
#include <type_traits>
#include <utility>

// The model's "main actor": coroutines that run on one Executor and leave it only through offMain.
// Task<T> is a lazy coroutine awaited by another; MainTask starts one as a fire-and-forget task.
// Coroutines take their parameters by value: a reference would dangle once the caller returns.
namespace pelapp {

// What one started task shares with every coroutine it awaits: where it runs and its cancel flag.
class TaskContext {
public:
    explicit TaskContext(platform::Executor& executor) : executor_(executor) {}

    platform::Executor& executor() const { return executor_; }
    void cancel() { stop_.request_stop(); }
    bool isCancelled() const { return stop_.stop_requested(); }
    std::stop_token stopToken() const { return stop_.get_token(); }
    bool isDone() const { return done_.load(); }
    void markDone() { done_.store(true); }

private:
    platform::Executor& executor_;
    std::stop_source stop_;
    std::atomic<bool> done_ = false;
};

template <class T = void> class Task;

namespace detail {

struct PromiseBase {
    std::shared_ptr<TaskContext> context;
    std::coroutine_handle<> continuation;
    std::exception_ptr error;

    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <class P> std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
            auto next = h.promise().continuation;
            return next ? next : std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <class T> struct Promise : PromiseBase {
    std::optional<T> value;
    Task<T> get_return_object();
    template <class U> void return_value(U&& v) { value.emplace(std::forward<U>(v)); }
};

template <> struct Promise<void> : PromiseBase {
    Task<void> get_return_object();
    void return_void() {}
};

} // namespace detail

// A coroutine that starts when awaited and then runs in the awaiting task (same executor, same
// cancel flag). Its result or exception reaches the awaiting code.
template <class T> class [[nodiscard]] Task {
public:
    using promise_type = detail::Promise<T>;

    explicit Task(std::coroutine_handle<promise_type> h) : h_(h) {}
    Task(Task&& other) noexcept : h_(std::exchange(other.h_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            if (h_) h_.destroy();
            h_ = std::exchange(other.h_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() {
        if (h_) h_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    template <class P> std::coroutine_handle<> await_suspend(std::coroutine_handle<P> parent) noexcept {
        h_.promise().context = parent.promise().context;
        h_.promise().continuation = parent;
        return h_;
    }
    T await_resume() {
        auto& p = h_.promise();
        if (p.error) std::rethrow_exception(p.error);
        if constexpr (!std::is_void_v<T>) return std::move(*p.value);
    }

    // For MainTask: hands the coroutine over.
    std::coroutine_handle<promise_type> release() { return std::exchange(h_, {}); }

private:
    std::coroutine_handle<promise_type> h_;
};

template <class T> Task<T> detail::Promise<T>::get_return_object() {
    return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}
inline Task<void> detail::Promise<void>::get_return_object() {
    return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}

// A fire-and-forget task on the main executor. Its first step is posted, never run inline, so the
// caller can register the handle before the task does anything. Copies share one task.
// An exception that escapes the task is written to standard error (platform::Cancelled silently).
class MainTask {
public:
    MainTask() = default;
    static MainTask start(platform::Executor& executor, Task<void> body);

    // Sets the cancel flag: sleeps end early, offMain work sees its stop token requested.
    void cancel() const {
        if (context_) context_->cancel();
    }
    bool isCancelled() const { return context_ && context_->isCancelled(); }
    bool isDone() const { return context_ && context_->isDone(); }
    std::stop_token stopToken() const { return context_ ? context_->stopToken() : std::stop_token{}; }
    bool operator==(const MainTask& other) const { return context_ == other.context_; }

    explicit MainTask(std::shared_ptr<TaskContext> context) : context_(std::move(context)) {}

private:
    std::shared_ptr<TaskContext> context_;
};

namespace detail {

template <class F> constexpr bool takesStopToken = std::is_invocable_v<F&, std::stop_token>;

template <class F>
using OffMainResult = typename std::conditional_t<takesStopToken<F>, std::invoke_result<F&, std::stop_token>,
                                                  std::invoke_result<F&>>::type;

// The awaiters keep all their state on the heap: g++ 12 may move an awaiter temporary into the
// coroutine frame bitwise, which breaks members that point into themselves (short strings).
template <class F> class OffMainAwaiter {
public:
    using Result = OffMainResult<F>;

    explicit OffMainAwaiter(F fn) : state_(std::make_shared<State>(std::move(fn))) {}

    bool await_ready() const noexcept { return false; }
    template <class P> void await_suspend(std::coroutine_handle<P> h) {
        std::shared_ptr<TaskContext> context = h.promise().context;
        std::thread([state = state_, context, resume = std::coroutine_handle<>(h)] {
            try {
                if constexpr (std::is_void_v<Result>) {
                    call(*state->fn, context->stopToken());
                } else {
                    state->value.emplace(call(*state->fn, context->stopToken()));
                }
            } catch (...) {
                state->error = std::current_exception();
            }
            state->fn.reset();
            context->executor().post([resume] { resume.resume(); });
        }).detach();
    }
    Result await_resume() {
        if (state_->error) std::rethrow_exception(state_->error);
        if constexpr (!std::is_void_v<Result>) return std::move(*state_->value);
    }

private:
    struct Empty {};
    struct State {
        explicit State(F f) : fn(std::move(f)) {}
        std::optional<F> fn;
        std::optional<std::conditional_t<std::is_void_v<Result>, Empty, Result>> value;
        std::exception_ptr error;
    };
    static decltype(auto) call(F& fn, std::stop_token stop) {
        if constexpr (takesStopToken<F>) {
            return fn(std::move(stop));
        } else {
            return fn();
        }
    }

    std::shared_ptr<State> state_;
};

class SleepAwaiter {
public:
    explicit SleepAwaiter(std::chrono::nanoseconds delay);

    bool await_ready() const noexcept { return false; }
    template <class P> void await_suspend(std::coroutine_handle<P> h) { suspend(h, *h.promise().context); }
    bool await_resume();

private:
    struct Wake;
    void suspend(std::coroutine_handle<> h, TaskContext& context);

    std::shared_ptr<Wake> wake_;
};

struct CurrentTaskAwaiter {
    std::shared_ptr<TaskContext> context;
    bool await_ready() const noexcept { return false; }
    template <class P> bool await_suspend(std::coroutine_handle<P> h) noexcept {
        context = h.promise().context;
        return false;
    }
    MainTask await_resume() const { return MainTask(context); }
};

} // namespace detail

// Runs a copy of `fn` (called as `fn(stopToken)` when it takes one: the task's cancel flag) on a new
// detached worker thread; the awaiting coroutine resumes on the main executor, posted in FIFO order,
// with the result or the exception of `fn`. `fn` must own what it touches.
//
// g++ 12 copies a closure or aggregate that is created inside a co_await expression into the frame
// bitwise, which corrupts captured strings and the like. So a lambda with such captures has to be
// named first: `auto work = [name] { ... }; co_await offMain(work);`. Lambdas that capture only
// pointers, references or numbers may be written inline.
template <class F> detail::OffMainAwaiter<std::remove_cvref_t<F>> offMain(F&& fn) {
    static_assert(std::is_lvalue_reference_v<F> || std::is_trivially_copyable_v<std::remove_cvref_t<F>>,
                  "name the callable before co_await offMain(...): see the comment above offMain");
    return detail::OffMainAwaiter<std::remove_cvref_t<F>>(fn);
}

// Resumes once the executor's clock has advanced by `delay`, or at the next turn after the task is
// cancelled (also when it already was). Answers whether the whole delay passed; never throws.
inline detail::SleepAwaiter sleepFor(std::chrono::nanoseconds delay) {
    return detail::SleepAwaiter(delay);
}

// The task the awaiting coroutine runs in (to read its cancel flag); does not suspend.
inline detail::CurrentTaskAwaiter currentTask() {
    return {};
}

} // namespace pelapp
