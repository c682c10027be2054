#include "Support/MachOBytes.hpp"

namespace pelsupport {
namespace {

void put32(std::string& out, std::uint32_t v, ByteOrder order) {
    for (int i = 0; i < 4; ++i) {
        const int shift = order == ByteOrder::big ? 24 - 8 * i : 8 * i;
        out += static_cast<char>((v >> shift) & 0xff);
    }
}

void put64(std::string& out, std::uint64_t v) {
    put32(out, static_cast<std::uint32_t>(v >> 32), ByteOrder::big);
    put32(out, static_cast<std::uint32_t>(v), ByteOrder::big);
}

constexpr std::uint32_t kAbi64 = 0x01000000;
constexpr std::size_t kSliceAlignment = 64;

} // namespace

std::string thinMachO(MachOSlice slice, MachOWidth width, ByteOrder order) {
    std::string out;
    put32(out, width == MachOWidth::bits64 ? 0xfeedfacf : 0xfeedface, order);
    put32(out, slice.cpuType, order);
    put32(out, slice.cpuSubtype, order);
    put32(out, 2, order); // an executable
    put32(out, 0, order); // load commands
    put32(out, 0, order); // their size
    put32(out, 0, order); // flags
    if (width == MachOWidth::bits64) put32(out, 0, order);
    return out;
}

std::string fatMachO(const std::vector<MachOSlice>& slices, bool wideTable) {
    std::vector<std::string> bodies;
    for (const auto& slice : slices)
        bodies.push_back(
            thinMachO(slice, (slice.cpuType & kAbi64) ? MachOWidth::bits64 : MachOWidth::bits32));

    std::string out;
    put32(out, wideTable ? 0xcafebabf : 0xcafebabe, ByteOrder::big);
    put32(out, static_cast<std::uint32_t>(slices.size()), ByteOrder::big);
    const std::size_t entrySize = wideTable ? 32 : 20;
    std::size_t offset = 8 + slices.size() * entrySize;
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < slices.size(); ++i) {
        offset = (offset + kSliceAlignment - 1) / kSliceAlignment * kSliceAlignment;
        offsets.push_back(offset);
        put32(out, slices[i].cpuType, ByteOrder::big);
        put32(out, slices[i].cpuSubtype, ByteOrder::big);
        if (wideTable) {
            put64(out, offset);
            put64(out, bodies[i].size());
            put32(out, 6, ByteOrder::big); // alignment, as a power of two
            put32(out, 0, ByteOrder::big);
        } else {
            put32(out, static_cast<std::uint32_t>(offset), ByteOrder::big);
            put32(out, static_cast<std::uint32_t>(bodies[i].size()), ByteOrder::big);
            put32(out, 6, ByteOrder::big);
        }
        offset += bodies[i].size();
    }
    for (std::size_t i = 0; i < slices.size(); ++i) {
        out.resize(offsets[i], '\0');
        out += bodies[i];
    }
    return out;
}

} // namespace pelsupport
