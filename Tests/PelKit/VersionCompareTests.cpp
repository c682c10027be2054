#include "PelKit/VersionCompare.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

using pelkit::ComparisonResult;
using pelkit::SemverBucket;
using pelkit::VersionCompare;

namespace pelkit {
void PrintTo(ComparisonResult r, std::ostream* os) {
    *os << (r == ComparisonResult::ascending ? "ascending"
            : r == ComparisonResult::same    ? "same"
                                             : "descending");
}
void PrintTo(SemverBucket b, std::ostream* os) {
    *os << rawValue(b);
}
} // namespace pelkit

namespace {

constexpr auto older = ComparisonResult::ascending;
constexpr auto equal = ComparisonResult::same;
constexpr auto newer = ComparisonResult::descending;

ComparisonResult reversed(ComparisonResult r) {
    return r == older ? newer : (r == newer ? older : equal);
}

// Checks a comparison both ways round.
void expectOrder(const std::string& first, const std::string& second, ComparisonResult want) {
    EXPECT_EQ(VersionCompare::compare(first, second), want) << "'" << first << "' vs '" << second << "'";
    EXPECT_EQ(VersionCompare::compare(second, first), reversed(want))
        << "'" << second << "' vs '" << first << "'";
}

} // namespace

TEST(VersionCompare, Tokenize) {
    struct Case {
        std::string version;
        std::vector<std::string> tokens;
    };
    const std::vector<Case> cases = {
        {"2.0b10", {"2", "0", "b", "10"}},
        {"v2.0.1-beta.3", {"2", "0", "1", "beta", "3"}},
        {"1.0 (123)", {"1", "0", "123"}},
        {"1.0RC1", {"1", "0", "RC", "1"}},
        {"1.0v2", {"1", "0", "v", "2"}},
        {"", {}},
        {"v", {}},
        {"...", {}},
        {"vv1", {"v", "1"}}, // only one leading v is dropped
        {"V3_1+build..7", {"3", "1", "build", "7"}},
        {"1.2.3,456", {"1", "2", "3", "456"}},
        {"2024/05/01", {"2024", "05", "01"}},
        // Beyond ASCII: tokens follow user-perceived characters and their first scalar.
        {"v\u00E9\u00E92", {"\u00E9\u00E9", "2"}},
        {"v\u03082", {"v\u0308", "2"}},          // "v" with a combining mark is not a lone v
        {"1\u0301.2", {"1\u0301", "2"}},         // the mark rides along with its digit
        {"\u0661.\u0662", {"\u0661", "\u0662"}}, // Arabic-Indic digits are number characters
        {"2\u00BD\u00B2x", {"2\u00BD\u00B2", "x"}},
        {"\u2163b", {"\u2163", "b"}}, // a Roman numeral is a number before it is a letter
        {"1.0\u00A0\u00DFeta\U0001F680 2", {"1", "0", "\u00DFeta", "2"}},
        {"1\xFF"
         "2",
         {"1", "2"}}, // an ill-formed byte separates
    };
    for (const Case& c : cases)
        EXPECT_EQ(VersionCompare::tokenize(c.version), c.tokens) << c.version;
}

TEST(VersionCompare, CompareWorkedExamples) {
    struct Case {
        const char* first;
        const char* second;
        ComparisonResult want;
    };
    const Case cases[] = {
        {"1.2", "1.2.0", equal},       {"1.0.0.0", "1.0", equal},         {"v2.0", "2.0", equal},
        {"V2", "2.0.0", equal},        {"1.0-1", "1.0.1", equal},         {"1.0 (123)", "1.0.123", equal},
        {"2024.01", "2024.1", equal},  {"1.0A", "1.0a", equal},           {"1.10", "1.9", newer},
        {"1.0.1", "1.0", newer},       {"1.0.0.1", "1.0", newer},         {"2.0b1", "2.0", older},
        {"1.0-beta", "1.0", older},    {"1.0-Beta", "1.0", older},        {"1.0a", "1.0", older},
        {"1.0RC1", "1.0", older},      {"1.0-dev", "1.0", older},         {"1.0pre1", "1.0", older},
        {"1.0c", "1.0", newer},        {"3.0-final", "3.0", newer},       {"1.0.1", "1.0.beta", newer},
        {"2.0b1", "2.0.1", older},     {"2.0alpha", "2.0beta", older},    {"1.0rc1", "1.0beta2", newer},
        {"2.0-RC1", "2.0-rc2", older}, {"1.0.beta.1", "1.0.beta", newer}, {"1.0-beta.0", "1.0-beta", equal},
    };
    for (const Case& c : cases)
        expectOrder(c.first, c.second, c.want);
}

