#include "Tally/TelemetryManager.hpp"

#include "Platform/Uuid.hpp"
#include "Tally/Helpers/CryptoHashing.hpp"
#include "Tally/Runtime.hpp"
#include "Tally/Tally.hpp"

#include <chrono>
#include <shared_mutex>

namespace tally {
namespace {

using namespace std::chrono_literals;

struct Holder {
    std::shared_mutex mutex;
    std::shared_ptr<TelemetryManager> manager;
};

Holder& holder() {
    static auto* instance = new ProcessWide<Holder>([] { return new Holder; });
    return instance->get();
}

struct Inert {
    std::shared_ptr<TelemetryManager> manager;
};

// Replaces the installed manager; the old one is released outside the lock.
void install(std::shared_ptr<TelemetryManager> manager) {
    auto& h = holder();
    std::unique_lock lock(h.mutex);
    std::swap(h.manager, manager);
    lock.unlock();
}

} // namespace

TelemetryManager::TelemetryManager(std::shared_ptr<TelemetryManagerConfiguration> configuration,
                                   std::shared_ptr<SignalManageable> signalManager, bool inert)
    : signalManager_(std::move(signalManager)), inert_(inert), configuration_(std::move(configuration)) {}

std::shared_ptr<TelemetryManager>
TelemetryManager::create(std::shared_ptr<TelemetryManagerConfiguration> configuration) {
    auto pipeline = runtime().makePipeline(configuration);
    std::shared_ptr<TelemetryManager> manager(
        new TelemetryManager(std::move(configuration), std::move(pipeline), false));
    runtime().main->postAfter(500ms, [weak = std::weak_ptr(manager)] {
        if (auto manager = weak.lock()) manager->configuration()->setSessionID(platform::uuidV4());
    });
    return manager;
}

std::shared_ptr<TelemetryManager> TelemetryManager::makeInert() {
    auto configuration = std::make_shared<TelemetryManagerConfiguration>("");
    configuration->detached_ = true; // before it is shared
    auto pipeline = makeDiscardingPipeline(configuration);
    return std::shared_ptr<TelemetryManager>(
        new TelemetryManager(std::move(configuration), std::move(pipeline), true));
}

std::shared_ptr<TelemetryManagerConfiguration> TelemetryManager::configuration() const {
    std::lock_guard lock(mutex_);
    return configuration_;
}

std::optional<platform::TimePoint> TelemetryManager::lastTimeImmediateSyncRequested() const {
    std::lock_guard lock(mutex_);
    return lastTimeImmediateSyncRequested_;
}

void TelemetryManager::setLastTimeImmediateSyncRequested(platform::TimePoint date) {
    std::lock_guard lock(mutex_);
    lastTimeImmediateSyncRequested_ = date;
}

std::shared_ptr<TelemetryManager> TelemetryManager::installed() {
    auto& h = holder();
    std::shared_lock lock(h.mutex);
    return h.manager;
}

std::shared_ptr<TelemetryManager> TelemetryManager::shared() {
    if (auto manager = installed()) return manager;
    static auto* inert = new ProcessWide<Inert>([] { return new Inert{makeInert()}; });
    return inert->get().manager;
}

bool TelemetryManager::isInitialized() {
    return installed() != nullptr;
}

void TelemetryManager::initialize(std::shared_ptr<TelemetryManagerConfiguration> with) {
    install(create(std::move(with)));
}

void TelemetryManager::terminate() {
    install(nullptr);
}

void TelemetryManager::send(const std::string& signalName, const Parameters& with) {
    Tally::signal(signalName, with, std::nullopt, std::nullopt);
}

void TelemetryManager::send(const std::string& signalName, const std::optional<std::string>& customUserID,
                            std::optional<double> floatValue, const Parameters& with) {
    Tally::signal(signalName, with, floatValue, customUserID);
}

void TelemetryManager::requestImmediateSync() {
    auto manager = installed();
    if (!manager) return;
    const auto now = runtime().clock->now();
    const double interval = manager->configuration()->transmitInterval();
    {
        std::lock_guard lock(manager->mutex_);
        const auto& last = manager->lastTimeImmediateSyncRequested_;
        if (last && std::chrono::duration<double>(now - *last).count() <= interval) return;
        manager->lastTimeImmediateSyncRequested_ = now;
    }
    runtime().utility->postAfter(50ms, [weak = std::weak_ptr(manager)] {
        if (auto manager = weak.lock()) manager->signalManager()->attemptToSendNextBatchOfCachedSignals();
    });
}

void TelemetryManager::updateDefaultUser(std::optional<std::string> to) {
    if (auto manager = installed()) manager->configuration()->setDefaultUser(std::move(to));
}

void TelemetryManager::generateNewSession() {
    if (auto manager = installed()) manager->configuration()->setSessionID(platform::uuidV4());
}

std::string TelemetryManager::hashedDefaultUser() const {
    return CryptoHashing::sha256(signalManager_->defaultUserIdentifier(), configuration()->salt());
}

void TelemetryManager::didEnterBackground() {
    const auto now = runtime().clock->now();
    std::lock_guard lock(mutex_);
    lastDateAppEnteredBackground_ = now;
}

void TelemetryManager::willEnterForeground() {
    const auto now = runtime().clock->now();
    {
        std::lock_guard lock(mutex_);
        if (lastDateAppEnteredBackground_ && *lastDateAppEnteredBackground_ + 300s >= now) return;
    }
    generateNewSession();
}

} // namespace tally
