#pragma once

#include <string>

namespace platform {

// The running operating system's version as three numbers.
struct SystemVersion {
    int major = 0;
    int minor = 0;
    int patch = 0;

    // "major.minor.patch", always three numbers.
    std::string text() const;
    bool operator==(const SystemVersion&) const = default;
};

// On macOS this is the process's operating-system version. Elsewhere there is no macOS to ask, so
// we report the oldest release the product supports; sources that depend on it take it injected.
SystemVersion runningSystemVersion();

}  // namespace platform
