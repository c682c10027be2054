#pragma once

#include "Tally/Presets/TrialConversionTracker.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <vector>

namespace tallytest {

// A scripted store: every update pushed reaches each reader made before the push, in order, like the
// store's broadcast stream. Tests wait until every reader has handled what it was given.
class ScriptedTransactionUpdates {
public:
    tally::TrialConversionTracker::UpdatesSource source() const;

    void push(tally::VerificationResult update) {
        std::lock_guard lock(state_->mutex);
        state_->updates.push_back(std::move(update));
        state_->changed.notify_all();
    }
    // Ends every stream: readers get no more updates.
    void finish() {
        std::lock_guard lock(state_->mutex);
        state_->finished = true;
        state_->changed.notify_all();
    }
    // Waits until every live reader is back in next() with nothing left to read (it has handled all it was
    // given) or has been released. False after `limit`, a bound against hanging only.
    bool waitUntilIdle(std::chrono::seconds limit = std::chrono::seconds{30}) const {
        std::unique_lock lock(state_->mutex);
        return state_->changed.wait_for(lock, limit, [&] {
            for (const auto& reader : state_->readers) {
                if (!reader.waiting || reader.cursor < state_->updates.size()) return false;
            }
            return true;
        });
    }
    // Waits until exactly `count` readers are alive (their observations have not ended).
    bool waitForReaders(std::size_t count, std::chrono::seconds limit = std::chrono::seconds{30}) const {
        std::unique_lock lock(state_->mutex);
        return state_->changed.wait_for(lock, limit, [&] { return state_->readers.size() == count; });
    }
    std::size_t readers() const {
        std::lock_guard lock(state_->mutex);
        return state_->readers.size();
    }

private:
    struct Reader {
        std::size_t cursor = 0;
        bool waiting = false;
    };
    struct State {
        mutable std::mutex mutex;
        mutable std::condition_variable_any changed;
        std::vector<tally::VerificationResult> updates;
        std::list<Reader> readers;
        bool finished = false;
    };

    class Stream final : public tally::TransactionUpdates {
    public:
        explicit Stream(std::shared_ptr<State> state) : state_(std::move(state)) {
            std::lock_guard lock(state_->mutex);
            reader_ = state_->readers.insert(state_->readers.end(), Reader{state_->updates.size(), false});
        }
        ~Stream() override {
            std::lock_guard lock(state_->mutex);
            state_->readers.erase(reader_);
            state_->changed.notify_all();
        }
        std::optional<tally::VerificationResult> next(std::stop_token stop) override {
            std::unique_lock lock(state_->mutex);
            reader_->waiting = true;
            state_->changed.notify_all();
            const bool ready = state_->changed.wait(
                lock, stop, [&] { return state_->finished || reader_->cursor < state_->updates.size(); });
            reader_->waiting = false;
            if (!ready || state_->finished) return std::nullopt;
            return state_->updates[reader_->cursor++];
        }

    private:
        std::shared_ptr<State> state_;
        std::list<Reader>::iterator reader_;
    };

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

inline tally::TrialConversionTracker::UpdatesSource ScriptedTransactionUpdates::source() const {
    return [state = state_]() -> std::unique_ptr<tally::TransactionUpdates> {
        return std::make_unique<Stream>(state);
    };
}

} // namespace tallytest
