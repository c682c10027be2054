#include "PelApp/Model/AppRow.hpp"

namespace pelapp {

using pelkit::ErrorCode;
using pelkit::Outcome;

namespace {

bool isSafetyCode(const std::optional<ErrorCode>& code) {
    return code && pelkit::rawValue(*code).starts_with("SEC_");
}

} // namespace

std::string_view rawValue(StatusColor c) {
    switch (c) {
    case StatusColor::red:
        return "red";
    case StatusColor::blue:
        return "blue";
    case StatusColor::orange:
        return "orange";
    case StatusColor::secondary:
        return "secondary";
    }
    return "secondary";
}

AppRow AppRow::scanned(pelkit::InstalledApp app, std::optional<std::string> bucketOverride) {
    AppRow row;
    row.id = app.bundleID;
    row.app = std::move(app);
    row.bucketOverride = std::move(bucketOverride);
    return row;
}

std::string AppRow::statusGlyph() const {
    if (updating) return "⟳";
    if (checking) return "…";
    if (isSafetyCode(errorCode)) return "⛔";
    switch (outcome) {
    case Outcome::upToDate:
        return "○";
    case Outcome::outdated:
        return "●";
    case Outcome::unresolved:
        return "⚠";
    case Outcome::unsupported:
        return "ℹ";
    case Outcome::error:
        return "✗";
    }
    return "✗";
}

StatusColor AppRow::statusColor() const {
    if (isSafetyCode(errorCode)) return StatusColor::red;
    switch (outcome) {
    case Outcome::outdated:
        return StatusColor::blue;
    case Outcome::unresolved:
        return StatusColor::orange;
    case Outcome::error:
        return StatusColor::red;
    case Outcome::upToDate:
    case Outcome::unsupported:
        return StatusColor::secondary;
    }
    return StatusColor::secondary;
}

std::string AppRow::statusLabel() const {
    if (updating) return "Updating…";
    if (checking) return "Checking…";
    if (errorCode) return std::string(pelkit::rawValue(*errorCode));
    switch (outcome) {
    case Outcome::upToDate:
        return "Up to date";
    case Outcome::outdated:
        return "Update available";
    case Outcome::unresolved:
        return "No source";
    case Outcome::unsupported:
        return "Informational";
    case Outcome::error:
        return "Error";
    }
    return "Error";
}

std::optional<pelkit::SemverBucket> AppRow::bucket() const {
    if (outcome != Outcome::outdated || !remote || !app.shortVersion) return std::nullopt;
    if (bucketOverride) {
        if (auto named = pelkit::fromRawValue<pelkit::SemverBucket>(*bucketOverride)) return named;
    }
    return pelkit::VersionCompare::bucket(*app.shortVersion, remote->version);
}

std::string_view rawValue(Filter f) {
    switch (f) {
    case Filter::all:
        return "All";
    case Filter::outdated:
        return "Outdated only";
    case Filter::idleOutdated:
        return "Outdated & idle";
    case Filter::unsupported:
        return "Unsupported";
    case Filter::ignored:
        return "Ignored";
    }
    return "All";
}

std::optional<Filter> filterFromRawValue(std::string_view raw) {
    for (Filter f : filterAllCases) {
        if (rawValue(f) == raw) return f;
    }
    return std::nullopt;
}

} // namespace pelapp
