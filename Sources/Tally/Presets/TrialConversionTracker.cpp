#include "Tally/Presets/TrialConversionTracker.hpp"

#include "Platform/Json.hpp"
#include "Tally/Helpers/TelemetryEncoder.hpp"
#include "Tally/Runtime.hpp"
#include "Tally/Tally.hpp"

#include <stop_token>
#include <thread>

namespace tally {
namespace {

const std::string kLastTrial = "lastTrial";

// A stream that has ended: no store.
class NoUpdates final : public TransactionUpdates {
public:
    std::optional<VerificationResult> next(std::stop_token) override { return std::nullopt; }
};

struct SourceSetting {
    std::mutex mutex;
    TrialConversionTracker::UpdatesSource source;
};

SourceSetting& sourceSetting() {
    static auto* setting = new SourceSetting();
    return *setting;
}

TrialConversionTracker::UpdatesSource currentSource() {
    auto& setting = sourceSetting();
    std::lock_guard lock(setting.mutex);
    if (setting.source) return setting.source;
    return [] { return std::make_unique<NoUpdates>(); };
}

bool endedWithoutConversion(const Transaction& transaction, platform::TimePoint now) {
    return transaction.revocationDate || (transaction.expirationDate && *transaction.expirationDate < now) ||
           transaction.isUpgraded;
}

// An auto-renewable product on an introductory offer at no price.
bool startsFreeTrial(const Transaction& transaction) {
    return transaction.productType == ProductType::autoRenewable &&
           transaction.offerType == OfferType::introductory && transaction.price.value_or(0) == 0;
}

} // namespace

struct TrialConversionTracker::Task {
    std::stop_source stop;
};

std::string encodeStoredTrial(const StoredTrial& trial) {
    return encodeJson(
        platform::Json{{"productID", trial.productID}, {"originalTransactionID", trial.originalTransactionID}});
}

std::optional<StoredTrial> decodeStoredTrial(std::string_view data) {
    const auto document = platform::Json::parse(data, nullptr, false);
    if (!document.is_object()) return std::nullopt;
    const auto productID = document.find("productID");
    const auto originalID = document.find("originalTransactionID");
    if (productID == document.end() || !productID->is_string()) return std::nullopt;
    if (originalID == document.end() || !originalID->is_number_unsigned()) return std::nullopt;
    return StoredTrial{productID->get<std::string>(), originalID->get<std::uint64_t>()};
}

TrialConversionTracker& TrialConversionTracker::shared() {
    static auto* instance =
        new ProcessWide<TrialConversionTracker>([] { return new TrialConversionTracker(currentSource()); });
    return instance->get();
}

void TrialConversionTracker::setTransactionUpdatesSource(UpdatesSource source) {
    auto& setting = sourceSetting();
    std::lock_guard lock(setting.mutex);
    setting.source = std::move(source);
}

TrialConversionTracker::TrialConversionTracker(UpdatesSource source)
    : source_(std::move(source)), persistenceQueue_(makeSerialQueue("trialtracker.persistence")) {
    if (currentTrial()) startObservingTransactions();
}

std::optional<StoredTrial> TrialConversionTracker::currentTrial() const {
    const auto suite = Tally::customDefaults();
    if (!suite) return std::nullopt;
    const auto data = suite->bytes(kLastTrial);
    if (!data) return std::nullopt;
    return decodeStoredTrial(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
}

void TrialConversionTracker::setCurrentTrial(std::optional<StoredTrial> trial) {
    persistenceQueue_->post([trial = std::move(trial)] {
        auto suite = Tally::customDefaults();
        if (!suite) return;
        std::optional<std::string> data;
        try {
            if (trial) data = encodeStoredTrial(*trial);
        } catch (const EncodingError&) {
            // A product identifier that is not UTF-8 cannot be stored; the trial it replaces goes all the same.
        }
        if (!data) {
            suite->remove(kLastTrial);
            return;
        }
        suite->setBytes(kLastTrial, std::vector<std::uint8_t>(data->begin(), data->end()));
    });
}

void TrialConversionTracker::startObservingTransactions() {
    auto updates = source_();
    std::lock_guard lock(taskMutex_);
    installTaskLocked(std::move(updates));
}

void TrialConversionTracker::observeTrial(StoredTrial trial) {
    auto updates = source_();
    std::lock_guard lock(taskMutex_);
    // Queued under the lock, so the queue sees this write after any clearing by the task it replaces.
    setCurrentTrial(std::move(trial));
    installTaskLocked(std::move(updates));
}

void TrialConversionTracker::installTaskLocked(std::unique_ptr<TransactionUpdates> updates) {
    if (transactionUpdateTask_) transactionUpdateTask_->stop.request_stop();
    auto task = std::make_shared<Task>();
    transactionUpdateTask_ = task;
    // Detached: a replaced observation may still be inside a send, and the tracker is never destroyed.
    std::thread([this, task, updates = std::shared_ptr<TransactionUpdates>(std::move(updates))] {
        observe(task, *updates);
    }).detach();
}

void TrialConversionTracker::observe(const std::shared_ptr<Task>& task, TransactionUpdates& updates) {
    const auto stop = task->stop.get_token();
    while (auto update = updates.next(stop)) {
        if (stop.stop_requested()) return;
        if (!update->verified) continue;
        const auto trial = currentTrial();
        if (!trial) continue;
        const Transaction& transaction = update->transaction;
        if (transaction.productID != trial->productID) continue;
        if (transaction.originalID != trial->originalTransactionID) continue;
        if (endedWithoutConversion(transaction, runtime().clock->now())) {
            finish(task);
            return;
        }
        if (isFreeTrial(transaction)) continue;
        Tally::internalSignal("Tally.Purchase.convertedFromTrial", purchaseParameters(transaction),
                              priceInUSD(transaction), std::nullopt);
        finish(task);
        return;
    }
}

void TrialConversionTracker::finish(const std::shared_ptr<Task>& task) {
    std::lock_guard lock(taskMutex_);
    if (transactionUpdateTask_ != task) return;
    setCurrentTrial(std::nullopt);
    task->stop.request_stop();
    transactionUpdateTask_.reset();
}

void Tally::purchaseCompleted(const Transaction& transaction, const Parameters& parameters,
                              const std::optional<std::string>& customUserID) {
    const Parameters merged = applying(purchaseParameters(transaction), parameters);
    if (!startsFreeTrial(transaction)) {
        internalSignal("Tally.Purchase.completed", merged, priceInUSD(transaction), customUserID);
        return;
    }
    internalSignal("Tally.Purchase.freeTrialStarted", merged, std::nullopt, customUserID);
    TrialConversionTracker::shared().observeTrial({transaction.productID, transaction.originalID});
}

} // namespace tally
