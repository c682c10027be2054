#include "Platform/Unicode.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

namespace platform::unicode {

namespace {

bool asciiUpper(char c) {
    return c >= 'A' && c <= 'Z';
}

// Each unassigned or ill-formed sequence becomes U+FFFD (ICU's own substitute is U+001A in some
// encodings).
void replaceWithFffd(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                     UConverterCallbackReason reason, UErrorCode* status) {
    if (reason > UCNV_IRREGULAR) return; // reset, close, clone
    static const UChar replacement = 0xFFFD;
    *status = U_ZERO_ERROR;
    ucnv_cbToUWriteUChars(args, &replacement, 1, 0, status);
}

// Character break iterators are costly to build, so each thread keeps one.
icu::BreakIterator* characterBreaker() {
    thread_local std::unique_ptr<icu::BreakIterator> breaker = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        return U_SUCCESS(status) ? std::move(made) : nullptr;
    }();
    return breaker.get();
}

// Calls `emit(begin, end)` with the byte range of each grapheme cluster.
template <class Emit> void forEachGrapheme(std::string_view text, Emit&& emit) {
    if (text.empty()) return;
    if (isAscii(text)) {
        // In ASCII only CR LF forms a cluster of more than one character.
        for (std::size_t i = 0; i < text.size();) {
            std::size_t len = (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
            emit(i, i + len);
            i += len;
        }
        return;
    }
    icu::BreakIterator* breaker = characterBreaker();
    UErrorCode status = U_ZERO_ERROR;
    UText ut = UTEXT_INITIALIZER;
    utext_openUTF8(&ut, text.data(), static_cast<int64_t>(text.size()), &status);
    if (breaker != nullptr && U_SUCCESS(status)) breaker->setText(&ut, status);
    if (breaker == nullptr || U_FAILURE(status)) {
        // No break data: fall back to one cluster per scalar rather than fail.
        utext_close(&ut);
        const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
        int32_t length = static_cast<int32_t>(text.size());
        for (int32_t i = 0; i < length;) {
            int32_t start = i;
            UChar32 c;
            U8_NEXT(bytes, i, length, c);
            (void)c;
            emit(static_cast<std::size_t>(start), static_cast<std::size_t>(i));
        }
        return;
    }
    // UTF-8 UText native indices are byte offsets into `text`.
    int32_t start = breaker->first();
    for (int32_t end = breaker->next(); end != icu::BreakIterator::DONE; end = breaker->next()) {
        emit(static_cast<std::size_t>(start), static_cast<std::size_t>(end));
        start = end;
    }
    utext_close(&ut);
}

// Runs `walk(breaker)` with this thread's character breaker over `text` (at most INT32_MAX bytes);
// false when ICU cannot segment it.
template <class Walk> bool withCharacterBreaker(std::string_view text, Walk&& walk) {
    icu::BreakIterator* breaker = characterBreaker();
    if (breaker == nullptr) return false;
    UErrorCode status = U_ZERO_ERROR;
    UText ut = UTEXT_INITIALIZER;
    utext_openUTF8(&ut, text.data(), static_cast<int64_t>(text.size()), &status);
    if (U_SUCCESS(status)) breaker->setText(&ut, status);
    if (U_FAILURE(status)) {
        utext_close(&ut);
        return false;
    }
    walk(*breaker);
    utext_close(&ut);
    return true;
}

bool isContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// ICU's break positions are 32-bit: beyond that, only the part next to the end that is walked from
// is looked at, cut at a scalar boundary.
constexpr std::size_t kMaxSegmented = static_cast<std::size_t>(INT32_MAX);

icu::UnicodeString toIcu(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string fromIcu(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

void normalizeInPlace(icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return;
    icu::UnicodeString composed = normalizer->normalize(text, status);
    if (U_SUCCESS(status)) text = std::move(composed);
}

} // namespace

bool isAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

bool hasControlCharacter(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) return true;
        // U+0080 to U+009F are 0xC2 followed by 0x80 to 0x9F.
        if (c == 0xc2 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9f) return true;
        }
    }
    return false;
}

