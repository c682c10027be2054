#include "Platform/Unicode.hpp"

#include <gtest/gtest.h>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>
#include <string>
#include <vector>

namespace unicode = platform::unicode;

namespace {

std::vector<std::string> asStrings(const std::vector<std::string_view>& views) {
    return {views.begin(), views.end()};
}

// ICU straight, on UTF-16: what the ASCII shortcuts must reproduce.
std::vector<std::string> icuGraphemes(const std::string& text) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
    it->setText(u);
    std::vector<std::string> out;
    int32_t start = it->first();
    for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
        std::string piece;
        u.tempSubStringBetween(start, end).toUTF8String(piece);
        out.push_back(piece);
    }
    return out;
}

std::string icuLowerNFC(const std::string& text) {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
    u.toLower(icu::Locale::getRoot());
    std::string out;
    icu::Normalizer2::getNFCInstance(status)->normalize(u, status).toUTF8String(out);
    return out;
}

} // namespace

TEST(Unicode, GraphemesAreUserPerceivedCharacters) {
    struct Case {
        std::string text;
        std::vector<std::string> want;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"1.0b", {"1", ".", "0", "b"}},
        {"e\u0301x", {"e\u0301", "x"}}, // combining accent stays
        {"\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7",
         {"\U0001F1E9\U0001F1EA", "\U0001F1EB\U0001F1F7"}}, // flags
        {"\U0001F468\u200D\U0001F469\u200D\U0001F467!", {"\U0001F468\u200D\U0001F469\u200D\U0001F467", "!"}},
        {"a\r\nb", {"a", "\r\n", "b"}},
        {"\u1100\u1161\u11A8", {"\u1100\u1161\u11A8"}}, // Hangul jamo make one syllable
        {"\xC3\xA9\xFF"
         "1",
         {"\xC3\xA9", "\xFF", "1"}}, // an ill-formed byte stands alone
    };
    for (const Case& c : cases) {
        EXPECT_EQ(asStrings(unicode::graphemes(c.text)), c.want) << c.text;
        EXPECT_EQ(unicode::graphemeCount(c.text), c.want.size()) << c.text;
    }
}

TEST(Unicode, AsciiShortcutsMatchIcu) {
    for (int c = 0; c < 0x80; ++c) {
        auto ch = static_cast<char32_t>(c);
        EXPECT_EQ(unicode::isNumeric(ch), u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE) << c;
        EXPECT_EQ(unicode::isAlphabetic(ch), static_cast<bool>(u_hasBinaryProperty(c, UCHAR_ALPHABETIC)))
            << c;
        EXPECT_EQ(unicode::isWhiteSpace(ch), static_cast<bool>(u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)))
            << c;
    }
    // Every pair of ASCII characters, so CR LF and every other join rule is met.
    std::string all;
    for (int x = 0; x < 0x80; ++x) {
        for (int y = 0; y < 0x80; ++y) {
            std::string pair{static_cast<char>(x), static_cast<char>(y)};
            ASSERT_EQ(asStrings(unicode::graphemes(pair)), icuGraphemes(pair)) << x << "," << y;
        }
        all.push_back(static_cast<char>(x));
    }
    all += "\r\n\r\r\n\n";
    EXPECT_EQ(asStrings(unicode::graphemes(all)), icuGraphemes(all));
    EXPECT_EQ(unicode::lowercase(all), icuLowerNFC(all));
    EXPECT_EQ(unicode::toLowerNFC(all), icuLowerNFC(all));
    EXPECT_EQ(unicode::nfc(all), all);
}

TEST(Unicode, CharacterClasses) {
    for (char32_t c : {U'7', U'\u0663', U'\u00B2', U'\u00BD', U'\u216B', U'\uFF11', U'\u4E94'}) {
        EXPECT_TRUE(unicode::isNumeric(c))
            << static_cast<uint32_t>(c); // digits of any script, ², ½, Ⅻ, １, 五
    }
    for (char32_t c : {U'a', U'.', U' ', U'\u00E9', U'\u0301'})
        EXPECT_FALSE(unicode::isNumeric(c));
    for (char32_t c : {U'Z', U'\u00E9', U'\u0436', U'\u4E2D', U'\u216B'})
        EXPECT_TRUE(unicode::isAlphabetic(c));
    for (char32_t c : {U'1', U'-', U'\u00B2', U'\U0001F600'})
        EXPECT_FALSE(unicode::isAlphabetic(c));
    for (char32_t c : {U'\t', U'\u00A0', U'\u2029', U'\u3000', U'\u0085'})
        EXPECT_TRUE(unicode::isWhiteSpace(c));
    for (char32_t c : {U'\x1F', U'\u200B', U'x'})
        EXPECT_FALSE(unicode::isWhiteSpace(c));
}