TEST(VersionCompare, CompareEdgeCases) {
    struct Case {
        std::string first;
        std::string second;
        ComparisonResult want;
    };
    const std::vector<Case> cases = {
        {"", "", equal},
        {"v", "0.0", equal},
        {"", "1", older},
        {"", "0", equal},
        {"99999999999999999999", "1", older}, // too large for 64 bits: a word
        {"9223372036854775807", "9223372036854775806", newer},
        {"9223372036854775808", "9223372036854775807", older},
        {"1.0", "1.0.a", newer},
        {"1.0", "1.0.c", older},
        {"vv1", "1", older}, // the second v is a word
        {"1.0v2", "1.0", newer},
        {"1.0", "1.0.0,", equal},
        {"1.0 (12)", "1.0 (9)", newer},
        // Zeros ahead of a pre-release marker are passed over: a pre-release of 1.0.0 is no update
        // for a 1.0 user. Without that, 1.0.0-alpha was newer than 1.0 but older than 1.0.0.
        {"1.0.0-alpha", "1.0", older},
        {"1.0.0-alpha", "1.0.0", older},
        {"1.0.0.0.beta2", "1", older},
        {"1.0.0.0rc", "1.0", older},
        {"1.0.0.1", "1.0", newer},
        {"1.0.0.c", "1.0", newer},
        {"1.0.0-beta.0", "1.0", older},
        // Words beyond ASCII: case-insensitive and by canonical equivalence, then by scalar value.
        {"1.0\u00C4", "1.0a\u0308", equal},
        {"1.0\u00E9", "1.0f", newer},
        {"1.0\u0130", "1.0i\u0307", equal},
        {"1.0\u03A3\u0391", "1.0\u03C3\u03B1", equal},
        {"\u0661.\u0662", "1.2", older}, // other scripts' digits are words, below any number
        {"1.\u00B2", "1.2", older},
        {"\uFF11.0", "\uFF11.0", equal},
    };
    for (const Case& c : cases)
        expectOrder(c.first, c.second, c.want);
}

// The one intended leniency: a word after the numbers is newer when extra but older than a number
// in the same place, so this ordering is not transitive and must never drive std::sort.
TEST(VersionCompare, WordAfterNumbersIsNotTransitive) {
    expectOrder("1.0", "1.0.c", older);
    expectOrder("1.0.c", "1.0.0", older);
    expectOrder("1.0", "1.0.0", equal);
}

TEST(VersionCompare, CompareWithBuild) {
    struct Case {
        const char* installedShort;
        std::optional<std::string_view> installedBuild;
        const char* remote;
        ComparisonResult want;
    };
    const Case cases[] = {
        {"1.2", "100", "1.2,101", older},
        {"1.2", "100", "1.2,100", equal},
        {"1.2", "100", "1.3,1", older},
        {"1.2", "100", "1.2,abcdef12345", equal},
        {"1.2", "100", "1.2", equal},
        {"1.2", std::nullopt, "1.2,101", older},
        {"1.2", "200", "1.2,1", newer},
        {"1.3", std::nullopt, "1.2,101", newer}, // short versions decide first
        {"1.2", std::nullopt, "1.2,", equal},    // a trailing comma carries no build
        {"1.2", std::nullopt, "1.2,abcdef12345", equal},
        {"1.2", "100", "1.2,100,1", older}, // the build keeps later commas
        {"1.2", "100", "1.2.0,100", equal},
        {"1.2", "1.0b2", "1.2,1.0", older}, // builds use the same ordering
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VersionCompare::compareWithBuild(c.installedShort, c.installedBuild, c.remote), c.want)
            << c.installedShort << " (" << c.installedBuild.value_or("none") << ") vs " << c.remote;
    }
    std::optional<std::string> fromRecord = "100"; // as an InstalledApp holds it
    EXPECT_EQ(VersionCompare::compareWithBuild("1.2", fromRecord, "1.2,101"), older);
}

