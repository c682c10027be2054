// What a zip unpacks to. The sizes its headers record are not trusted: each entry of the central
// directory is found at its local header and its data inflated (nothing written), as the unpacker
// does. One unpacker walks the central directory, another the local headers one after the other,
// so the entries must lie one after another in the directory's order with no room between them
// for an entry the directory does not list; anything else makes the listing unreadable.

#include "PelKit/InstallerExpandedSize.hpp"

#include <zlib.h>

#include <fmt/format.h>

#include <algorithm>
#include <vector>

namespace pelkit::expanded {

namespace {

constexpr std::string_view kLocalHeader{"PK\x03\x04", 4};
constexpr std::string_view kDirectoryEntry{"PK\x01\x02", 4};
constexpr std::string_view kEndOfDirectory{"PK\x05\x06", 4};
constexpr std::string_view kZip64End{"PK\x06\x06", 4};
constexpr std::string_view kZip64Locator{"PK\x06\x07", 4};
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kDirectoryEntrySize = 46;
constexpr std::size_t kEndOfDirectorySize = 22;
constexpr std::size_t kMaxComment = 0xFFFF;
constexpr std::uint64_t kSaturated32 = 0xFFFFFFFF;
// Between one entry's data and the next header only its data descriptor (at most 24 bytes) may
// lie: too little for a local header, so no unlisted entry can hide there.
constexpr std::int64_t kMaxGap = static_cast<std::int64_t>(kLocalHeaderSize) - 1;
constexpr std::uint16_t kEncrypted = 0x0001 | 0x0040;
constexpr std::uint16_t kDataDescriptor = 0x0008;
constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflated = 8;
constexpr std::size_t kChunk = 256 * 1024;

// Reads a file through one buffer, for walks that mostly go forward.
class Window {
public:
    Window(const File& file, std::int64_t fileSize)
        : file_(file), fileSize_(fileSize), buffer_(kChunk, '\0') {}

    // Up to `n` (at most kChunk) bytes at `offset`; fewer only at the end of the file or on a
    // failed read. Valid until the next call.
    std::string_view at(std::int64_t offset, std::size_t n) {
        if (offset < 0 || offset >= fileSize_) return {};
        if (offset < start_ ||
            offset + static_cast<std::int64_t>(n) > start_ + static_cast<std::int64_t>(filled_)) {
            start_ = offset;
            filled_ = 0;
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::int64_t>(buffer_.size(), fileSize_ - offset));
            while (filled_ < want) {
                const ssize_t r = file_.readSomeAt(offset + static_cast<std::int64_t>(filled_),
                                                   buffer_.data() + filled_, want - filled_);
                if (r <= 0) break;
                filled_ += static_cast<std::size_t>(r);
            }
        }
        const std::size_t from = static_cast<std::size_t>(offset - start_);
        return std::string_view(buffer_).substr(from, std::min(n, filled_ - from));
    }

    // Exactly `n` bytes at `offset`, or none.
    std::optional<std::string_view> exactly(std::int64_t offset, std::size_t n) {
        std::string_view bytes = at(offset, n);
        if (bytes.size() != n) return std::nullopt;
        return bytes;
    }

    // Whether a local header's signature begins anywhere in [from, to).
    bool holdsLocalHeader(std::int64_t from, std::int64_t to) {
        const std::int64_t overlap = static_cast<std::int64_t>(kLocalHeader.size()) - 1;
        for (std::int64_t at = from; at < to;) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(kChunk, to - at + overlap));
            const std::string_view bytes = this->at(at, n);
            if (bytes.size() < kLocalHeader.size()) return false;
            const std::size_t found = bytes.find(kLocalHeader);
            if (found != std::string_view::npos) return at + static_cast<std::int64_t>(found) < to;
            at += static_cast<std::int64_t>(bytes.size()) - overlap;
        }
        return false;
    }

private:
    const File& file_;
    std::int64_t fileSize_;
    std::string buffer_;
    std::int64_t start_ = 0;
    std::size_t filled_ = 0;
};

