#include "Support/PlistBytes.hpp"

#include <cstdint>

namespace pelsupport {
namespace {

void bigEndian(std::string& out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A marker with its count: in the low nibble when below 15, else as a following integer.
void marker(std::string& out, unsigned kind, std::uint64_t count) {
    if (count < 15) {
        out.push_back(static_cast<char>((kind << 4) | count));
        return;
    }
    out.push_back(static_cast<char>((kind << 4) | 0x0F));
    const int size = count < 0x100 ? 1 : count < 0x10000 ? 2 : 4;
    out.push_back(static_cast<char>(0x10 | (size == 1 ? 0 : size == 2 ? 1 : 2)));
    bigEndian(out, count, size);
}

void text(std::string& out, const BinaryText& t) {
    if (!t.utf16) {
        marker(out, 0x5, t.bytes.size());
        out += t.bytes;
        return;
    }
    marker(out, 0x6, t.units.size());
    for (char16_t unit : t.units)
        bigEndian(out, unit, 2);
}

} // namespace

std::string binaryTextDictionary(const std::vector<std::pair<BinaryText, BinaryText>>& members) {
    const std::uint64_t n = members.size();
    std::string s = "bplist00";
    std::vector<std::uint64_t> offsets{s.size()};
    marker(s, 0xD, n);
    for (std::uint64_t i = 0; i < 2 * n; ++i)
        bigEndian(s, 1 + i, 1);
    for (const auto& member : members) {
        offsets.push_back(s.size());
        text(s, member.first);
    }
    for (const auto& member : members) {
        offsets.push_back(s.size());
        text(s, member.second);
    }
    const std::uint64_t table = s.size();
    const int offsetSize = table < 0x100 ? 1 : table < 0x10000 ? 2 : 4;
    for (auto offset : offsets)
        bigEndian(s, offset, offsetSize);
    s.append(6, '\0');
    s.push_back(static_cast<char>(offsetSize));
    s.push_back(1); // reference size
    bigEndian(s, offsets.size(), 8);
    bigEndian(s, 0, 8); // the top object
    bigEndian(s, table, 8);
    return s;
}

} // namespace pelsupport
