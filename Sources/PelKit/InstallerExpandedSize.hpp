#pragma once

// The pieces shared by the readers of InstallerExpandedSize*.cpp, which find what an archive
// unpacks to without writing anything. The archive is foreign input: every length is checked
// against what is there, sums saturate instead of wrapping, and whatever an unpacker could read
// otherwise than the reader does makes the listing unreadable.

#include <sys/types.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace pelkit::expanded {

inline constexpr std::int64_t kMaxSize = std::numeric_limits<std::int64_t>::max();

inline std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    return a > kMaxSize - b ? kMaxSize : a + b;
}

inline std::int64_t clampToSize(std::uint64_t v) {
    return v > static_cast<std::uint64_t>(kMaxSize) ? kMaxSize : static_cast<std::int64_t>(v);
}

inline std::uint64_t littleEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = width; i-- > 0;)
        v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

// Throws UNS_ARCHIVE_FORMAT "cannot read the archive's listing: " + reason. An archive whose
// listing cannot be read in full is never counted as the part that could.
[[noreturn]] void unreadable(std::string_view reason);

// A file opened for reading, closed with this object.
class File {
public:
    explicit File(const std::string& path);
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // The size of a regular file; nothing for anything else.
    std::optional<std::int64_t> size() const;
    // Exactly `n` bytes at `offset`, or nothing.
    std::optional<std::string> readAt(std::int64_t offset, std::size_t n) const;
    // Up to `n` bytes at `offset`: 0 at the end, -1 on error.
    ssize_t readSomeAt(std::int64_t offset, char* into, std::size_t n) const;
    // Up to `n` bytes from the current position: 0 at the end, -1 on error.
    ssize_t read(char* into, std::size_t n) const;

private:
    int fd_;
};

// What a zip unpacks to: its entries' data inflated. Throws through `unreadable`.
std::int64_t zipExpandedSize(const File& file);

enum class Compression { gzip, bzip2 };
// What a compressed tar unpacks to: the file sizes of its headers, sparse files at their real
// size. Throws through `unreadable`.
std::int64_t tarExpandedSize(const File& file, Compression compression);

} // namespace pelkit::expanded