TEST(VersionCompare, SplitHomebrewVersion) {
    struct Case {
        const char* version;
        const char* shortVersion;
        std::optional<std::string> build;
    };
    const Case cases[] = {
        {"1.2.3,456", "1.2.3", "456"},
        {"1.2.3", "1.2.3", std::nullopt},
        {"1.2.3,", "1.2.3", std::nullopt},
        {"1.2.3,4,5", "1.2.3", "4,5"},
        {",7", "", "7"},
        {"", "", std::nullopt},
        {",", "", std::nullopt},
        {"1.0,\u00E9", "1.0", "\u00E9"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VersionCompare::splitHomebrewVersion(c.version),
                  (VersionCompare::HomebrewVersion{c.shortVersion, c.build}))
            << c.version;
    }
}

TEST(VersionCompare, IsLikelyHashBuild) {
    struct Case {
        const char* build;
        bool want;
    };
    const Case cases[] = {
        {"abcdef12345", true},
        {"1234567890a", true},
        {"12345678901", false}, // eleven digits
        {"abcdef1234", false},  // ten characters
        {"abcdefghij", false},  // ten letters are still too short
        {"", false},
        {"1234567890\u00E9", true},  // a letter beyond ASCII
        {"123456789e\u0301", false}, // ten characters, though eleven scalars
        {"1234567890e\u0301", true},
        {"1.2.3-4.5.6", false},      // separators count as characters but no letter
        {"0123456789\u0663", false}, // a digit of another script is no letter
    };
    for (const Case& c : cases)
        EXPECT_EQ(VersionCompare::isLikelyHashBuild(c.build), c.want) << c.build;
}

TEST(VersionCompare, Bucket) {
    struct Case {
        const char* installed;
        const char* latest;
        SemverBucket want;
    };
    const Case cases[] = {
        {"1.2.3", "2.0.0", SemverBucket::major},
        {"5", "6", SemverBucket::major},
        {"1.2.3", "1.3.0", SemverBucket::minor},
        {"1.9", "1.10", SemverBucket::minor},
        {"2024.05", "2024.06", SemverBucket::minor},
        {"1.2.3", "1.2.4", SemverBucket::patch},
        {"1.2.3", "1.2.3.1", SemverBucket::patch},
        {"1.0-beta", "1.0", SemverBucket::patch},
        {"beta", "1.0", SemverBucket::other},
        {"2.0", "1.0", SemverBucket::major}, // direction is not considered
        {"1.2.3", "1.2.3", SemverBucket::patch},
        {"", "1.0", SemverBucket::other},
        {"1.2b3", "1.3", SemverBucket::minor}, // the prefix stops at the first word
        {"v1.2", "1.2.5", SemverBucket::patch},
        {"1.2.3.4", "1.2.3.5", SemverBucket::patch},
        {"99999999999999999999.1", "1.1", SemverBucket::other},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VersionCompare::bucket(c.installed, c.latest), c.want) << c.installed << " -> " << c.latest;
    }
}

TEST(SemverBucket, RawValuesLabelsAndOrder) {
    ASSERT_EQ(pelkit::semverBucketAllCases.size(), 4u);
    const char* raws[] = {"major", "minor", "patch", "other"};
    const char* labels[] = {"Major", "Minor", "Bug fix", "Other"};
    for (std::size_t i = 0; i < 4; ++i) {
        SemverBucket b = pelkit::semverBucketAllCases[i];
        EXPECT_EQ(pelkit::rawValue(b), raws[i]);
        EXPECT_EQ(pelkit::label(b), labels[i]);
        EXPECT_EQ(pelkit::fromRawValue<SemverBucket>(raws[i]), b);
    }
    for (const char* bad : {"Major", " major", "major ", "", "bug fix", "Bug fix"}) {
        EXPECT_FALSE(pelkit::fromRawValue<SemverBucket>(bad)) << "'" << bad << "'";
    }
}

// ---- Properties over realistic version strings ----

