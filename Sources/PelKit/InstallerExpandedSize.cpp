// The expanded size an archive declares, read before anything is unpacked: the sum of the file
// sizes in a zip's central directory or a tar's headers, or a disk image's own size from its
// trailer. The archive is foreign input: every length is checked against what is there, and sums
// saturate instead of wrapping.

#include "PelKit/Installer.hpp"

#include <bzlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pelkit {

namespace {

constexpr std::int64_t kMaxSize = std::numeric_limits<std::int64_t>::max();
constexpr std::size_t kBlock = 512;
// A tar's extended header holds a few records (extended attributes among them).
constexpr std::int64_t kMaxExtendedHeader = 64 << 20;

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    return a > kMaxSize - b ? kMaxSize : a + b;
}

class File {
public:
    explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    std::optional<std::int64_t> size() const {
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
        return static_cast<std::int64_t>(st.st_size);
    }
    // Exactly `n` bytes at `offset`, or nothing.
    std::optional<std::string> readAt(std::int64_t offset, std::size_t n) const {
        std::string bytes(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            ssize_t r = ::pread(fd_, bytes.data() + got, n - got,
                                static_cast<off_t>(offset) + static_cast<off_t>(got));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return std::nullopt;
            got += static_cast<std::size_t>(r);
        }
        return bytes;
    }
    // Up to `n` bytes from the current position; 0 at the end, -1 on error.
    ssize_t read(char* into, std::size_t n) const {
        for (;;) {
            ssize_t r = ::read(fd_, into, n);
            if (r < 0 && errno == EINTR) continue;
            return r;
        }
    }

private:
    int fd_;
};

std::uint64_t littleEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = width; i-- > 0;)
        v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

std::uint64_t bigEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i)
        v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

std::int64_t clampToSize(std::uint64_t v) {
    return v > static_cast<std::uint64_t>(kMaxSize) ? kMaxSize : static_cast<std::int64_t>(v);
}

// ---- zip ----

constexpr std::string_view kEndOfDirectory{"PK\x05\x06", 4};
constexpr std::string_view kZip64End{"PK\x06\x06", 4};
constexpr std::string_view kZip64Locator{"PK\x06\x07", 4};
constexpr std::string_view kDirectoryEntry{"PK\x01\x02", 4};
constexpr std::size_t kEndOfDirectorySize = 22;
constexpr std::size_t kMaxComment = 0xFFFF;
constexpr std::size_t kDirectoryEntrySize = 46;

struct Directory {
    std::int64_t offset = 0;
    std::int64_t size = 0;
    std::uint64_t entries = 0;
    std::int64_t endsAt = 0; // where the record that describes it begins
};

std::optional<Directory> zip64Directory(const File& file, std::int64_t endOfDirectory) {
    if (endOfDirectory < 20) return std::nullopt;
    auto locator = file.readAt(endOfDirectory - 20, 20);
    if (!locator || locator->substr(0, 4) != kZip64Locator) return std::nullopt;
    const std::uint64_t at = littleEndian(*locator, 8, 8);
    if (at > static_cast<std::uint64_t>(endOfDirectory - 20)) return std::nullopt;
    auto record = file.readAt(static_cast<std::int64_t>(at), 56);
    if (!record || record->substr(0, 4) != kZip64End) return std::nullopt;
    Directory d;
    d.entries = littleEndian(*record, 32, 8);
    d.size = clampToSize(littleEndian(*record, 40, 8));
    d.offset = clampToSize(littleEndian(*record, 48, 8));
    d.endsAt = static_cast<std::int64_t>(at);
    return d;
}

