#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Unicode text helpers over ICU. Texts are UTF-8; an ill-formed byte counts as U+FFFD wherever a
// character is looked at, so bad input never throws. Every operation takes a byte-wise shortcut
// for all-ASCII text that gives exactly the ICU result.
namespace platform::unicode {

bool isAscii(std::string_view text);

// Holds a C0 control (U+0000 to U+001F: line feed, carriage return, tab, ...), DEL, or a C1 control
// (U+0080 to U+009F) written as UTF-8. Such a character in a name lets the name pass for more than
// one line of a tool's output.
bool hasControlCharacter(std::string_view text);

// Strict UTF-8: no stray or cut-off bytes, no overlong forms, no surrogates, nothing past U+10FFFF.
bool isValidUtf8(std::string_view text);

// The text with each ill-formed UTF-8 sequence (a stray byte, a surrogate, an overlong or cut-off
// sequence) replaced by U+FFFD; well-formed text comes back unchanged.
std::string toValidUtf8(std::string_view text);

// `bytes` decoded from the named encoding and written as UTF-8, each ill-formed or unassigned
// sequence as U+FFFD; nothing when ICU does not know the encoding.
std::optional<std::string> fromEncoding(std::string_view bytes, const char* encoding);

// The user-perceived characters (extended grapheme clusters), as views into `text`.
std::vector<std::string_view> graphemes(std::string_view text);
std::size_t graphemeCount(std::string_view text);

// The first Unicode scalar; U+FFFD when the text starts with an ill-formed sequence.
std::optional<char32_t> firstScalar(std::string_view text);

// Has a Unicode numeric type: decimal digits of any script, superscripts, fractions, Roman numerals.
bool isNumeric(char32_t c);
// Has the Unicode Alphabetic property.
bool isAlphabetic(char32_t c);
// Has the Unicode White_Space property (blanks, tab and the line and paragraph breaks).
bool isWhiteSpace(char32_t c);

// Full Unicode lower-case mapping without language tailoring ("İ" becomes "i̇", final sigma is kept).
std::string lowercase(std::string_view text);
// Canonical composition (NFC).
std::string nfc(std::string_view text);
// lowercase, then NFC: the form in which words are compared without regard to case or encoding.
std::string toLowerNFC(std::string_view text);

// Drops leading and trailing white space (see isWhiteSpace).
std::string trim(std::string_view text);

// The last / first `n` user-perceived characters (all of the text when it has fewer). Only the
// characters kept are segmented, so a short tail of megabytes of tool output stays cheap.
std::string lastCharacters(std::string_view text, std::size_t n);
std::string firstCharacters(std::string_view text, std::size_t n);

} // namespace platform::unicode
