#pragma once

#include "PelKit/Models.hpp"
#include "PelKit/VersionCompare.hpp"

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace pelapp {

// The named colours a row's status is drawn in; `secondary` is the muted label colour.
enum class StatusColor { red, blue, orange, secondary };

std::string_view rawValue(StatusColor c);

// One row of the application table. Identity is `id` alone (the bundle identifier at scan time).
struct AppRow {
    std::string id;
    pelkit::InstalledApp app;
    std::optional<pelkit::RemoteVersion> remote;
    pelkit::Outcome outcome = pelkit::Outcome::unresolved;
    std::optional<pelkit::ErrorCode> errorCode;
    std::optional<std::string> errorMessage;
    bool checking = false;
    bool updating = false;
    std::optional<std::string> progressText;
    // The override's "bucket" text as stored; only the four bucket names count.
    std::optional<std::string> bucketOverride;

    // A row as a full scan makes it: unresolved, nothing in flight.
    static AppRow scanned(pelkit::InstalledApp app, std::optional<std::string> bucketOverride);

    std::string statusGlyph() const;
    StatusColor statusColor() const;
    std::string statusLabel() const;
    // The version bucket of an outdated row with a remote version and an installed short version;
    // nothing for any other row.
    std::optional<pelkit::SemverBucket> bucket() const;

    friend bool operator==(const AppRow& a, const AppRow& b) { return a.id == b.id; }
};

// The table filter; the raw value is also the display text.
enum class Filter { all, outdated, idleOutdated, unsupported, ignored };

inline constexpr std::array<Filter, 5> filterAllCases{Filter::all, Filter::outdated, Filter::idleOutdated,
                                                      Filter::unsupported, Filter::ignored};

std::string_view rawValue(Filter f);
// Exactly one of the five raw values (case-sensitive), else nothing.
std::optional<Filter> filterFromRawValue(std::string_view raw);

} // namespace pelapp

template <> struct std::hash<pelapp::AppRow> {
    std::size_t operator()(const pelapp::AppRow& row) const noexcept {
        return std::hash<std::string>{}(row.id);
    }
};
