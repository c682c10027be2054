#pragma once

// Checks and normalisation of property-list bytes before libplist sees them. libplist recurses
// per level of nesting and asserts on texts holding a NUL, so whatever would make it overflow
// the stack or abort is refused here with a PlistError.

#include <cstdint>
#include <string>
#include <string_view>

namespace platform::plistinput {

inline constexpr const char* kNulInText = "property list text holds a NUL character";

// Binary: refuses a structure that cannot be walked, nesting beyond `maxDepth`, more than
// `maxNodes` values once shared references are unfolded, and texts (keys included) holding a NUL.
void checkBinaryShape(std::string_view bytes, int maxDepth, std::uint32_t maxNodes);

// XML: the document as UTF-8. A byte-order mark or the UTF-16 form of "<?" decides the
// encoding, else the declaration's encoding when ICU knows it; without either the bytes are
// taken as they are (ill-formed sequences are replaced when the texts are read).
std::string xmlAsUtf8(std::string_view bytes);

// XML (UTF-8): refuses a NUL anywhere and elements nested deeper than `maxDepth`. Markup inside
// comments, CDATA sections, processing instructions, declarations and quoted attribute values does
// not nest.
void checkXmlShape(std::string_view utf8, int maxDepth);

} // namespace platform::plistinput
