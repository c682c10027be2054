#pragma once

#include "PelKit/Models.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace pelkit {

// The attributes of one directory entry (its own entry, not its contents; a symbolic link is
// not followed) that key the bundle caches. Both are 0 when they cannot be read.
struct EntryStamp {
    double mtime = 0; // modification time, seconds since 1970
    std::int64_t size = 0;

    bool operator==(const EntryStamp&) const = default;
};

EntryStamp entryStamp(const std::string& path);

// Turns one application bundle on disk into an InstalledApp. No state of its own: the Team ID
// is cached in the database's cache_teamid table, keyed by the bundle's path and EntryStamp.
class BundleReader {
public:
    BundleReader() = delete;

    static constexpr double codesignTimeoutSeconds = 15;

    // Throws PelError INT_UNEXPECTED for a missing Info.plist, one that is not a dictionary or
    // one without a text CFBundleIdentifier, and for a bundle path or CFBundleExecutable holding a
    // control character; read and parse errors pass through unchanged. The architectures come from
    // the main executable's Mach-O header. Blocks while codesign runs.
    static InstalledApp read(const Url& bundle);

    // The bundle's Team ID from the cache, else from `codesign -dv --verbose=4`. Throws the tool
    // runner's errors (launch failure, time-out; nothing is cached then), and PelError
    // SEC_TEAMID_MISMATCH without running anything when the bundle path or its CFBundleExecutable
    // holds a control character (such a name could forge the tool's TeamIdentifier= line).
    static std::optional<std::string> readTeamID(const Url& appURL);
};

} // namespace pelkit
