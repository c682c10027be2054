#include "PelKit/UpdateSources/SparkleEncoding.hpp"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>
#include <unicode/ustring.h>

#include <memory>

namespace pelkit::appcast {
namespace {

struct ConverterCloser {
    void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter openConverter(const char* name) {
    UErrorCode err = U_ZERO_ERROR;
    Converter c(ucnv_open(name, &err));
    if (U_FAILURE(err)) return nullptr;
    return c;
}

// Every unassigned or ill-formed sequence becomes one U+FFFD (ICU's own substitute is U+001A
// for some single-byte encodings, which XML does not allow).
void replacementCallback(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                                 UConverterCallbackReason reason, UErrorCode* err) {
    if (reason > UCNV_IRREGULAR) return;  // reset, close, clone
    static const UChar replacement = 0xFFFD;
    *err = U_ZERO_ERROR;
    ucnv_cbToUWriteUChars(args, &replacement, 1, 0, err);
}

bool isMarkupAscii(int c) { return c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c < 0x7F); }

}  // namespace

int XMLCALL unknownEncoding(void* data, const XML_Char* name, XML_Encoding* info) {
    auto& note = *static_cast<EncodingNote*>(data);
    note.asked = true;
    Converter cnv = openConverter(name);
    if (!cnv) return XML_STATUS_ERROR;
    if (ucnv_getMaxCharSize(cnv.get()) != 1) {
        note.convertWhole = name;
        return XML_STATUS_ERROR;
    }
    UErrorCode err = U_ZERO_ERROR;
    ucnv_setToUCallBack(cnv.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
    for (int byte = 0; byte < 256; ++byte) {
        const char in = static_cast<char>(byte);
        UChar out[4];
        err = U_ZERO_ERROR;
        const int32_t n = ucnv_toUChars(cnv.get(), out, 4, &in, 1, &err);
        int c = (U_SUCCESS(err) && n == 1 && !U16_IS_SURROGATE(out[0])) ? out[0] : 0xFFFD;
        // Markup must stay where XML expects it; an encoding that moves it is converted whole.
        const bool moved = byte < 0x80 ? isMarkupAscii(byte) && c != byte : c < 0x80 && isMarkupAscii(c);
        if (moved) {
            note.convertWhole = name;
            return XML_STATUS_ERROR;
        }
        info->map[byte] = c;
    }
    info->data = nullptr;
    info->convert = nullptr;
    info->release = nullptr;
    return XML_STATUS_OK;
}

std::optional<std::string> toUTF8(std::string_view bytes, const std::string& encoding) {
    Converter cnv = openConverter(encoding.c_str());
    if (!cnv) return std::nullopt;
    UErrorCode err = U_ZERO_ERROR;
    ucnv_setToUCallBack(cnv.get(), replacementCallback, nullptr, nullptr, nullptr, &err);
    if (U_FAILURE(err)) return std::nullopt;

    std::u16string wide;
    const char* source = bytes.data();
    const char* const sourceEnd = bytes.data() + bytes.size();
    std::u16string chunk(65536, u'\0');
    do {
        err = U_ZERO_ERROR;
        UChar* target = reinterpret_cast<UChar*>(chunk.data());
        UChar* const begin = target;
        ucnv_toUnicode(cnv.get(), &target, target + chunk.size(), &source, sourceEnd, nullptr, true, &err);
        wide.append(chunk.data(), static_cast<std::size_t>(target - begin));
    } while (err == U_BUFFER_OVERFLOW_ERROR);
    if (U_FAILURE(err)) return std::nullopt;

    std::string utf8(wide.size() * 3, '\0');
    int32_t length = 0;
    err = U_ZERO_ERROR;
    u_strToUTF8WithSub(utf8.data(), static_cast<int32_t>(utf8.size()), &length,
                       reinterpret_cast<const UChar*>(wide.data()), static_cast<int32_t>(wide.size()), 0xFFFD,
                       nullptr, &err);
    if (U_FAILURE(err)) return std::nullopt;
    utf8.resize(static_cast<std::size_t>(length));
    return utf8;
}

bool hasWideSignature(std::string_view bytes) {
    auto starts = [&](std::string_view sig) { return bytes.substr(0, sig.size()) == sig; };
    using namespace std::string_view_literals;
    return starts("\xFE\xFF"sv) || starts("\xFF\xFE"sv);
}

}  // namespace pelkit::appcast
