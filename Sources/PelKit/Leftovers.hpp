#pragma once

// What crashed or killed runs leave behind: work folders of updates, partial stores of the download
// cache, administrator staging folders and disk images still attached. Paths a running update of
// this process uses are marked, so a sweep never takes them.

#include "Platform/Clock.hpp"

#include <filesystem>
#include <string>

namespace pelkit::leftovers {

// Leftovers younger than this may belong to a run that is still going.
inline constexpr std::chrono::hours kMinimumAge{1};

// Marks `path` as in use by this process while alive. Marks nest.
class InUse {
public:
    explicit InUse(std::filesystem::path path);
    ~InUse();
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;

private:
    std::filesystem::path path_;
};

bool inUse(const std::filesystem::path& path);

// Where the records of disk images being attached are kept: cacheDir/attached-images/.
std::filesystem::path attachRecordsDir();

// A record, on disk, that an image is being attached, so an image that stays attached after a
// time-out or a crash can be found and detached later. Writing it is best effort. The record is
// removed by `release` (the image is known to be detached); otherwise it outlives this object.
class AttachRecord {
public:
    explicit AttachRecord(const std::string& imagePath);
    AttachRecord(const AttachRecord&) = delete;
    AttachRecord& operator=(const AttachRecord&) = delete;

    void release();

private:
    std::filesystem::path file_;
    InUse mark_;
};

// Removes the leftovers of earlier runs that are older than kMinimumAge on `clock` and not in use
// by this process: "pel-<UUID>" and "pel-admin-<UUID>" folders in `temporaryRoot`, ".pel-store-*"
// and "pel-dl-*" files in the download cache, and images named by attach records (detached, then the record
// goes). Never throws; costs a few directory listings when there is nothing to remove.
void sweep(const std::filesystem::path& temporaryRoot, const platform::Clock& clock);

} // namespace pelkit::leftovers