// Raw deflate data inflated into a sink: how much it gives and how much input the stream took.
class Inflater {
public:
    Inflater() : sink_(kChunk) {
        if (inflateInit2(&z_, -MAX_WBITS) != Z_OK) unreadable("no memory to inflate");
    }
    ~Inflater() { inflateEnd(&z_); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    struct Counted {
        std::int64_t out = 0;
        std::int64_t in = 0;
    };

    // The stream that begins at `from` and must end before `limit`; nothing when it is damaged or
    // does not end there.
    std::optional<Counted> count(Window& window, std::int64_t from, std::int64_t limit) {
        if (inflateReset(&z_) != Z_OK) return std::nullopt;
        Counted counted;
        std::int64_t at = from;
        for (;;) {
            if (z_.avail_in == 0) {
                if (at >= limit) return std::nullopt;
                const std::string_view bytes =
                    window.at(at, static_cast<std::size_t>(std::min<std::int64_t>(kChunk, limit - at)));
                if (bytes.empty()) return std::nullopt;
                z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
                z_.avail_in = static_cast<uInt>(bytes.size());
                at += static_cast<std::int64_t>(bytes.size());
            }
            z_.next_out = reinterpret_cast<Bytef*>(sink_.data());
            z_.avail_out = static_cast<uInt>(sink_.size());
            const int r = inflate(&z_, Z_NO_FLUSH);
            counted.out = saturatingAdd(counted.out, static_cast<std::int64_t>(sink_.size() - z_.avail_out));
            if (r == Z_STREAM_END) {
                counted.in = at - static_cast<std::int64_t>(z_.avail_in) - from;
                z_.avail_in = 0;
                return counted;
            }
            if (r != Z_OK) {
                z_.avail_in = 0;
                return std::nullopt;
            }
        }
    }

private:
    z_stream z_{};
    std::vector<char> sink_;
};

struct Directory {
    std::int64_t claimedOffset = 0; // where the end record says the directory begins
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
    d.claimedOffset = clampToSize(littleEndian(*record, 48, 8));
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

    Directory d;
    d.entries = littleEndian(end, 10, 2);
    d.size = static_cast<std::int64_t>(littleEndian(end, 12, 4));
    d.claimedOffset = static_cast<std::int64_t>(littleEndian(end, 16, 4));
    d.endsAt = fileSize - tail + static_cast<std::int64_t>(found);
    if (d.entries == 0xFFFF || d.size == kSaturated32 || d.claimedOffset == kSaturated32) {
        if (auto wide = zip64Directory(file, d.endsAt)) d = *wide;
    }
    if (d.size > d.endsAt) return std::nullopt;
    return d;
}

// Where the directory really begins. Bytes before the archive (a stub in front of it) move every
// offset by the same amount; the directory then still ends where its end record begins.
std::int64_t directoryStart(Window& window, const Directory& d) {
    auto first = window.exactly(d.claimedOffset, kDirectoryEntrySize);
    if (d.claimedOffset <= d.endsAt - d.size && first && first->substr(0, 4) == kDirectoryEntry)
        return d.claimedOffset;
    return d.endsAt - d.size;
}

// The 64-bit values of an extra field's zip64 record (tag 1), in their order, for as many as
// `wanted`; nothing when the record is missing or short.
std::optional<std::vector<std::uint64_t>> zip64Values(std::string_view extra, std::size_t wanted) {
    while (extra.size() >= 4) {
        const std::uint64_t tag = littleEndian(extra, 0, 2);
        const std::size_t length = littleEndian(extra, 2, 2);
        if (extra.size() - 4 < length) return std::nullopt;
        if (tag == 0x0001) {
            if (length < 8 * wanted) return std::nullopt;
            std::vector<std::uint64_t> values;
            for (std::size_t i = 0; i < wanted; ++i)
                values.push_back(littleEndian(extra, 4 + 8 * i, 8));
            return values;
        }
        extra.remove_prefix(4 + length);
    }
    return std::nullopt;
}

struct Entry {
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint64_t compressed = 0;
    std::uint64_t uncompressed = 0;
    std::uint64_t localOffset = 0;
};

// One directory entry, its 32-bit fields widened from its zip64 record where saturated.
Entry directoryEntry(std::string_view header, std::string_view extra) {
    Entry e;
    e.flags = static_cast<std::uint16_t>(littleEndian(header, 8, 2));
    e.method = static_cast<std::uint16_t>(littleEndian(header, 10, 2));
    e.compressed = littleEndian(header, 20, 4);
    e.uncompressed = littleEndian(header, 24, 4);
    e.localOffset = littleEndian(header, 42, 4);
    std::uint64_t* saturated[3] = {};
    std::size_t wanted = 0;
    for (std::uint64_t* field : {&e.uncompressed, &e.compressed, &e.localOffset}) {
        if (*field == kSaturated32) saturated[wanted++] = field;
    }
    if (wanted > 0) {
        auto values = zip64Values(extra, wanted);
        if (!values) unreadable("an entry's 64-bit sizes are missing");
        for (std::size_t i = 0; i < wanted; ++i)
            *saturated[i] = (*values)[i];
    }
    return e;
}

// The local header's sizes: a zip64 record there holds both sizes, uncompressed first.
void widenLocalSizes(Entry& local, std::string_view extra) {
    if (local.uncompressed != kSaturated32 && local.compressed != kSaturated32) return;
    auto values = zip64Values(extra, 2);
    if (!values) values = zip64Values(extra, 1);
    if (!values) unreadable("an entry's 64-bit sizes are missing");
    if (values->size() == 2) {
        local.uncompressed = (*values)[0];
        local.compressed = (*values)[1];
    } else if (local.uncompressed == kSaturated32) {
        local.uncompressed = (*values)[0];
    } else {
        local.compressed = (*values)[0];
    }
}

class ZipReader {
public:
    ZipReader(const File& file, std::int64_t fileSize) : directory_(file, fileSize), data_(file, fileSize) {}

