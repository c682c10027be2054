#include "Tally/AppEvents.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace tally {

struct AppEvents::Subscription::Entry {
    AppEvent event;
    Handler handler;
    std::weak_ptr<AppEvents::State> hub;

    std::mutex mutex;
    std::condition_variable idle;
    bool active = true;
    std::vector<std::thread::id> delivering; // one per delivery in progress
};

struct AppEvents::State {
    std::mutex mutex;
    std::vector<std::shared_ptr<Subscription::Entry>> entries;
};

AppEvents::AppEvents() : state_(std::make_shared<State>()) {}

AppEvents::Subscription AppEvents::subscribe(AppEvent event, Handler handler) {
    auto entry = std::make_shared<Subscription::Entry>();
    entry->event = event;
    entry->handler = std::move(handler);
    entry->hub = state_;
    {
        std::lock_guard lock(state_->mutex);
        state_->entries.push_back(entry);
    }
    Subscription subscription;
    subscription.entry_ = std::move(entry);
    return subscription;
}

void AppEvents::post(AppEvent event) {
    std::vector<std::shared_ptr<Subscription::Entry>> targets;
    {
        std::lock_guard lock(state_->mutex);
        for (const auto& entry : state_->entries) {
            if (entry->event == event) targets.push_back(entry);
        }
    }
    const auto self = std::this_thread::get_id();
    for (const auto& entry : targets) {
        {
            std::lock_guard lock(entry->mutex);
            if (!entry->active) continue;
            entry->delivering.push_back(self);
        }
        try {
            entry->handler();
        } catch (...) {
            // A handler's failure is its own; the other handlers still hear the event.
        }
        {
            std::lock_guard lock(entry->mutex);
            entry->delivering.erase(std::find(entry->delivering.begin(), entry->delivering.end(), self));
        }
        entry->idle.notify_all();
    }
}

AppEvents::Subscription& AppEvents::Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        reset();
        entry_ = std::move(other.entry_);
    }
    return *this;
}

void AppEvents::Subscription::reset() {
    auto entry = std::move(entry_);
    if (!entry) return;
    if (auto hub = entry->hub.lock()) {
        std::lock_guard lock(hub->mutex);
        std::erase(hub->entries, entry);
    }
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(entry->mutex);
    entry->active = false;
    // Deliveries on this thread are the handler that is unsubscribing itself: waiting would never end.
    entry->idle.wait(lock, [&] {
        return std::all_of(entry->delivering.begin(), entry->delivering.end(),
                           [&](std::thread::id id) { return id == self; });
    });
}

} // namespace tally