std::optional<Directory> zipDirectory(const File& file, std::int64_t fileSize) {
    if (fileSize < static_cast<std::int64_t>(kEndOfDirectorySize)) return std::nullopt;
    const std::int64_t tail = std::min<std::int64_t>(fileSize, kEndOfDirectorySize + kMaxComment);
    auto bytes = file.readAt(fileSize - tail, static_cast<std::size_t>(tail));
    if (!bytes) return std::nullopt;
    const std::size_t found = bytes->rfind(kEndOfDirectory, bytes->size() - kEndOfDirectorySize);
    if (found == std::string::npos) return std::nullopt;
    const std::string_view end = std::string_view(*bytes).substr(found, kEndOfDirectorySize);
    const std::int64_t endAt = fileSize - tail + static_cast<std::int64_t>(found);

    Directory d;
    d.entries = littleEndian(end, 10, 2);
    d.size = static_cast<std::int64_t>(littleEndian(end, 12, 4));
    d.offset = static_cast<std::int64_t>(littleEndian(end, 16, 4));
    d.endsAt = endAt;
    if (d.entries == 0xFFFF || d.size == 0xFFFFFFFF || d.offset == 0xFFFFFFFF) {
        if (auto wide = zip64Directory(file, endAt)) d = *wide;
    }
    if (d.size > d.endsAt) return std::nullopt;
    // Bytes before the archive (a stub in front of it) move every offset by the same amount; the
    // directory then still ends where its end record begins.
    auto first = file.readAt(d.offset, 4);
    if (d.offset > d.endsAt - d.size || !first || *first != kDirectoryEntry) d.offset = d.endsAt - d.size;
    return d;
}

// The uncompressed size of one directory entry: its own field, or the 64-bit one of its extra
// field when the own field is saturated.
std::optional<std::uint64_t> entrySize(std::string_view entry, std::string_view extra) {
    const std::uint64_t size = littleEndian(entry, 24, 4);
    if (size != 0xFFFFFFFF) return size;
    while (extra.size() >= 4) {
        const std::uint64_t tag = littleEndian(extra, 0, 2);
        const std::size_t length = littleEndian(extra, 2, 2);
        if (extra.size() - 4 < length) return std::nullopt;
        if (tag == 0x0001) {
            if (length < 8) return std::nullopt;
            return littleEndian(extra, 4, 8);
        }
        extra.remove_prefix(4 + length);
    }
    return std::nullopt;
}

// The sum over the entries of the central directory, read one entry at a time (a directory may
// be large). An entry that does not parse ends the walk: the unpacker cannot go past it either.
std::optional<std::int64_t> zipExpandedSize(const File& file) {
    const auto fileSize = file.size();
    if (!fileSize) return std::nullopt;
    const auto directory = zipDirectory(file, *fileSize);
    if (!directory) return std::nullopt;

    std::int64_t total = 0;
    std::int64_t at = directory->offset;
    const std::int64_t end = directory->offset + directory->size;
    while (end - at >= static_cast<std::int64_t>(kDirectoryEntrySize)) {
        auto entry = file.readAt(at, kDirectoryEntrySize);
        if (!entry || entry->substr(0, 4) != kDirectoryEntry) break;
        const std::size_t nameLength = littleEndian(*entry, 28, 2);
        const std::size_t extraLength = littleEndian(*entry, 30, 2);
        const std::size_t commentLength = littleEndian(*entry, 32, 2);
        const std::int64_t length =
            static_cast<std::int64_t>(kDirectoryEntrySize + nameLength + extraLength + commentLength);
        if (end - at < length) break;
        std::string extra;
        if (littleEndian(*entry, 24, 4) == 0xFFFFFFFF) {
            auto bytes =
                file.readAt(at + static_cast<std::int64_t>(kDirectoryEntrySize + nameLength), extraLength);
            if (!bytes) break;
            extra = std::move(*bytes);
        }
        auto size = entrySize(*entry, extra);
        // A saturated size without its 64-bit field: the most it can stand for.
        total = saturatingAdd(total, size ? clampToSize(*size) : kMaxSize);
        at += length;
    }
    return total;
}

// ---- tar, compressed ----