bool isValidUtf8(std::string_view s) {
    auto p = reinterpret_cast<const unsigned char*>(s.data());
    const auto end = p + s.size();
    while (p < end) {
        if (end - p >= 8) {
            std::uint64_t block;
            std::memcpy(&block, p, 8);
            if ((block & 0x8080808080808080ULL) == 0) {
                p += 8;
                continue;
            }
        }
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (end - p <= extra) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (int i = 2; i <= extra; ++i) {
            if (p[i] < 0x80 || p[i] > 0xBF) return false;
        }
        p += extra + 1;
    }
    return true;
}

std::string toValidUtf8(std::string_view text) {
    if (isAscii(text)) return std::string(text);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int64_t>(text.size());
    std::string out;
    out.reserve(text.size());
    for (int64_t i = 0; i < length;) {
        const int64_t start = i;
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) {
            out += "\xEF\xBF\xBD";
        } else {
            out.append(text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
        }
    }
    return out;
}

std::optional<std::string> fromEncoding(std::string_view bytes, const char* encoding) {
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) return std::nullopt;
    const auto length = static_cast<int32_t>(bytes.size());
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UConverter, decltype(&ucnv_close)> converter(ucnv_open(encoding, &status), &ucnv_close);
    if (U_FAILURE(status) || !converter) return std::nullopt;
    ucnv_setToUCallBack(converter.get(), replaceWithFffd, nullptr, nullptr, nullptr, &status);
    if (U_FAILURE(status)) return std::nullopt;
    const int32_t needed = ucnv_toUChars(converter.get(), nullptr, 0, bytes.data(), length, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
    status = U_ZERO_ERROR;
    ucnv_resetToUnicode(converter.get());
    std::u16string wide(static_cast<std::size_t>(needed), u'\0');
    ucnv_toUChars(converter.get(), reinterpret_cast<UChar*>(wide.data()), needed, bytes.data(), length,
                  &status);
    if (U_FAILURE(status)) return std::nullopt;
    std::string out;
    icu::UnicodeString(false, reinterpret_cast<const UChar*>(wide.data()), needed).toUTF8String(out);
    return out;
}

std::vector<std::string_view> graphemes(std::string_view text) {
    std::vector<std::string_view> out;
    forEachGrapheme(
        text, [&](std::size_t begin, std::size_t end) { out.push_back(text.substr(begin, end - begin)); });
    return out;
}

std::size_t graphemeCount(std::string_view text) {
    std::size_t count = 0;
    forEachGrapheme(text, [&](std::size_t, std::size_t) { ++count; });
    return count;
}

std::optional<char32_t> firstScalar(std::string_view text) {
    if (text.empty()) return std::nullopt;
    auto first = static_cast<unsigned char>(text[0]);
    if (first < 0x80) return static_cast<char32_t>(first);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    int32_t length = static_cast<int32_t>(std::min<std::size_t>(text.size(), 4));
    int32_t i = 0;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    return c < 0 ? char32_t{0xFFFD} : static_cast<char32_t>(c);
}

bool isNumeric(char32_t c) {
    if (c < 0x80) return c >= '0' && c <= '9';
    return u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

bool isAlphabetic(char32_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC);
}

bool isWhiteSpace(char32_t c) {
    if (c < 0x80) return c == ' ' || (c >= '\t' && c <= '\r');
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE);
}

std::string lowercase(std::string_view text) {
    if (isAscii(text)) {
        std::string out(text);
        for (char& c : out) {
            if (asciiUpper(c)) c = static_cast<char>(c - 'A' + 'a');
        }
        return out;
    }
    icu::UnicodeString u = toIcu(text);
    u.toLower(icu::Locale::getRoot());
    return fromIcu(u);
}