    std::int64_t expandedSize(const Directory& d) {
        directoryStart_ = directoryStart(directory_, d);
        delta_ = directoryStart_ - d.claimedOffset;
        std::uint64_t found = 0;
        for (std::int64_t at = directoryStart_;
             d.endsAt - at >= static_cast<std::int64_t>(kDirectoryEntrySize);) {
            const std::string_view header = directory_.at(at, kDirectoryEntrySize);
            if (header.size() < kDirectoryEntrySize || header.substr(0, 4) != kDirectoryEntry) break;
            const std::size_t nameLength = littleEndian(header, 28, 2);
            const std::size_t extraLength = littleEndian(header, 30, 2);
            const std::size_t commentLength = littleEndian(header, 32, 2);
            const std::int64_t length =
                static_cast<std::int64_t>(kDirectoryEntrySize + nameLength + extraLength + commentLength);
            if (d.endsAt - at < length) unreadable("a directory entry is cut short");
            // Copied: reading the extra field may move the window.
            const std::string headerBytes(header);
            auto extra = directory_.exactly(at + static_cast<std::int64_t>(kDirectoryEntrySize + nameLength),
                                            extraLength);
            if (!extra) unreadable("a directory entry is cut short");
            total_ = saturatingAdd(total_, entrySize(directoryEntry(headerBytes, *extra)));
            at += length;
            ++found;
        }
        if (found < d.entries) unreadable("the directory lists fewer entries than it counts");
        // Nothing an unpacker walking the local headers could take for one more entry.
        if (found == 0) {
            if (data_.holdsLocalHeader(0, directoryStart_))
                unreadable("an entry the directory does not list");
        } else if (directoryStart_ < next_ || directoryStart_ - next_ > kMaxGap) {
            unreadable("entries the directory does not list, or entries that overlap");
        }
        return total_;
    }

private:
    bool localHeaderAt(std::int64_t at) {
        auto sig = data_.exactly(at, kLocalHeader.size());
        return sig && *sig == kLocalHeader;
    }