// The decompressed bytes of a gzip or bzip2 file, member after member.
class Decompressor {
public:
    virtual ~Decompressor() = default;
    // Up to `n` bytes; 0 at the end; nothing when the stream is damaged.
    virtual std::optional<std::size_t> read(char* into, std::size_t n) = 0;
};

class GzipReader final : public Decompressor {
public:
    explicit GzipReader(const File& file) : file_(file), input_(64 * 1024) {
        ok_ = inflateInit2(&z_, 15 + 16) == Z_OK;
    }
    ~GzipReader() override {
        if (ok_) inflateEnd(&z_);
    }
    GzipReader(const GzipReader&) = delete;
    GzipReader& operator=(const GzipReader&) = delete;

    std::optional<std::size_t> read(char* into, std::size_t n) override {
        if (!ok_) return std::nullopt;
        z_.next_out = reinterpret_cast<Bytef*>(into);
        z_.avail_out = static_cast<uInt>(n);
        while (z_.avail_out == n && !ended_) {
            if (z_.avail_in == 0) {
                ssize_t got = file_.read(input_.data(), input_.size());
                if (got < 0) return std::nullopt;
                if (got == 0) {
                    if (!betweenMembers_) return std::nullopt; // cut off inside a member
                    ended_ = true;
                    break;
                }
                z_.next_in = reinterpret_cast<Bytef*>(input_.data());
                z_.avail_in = static_cast<uInt>(got);
            }
            const int r = inflate(&z_, Z_NO_FLUSH);
            if (r == Z_STREAM_END) {
                if (inflateReset(&z_) != Z_OK) return std::nullopt;
                betweenMembers_ = true;
            } else if (r != Z_OK && r != Z_BUF_ERROR) {
                // Trailing bytes after a whole member are ignored, as the unpacker does.
                if (betweenMembers_) {
                    ended_ = true;
                    break;
                }
                return std::nullopt;
            } else if (z_.avail_out != n) {
                betweenMembers_ = false;
            }
        }
        return n - z_.avail_out;
    }

private:
    const File& file_;
    std::vector<char> input_;
    z_stream z_{};
    bool ok_ = false;
    bool ended_ = false;
    bool betweenMembers_ = false;
};

class Bzip2Reader final : public Decompressor {
public:
    explicit Bzip2Reader(const File& file) : file_(file), input_(64 * 1024) {
        ok_ = BZ2_bzDecompressInit(&z_, 0, 0) == BZ_OK;
    }
    ~Bzip2Reader() override {
        if (ok_) BZ2_bzDecompressEnd(&z_);
    }
    Bzip2Reader(const Bzip2Reader&) = delete;
    Bzip2Reader& operator=(const Bzip2Reader&) = delete;

    std::optional<std::size_t> read(char* into, std::size_t n) override {
        if (!ok_) return std::nullopt;
        z_.next_out = into;
        z_.avail_out = static_cast<unsigned>(n);
        while (z_.avail_out == n && !ended_) {
            if (z_.avail_in == 0) {
                ssize_t got = file_.read(input_.data(), input_.size());
                if (got < 0) return std::nullopt;
                if (got == 0) {
                    if (!betweenStreams_) return std::nullopt;
                    ended_ = true;
                    break;
                }
                z_.next_in = input_.data();
                z_.avail_in = static_cast<unsigned>(got);
            }
            const int r = BZ2_bzDecompress(&z_);
            if (r == BZ_STREAM_END) {
                // Another stream may follow, as bzip2 writes for concatenated input.
                char* nextIn = z_.next_in;
                const unsigned availIn = z_.avail_in;
                char* nextOut = z_.next_out;
                const unsigned availOut = z_.avail_out;
                BZ2_bzDecompressEnd(&z_);
                z_ = bz_stream{};
                ok_ = BZ2_bzDecompressInit(&z_, 0, 0) == BZ_OK;
                if (!ok_) return std::nullopt;
                z_.next_in = nextIn;
                z_.avail_in = availIn;
                z_.next_out = nextOut;
                z_.avail_out = availOut;
                betweenStreams_ = true;
            } else if (r != BZ_OK) {
                if (betweenStreams_) {
                    ended_ = true;
                    break;
                }
                return std::nullopt;
            } else if (z_.avail_out != n) {
                betweenStreams_ = false;
            }
        }
        return n - z_.avail_out;
    }

private:
    const File& file_;
    std::vector<char> input_;
    bz_stream z_{};
    bool ok_ = false;
    bool ended_ = false;
    bool betweenStreams_ = false;
};

