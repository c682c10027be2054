#include "PelKit/MachOHeader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace pelkit {
namespace {

constexpr std::uint32_t kAbi64 = 0x01000000;
constexpr std::uint32_t kAbi64_32 = 0x02000000;
constexpr std::uint32_t kX86 = 7;
constexpr std::uint32_t kArm = 12;
constexpr std::uint32_t kPowerPC = 18;
// The high byte of a subtype holds capability bits (the 64-bit library flag, pointer
// authentication), not the subtype itself.
constexpr std::uint32_t kSubtypeMask = 0x00ffffff;

struct ArchName {
    std::uint32_t type;
    std::uint32_t subtype;
    const char* name;
};

constexpr ArchName kNames[] = {
    {kX86, 3, "i386"},
    {kX86 | kAbi64, 3, "x86_64"},
    {kX86 | kAbi64, 8, "x86_64h"},
    {kArm, 0, "arm"},
    {kArm, 5, "armv4t"},
    {kArm, 6, "armv6"},
    {kArm, 7, "armv5"},
    {kArm, 8, "xscale"},
    {kArm, 9, "armv7"},
    {kArm, 10, "armv7f"},
    {kArm, 11, "armv7s"},
    {kArm, 12, "armv7k"},
    {kArm, 13, "armv8"},
    {kArm, 14, "armv6m"},
    {kArm, 15, "armv7m"},
    {kArm, 16, "armv7em"},
    {kArm | kAbi64, 0, "arm64"},
    {kArm | kAbi64, 1, "arm64v8"},
    {kArm | kAbi64, 2, "arm64e"},
    {kArm | kAbi64_32, 0, "arm64_32"},
    {kArm | kAbi64_32, 1, "arm64_32"},
    {kPowerPC, 0, "ppc"},
    {kPowerPC, 1, "ppc601"},
    {kPowerPC, 3, "ppc603"},
    {kPowerPC, 4, "ppc603e"},
    {kPowerPC, 5, "ppc603ev"},
    {kPowerPC, 6, "ppc604"},
    {kPowerPC, 7, "ppc604e"},
    {kPowerPC, 9, "ppc750"},
    {kPowerPC, 10, "ppc7400"},
    {kPowerPC, 11, "ppc7450"},
    {kPowerPC, 100, "ppc970"},
    {kPowerPC | kAbi64, 0, "ppc64"},
    {kPowerPC | kAbi64, 100, "ppc970-64"},
};

const char* nameOf(std::uint32_t type, std::uint32_t subtype) {
    subtype &= kSubtypeMask;
    for (const auto& arch : kNames) {
        if (arch.type == type && arch.subtype == subtype) return arch.name;
    }
    return nullptr;
}

std::uint32_t read32(std::string_view bytes, std::size_t at, bool bigEndian) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const auto b = static_cast<std::uint8_t>(bytes[at + (bigEndian ? i : 3 - i)]);
        v = (v << 8) | b;
    }
    return v;
}

std::uint64_t read64BigEndian(std::string_view bytes, std::size_t at) {
    return (static_cast<std::uint64_t>(read32(bytes, at, true)) << 32) | read32(bytes, at + 4, true);
}

// Fat files hold few slices; the same magic begins a Java class file, whose version (45 or more)
// stands where the slice count would.
constexpr std::uint32_t kMaxSlices = 32;

std::vector<std::string> fatArchitectures(std::string_view header, std::uint64_t fileSize, bool wide) {
    if (header.size() < 8) return {};
    const std::uint32_t count = read32(header, 4, true);
    if (count == 0 || count > kMaxSlices) return {};
    const std::size_t entrySize = wide ? 32 : 20;
    if (header.size() < 8 + count * entrySize) return {};
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t at = 8 + i * entrySize;
        const std::uint32_t type = read32(header, at, true);
        const std::uint32_t subtype = read32(header, at + 4, true);
        const std::uint64_t offset = wide ? read64BigEndian(header, at + 8) : read32(header, at + 8, true);
        const std::uint64_t size = wide ? read64BigEndian(header, at + 16) : read32(header, at + 12, true);
        if (offset > fileSize || size > fileSize - offset) return {};
        if (const char* name = nameOf(type, subtype)) names.emplace_back(name);
    }
    return names;
}

std::vector<std::string> thinArchitecture(std::string_view header, std::uint64_t fileSize, bool wide,
                                          bool bigEndian) {
    const std::size_t headerSize = wide ? 32 : 28;
    if (header.size() < headerSize) return {};
    const std::uint32_t commandsSize = read32(header, 20, bigEndian);
    if (commandsSize > fileSize - headerSize) return {};
    const char* name = nameOf(read32(header, 4, bigEndian), read32(header, 8, bigEndian));
    if (!name) return {};
    return {name};
}

} // namespace

std::vector<std::string> MachOHeader::architectures(std::string_view header, std::uint64_t fileSize) {
    if (header.size() < 4 || fileSize < header.size()) return {};
    switch (read32(header, 0, true)) {
    case 0xcafebabe:
        return fatArchitectures(header, fileSize, false);
    case 0xcafebabf:
        return fatArchitectures(header, fileSize, true);
    case 0xfeedface:
        return thinArchitecture(header, fileSize, false, true);
    case 0xfeedfacf:
        return thinArchitecture(header, fileSize, true, true);
    case 0xcefaedfe:
        return thinArchitecture(header, fileSize, false, false);
    case 0xcffaedfe:
        return thinArchitecture(header, fileSize, true, false);
    default:
        return {};
    }
}

std::vector<std::string> MachOHeader::architecturesOfFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {};
    struct stat st {};
    std::optional<std::string> header;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0) {
        std::string bytes(maxHeaderBytes, '\0');
        std::size_t got = 0;
        bool failed = false;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) failed = true;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
        if (!failed) header = std::move(bytes);
    }
    ::close(fd);
    if (!header) return {};
    return architectures(*header, static_cast<std::uint64_t>(st.st_size));
}

} // namespace pelkit
