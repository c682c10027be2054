#pragma once

#include "Platform/Url.hpp"

namespace pelapp {

class AppModel;

// The overrides file the application writes: the engine's store's own file (decided when it was
// loaded), or, while no engine exists or its store has no file, where start-up would load it from now.
platform::Url overridesFileInUse(const AppModel& model);

} // namespace pelapp