// Fills `into` whole; false at the end of the stream (also a short last piece) or on damage.
bool readFull(Decompressor& in, char* into, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        auto r = in.read(into + got, n - got);
        if (!r || *r == 0) return false;
        got += *r;
    }
    return true;
}

// A header's numeric field: octal digits (leading blanks allowed), or base-256 when the first
// byte's high bit is set.
std::optional<std::int64_t> headerNumber(std::string_view field) {
    if (!field.empty() && (static_cast<unsigned char>(field[0]) & 0x80) != 0) {
        if ((static_cast<unsigned char>(field[0]) & 0x40) != 0) return std::nullopt; // negative
        std::uint64_t v = static_cast<unsigned char>(field[0]) & 0x3F;
        for (std::size_t i = 1; i < field.size(); ++i) {
            if (v > (std::numeric_limits<std::uint64_t>::max() >> 8)) return kMaxSize;
            v = (v << 8) | static_cast<unsigned char>(field[i]);
        }
        return clampToSize(v);
    }
    std::size_t i = 0;
    while (i < field.size() && field[i] == ' ')
        ++i;
    std::uint64_t v = 0;
    bool any = false;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '7'; ++i) {
        if (v > (std::numeric_limits<std::uint64_t>::max() >> 3)) return kMaxSize;
        v = (v << 3) | static_cast<std::uint64_t>(field[i] - '0');
        any = true;
    }
    if (i < field.size() && field[i] != ' ' && field[i] != '\0') return std::nullopt;
    if (!any) return 0;
    return clampToSize(v);
}

// The "size" record of an extended header ("<length> size=<decimal>\n" records), if any.
std::optional<std::int64_t> extendedSize(std::string_view records) {
    std::optional<std::int64_t> size;
    while (!records.empty()) {
        const std::size_t space = records.find(' ');
        if (space == std::string_view::npos) break;
        std::size_t length = 0;
        for (std::size_t i = 0; i < space; ++i) {
            if (records[i] < '0' || records[i] > '9' || length > records.size()) return size;
            length = length * 10 + static_cast<std::size_t>(records[i] - '0');
        }
        if (length <= space + 1 || length > records.size()) break;
        std::string_view record = records.substr(space + 1, length - space - 1);
        if (!record.empty() && record.back() == '\n') record.remove_suffix(1);
        if (record.starts_with("size=")) {
            std::uint64_t v = 0;
            bool valid = record.size() > 5;
            for (char c : record.substr(5)) {
                if (c < '0' || c > '9') {
                    valid = false;
                    break;
                }
                v = v > static_cast<std::uint64_t>(kMaxSize) / 10
                        ? static_cast<std::uint64_t>(kMaxSize)
                        : v * 10 + static_cast<std::uint64_t>(c - '0');
            }
            if (valid) size = clampToSize(v);
        }
        records.remove_prefix(length);
    }
    return size;
}

bool skip(Decompressor& in, std::int64_t bytes) {
    std::vector<char> sink(64 * 1024);
    while (bytes > 0) {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::int64_t>(bytes, static_cast<std::int64_t>(sink.size())));
        if (!readFull(in, sink.data(), piece)) return false;
        bytes -= static_cast<std::int64_t>(piece);
    }
    return true;
}

std::int64_t paddedToBlock(std::int64_t size) {
    const std::int64_t rest = size % static_cast<std::int64_t>(kBlock);
    return rest == 0 ? size : saturatingAdd(size, static_cast<std::int64_t>(kBlock) - rest);
}

