// The Mach-O header reader: any bytes give a list of known architecture names (no more than a fat
// table may hold), whatever file size is claimed for them.

#include "FuzzSupport.hpp"
#include "PelKit/MachOHeader.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace {

void requirePlausible(const std::vector<std::string>& names) {
    pelfuzz::require(names.size() <= 32);
    for (const auto& name : names) {
        pelfuzz::require(!name.empty());
        // The names are stored comma-separated and shown blank-separated.
        pelfuzz::require(name.find_first_of(", \n") == std::string::npos);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string header = pelfuzz::textOf(data, size);
    requirePlausible(pelkit::MachOHeader::architectures(header, header.size()));
    // The first eight bytes as the claimed size of a longer file.
    if (size >= 8) {
        std::uint64_t claimed = 0;
        std::memcpy(&claimed, data, sizeof claimed);
        requirePlausible(pelkit::MachOHeader::architectures(header, claimed));
    }
    return 0;
}