std::string nfc(std::string_view text) {
    if (isAscii(text)) return std::string(text);
    icu::UnicodeString u = toIcu(text);
    normalizeInPlace(u);
    return fromIcu(u);
}

std::string toLowerNFC(std::string_view text) {
    if (isAscii(text)) return lowercase(text);
    icu::UnicodeString u = toIcu(text);
    u.toLower(icu::Locale::getRoot());
    normalizeInPlace(u);
    return fromIcu(u);
}

std::string trim(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    // ICU's macros index with int32_t; texts beyond that are not trimmed.
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) return std::string(text);
    int32_t length = static_cast<int32_t>(text.size());
    int32_t begin = 0;
    while (begin < length) {
        int32_t next = begin;
        UChar32 c;
        U8_NEXT(bytes, next, length, c);
        if (c < 0 || !isWhiteSpace(static_cast<char32_t>(c))) break;
        begin = next;
    }
    int32_t end = length;
    while (end > begin) {
        int32_t prev = end;
        UChar32 c;
        U8_PREV(bytes, begin, prev, c);
        if (c < 0 || !isWhiteSpace(static_cast<char32_t>(c))) break;
        end = prev;
    }
    return std::string(text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
}

std::string lastCharacters(std::string_view text, std::size_t n) {
    if (n == 0 || text.empty()) return {};
    if (isAscii(text)) {
        std::size_t begin = text.size();
        for (std::size_t count = 0; count < n && begin > 0; ++count)
            begin -= (begin >= 2 && text[begin - 1] == '\n' && text[begin - 2] == '\r') ? 2 : 1;
        return std::string(text.substr(begin));
    }
    std::string_view tail = text;
    if (tail.size() > kMaxSegmented) {
        tail = tail.substr(tail.size() - kMaxSegmented);
        while (!tail.empty() && isContinuationByte(tail.front()))
            tail.remove_prefix(1);
    }
    std::size_t begin = tail.size();
    bool segmented = withCharacterBreaker(tail, [&](icu::BreakIterator& breaker) {
        int32_t pos = breaker.last();
        for (std::size_t count = 0; count < n; ++count) {
            int32_t previous = breaker.previous();
            if (previous == icu::BreakIterator::DONE) break;
            pos = previous;
        }
        begin = static_cast<std::size_t>(pos);
    });
    if (!segmented) {
        // No break data: one character per scalar.
        const auto* bytes = reinterpret_cast<const uint8_t*>(tail.data());
        int32_t i = static_cast<int32_t>(tail.size());
        for (std::size_t count = 0; count < n && i > 0; ++count)
            U8_BACK_1(bytes, 0, i);
        begin = static_cast<std::size_t>(i);
    }
    return std::string(tail.substr(begin));
}

std::string firstCharacters(std::string_view text, std::size_t n) {
    if (n == 0 || text.empty()) return {};
    if (isAscii(text)) {
        std::size_t end = 0;
        for (std::size_t count = 0; count < n && end < text.size(); ++count)
            end += (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1;
        return std::string(text.substr(0, end));
    }
    std::string_view head = text;
    if (head.size() > kMaxSegmented) {
        head = head.substr(0, kMaxSegmented);
        while (!head.empty() && isContinuationByte(head.back()))
            head.remove_suffix(1);
    }
    std::size_t end = 0;
    bool segmented = withCharacterBreaker(head, [&](icu::BreakIterator& breaker) {
        int32_t pos = breaker.first();
        for (std::size_t count = 0; count < n; ++count) {
            int32_t next = breaker.next();
            if (next == icu::BreakIterator::DONE) break;
            pos = next;
        }
        end = static_cast<std::size_t>(pos);
    });
    if (!segmented) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(head.data());
        int32_t length = static_cast<int32_t>(head.size());
        int32_t i = 0;
        for (std::size_t count = 0; count < n && i < length; ++count)
            U8_FWD_1(bytes, i, length);
        end = static_cast<std::size_t>(i);
    }
    return std::string(head.substr(0, end));
}

} // namespace platform::unicode
