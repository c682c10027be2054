// What a compressed tar unpacks to: the file sizes its headers give, as the unpacker reads them
// (an extended header's size first, sparse files at their real size). The listing must be one
// that both tar implementations read as this reader does: a header that fails its checksum, a
// number or record that does not parse, or an entry whose contents one of them skips and the
// other unpacks makes it unreadable, since an unpacker that reads past such a point could unpack
// what this reader never saw.

#include "PelKit/InstallerExpandedSize.hpp"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <vector>

namespace pelkit::expanded {

namespace {

constexpr std::size_t kBlock = 512;
// A tar's extended header holds a few records (extended attributes among them).
constexpr std::int64_t kMaxExtendedHeader = 64 << 20;

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

enum class Fill { full, ended, damaged };

// Fills `into` whole; `ended` at the end of the stream (also after a short last piece).
Fill readFull(Decompressor& in, char* into, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        auto r = in.read(into + got, n - got);
        if (!r) return Fill::damaged;
        if (*r == 0) return Fill::ended;
        got += *r;
    }
    return Fill::full;
}

// A header's numeric field: octal digits (leading blanks allowed) ended by a blank, a NUL or the
// field's end, or base-256 when the first byte's high bit is set.
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
    for (; i < field.size() && field[i] >= '0' && field[i] <= '7'; ++i) {
        if (v > (std::numeric_limits<std::uint64_t>::max() >> 3)) return kMaxSize;
        v = (v << 3) | static_cast<std::uint64_t>(field[i] - '0');
    }
    if (i < field.size() && field[i] != ' ' && field[i] != '\0') return std::nullopt;
    return clampToSize(v);
}

// The checksum field holds octal digits, blanks and NULs only; the sum of the header's bytes,
// the field read as blanks, matches it taken as unsigned bytes or, as old writers took them,
// signed ones. Both tar implementations accept either.
bool checksumMatches(std::string_view header) {
    const std::string_view field = header.substr(148, 8);
    for (char c : field) {
        if (c != ' ' && c != '\0' && (c < '0' || c > '7')) return false;
    }
    std::size_t i = 0;
    while (i < field.size() && field[i] == ' ')
        ++i;
    std::int64_t recorded = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '7'; ++i)
        recorded = recorded * 8 + (field[i] - '0');
    std::int64_t unsignedSum = 0;
    std::int64_t signedSum = 0;
    for (std::size_t at = 0; at < kBlock; ++at) {
        const char c = at >= 148 && at < 156 ? ' ' : header[at];
        unsignedSum += static_cast<unsigned char>(c);
        signedSum += static_cast<signed char>(c);
    }
    return recorded == unsignedSum || recorded == signedSum;
}

constexpr char kPosixMagic[8] = {'u', 's', 't', 'a', 'r', '\0', '0', '0'};
constexpr char kGnuMagic[8] = {'u', 's', 't', 'a', 'r', ' ', ' ', '\0'};

bool posixMagic(std::string_view header) {
    return header.substr(257, 8) == std::string_view(kPosixMagic, 8);
}

// The magic of a POSIX or a GNU header. Without it an unpacker that recognises many formats may
// take the stream for another one.
bool tarMagic(std::string_view header) {
    return posixMagic(header) || header.substr(257, 8) == std::string_view(kGnuMagic, 8);
}

std::string_view untilNul(std::string_view bytes) {
    return bytes.substr(0, bytes.find('\0'));
}

// The header's own name ends in "/" (a POSIX header's name follows its prefix and a "/").
bool headerNamesFolder(std::string_view header) {
    const std::string_view name = untilNul(header.substr(0, 100));
    if (!name.empty()) return name.back() == '/';
    return posixMagic(header) && !untilNul(header.substr(345, 155)).empty();
}

std::int64_t decimal(std::string_view digits) {
    if (digits.empty()) unreadable("an extended header's number cannot be read");
    std::uint64_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') unreadable("an extended header's number cannot be read");
        v = v > static_cast<std::uint64_t>(kMaxSize) / 10 ? static_cast<std::uint64_t>(kMaxSize)
                                                          : v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return clampToSize(v);
}

std::int64_t paddedToBlock(std::int64_t size) {
    const std::int64_t rest = size % static_cast<std::int64_t>(kBlock);
    return rest == 0 ? size : saturatingAdd(size, static_cast<std::int64_t>(kBlock) - rest);
}

class TarReader {
public:
    explicit TarReader(Decompressor& in) : in_(in), sink_(64 * 1024) {}

    std::int64_t expandedSize() {
        std::string header(kBlock, '\0');
        for (bool first = true;; first = false) {
            const Fill fill = readFull(in_, header.data(), kBlock);
            if (fill != Fill::full) {
                if (first) unreadable(fill == Fill::damaged ? "damaged compressed data" : "no tar header");
                return total_; // the unpacker stops here too
            }
            if (header.find_first_not_of('\0') == std::string::npos) { // the end of the archive
                if (first) unreadable("no tar header");
                return total_;
            }
            if (!checksumMatches(header) || (first && !tarMagic(header)))
                unreadable(first ? "not a tar archive" : "a damaged tar header");
            if (!entry(header)) return total_;
        }
    }

private:
    // What an extended header and a long name say about the entry that follows them.
    struct Pending {
        bool extended = false;
        bool longName = false;
        std::optional<std::int64_t> size;
        std::optional<std::int64_t> realSize;
        std::optional<bool> namesFolder;
    };

