#pragma once

#include <string>

namespace tally {

// What a host calls each time a view is shown: one navigation signal from the last destination to
// `path`, without a user identifier.
void trackNavigation(const std::string& path);

} // namespace tally