TEST(Unicode, ControlCharacters) {
    using namespace std::string_literals;
    struct Case {
        std::string text;
        bool control;
    };
    const std::vector<Case> cases = {
        {"Plain Name.app", false},
        {"", false},
        {"Caf\u00E9 \u2014 \U0001F600", false},
        {"\u00A0no-break space and \u00A9", false}, // 0xC2 0xA0 and 0xC2 0xA9 are no controls
        {"line\nfeed", true},
        {"carriage\rreturn", true},
        {"tab\there", true},
        {"nul\0inside"s, true},
        {"\x1f", true},
        {"del\x7f", true},
        {"next line \u0085", true},
        {"\u009F last C1", true},
        {"stray byte \x85 alone", false}, // not UTF-8, and no C1 character
        {"cut off \xC2", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(unicode::hasControlCharacter(c.text), c.control) << c.text;
}

TEST(Unicode, FirstScalar) {
    EXPECT_FALSE(unicode::firstScalar(""));
    EXPECT_EQ(unicode::firstScalar("v1"), U'v');
    EXPECT_EQ(unicode::firstScalar("\u00E9t\u00E9"), U'\u00E9');
    EXPECT_EQ(unicode::firstScalar("\U0001F600"), U'\U0001F600');
    EXPECT_EQ(unicode::firstScalar("\xFF"
                                   "a"),
              U'\uFFFD');
    EXPECT_EQ(unicode::firstScalar("\xE2\x82"), U'\uFFFD'); // truncated sequence
}

TEST(Unicode, LowercaseAndNormalisation) {
    struct Case {
        const char* text;
        const char* lower;
        const char* lowerNFC;
    };
    const Case cases[] = {
        {"ÀÉÎ-Beta", "àéî-beta", "àéî-beta"},
        {"\u0130", "i\u0307", "i\u0307"}, // full mapping: İ becomes two scalars
        {"\u03A3\u0391\u03A3", "\u03C3\u03B1\u03C2", "\u03C3\u03B1\u03C2"}, // final sigma
        {"\u1E9E", "\u00DF", "\u00DF"},                                     // capital sharp s
        {"E\u0301", "e\u0301", "\u00E9"},                                   // composed after lower-casing
        {"\u212B", "\u00E5", "\u00E5"},                                     // Ångström sign
    };
    for (const Case& c : cases) {
        EXPECT_EQ(unicode::lowercase(c.text), c.lower) << c.text;
        EXPECT_EQ(unicode::toLowerNFC(c.text), c.lowerNFC) << c.text;
    }
    EXPECT_EQ(unicode::nfc("e\u0301"), "\u00E9");
    EXPECT_EQ(unicode::nfc("\u212B"), "\u00C5");
    EXPECT_EQ(unicode::nfc("\u00C5"), "\u00C5");
    EXPECT_EQ(unicode::nfc("a\xFF"), "a\uFFFD"); // ill-formed input is repaired, not rejected
}

TEST(Unicode, Trim) {
    struct Case {
        const char* text;
        const char* want;
    };
    const Case cases[] = {
        {"", ""},
        {" \t\r\n", ""},
        {"  a b \t\n", "a b"},
        {"\u00A0\u3000x y\u2029\u0085", "x y"},
        {"\x1F"
         "a\x1F",
         "\x1F"
         "a\x1F"},              // unit separators are not white space
        {"\u200Bx", "\u200Bx"}, // nor is the zero-width space
        {" \xFF ", "\xFF"},     // an ill-formed byte is kept and stops the trim
    };
    for (const Case& c : cases)
        EXPECT_EQ(unicode::trim(c.text), c.want) << c.text;
}

namespace {

std::string joined(const std::vector<std::string_view>& pieces, std::size_t from, std::size_t to) {
    std::string out;
    for (std::size_t i = from; i < to; ++i)
        out += pieces[i];
    return out;
}

} // namespace

TEST(Unicode, FirstAndLastCharactersCountUserPerceivedCharacters) {
    struct Case {
        const char* text;
        std::size_t n;
        const char* first;
        const char* last;
    };
    const Case cases[] = {
        {"", 3, "", ""},
        {"hello", 0, "", ""},
        {"hello", 3, "hel", "llo"},
        {"hello", 9, "hello", "hello"},
        {"\r\nab\r\n", 1, "\r\n", "\r\n"},              // CR LF is one character
        {"ab\n\r", 1, "a", "\r"},                       // LF CR is two
        {"e\u0301te\u0301", 2, "e\u0301t", "te\u0301"}, // combining accents stay on their letter
        {"a\U0001F468\u200D\U0001F469\u200D\U0001F467", 1, "a",
         "\U0001F468\u200D\U0001F469\u200D\U0001F467"}, // a family joined by ZWJ
        {"x\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA", 1, "x", "\U0001F1E9\U0001F1EA"}, // two flags
        {"x\u06001", 1, "x", "\u06001"}, // a prepended mark takes the ASCII digit after it
        {"\xFF"
         "ab",
         2,
         "\xFF"
         "a",
         "ab"}, // an ill-formed byte is one character
    };
    for (const Case& c : cases) {
        EXPECT_EQ(unicode::firstCharacters(c.text, c.n), c.first) << c.text << " n=" << c.n;
        EXPECT_EQ(unicode::lastCharacters(c.text, c.n), c.last) << c.text << " n=" << c.n;
    }
}

TEST(Unicode, FirstAndLastCharactersAgreeWithGraphemesForEveryCount) {
    for (std::string text :
         {std::string("plain ascii\r\n"),
          std::string("Caf\u00E9 e\u0301\u0302 \U0001F1EF\U0001F1F5\U0001F1FA\U0001F1F8 "
                      "\U0001F469\U0001F3FD\u200D\U0001F4BB \u0915\u094D\u0937 \u06001\r\n")}) {
        auto pieces = unicode::graphemes(text);
        for (std::size_t n = 0; n <= pieces.size() + 1; ++n) {
            std::size_t k = std::min(n, pieces.size());
            EXPECT_EQ(unicode::firstCharacters(text, n), joined(pieces, 0, k)) << text << " n=" << n;
            EXPECT_EQ(unicode::lastCharacters(text, n), joined(pieces, pieces.size() - k, pieces.size()))
                << text << " n=" << n;
        }
    }
}

TEST(Unicode, LastCharactersOfMegabytesOfOutput) {
    std::string text;
    for (int i = 0; i < 400000; ++i)
        text += "d\u00E9j\u00E0 ";
    text += "fin e\u0301";
    EXPECT_EQ(unicode::lastCharacters(text, 5), "fin e\u0301");
    EXPECT_EQ(unicode::firstCharacters(text, 4), "d\u00E9j\u00E0");
}

TEST(Unicode, IllFormedSequencesBecomeReplacementCharacters) {
    const std::string r = "\xEF\xBF\xBD";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain", "plain"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"caf\xE9", "caf" + r},              // a Latin-1 byte
        {"\xC0\xAF", r + r},                 // overlong
        {"\xED\xA0\x80", r + r + r},         // a surrogate
        {"a\xE2\x82", "a" + r},              // cut off
        {"\xF4\x90\x80\x80", r + r + r + r}, // beyond U+10FFFF
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(unicode::toValidUtf8(in), out) << in;
        // Valid exactly when nothing had to be replaced; long ASCII runs are checked eight bytes at a time.
        EXPECT_EQ(unicode::isValidUtf8(in), in == out) << in;
        EXPECT_EQ(unicode::isValidUtf8(std::string(13, 'x') + in + std::string(9, 'y')), in == out) << in;
    }
    EXPECT_TRUE(unicode::isValidUtf8(""));
    EXPECT_TRUE(unicode::isValidUtf8("ô¿¿")); // U+10FFFF, the last scalar

    EXPECT_EQ(unicode::fromEncoding("caf\xE9 \x80", "windows-1252"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(unicode::fromEncoding("\x82\xA0\xFF", "Shift_JIS"), "\xE3\x81\x82" + r);
    EXPECT_EQ(unicode::fromEncoding(std::string("a\0\0\xD8", 4), "UTF-16LE"), "a" + r);
    EXPECT_EQ(unicode::fromEncoding("", "ISO-8859-1"), "");
    EXPECT_EQ(unicode::fromEncoding("x", "x-unheard-of"), std::nullopt);
}