    // One header and its data; false when the stream ends before them.
    bool entry(std::string_view header) {
        const auto fieldSize = headerNumber(header.substr(124, 12));
        if (!fieldSize) unreadable("a tar header's size cannot be read");
        const char type = header[156];
        switch (type) {
        case 'x':
        case 'X': // extended header; "X" is the older letter both implementations still read
            if (pending_.extended) unreadable("two extended headers for one entry");
            pending_.extended = true;
            return records(*fieldSize, false);
        case 'g':
            return records(*fieldSize, true);
        case 'L': {
            if (pending_.longName) unreadable("two long names for one entry");
            pending_.longName = true;
            auto name = metaData(*fieldSize);
            if (!name) return false;
            const std::string_view until = untilNul(*name);
            if (!pending_.namesFolder) pending_.namesFolder = !until.empty() && until.back() == '/';
            return true;
        }
        case 'K': // long link name
            return skip(paddedToBlock(*fieldSize));
        default:
            break;
        }

        const std::int64_t size = pending_.size.value_or(*fieldSize);
        std::int64_t unpacked = std::max(size, pending_.realSize.value_or(0));
        const bool namesFolder = pending_.namesFolder.value_or(headerNamesFolder(header));
        pending_ = Pending{};
        switch (type) {
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6': // links, devices, folders and fifos: one implementation skips their contents,
                  // the other may take the blocks that follow for the next header
            if (size != 0) unreadable("a link, folder or device with contents");
            return true;
        case 'D': // a folder with the listing of its contents
            break;
        case 'S': { // old sparse file: its real size is in the header
            const auto real = headerNumber(header.substr(483, 12));
            if (!real) unreadable("a sparse file's size cannot be read");
            unpacked = std::max(unpacked, *real);
            break;
        }
        default:
            break;
        }
        // A "regular" entry named as a folder is unpacked as a folder, its contents skipped by one
        // implementation only.
        if (type != 'D' && namesFolder && size != 0) unreadable("a folder with contents");
        total_ = saturatingAdd(total_, unpacked);
        if (type == 'S' && header[482] != '\0' && !sparseExtensions()) return false;
        return skip(paddedToBlock(size));
    }

    // The blocks of an old sparse file's map that follow its header, each saying whether
    // another follows.
    bool sparseExtensions() {
        std::string block(kBlock, '\0');
        do {
            if (readFull(in_, block.data(), kBlock) != Fill::full) return false;
        } while (block[504] != '\0');
        return true;
    }

    // The data of an extended header or long name, kept whole; nothing when the stream ends first.
    std::optional<std::string> metaData(std::int64_t size) {
        if (size > kMaxExtendedHeader) {
            // Records this large are no archive an application ships; taken as declaring the most.
            total_ = kMaxSize;
            return std::nullopt;
        }
        std::string data(static_cast<std::size_t>(paddedToBlock(size)), '\0');
        if (readFull(in_, data.data(), data.size()) != Fill::full) return std::nullopt;
        data.resize(static_cast<std::size_t>(size));
        return data;
    }

    // An extended header's "<length> <key>=<value>\n" records. A global header that sets sizes is
    // read differently by the two implementations.
    bool records(std::int64_t size, bool global) {
        auto data = metaData(size);
        if (!data) return false;
        std::string_view rest = *data;
        while (!rest.empty()) {
            const std::size_t space = rest.find(' ');
            if (space == 0 || space == std::string_view::npos || space > 19)
                unreadable("an extended header cannot be read");
            std::size_t length = 0;
            for (char c : rest.substr(0, space)) {
                if (c < '0' || c > '9') unreadable("an extended header cannot be read");
                length = length * 10 + static_cast<std::size_t>(c - '0');
            }
            if (length <= space + 1 || length > rest.size() || rest[length - 1] != '\n')
                unreadable("an extended header cannot be read");
            const std::string_view record = rest.substr(space + 1, length - space - 2);
            const std::size_t equals = record.find('=');
            if (equals == std::string_view::npos) unreadable("an extended header cannot be read");
            const std::string_view key = record.substr(0, equals);
            const std::string_view value = record.substr(equals + 1);
            if (global) {
                if (key == "size" || key.starts_with("GNU.sparse."))
                    unreadable("a global header that sets sizes");
            } else if (key == "size") {
                pending_.size = decimal(value);
            } else if (key == "GNU.sparse.realsize" || key == "GNU.sparse.size") {
                pending_.realSize = std::max(pending_.realSize.value_or(0), decimal(value));
            } else if (key == "path") {
                pending_.namesFolder = value.ends_with('/');
            }
            rest.remove_prefix(length);
        }
        return true;
    }

    bool skip(std::int64_t bytes) {
        while (bytes > 0) {
            const std::size_t piece = static_cast<std::size_t>(
                std::min<std::int64_t>(bytes, static_cast<std::int64_t>(sink_.size())));
            if (readFull(in_, sink_.data(), piece) != Fill::full) return false;
            bytes -= static_cast<std::int64_t>(piece);
        }
        return true;
    }

    Decompressor& in_;
    std::vector<char> sink_;
    Pending pending_;
    std::int64_t total_ = 0;
};

} // namespace

std::int64_t tarExpandedSize(const File& file, Compression compression) {
    // Named .tar.gz or .tbz, any content is unpacked: an xz or zstd tar, or a plain one.
    if (compression == Compression::gzip) {
        auto magic = file.readAt(0, 2);
        if (!magic || *magic != "\x1f\x8b") unreadable("not gzip data");
        GzipReader in(file);
        return TarReader(in).expandedSize();
    }
    auto magic = file.readAt(0, 3);
    if (!magic || *magic != "BZh") unreadable("not bzip2 data");
    Bzip2Reader in(file);
    return TarReader(in).expandedSize();
}

} // namespace pelkit::expanded