// A header whose checksum (of its bytes, the checksum field read as blanks) is the one it records.
bool validHeader(std::string_view header) {
    auto recorded = headerNumber(header.substr(148, 8));
    if (!recorded) return false;
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < kBlock; ++i)
        sum += i >= 148 && i < 156 ? ' ' : static_cast<unsigned char>(header[i]);
    return sum == *recorded;
}

// The sum of what the entries unpack to. A stream that ends early, or is damaged, still declared
// what its headers said so far. A block that is no valid header is passed over, as the unpacker
// does when it looks for the next one.
std::int64_t tarExpandedSize(Decompressor& in) {
    std::int64_t total = 0;
    std::int64_t pendingSize = -1; // from an extended header, for the next entry; -1: none
    std::string header(kBlock, '\0');
    while (readFull(in, header.data(), kBlock)) {
        if (header.find_first_not_of('\0') == std::string::npos) break; // end of archive
        if (!validHeader(header)) continue;
        auto fieldSize = headerNumber(std::string_view(header).substr(124, 12));
        if (!fieldSize) continue;
        const char type = header[156];
        const bool meta = type == 'x' || type == 'g' || type == 'L' || type == 'K';
        const std::int64_t dataSize = meta || pendingSize < 0 ? *fieldSize : pendingSize;

        if (type == 'x') {
            // Records this large are no archive an application ships; taken as declaring the most.
            if (dataSize > kMaxExtendedHeader) return kMaxSize;
            std::string records(static_cast<std::size_t>(paddedToBlock(dataSize)), '\0');
            if (!readFull(in, records.data(), records.size())) return total;
            if (auto size =
                    extendedSize(std::string_view(records).substr(0, static_cast<std::size_t>(dataSize))))
                pendingSize = *size;
            continue;
        }
        switch (type) {
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6': // links, devices, folders, fifos
        case 'g':
        case 'L':
        case 'K': // global header, long names
            break;
        case 'S': { // sparse: the file's real size is in the header
            auto real = headerNumber(std::string_view(header).substr(483, 12));
            total = saturatingAdd(total, real ? std::max(*real, dataSize) : dataSize);
            break;
        }
        default: // regular files, and unknown kinds unpacked as such
            total = saturatingAdd(total, dataSize);
        }
        if (!meta) pendingSize = -1;
        if (!skip(in, paddedToBlock(dataSize))) return total;
    }
    return total;
}

// ---- disk image ----

// The image's own size: the sector count of its 512-byte trailer.
std::optional<std::int64_t> imageSize(const File& file) {
    const auto fileSize = file.size();
    if (!fileSize || *fileSize < static_cast<std::int64_t>(kBlock)) return std::nullopt;
    auto trailer = file.readAt(*fileSize - static_cast<std::int64_t>(kBlock), kBlock);
    if (!trailer || trailer->substr(0, 4) != "koly") return std::nullopt;
    const std::uint64_t sectors = bigEndian(*trailer, 492, 8);
    if (sectors > static_cast<std::uint64_t>(kMaxSize) / kBlock) return kMaxSize;
    return static_cast<std::int64_t>(sectors * kBlock);
}

} // namespace

std::optional<std::int64_t> Installer::declaredExpandedSize(const Url& archive, Format format) {
    try {
        const File file(archive.filePath());
        if (!file.isOpen()) return std::nullopt;
        switch (format) {
        case Format::zip:
            return zipExpandedSize(file);
        case Format::targz: {
            GzipReader in(file);
            return tarExpandedSize(in);
        }
        case Format::tbz: {
            Bzip2Reader in(file);
            return tarExpandedSize(in);
        }
        case Format::dmg:
            return imageSize(file);
        case Format::pkg:
        case Format::unknown:
            return std::nullopt;
        }
    } catch (const std::exception&) {
        // Memory for a listing the archive claims to be enormous: no listing.
    }
    return std::nullopt;
}

} // namespace pelkit