namespace {

const char* const kMarkers[] = {"alpha", "beta", "rc", "dev", "pre", "a", "b", "Beta", "RC", "ALPHA"};

// Realistic versions from a fixed seed. With markersOnly, every word is a pre-release marker.
std::vector<std::string> realisticVersions(bool markersOnly, std::size_t count) {
    std::mt19937 rng(markersOnly ? 1031 : 2027);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto number = [&] {
        int r = pick(10);
        if (r < 4) return std::string("0");
        if (r < 8) return std::to_string(pick(12));
        if (r < 9) return std::string("0") + std::to_string(pick(10)); // leading zero
        return std::to_string(2020 + pick(6));
    };
    const char* const nonMarkerWords[] = {"c",         "final",        "hotfix", "Build",  "\u00E9t\u00E9",
                                          "\u00DFeta", "\u0661\u0662", "\u00B2", "\uFF13", "\u03B2",
                                          "x"};
    const char* const seps[] = {".", ".", ".", "-", "_", "+", " "};

    std::vector<std::string> out;
    std::unordered_set<std::string> seen;
    while (out.size() < count) {
        std::string v;
        int shape = pick(20);
        if (shape == 0) v += pick(2) ? "v" : "V";
        int parts = 1 + pick(4);
        for (int i = 0; i < parts; ++i)
            v += (i ? "." : "") + number();
        int tail = pick(10);
        if (tail < 4) {
            // A pre-release marker, glued on or separated, with or without a number.
            v += pick(2) ? seps[pick(7)] : "";
            v += kMarkers[pick(10)];
            if (pick(2)) v += (pick(2) ? "." : "") + std::to_string(pick(5));
        } else if (tail < 5 && !markersOnly) {
            v += pick(2) ? seps[pick(7)] : "";
            v += nonMarkerWords[pick(11)];
        } else if (tail < 6) {
            v += " (" + std::to_string(100 + pick(900)) + ")"; // build number in parentheses
        } else if (tail < 7 && !markersOnly) {
            v += "," + std::to_string(pick(3000)); // a cask version with a build
        } else if (tail < 8 && !markersOnly) {
            v += pick(2) ? ",abcdef12345" : "-g1f2e3d4"; // hashes
        } else if (tail < 9 && !markersOnly) {
            // Digits of other scripts.
            v = pick(2) ? "\u0661.\u0662." + number() : v + ".\u0663";
        }
        if (seen.insert(v).second) out.push_back(v);
    }
    return out;
}

bool wordsAreAllMarkers(const std::string& version) {
    static const std::unordered_set<std::string> markers{"alpha", "beta", "rc", "dev", "pre", "a", "b"};
    for (const std::string& token : VersionCompare::tokenize(version)) {
        bool digits = !token.empty() && token.find_first_not_of("0123456789") == std::string::npos;
        std::string lower;
        for (char c : token)
            lower += static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
        if (!digits && markers.count(lower) == 0) return false;
    }
    return true;
}

} // namespace

TEST(VersionCompareProperties, SwappingArgumentsReversesEveryResult) {
    std::vector<std::string> versions = realisticVersions(false, 400);
    std::vector<std::string> more = realisticVersions(true, 100);
    versions.insert(versions.end(), more.begin(), more.end());
    for (const std::string& a : versions) {
        ASSERT_EQ(VersionCompare::compare(a, a), equal) << a;
        for (const std::string& b : versions) {
            ASSERT_EQ(VersionCompare::compare(a, b), reversed(VersionCompare::compare(b, a)))
                << "'" << a << "' vs '" << b << "'";
        }
    }
}

TEST(VersionCompareProperties, TransitiveWhenAllWordsArePreReleaseMarkers) {
    std::vector<std::string> versions = realisticVersions(true, 300);
    // A few hand-made ones around the zero padding and marker order.
    for (const char* v : {"1", "1.0", "1.0.0", "1.0.0-alpha", "1.0-alpha", "1.0.0.0.beta", "1.0.0.1", "1.0a",
                          "1.0.0a1", "1.0-beta.0", "1.0-beta.0.0.1", "0", "", "v", "1.0.0-rc.0.0"}) {
        versions.emplace_back(v);
    }
    for (const std::string& v : versions)
        ASSERT_TRUE(wordsAreAllMarkers(v)) << v;

    const std::size_t n = versions.size();
    std::vector<ComparisonResult> table(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j)
            table[i * n + j] = VersionCompare::compare(versions[i], versions[j]);
    }
    // a <= b and b <= c imply a <= c; with antisymmetry this also makes "same" an equivalence.
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = 0; b < n; ++b) {
            if (table[a * n + b] == newer) continue;
            for (std::size_t c = 0; c < n; ++c) {
                if (table[b * n + c] == newer) continue;
                ASSERT_NE(table[a * n + c], newer)
                    << "'" << versions[a] << "' <= '" << versions[b] << "' <= '" << versions[c]
                    << "' but the first is newer than the last";
            }
        }
    }
}

