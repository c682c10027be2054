#pragma once

#include <string>
#include <string_view>

namespace tally {

// The client's own reverse-DNS prefix. It names the per-application defaults suite on users' disks,
// so it never changes.
inline constexpr std::string_view kVendorPrefix = "com.pelloran.tally";

// A queue or thread label under the prefix: queueLabel("SignalCache") is "com.pelloran.tally.SignalCache".
inline std::string queueLabel(std::string_view name) {
    std::string label(kVendorPrefix);
    label += '.';
    label += name;
    return label;
}

} // namespace tally
