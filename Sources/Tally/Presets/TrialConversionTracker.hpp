#pragma once

#include "Platform/Executor.hpp"
#include "Tally/Presets/Transaction.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tally {

// The free trial being watched, kept under "lastTrial" in the per-application defaults suite as the JSON
// object {"originalTransactionID": <unsigned 64-bit>, "productID": "<id>"}.
struct StoredTrial {
    std::string productID;
    std::uint64_t originalTransactionID = 0;
    bool operator==(const StoredTrial&) const = default;
};

// Throws EncodingError for a product identifier that is not valid UTF-8.
std::string encodeStoredTrial(const StoredTrial& trial);
// Absent unless `data` is a JSON object with both keys of the right types.
std::optional<StoredTrial> decodeStoredTrial(std::string_view data);

// Watches the store's transaction updates while a free trial is stored, and reports the trial's
// conversion to a paid subscription once ("Tally.Purchase.convertedFromTrial"). At most one observation
// runs, on its own thread; the slot that holds it is guarded by one lock, also while a new trial is
// stored and its observation installed, and an observation no longer in the slot changes nothing.
class TrialConversionTracker {
public:
    using UpdatesSource = std::function<std::unique_ptr<TransactionUpdates>()>;

    // The process-wide instance, made on first use with the source set then; it resumes watching a stored
    // trial at once.
    static TrialConversionTracker& shared();
    // Where trackers made from now on read the store's updates. The default stream ends at once: this
    // platform has no store of its own.
    static void setTransactionUpdatesSource(UpdatesSource source);

    explicit TrialConversionTracker(UpdatesSource source);
    TrialConversionTracker(const TrialConversionTracker&) = delete;
    TrialConversionTracker& operator=(const TrialConversionTracker&) = delete;

    // Read from the per-application suite on the calling thread; absent without a suite or readable data.
    std::optional<StoredTrial> currentTrial() const;
    // Queued on ".trialtracker.persistence"; absent, or a trial that cannot be encoded, removes the stored
    // trial. Without a suite, nothing.
    void setCurrentTrial(std::optional<StoredTrial> trial);
    // Cancels the running observation and starts a new one.
    void startObservingTransactions();
    // Stores `trial` and starts observing for it, as one step under the slot's lock.
    void observeTrial(StoredTrial trial);

private:
    struct Task;

    void installTaskLocked(std::unique_ptr<TransactionUpdates> updates);
    void observe(const std::shared_ptr<Task>& task, TransactionUpdates& updates);
    // Ends `task`'s trial: clears the stored trial and the slot, only while `task` is still in it.
    void finish(const std::shared_ptr<Task>& task);

    const UpdatesSource source_;
    const std::shared_ptr<platform::Executor> persistenceQueue_;
    std::mutex taskMutex_;
    std::shared_ptr<Task> transactionUpdateTask_;
};

} // namespace tally
