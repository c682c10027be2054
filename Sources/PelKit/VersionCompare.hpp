#pragma once

#include "PelKit/Models.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace pelkit {

// The three-valued result of every version comparison: ascending means the first is older.
enum class ComparisonResult : int { ascending = -1, same = 0, descending = 1 };

// ---- Update buckets ----

enum class SemverBucket { major, minor, patch, other };

// SemverBucket's allCases, in declaration order (also the order the bucket chips are shown in).
inline constexpr std::array<SemverBucket, 4> semverBucketAllCases{SemverBucket::major, SemverBucket::minor,
                                                                  SemverBucket::patch, SemverBucket::other};

std::string_view rawValue(SemverBucket v);
// "Major", "Minor", "Bug fix", "Other".
std::string_view label(SemverBucket v);
template <> std::optional<SemverBucket> fromRawValue<SemverBucket>(std::string_view raw);

// ---- Version ordering ----

// The one ordering of version strings. It is lenient and never fails: text it cannot read just
// yields few or no tokens.
//
// It is not a strict weak order: a word after the numbers is newer when it is extra but older than a
// number in the same place, so "1.0" < "1.0.c" < "1.0.0" while "1.0" equals "1.0.0". Never hand it
// to std::sort or an ordered container; pick the newest item by a linear scan.
struct VersionCompare {
    VersionCompare() = delete;

    struct HomebrewVersion {
        std::string shortVersion;
        std::optional<std::string> build;
        bool operator==(const HomebrewVersion&) const = default;
    };

    // Runs of number characters or of letters, split at separators; one leading "v" or "V" is dropped.
    static std::vector<std::string> tokenize(std::string_view version);

    static ComparisonResult compare(std::string_view first, std::string_view second);

    // The installed copy against a remote version that may carry ",build"; ascending means the
    // installed copy is older.
    static ComparisonResult compareWithBuild(std::string_view installedShort,
                                             std::optional<std::string_view> installedBuild,
                                             std::string_view remote);

    // "1.2.3,456" gives 1.2.3 and build 456; everything after the first comma is the build.
    static HomebrewVersion splitHomebrewVersion(std::string_view version);

    // At least eleven characters with a letter among them: a commit hash or similar, carrying no order.
    static bool isLikelyHashBuild(std::string_view build);

    // Which part of the leading dotted numbers changed; direction is not considered.
    static SemverBucket bucket(std::string_view installed, std::string_view latest);

private:
    static std::vector<std::int64_t> numericPrefix(const std::vector<std::string>& tokens);
    static const std::unordered_set<std::string>& preReleaseMarkers();
};

} // namespace pelkit
