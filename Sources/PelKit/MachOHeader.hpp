#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelkit {

// The processor architectures of a Mach-O file, read from its own header: a thin file (32 or 64
// bits, either byte order) names one, a fat file (32- or 64-bit slice table) one per slice, in the
// file's order. The names are the usual tool names ("x86_64", "x86_64h", "arm64", "arm64e", "i386",
// ...). Anything else, a truncated header or a slice table that points past the end of the file,
// gives an empty list; a slice of a processor this table does not know is left out.
class MachOHeader {
public:
    MachOHeader() = delete;

    // Bytes enough to hold any header this reads.
    static constexpr std::size_t maxHeaderBytes = 4096;

    // `header` is the start of the file (up to maxHeaderBytes), `fileSize` the whole file's size.
    static std::vector<std::string> architectures(std::string_view header, std::uint64_t fileSize);

    // The same for the file at `path`; only a regular file is read (never a pipe or a device, which
    // could block or never end), and only its first maxHeaderBytes.
    static std::vector<std::string> architecturesOfFile(const std::string& path);
};

} // namespace pelkit
