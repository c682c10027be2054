#include "Tally/Signals/SignalManageable.hpp"

#include "Platform/Uuid.hpp"
#include "Tally/TelemetryManagerConfiguration.hpp"

namespace tally {
namespace {

class DiscardingPipeline final : public SignalManageable {
public:
    explicit DiscardingPipeline(std::shared_ptr<TelemetryManagerConfiguration> configuration)
        : configuration_(std::move(configuration)) {}

    void processSignal(const std::string&, const Parameters&, std::optional<double>,
                       const std::optional<std::string>&,
                       const std::shared_ptr<TelemetryManagerConfiguration>&) override {}
    void attemptToSendNextBatchOfCachedSignals() override {}
    std::string defaultUserIdentifier() override {
        if (auto user = configuration_->defaultUser()) return *user;
        return platform::uuidV4();
    }

private:
    std::shared_ptr<TelemetryManagerConfiguration> configuration_;
};

} // namespace

std::shared_ptr<SignalManageable>
makeDiscardingPipeline(std::shared_ptr<TelemetryManagerConfiguration> configuration) {
    return std::make_shared<DiscardingPipeline>(std::move(configuration));
}

} // namespace tally
