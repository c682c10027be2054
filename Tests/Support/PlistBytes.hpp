#pragma once

// Binary property lists written byte by byte, for texts the library's own writer cannot hold
// (a NUL inside, stray 8-bit bytes).

#include <string>
#include <utility>
#include <vector>

namespace pelsupport {

// One text object: 8-bit code units, or UTF-16 code units.
struct BinaryText {
    std::string bytes;    // 8-bit: the bytes as stored
    std::u16string units; // UTF-16: the code units, stored big-endian
    bool utf16 = false;
};

inline BinaryText bytesText(std::string bytes) {
    return BinaryText{std::move(bytes), {}, false};
}
inline BinaryText utf16Text(std::u16string units) {
    return BinaryText{{}, std::move(units), true};
}

// A binary property list whose top object is a dictionary of these texts, keys first.
// {CFBundleIdentifier: "com.example.nul", NSHumanReadableCopyright: UTF-16 "a\0b"} takes 123 bytes.
std::string binaryTextDictionary(const std::vector<std::pair<BinaryText, BinaryText>>& members);

} // namespace pelsupport
