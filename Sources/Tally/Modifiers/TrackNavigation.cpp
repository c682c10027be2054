#include "Tally/Modifiers/TrackNavigation.hpp"

#include "Tally/Tally.hpp"

namespace tally {

void trackNavigation(const std::string& path) {
    Tally::navigationPathChanged(path, std::nullopt);
}

} // namespace tally
