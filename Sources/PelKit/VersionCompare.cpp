#include "PelKit/VersionCompare.hpp"

#include "Platform/Unicode.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

namespace pelkit {

namespace unicode = platform::unicode;

// ---- Update buckets ----

std::string_view rawValue(SemverBucket v) {
    switch (v) {
    case SemverBucket::major:
        return "major";
    case SemverBucket::minor:
        return "minor";
    case SemverBucket::patch:
        return "patch";
    case SemverBucket::other:
        return "other";
    }
    return "other";
}

std::string_view label(SemverBucket v) {
    switch (v) {
    case SemverBucket::major:
        return "Major";
    case SemverBucket::minor:
        return "Minor";
    case SemverBucket::patch:
        return "Bug fix";
    case SemverBucket::other:
        return "Other";
    }
    return "Other";
}

template <> std::optional<SemverBucket> fromRawValue<SemverBucket>(std::string_view raw) {
    for (SemverBucket b : semverBucketAllCases) {
        if (rawValue(b) == raw) return b;
    }
    return std::nullopt;
}

// ---- Tokens ----

namespace {

enum class Kind { none, digits, letters };

// Lower case; both the general path and the ASCII one match words against these.
constexpr std::string_view kPreReleaseMarkers[] = {"alpha", "beta", "rc", "dev", "pre", "a", "b"};

struct Token {
    std::string_view text; // a view into the version string
    bool numeric = false;
    std::int64_t value = 0;
};

// Only ASCII digits count, and only while the value fits 64 bits; anything else is a word.
std::optional<std::int64_t> numericValue(std::string_view text) {
    if (text.empty()) return std::nullopt;
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        int digit = c - '0';
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// The number test comes first: Roman numerals are both numeric and alphabetic.
Kind kindOf(char32_t c) {
    if (unicode::isNumeric(c)) return Kind::digits;
    if (unicode::isAlphabetic(c)) return Kind::letters;
    return Kind::none;
}

// Emits each token of `version` as a view into it. A token is a run of characters of one kind;
// every other character separates tokens and is dropped.
template <class Emit> void scanTokens(std::string_view version, Emit&& emit) {
    std::size_t tokenBegin = 0;
    std::size_t tokenEnd = 0;
    Kind current = Kind::none;
    auto flush = [&] {
        if (current != Kind::none) emit(version.substr(tokenBegin, tokenEnd - tokenBegin));
        current = Kind::none;
    };
    auto step = [&](std::size_t begin, std::size_t end, Kind kind) {
        if (kind != current) flush();
        if (kind == Kind::none) return;
        if (current == Kind::none) tokenBegin = begin;
        tokenEnd = end;
        current = kind;
    };

    if (unicode::isAscii(version)) {
        // One byte is one character here: CR LF is a single cluster, but both halves separate anyway.
        std::size_t i = (!version.empty() && (version[0] == 'v' || version[0] == 'V')) ? 1 : 0;
        for (; i < version.size(); ++i)
            step(i, i + 1, kindOf(static_cast<unsigned char>(version[i])));
    } else {
        std::vector<std::string_view> chars = unicode::graphemes(version);
        std::size_t i = (!chars.empty() && (chars[0] == "v" || chars[0] == "V")) ? 1 : 0;
        for (; i < chars.size(); ++i) {
            auto begin = static_cast<std::size_t>(chars[i].data() - version.data());
            step(begin, begin + chars[i].size(), kindOf(unicode::firstScalar(chars[i]).value_or(0)));
        }
    }
    flush();
}

void tokensInto(std::string_view version, std::vector<Token>& out) {
    out.clear();
    scanTokens(version, [&](std::string_view text) {
        auto value = numericValue(text);
        out.push_back(Token{text, value.has_value(), value.value_or(0)});
    });
}

int sign(int x) {
    return (x > 0) - (x < 0);
}

inline unsigned char asciiLower(char c) {
    return static_cast<unsigned char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
}

int compareAsciiWords(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = asciiLower(a[i]);
        const unsigned char y = asciiLower(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Words compare case-insensitively, by scalar values of their canonical composition. UTF-8 byte
// order is scalar order, so plain byte comparison does the rest.
int compareWords(std::string_view a, std::string_view b) {
    if (unicode::isAscii(a) && unicode::isAscii(b)) return compareAsciiWords(a, b);
    return sign(unicode::toLowerNFC(a).compare(unicode::toLowerNFC(b)));
}

int compareTokens(const Token& a, const Token& b) {
    if (a.numeric && b.numeric) return a.value == b.value ? 0 : (a.value < b.value ? -1 : 1);
    if (a.numeric) return 1;
    if (b.numeric) return -1;
    return compareWords(a.text, b.text);
}

ComparisonResult toResult(int order) {
    return order < 0 ? ComparisonResult::ascending
                     : (order > 0 ? ComparisonResult::descending : ComparisonResult::same);
}

// ---- ASCII fast path ----
// Most versions are plain ASCII. These are compared in one pass over both texts, token by token,
// without allocating; the result is the general path's, which the tests check against each other.

enum AsciiClass : std::uint8_t { kSeparator, kDigit, kLetter, kBeyondAscii };

constexpr std::array<std::uint8_t, 256> makeAsciiClasses() {
    std::array<std::uint8_t, 256> classes{};
    for (int c = 0; c < 256; ++c) {
        if (c >= 0x80)
            classes[c] = kBeyondAscii;
        else if (c >= '0' && c <= '9')
            classes[c] = kDigit;
        else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            classes[c] = kLetter;
        else
            classes[c] = kSeparator;
    }
    return classes;
}
constexpr std::array<std::uint8_t, 256> kAsciiClasses = makeAsciiClasses();

inline std::uint8_t asciiClass(char c) {
    return kAsciiClasses[static_cast<unsigned char>(c)];
}

// Hands out the tokens of an ASCII text one at a time; `beyondAscii` turns true (and the stream
// stops) at the first byte that is not ASCII, and the caller then takes the general path.
class AsciiTokens {
public:
    // From `start`, a position just after a separator; the leading "v" is passed over only at 0.
    AsciiTokens(std::string_view text, std::size_t start) : text_(text), pos_(start) {
        if (start == 0 && !text_.empty() && (text_[0] == 'v' || text_[0] == 'V')) pos_ = 1;
    }

    bool beyondAscii = false;

    bool next(Token& token) {
        const std::size_t n = text_.size();
        std::uint8_t cls = kSeparator;
        while (pos_ < n && (cls = asciiClass(text_[pos_])) == kSeparator)
            ++pos_;
        if (pos_ >= n) return false;
        if (cls == kBeyondAscii) return fail();
        const std::size_t begin = pos_;
        if (cls == kDigit) {
            while (pos_ < n && asciiClass(text_[pos_]) == kDigit)
                ++pos_;
            const std::string_view digits(text_.data() + begin, pos_ - begin);
            if (digits.size() <= 18) { // cannot overflow: no check per digit
                std::int64_t value = 0;
                for (char c : digits)
                    value = value * 10 + (c - '0');
                token = Token{digits, true, value};
            } else {
                const auto value = numericValue(digits);
                token = Token{digits, value.has_value(), value.value_or(0)};
            }
        } else {
            while (pos_ < n && asciiClass(text_[pos_]) == kLetter)
                ++pos_;
            token = Token{std::string_view(text_.data() + begin, pos_ - begin), false, 0};
        }
        // A token cut short by a byte beyond ASCII must not be used: that text takes the general path.
        if (pos_ < n && asciiClass(text_[pos_]) == kBeyondAscii) return fail();
        return true;
    }

private:
    bool fail() {
        beyondAscii = true;
        pos_ = text_.size();
        return false;
    }

    std::string_view text_;
    std::size_t pos_;
};

// Where comparing can begin: just after the last separator of the texts' common ASCII prefix. The
// tokens before it are the same in both and end there in both, so they can only compare equal.
std::size_t sharedPrefixEnd(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t end = 0;
    for (std::size_t i = 0; i < n && a[i] == b[i]; ++i) {
        const std::uint8_t cls = asciiClass(a[i]);
        if (cls == kBeyondAscii) return 0; // the token pass finds it and gives way to the general path
        if (cls == kSeparator) end = i + 1;
    }
    return end;
}

bool isAsciiPreReleaseMarker(std::string_view word) {
    for (std::string_view m : kPreReleaseMarkers) {
        if (m.size() == word.size() && compareAsciiWords(m, word) == 0) return true;
    }
    return false;
}

// The comparison of two ASCII texts, or nullopt when either holds a byte beyond ASCII.
std::optional<ComparisonResult> compareAscii(std::string_view first, std::string_view second) {
    const std::size_t start = sharedPrefixEnd(first, second);
    AsciiTokens a(first, start);
    AsciiTokens b(second, start);
    Token ta, tb;
    for (;;) {
        const bool hasA = a.next(ta);
        const bool hasB = b.next(tb);
        if (a.beyondAscii || b.beyondAscii) return std::nullopt;
        if (hasA && hasB) {
            int order;
            if (ta.numeric && tb.numeric)
                order = ta.value == tb.value ? 0 : (ta.value < tb.value ? -1 : 1);
            else if (ta.numeric)
                order = 1;
            else if (tb.numeric)
                order = -1;
            else
                order = compareAsciiWords(ta.text, tb.text);
            if (order != 0) return toResult(order);
            continue;
        }
        if (!hasA && !hasB) return ComparisonResult::same;

        // One ran out: the rest of the longer decides, extra zeros passed over as in the general path.
        AsciiTokens& longer = hasA ? a : b;
        Token t = hasA ? ta : tb;
        const int longerIsNewer = hasA ? 1 : -1;
        // Tokens before the first byte beyond ASCII, and not touching it, are the general path's
        // tokens too, so a decision reached before that byte is its decision.
        while (t.numeric && t.value == 0) {
            if (!longer.next(t))
                return longer.beyondAscii ? std::nullopt : std::optional(ComparisonResult::same);
        }
        const bool isMarker = !t.numeric && isAsciiPreReleaseMarker(t.text);
        return toResult(isMarker ? -longerIsNewer : longerIsNewer);
    }
}

} // namespace

// ---- VersionCompare ----

const std::unordered_set<std::string>& VersionCompare::preReleaseMarkers() {
    static const std::unordered_set<std::string> markers = [] {
        std::unordered_set<std::string> set;
        for (std::string_view m : kPreReleaseMarkers)
            set.emplace(m);
        return set;
    }();
    return markers;
}

std::vector<std::string> VersionCompare::tokenize(std::string_view version) {
    std::vector<std::string> tokens;
    scanTokens(version, [&](std::string_view text) { tokens.emplace_back(text); });
    return tokens;
}

ComparisonResult VersionCompare::compare(std::string_view first, std::string_view second) {
    if (auto fast = compareAscii(first, second)) return *fast;

    // Reused per thread: comparing is hot (every appcast item, every row) and tokens are views.
    thread_local std::vector<Token> a;
    thread_local std::vector<Token> b;
    tokensInto(first, a);
    tokensInto(second, b);

    std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (int order = compareTokens(a[i], b[i]); order != 0) return toResult(order);
    }
    if (a.size() == b.size()) return ComparisonResult::same;

    const std::vector<Token>& longer = a.size() > b.size() ? a : b;
    int longerIsNewer = a.size() > b.size() ? 1 : -1;

    // Extra zeros change nothing ("1.0" is "1.0.0"), so they are passed over before looking for a
    // pre-release marker: otherwise "1.0.0-alpha" would be newer than "1.0" yet older than "1.0.0".
    std::size_t k = common;
    while (k < longer.size() && longer[k].numeric && longer[k].value == 0)
        ++k;
    if (k == longer.size()) return ComparisonResult::same;

    const Token& decider = longer[k];
    bool isMarker = !decider.numeric && preReleaseMarkers().count(unicode::toLowerNFC(decider.text)) > 0;
    return toResult(isMarker ? -longerIsNewer : longerIsNewer);
}

VersionCompare::HomebrewVersion VersionCompare::splitHomebrewVersion(std::string_view version) {
    std::size_t comma = version.find(',');
    if (comma == std::string_view::npos) return {std::string(version), std::nullopt};
    std::string_view build = version.substr(comma + 1);
    return {std::string(version.substr(0, comma)),
            build.empty() ? std::nullopt : std::optional<std::string>(std::string(build))};
}

bool VersionCompare::isLikelyHashBuild(std::string_view build) {
    bool hasLetter = false;
    std::size_t count = 0;
    for (std::string_view ch : unicode::graphemes(build)) {
        ++count;
        if (!hasLetter) hasLetter = unicode::isAlphabetic(unicode::firstScalar(ch).value_or(0));
    }
    return count >= 11 && hasLetter;
}

ComparisonResult VersionCompare::compareWithBuild(std::string_view installedShort,
                                                  std::optional<std::string_view> installedBuild,
                                                  std::string_view remote) {
    HomebrewVersion split = splitHomebrewVersion(remote);
    if (ComparisonResult r = compare(installedShort, split.shortVersion); r != ComparisonResult::same)
        return r;
    if (!split.build || isLikelyHashBuild(*split.build)) return ComparisonResult::same;
    if (!installedBuild) return ComparisonResult::ascending;
    return compare(*installedBuild, *split.build);
}

std::vector<std::int64_t> VersionCompare::numericPrefix(const std::vector<std::string>& tokens) {
    std::vector<std::int64_t> values;
    for (const std::string& token : tokens) {
        auto value = numericValue(token);
        if (!value) break;
        values.push_back(*value);
    }
    return values;
}

SemverBucket VersionCompare::bucket(std::string_view installed, std::string_view latest) {
    std::vector<std::int64_t> a = numericPrefix(tokenize(installed));
    std::vector<std::int64_t> b = numericPrefix(tokenize(latest));
    std::size_t n = std::min(a.size(), b.size());
    if (n == 0) return SemverBucket::other;
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return i == 0 ? SemverBucket::major : (i == 1 ? SemverBucket::minor : SemverBucket::patch);
    }
    return SemverBucket::patch;
}

} // namespace pelkit
