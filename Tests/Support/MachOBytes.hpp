#pragma once

// Mach-O files small enough for fixtures: a thin header (no load commands) or a fat file whose
// slices are such thin files, laid out as the real format is (big-endian slice table, each slice
// at its offset and within the file).
//
//     auto exe = pelsupport::fatMachO({pelsupport::machO::x86_64, pelsupport::machO::arm64});
//     BundleBuilder("Foo.app").executableBytes(exe);

#include <cstdint>
#include <string>
#include <vector>

namespace pelsupport {

struct MachOSlice {
    std::uint32_t cpuType;
    std::uint32_t cpuSubtype;
};

namespace machO {
inline constexpr MachOSlice x86_64{0x01000007, 3};
inline constexpr MachOSlice x86_64Lib{0x01000007, 0x80000003}; // the 64-bit library flag set
inline constexpr MachOSlice x86_64h{0x01000007, 8};
inline constexpr MachOSlice arm64{0x0100000c, 0};
inline constexpr MachOSlice arm64e{0x0100000c, 0x80000002}; // with the pointer-authentication ABI bit
inline constexpr MachOSlice i386{7, 3};
inline constexpr MachOSlice ppc{18, 0};
} // namespace machO

enum class MachOWidth { bits32, bits64 };
enum class ByteOrder { little, big };

// A thin Mach-O header with no load commands (a 64-bit header for 64-bit processors by default).
std::string thinMachO(MachOSlice slice, MachOWidth width = MachOWidth::bits64,
                      ByteOrder order = ByteOrder::little);
// A fat file holding one thin file per slice; `wideTable` writes the 64-bit slice table.
std::string fatMachO(const std::vector<MachOSlice>& slices, bool wideTable = false);

} // namespace pelsupport
