#include "PelKit/UpdateSources/SparkleEncoding.hpp"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

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

bool hasWideSignature(std::string_view bytes) {
    auto starts = [&](std::string_view sig) { return bytes.substr(0, sig.size()) == sig; };
    using namespace std::string_view_literals;
    return starts("\xFE\xFF"sv) || starts("\xFF\xFE"sv);
}

}  // namespace pelkit::appcast
