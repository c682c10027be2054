#pragma once

#include "PelKit/Models.hpp"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace pelkit {

enum class PermissionStatus { granted, denied, unknown };

std::string_view rawValue(PermissionStatus v);
template <> std::optional<PermissionStatus> fromRawValue<PermissionStatus>(std::string_view raw);

// Finds out, without changing anything, whether the system lets this process modify other
// applications' bundles: it opens another application's Info.plist for writing and reads the answer
// from the way the open fails. Stateless; calls may run side by side.
class PermissionProbe {
public:
    PermissionProbe() = delete;

    // Opens `path` for reading and writing, without creating or truncating it, and closes it at once.
    // Returns 0 when the open succeeded, else its errno.
    using OpenProbe = std::function<int(const std::string& path)>;

    static constexpr std::string_view kApplicationsRoot = "/Applications";

    static PermissionStatus appManagementGranted(const std::optional<std::string>& ownBundleID);

    // The same over another applications folder and open call (tests).
    static PermissionStatus appManagementGranted(const std::optional<std::string>& ownBundleID,
                                                 const std::string& applicationsRoot,
                                                 const OpenProbe& openProbe = openForWriting);

    static int openForWriting(const std::string& path);
};

} // namespace pelkit
