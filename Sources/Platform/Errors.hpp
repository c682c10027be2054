#pragma once

#include <stdexcept>

namespace platform {

// A cancelled task; never a PelError, so callers can tell it from a failure.
class Cancelled : public std::runtime_error {
public:
    Cancelled() : std::runtime_error("cancelled") {}
};

}  // namespace platform
