#include "Platform/Workspace.hpp"

#include <cstdint>
#include <map>
#include <mutex>

namespace platform {

WorkspaceSubscription& WorkspaceSubscription::operator=(WorkspaceSubscription&& other) noexcept {
    if (this != &other) {
        reset();
        unsubscribe_ = std::move(other.unsubscribe_);
        other.unsubscribe_ = nullptr;
    }
    return *this;
}

void WorkspaceSubscription::reset() {
    auto unsubscribe = std::move(unsubscribe_);
    unsubscribe_ = nullptr;
    if (unsubscribe) unsubscribe();
}

struct WorkspaceSubscribers::State {
    struct Entry {
        std::function<void()> callback;
        // Held while the callback runs, so removal waits for a running call; recursive so that a
        // callback may end its own subscription.
        std::recursive_mutex calling;
        bool active = true;
    };

    std::function<void()> onCountChange;
    mutable std::mutex mutex;
    std::map<std::uint64_t, std::shared_ptr<Entry>> entries;
    std::uint64_t nextId = 0;

    void remove(std::uint64_t id) {
        std::shared_ptr<Entry> entry;
        {
            std::lock_guard lock(mutex);
            auto found = entries.find(id);
            if (found == entries.end()) return;
            entry = std::move(found->second);
            entries.erase(found);
        }
        {
            std::lock_guard calling(entry->calling);
            entry->active = false;
        }
        if (onCountChange) onCountChange();
    }
};

WorkspaceSubscribers::WorkspaceSubscribers() : state_(std::make_shared<State>()) {}

WorkspaceSubscribers::WorkspaceSubscribers(std::function<void()> onCountChange) : WorkspaceSubscribers() {
    state_->onCountChange = std::move(onCountChange);
}

WorkspaceSubscription WorkspaceSubscribers::add(std::function<void()> callback) const {
    auto entry = std::make_shared<State::Entry>();
    entry->callback = std::move(callback);
    std::uint64_t id = 0;
    {
        std::lock_guard lock(state_->mutex);
        id = state_->nextId++;
        state_->entries.emplace(id, std::move(entry));
    }
    if (state_->onCountChange) state_->onCountChange();
    return WorkspaceSubscription([weak = std::weak_ptr<State>(state_), id] {
        if (auto state = weak.lock()) state->remove(id);
    });
}

void WorkspaceSubscribers::notify() const {
    std::vector<std::shared_ptr<State::Entry>> entries;
    {
        std::lock_guard lock(state_->mutex);
        for (const auto& [id, entry] : state_->entries) entries.push_back(entry);
    }
    for (const auto& entry : entries) {
        std::lock_guard calling(entry->calling);
        if (entry->active) entry->callback();
    }
}

std::size_t WorkspaceSubscribers::count() const {
    std::lock_guard lock(state_->mutex);
    return state_->entries.size();
}

} // namespace platform
