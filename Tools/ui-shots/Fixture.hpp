#pragma once

#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/EngineApi.hpp"
#include "PelApp/Model/UrlOpener.hpp"
#include "Platform/ManualExecutor.hpp"
#include "Platform/Workspace.hpp"

#include <memory>

namespace uishots {

// A model filled with sample rows, for pictures only: there is no engine (start-up is never run),
// no running application and no address is opened.
class Fixture {
public:
    Fixture();
    pelapp::AppModel& model() { return *model_; }
    // Back to the sample state (rows, ticks, selection, flags).
    void reset();

private:
    struct NoEngine final : pelapp::EngineFactory {
        pelapp::EngineApi& make() override;
    };
    struct NoApps final : platform::Workspace {
        std::vector<platform::RunningApplication> runningApplications() const override { return {}; }
    };
    struct NoUrls final : pelapp::UrlOpener {
        bool open(const platform::Url&) override { return false; }
    };

    platform::ManualExecutor executor_;
    NoEngine engines_;
    NoApps workspace_;
    NoUrls urls_;
    std::unique_ptr<pelapp::AppModel> model_;
};

} // namespace uishots
