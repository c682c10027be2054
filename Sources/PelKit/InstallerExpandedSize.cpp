// What an archive unpacks to, found before anything is unpacked and without writing anything: a
// zip's entries inflated, a compressed tar's file sizes, or a disk image's own size from its
// trailer. The readers of zips and tars are in InstallerExpandedZip.cpp and InstallerExpandedTar.cpp.

#include "PelKit/Installer.hpp"

#include "PelKit/InstallerExpandedSize.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <stdexcept>

namespace pelkit {

namespace expanded {

void unreadable(std::string_view reason) {
    throw PelError(ErrorCode::UNS_ARCHIVE_FORMAT, std::nullopt, std::nullopt,
                   "cannot read the archive's listing: " + std::string(reason), false);
}

File::File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

std::optional<std::int64_t> File::size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<std::int64_t>(st.st_size);
}

std::optional<std::string> File::readAt(std::int64_t offset, std::size_t n) const {
    std::string bytes(n, '\0');
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = readSomeAt(offset + static_cast<std::int64_t>(got), bytes.data() + got, n - got);
        if (r <= 0) return std::nullopt;
        got += static_cast<std::size_t>(r);
    }
    return bytes;
}

ssize_t File::readSomeAt(std::int64_t offset, char* into, std::size_t n) const {
    if (offset < 0) return -1;
    for (;;) {
        const ssize_t r = ::pread(fd_, into, n, static_cast<off_t>(offset));
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

ssize_t File::read(char* into, std::size_t n) const {
    for (;;) {
        const ssize_t r = ::read(fd_, into, n);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

} // namespace expanded

namespace {

constexpr std::size_t kSector = 512;

std::uint64_t bigEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i)
        v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

// The image's own size: the sector count of its 512-byte trailer.
std::optional<std::int64_t> imageSize(const expanded::File& file) {
    const auto fileSize = file.size();
    if (!fileSize || *fileSize < static_cast<std::int64_t>(kSector)) return std::nullopt;
    auto trailer = file.readAt(*fileSize - static_cast<std::int64_t>(kSector), kSector);
    if (!trailer || trailer->substr(0, 4) != "koly") return std::nullopt;
    const std::uint64_t sectors = bigEndian(*trailer, 492, 8);
    if (sectors > static_cast<std::uint64_t>(expanded::kMaxSize) / kSector) return expanded::kMaxSize;
    return static_cast<std::int64_t>(sectors * kSector);
}

} // namespace

std::optional<std::int64_t> Installer::expandedSize(const Url& archive, Format format) {
    const expanded::File file(archive.filePath());
    if (!file.isOpen()) return std::nullopt;
    try {
        switch (format) {
        case Format::zip:
            return expanded::zipExpandedSize(file);
        case Format::targz:
            return expanded::tarExpandedSize(file, expanded::Compression::gzip);
        case Format::tbz:
            return expanded::tarExpandedSize(file, expanded::Compression::bzip2);
        case Format::dmg:
            return imageSize(file);
        case Format::pkg:
        case Format::unknown:
            return std::nullopt;
        }
    } catch (const std::bad_alloc&) {
        // Memory for a listing the archive claims to be enormous.
        expanded::unreadable("too large to list");
    } catch (const std::length_error&) {
        expanded::unreadable("too large to list");
    }
    return std::nullopt;
}

} // namespace pelkit