    // Where the entry's local header is: its offset moved as the directory's, else (the
    // unpacker tries that too) its offset as written.
    std::int64_t localHeader(const Entry& e) {
        const std::int64_t offset = clampToSize(e.localOffset);
        std::int64_t moved = 0;
        if (!__builtin_add_overflow(offset, delta_, &moved) && localHeaderAt(moved)) return moved;
        if (delta_ != 0 && localHeaderAt(offset)) return offset;
        unreadable("an entry's local header is missing");
    }

    // What one entry unpacks to; moves `next_` past its data.
    std::int64_t entrySize(const Entry& e) {
        if ((e.flags & kEncrypted) != 0) unreadable("an entry is encrypted");
        const std::int64_t at = localHeader(e);
        if (next_ < 0) {
            if (data_.holdsLocalHeader(0, at)) unreadable("an entry the directory does not list");
        } else if (at < next_ || at - next_ > kMaxGap) {
            unreadable("entries the directory does not list, or entries that overlap");
        }
        auto header = data_.exactly(at, kLocalHeaderSize);
        if (!header) unreadable("an entry's local header is cut short");
        Entry local;
        local.flags = static_cast<std::uint16_t>(littleEndian(*header, 6, 2));
        local.method = static_cast<std::uint16_t>(littleEndian(*header, 8, 2));
        local.compressed = littleEndian(*header, 18, 4);
        local.uncompressed = littleEndian(*header, 22, 4);
        const std::size_t nameLength = littleEndian(*header, 26, 2);
        const std::size_t extraLength = littleEndian(*header, 28, 2);
        auto extra =
            data_.exactly(at + static_cast<std::int64_t>(kLocalHeaderSize + nameLength), extraLength);
        if (!extra) unreadable("an entry's local header is cut short");
        widenLocalSizes(local, *extra);
        const std::int64_t dataStart =
            at + static_cast<std::int64_t>(kLocalHeaderSize + nameLength + extraLength);

        if ((local.flags & kEncrypted) != 0) unreadable("an entry is encrypted");
        if (local.method != e.method) unreadable("an entry's two headers disagree on its compression");
        // With a data descriptor the local header's sizes are left empty; the directory's count.
        const bool described = (local.flags & kDataDescriptor) != 0;
        if (!described && local.compressed != e.compressed)
            unreadable("an entry's two headers disagree on its size");
        const std::int64_t compressed = clampToSize(e.compressed);
        if (compressed > directoryStart_ - dataStart) unreadable("an entry runs past the archive's data");
        std::int64_t declared = clampToSize(e.uncompressed);
        if (!described) declared = std::max(declared, clampToSize(local.uncompressed));

        std::int64_t real = 0;
        switch (e.method) {
        case kStored:
            // An unpacker walking the local headers looks for the end of such data by its
            // descriptor: an entry hidden inside it would be found.
            if (described && data_.holdsLocalHeader(dataStart, dataStart + compressed))
                unreadable("an entry the directory does not list");
            real = compressed;
            break;
        case kDeflated: {
            auto counted = inflater_.count(data_, dataStart, directoryStart_);
            if (!counted) unreadable("an entry's compressed data is damaged");
            if (counted->in != compressed) unreadable("an entry's compressed size is not its data's");
            real = counted->out;
            break;
        }
        default:
            unreadable(fmt::format("an entry uses compression method {}", e.method));
        }
        next_ = dataStart + compressed;
        return std::max(real, declared);
    }

    Window directory_;
    Window data_;
    Inflater inflater_;
    std::int64_t directoryStart_ = 0;
    std::int64_t delta_ = 0;
    std::int64_t next_ = -1; // where the previous entry's data ended; -1: before the first entry
    std::int64_t total_ = 0;
};

} // namespace

std::int64_t zipExpandedSize(const File& file) {
    const auto fileSize = file.size();
    if (!fileSize) unreadable("not a regular file");
    const auto directory = zipDirectory(file, *fileSize);
    if (!directory) unreadable("no central directory");
    ZipReader reader(file, *fileSize);
    return reader.expandedSize(*directory);
}

} // namespace pelkit::expanded