TEST(VersionCompareProperties, SafeFromManyThreads) {
    std::vector<std::string> versions = realisticVersions(false, 200);
    std::vector<ComparisonResult> expected;
    for (std::size_t i = 0; i + 1 < versions.size(); ++i) {
        expected.push_back(VersionCompare::compare(versions[i], versions[i + 1]));
    }
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                for (std::size_t i = 0; i + 1 < versions.size(); ++i) {
                    if (VersionCompare::compare(versions[i], versions[i + 1]) != expected[i]) ++mismatches[t];
                }
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    for (int m : mismatches)
        EXPECT_EQ(m, 0);
}

// A trailing no-break space is a separator, so it sends ASCII text down the ICU path unchanged.
TEST(VersionCompareProperties, AsciiShortcutMatchesTheUnicodePath) {
    std::vector<std::string> versions = realisticVersions(false, 300);
    for (const char* v : {"v", "V1", "vv1", "\r\n1.0", "1.0\r\nb2", "v\tbeta", "+1+"})
        versions.emplace_back(v);
    std::vector<std::string> ascii;
    for (const std::string& v : versions) {
        if (std::all_of(v.begin(), v.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
            ascii.push_back(v);
        }
    }
    ASSERT_GT(ascii.size(), 150u);
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        const std::string& a = ascii[i];
        const std::string& b = ascii[(i + 1) % ascii.size()];
        std::string viaIcu = a + "\u00A0";
        ASSERT_EQ(VersionCompare::tokenize(viaIcu), VersionCompare::tokenize(a)) << a;
        ASSERT_EQ(VersionCompare::compare(viaIcu, b), VersionCompare::compare(a, b)) << a << " vs " << b;
        ASSERT_EQ(VersionCompare::compare(viaIcu, b + "\u00A0"), VersionCompare::compare(a, b))
            << a << " vs " << b;
        ASSERT_EQ(VersionCompare::isLikelyHashBuild(viaIcu), VersionCompare::isLikelyHashBuild(a + " ")) << a;
    }
}

// ASCII text is compared in one pass that stops early; a text with a character beyond ASCII later
// on must still get the Unicode path's answer. A leading no-break space sends a text down that
// path from its first byte and changes nothing else (no version here starts with "v").
TEST(VersionCompareProperties, EarlyAsciiDecisionMatchesTheUnicodePath) {
    std::vector<std::string> versions;
    for (const std::string& v : realisticVersions(false, 300)) {
        if (!v.empty() && v[0] != 'v' && v[0] != 'V') versions.push_back(v);
    }
    // A character beyond ASCII touching, following or preceding the deciding token.
    for (const char* v :
         {"1.0a\u0301", "1.0\u0301", "1.0.\u0301", "1.0-b\u00E9ta", "1.0.0.\u00B2", "1.2\u00A0b", "1.0\u00A0",
          "1.0 \u2014 0", "1.0.0-\u0661", "2.1b\u0300.1", "1.0-rc\u200D1"})
        versions.emplace_back(v);
    const std::string nbsp = "\u00A0";
    for (const std::string& a : versions) {
        for (const std::string& b : versions) {
            ASSERT_EQ(VersionCompare::compare(nbsp + a, b), VersionCompare::compare(a, b))
                << "'" << a << "' vs '" << b << "'";
        }
    }
}

// Texts that begin alike are compared from just after their last shared separator; what comes
// before it, a leading "v" included, must count exactly as in a whole pass.
TEST(VersionCompareProperties, SharedBeginningsCompareAsWholeTexts) {
    struct Case {
        const char* first;
        const char* second;
        ComparisonResult want;
    };
    const Case cases[] = {
        {"2.V1", "2.1", older}, // a "v" after a separator is a word, not the leading "v"
        {"1.v2", "1.v10", older},
        {"v1.2", "v1.10", older}, // the leading "v" inside the shared part
        {"V1.V2", "v1.v2", equal},
        {"1.0.Beta", "1.0.beta", equal}, // words differ only by case
        {"1.01.5", "1.1.5", equal},      // a leading zero after the shared part
        {"1.2.", "1.2", equal},
        {"1..2", "1..10", older},
        {"1.2-rc1", "1.2-rc1.0", equal},
        {"1.2-rc", "1.2", older},            // the shorter runs out right after the shared part
        {"10.2", "1.2", newer},              // no separator shared: the whole texts
        {"1.\u00E9.2", "1.\u00E9.3", older}, // a shared character beyond ASCII
    };
    const std::string nbsp = "\u00A0";
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " vs " + c.second);
        expectOrder(c.first, c.second, c.want);
        EXPECT_EQ(VersionCompare::compare(std::string(c.first) + nbsp, c.second), c.want) << "Unicode path";
    }
}
