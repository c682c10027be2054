#include "PelApp/Model/OverridesLocation.hpp"

#include "PelApp/Model/AppModel.hpp"
#include "PelKit/Config.hpp"

namespace pelapp {

platform::Url overridesFileInUse(const AppModel& model) {
    if (EngineApi* engine = model.engineApi()) {
        if (const auto& url = engine->overrides().url()) return *url;
    }
    return pelkit::PelPaths::overridesFile();
}

} // namespace pelapp
