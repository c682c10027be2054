#pragma once

#include <array>
#include <string_view>

namespace pelapp {

// Every symbol name the windows use; each has a bundled icon of the same name.
inline constexpr std::array<std::string_view, 23> kSymbolNames{
    "arrow.clockwise",
    "arrow.down.circle",
    "arrow.down.circle.fill",
    "arrow.right",
    "arrow.triangle.branch",
    "arrow.up.forward.app",
    "checkmark.circle.fill",
    "checkmark.seal.fill",
    "exclamationmark.octagon.fill",
    "eye.slash",
    "gear",
    "info.circle",
    "info.circle.fill",
    "lock.shield",
    "lock.trianglebadge.exclamationmark.fill",
    "moon.zzz",
    "questionmark.circle.fill",
    "sidebar.right",
    "square.arrow.down",
    "square.grid.2x2",
    "terminal",
    "wrench",
    "xmark.circle.fill",
};

} // namespace pelapp
