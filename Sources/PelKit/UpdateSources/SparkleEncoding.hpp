#pragma once

#include <expat.h>

#include <optional>
#include <string>
#include <string_view>

namespace pelkit::appcast {

// What the unknown-encoding handler found out about a document's declared encoding.
struct EncodingNote {
    bool asked = false;  // the document declared an encoding that expat does not know itself
    // Set when ICU knows the encoding but an expat byte map cannot express it (multi-byte, or an
    // ASCII range that is not ASCII): the document must be converted to UTF-8 as a whole.
    std::optional<std::string> convertWhole;
};

// For XML_SetUnknownEncodingHandler, with an EncodingNote as its data. Single-byte encodings
// that ICU knows become an expat byte map; bytes the encoding leaves unassigned read as U+FFFD.
int XMLCALL unknownEncoding(void* note, const XML_Char* name, XML_Encoding* info);

// Whether the bytes begin with a UTF-16 byte-order mark.
bool hasWideSignature(std::string_view bytes);

}  // namespace pelkit::appcast
