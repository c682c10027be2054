#include "Platform/SystemVersion.hpp"

#include <fmt/format.h>

namespace platform {

std::string SystemVersion::text() const { return fmt::format("{}.{}.{}", major, minor, patch); }

SystemVersion runningSystemVersion() { return SystemVersion{14, 0, 0}; }

}  // namespace platform
