#pragma once

#include <functional>
#include <memory>

namespace tally {

// The application's activity events, as the host reports them.
enum class AppEvent { willTerminate, didResignActive, willBecomeActive };

// The hub through which the host tells the client about activity changes. Thread-safe.
class AppEvents {
public:
    using Handler = std::function<void()>;

    // Unsubscribes when destroyed (or reset), waiting for a delivery in progress on other threads; from
    // inside its own handler it does not wait for that delivery. Move-only.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription&&) noexcept = default;
        Subscription& operator=(Subscription&& other) noexcept;
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;
        ~Subscription() { reset(); }

        void reset();
        explicit operator bool() const { return entry_ != nullptr; }

    private:
        friend class AppEvents;
        struct Entry;
        std::shared_ptr<Entry> entry_;
    };

    AppEvents();
    AppEvents(const AppEvents&) = delete;
    AppEvents& operator=(const AppEvents&) = delete;

    [[nodiscard]] Subscription subscribe(AppEvent event, Handler handler);

    // Calls, on the calling thread (the host's main thread), every handler subscribed to `event` at this
    // moment, in subscription order, never under the hub's lock. A handler may subscribe or unsubscribe.
    void post(AppEvent event);

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace tally
