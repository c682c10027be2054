#include "PelKit/Downloader.hpp"

#include "PelKit/Leftovers.hpp"
#include "PelKit/Models.hpp"
#include "Platform/Errors.hpp"
#include "Platform/Files.hpp"
#include "Platform/Sha256.hpp"
#include "Platform/Uuid.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace pelkit {

namespace fs = std::filesystem;
using platform::fileError;
using platform::HttpRequest;
using platform::HttpResponseHead;
using platform::TransportError;
using platform::TransportErrorKind;
using platform::Url;

namespace {

// "bytes <first>-<last>/<total or *>": the first byte and, when known, the total.
struct ContentRange {
    std::int64_t first = 0;
    std::optional<std::int64_t> total;
};

std::optional<std::int64_t> parseNonNegative(std::string_view s) {
    std::int64_t v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || p != s.data() + s.size() || v < 0) return std::nullopt;
    return v;
}

std::optional<ContentRange> parseContentRange(const std::optional<std::string>& header) {
    if (!header) return std::nullopt;
    std::string_view h = *header;
    if (!h.starts_with("bytes ")) return std::nullopt;
    h.remove_prefix(6);
    auto dash = h.find('-');
    auto slash = h.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash)
        return std::nullopt;
    auto first = parseNonNegative(h.substr(0, dash));
    if (!first) return std::nullopt;
    ContentRange range{*first, std::nullopt};
    auto total = h.substr(slash + 1);
    if (total != "*") {
        range.total = parseNonNegative(total);
        if (!range.total) return std::nullopt;
    }
    return range;
}

// If-Range needs a strong validator: a strong ETag, else Last-Modified.
std::optional<std::string> validatorOf(const platform::HttpHeaders& headers) {
    if (auto etag = headers.get("ETag"); etag && !etag->empty() && !etag->starts_with("W/")) return etag;
    if (auto modified = headers.get("Last-Modified"); modified && !modified->empty()) return modified;
    return std::nullopt;
}

// 0 when every byte was written, else the errno of the write that failed.
int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

// The size error of a file that outgrew what was published or announced.
PelError tooLarge(std::int64_t bytes, std::int64_t bound) {
    return PelError(ErrorCode::SRC_FEED_MALFORMED, std::nullopt, std::nullopt,
                    fmt::format("size mismatch {} vs {}", bytes, bound), false);
}

PelError diskFull(std::string message) {
    return PelError(ErrorCode::ENV_DISK_FULL, std::nullopt, std::nullopt, std::move(message), false);
}

// Of two non-negative numbers; a server may announce any length.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) return std::numeric_limits<std::int64_t>::max();
    return sum;
}

// How often the free space of a transfer without a published size is read again.
constexpr std::int64_t kRecheckBytes = std::int64_t{4} << 20;

// The room left on the volume of a download whose size nobody published. The free space is read
// when an answer begins and again every few MiB; in between, the bytes written are counted off.
// A new reading only ever lowers the estimate, so a volume that accounts for writes late still
// stops the transfer in time, and space taken meanwhile by others is seen at the next reading.
class Room {
public:
    Room(const SpaceLimit& limit, const fs::path& folder) : query_(limit.freeBytes), folder_(folder) {}

    void read() {
        free_ = query();
        sinceRead_ = 0;
    }
    // Throws ENV_DISK_FULL when `bytes` more would leave less than the reserve.
    void check(std::int64_t bytes) const {
        if (!free_) return;
        if (bytes > 0 && bytes > *free_ - SpaceLimit::reserve)
            throw diskFull(fmt::format("need ~{} bytes free, have {}",
                                       saturatingAdd(bytes, SpaceLimit::reserve), *free_));
    }
    // check(bytes), then counts them as written.
    void take(std::int64_t bytes) {
        if (sinceRead_ >= kRecheckBytes) {
            if (auto fresh = query(); fresh && (!free_ || *fresh < *free_)) free_ = fresh;
            sinceRead_ = 0;
        }
        check(bytes);
        if (free_) *free_ -= bytes;
        sinceRead_ += bytes;
    }

private:
    std::optional<std::int64_t> query() const {
        auto free = query_(Url::fromFilePath(folder_.string()));
        if (free && *free < 0) free = 0;
        return free;
    }

    const FreeSpaceQuery& query_;
    const fs::path& folder_;
    std::optional<std::int64_t> free_; // estimated free bytes now
    std::int64_t sinceRead_ = 0;
};

// Ends an error answer's body at a bound; the answer is then judged by its status.
struct BodyCut {};

} // namespace

// The temporary file of one download, kept across its attempts.
struct Downloader::Partial {
    fs::path path;
    int fd = -1;
    std::int64_t size = 0; // bytes on disk, contiguous from byte 0
    // The digest of those bytes so far, so the finished file needs no second read.
    std::optional<platform::Sha256> hash;
    // A file made in the download cache's folder must not be swept while it grows.
    std::optional<leftovers::InUse> inUse;
    // Set while the bytes on disk are the start of a whole-file answer that can be continued.
    std::optional<std::string> validator;

    Partial() = default;
    Partial(const Partial&) = delete;
    Partial& operator=(const Partial&) = delete;
    ~Partial() { discard(); }

    void create(const fs::path& dir) {
        if (fd >= 0) return;
        path = dir / ("pel-dl-" + platform::uuidV4());
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            int e = errno;
            path.clear();
            throw fileError("create download file", dir, e);
        }
        inUse.emplace(path);
        hash.emplace();
    }
    // Hands the file over: it is no longer removed here.
    fs::path release() {
        closeFile();
        inUse.reset();
        return std::exchange(path, {});
    }
    void closeFile() {
        if (fd < 0) return;
        int e = ::close(fd);
        fd = -1;
        if (e != 0) throw fileError("close download file", path, errno);
    }
    void discard() noexcept {
        if (fd >= 0) ::close(fd);
        fd = -1;
        if (!path.empty()) ::unlink(path.c_str());
        path.clear();
        inUse.reset();
    }
};

namespace {

// Writes one attempt's answer into the temporary file: appended after what is there when the
// server continues at exactly that byte (206), from byte 0 otherwise.
class AttemptSink final : public platform::BodySink {
public:
    AttemptSink(std::int64_t& size, std::optional<std::string>& validator,
                std::optional<platform::Sha256>& hash, int fd, const fs::path& path, std::int64_t resumeFrom,
                const platform::ProgressHandler& progress, const std::optional<SizeLimit>& limit,
                const std::optional<SpaceLimit>& space, const fs::path& folder,
                const DownloaderOptions& options)
        : size_(size), validator_(validator), hash_(hash), fd_(fd), path_(path), resumeFrom_(resumeFrom),
          progress_(progress), limit_(limit), writeFault_(options.writeFault) {
        if (space && space->freeBytes) room_.emplace(*space, folder);
    }

    void begin(const HttpResponseHead& head) override {
        std::int64_t start = 0;
        std::optional<std::int64_t> total;
        if (resumeFrom_ > 0 && head.status == 206) {
            auto range = parseContentRange(head.headers.get("Content-Range"));
            if (range && range->first == resumeFrom_) {
                continued_ = true;
                start = resumeFrom_;
                total = range->total;
            }
        }
        // Only when something must go: truncating a fresh file makes some file systems flush
        // the whole file to disk when it is closed.
        if (size_ != start && ::ftruncate(fd_, start) != 0)
            throw fileError("truncate download file", path_, errno);
        if (::lseek(fd_, start, SEEK_SET) < 0) throw fileError("seek download file", path_, errno);
        // A continued answer extends the digest of the bytes kept; any other starts it afresh.
        if (size_ != start || start == 0) hash_.emplace();
        size_ = start;
        if (!continued_) validator_ = head.status == 200 ? validatorOf(head.headers) : std::nullopt;

        expected_ = -1;
        if (auto length = head.headers.get("Content-Length")) {
            if (auto n = parseNonNegative(*length)) expected_ = saturatingAdd(start, *n);
        }
        if (expected_ < 0 && total) expected_ = *total;
        status_ = continued_ ? 200 : head.status;
        head_ = head;
        // An announced length beyond the bound is refused before its first byte.
        if (status_ == 200 && limit_ && expected_ > limit_->most)
            throw tooLarge(expected_, limit_->published);
        // Read once the file holds only what is kept, so the bytes on disk are already counted.
        if (room_) {
            room_->read();
            if (expected_ >= 0) room_->check(expected_ - start);
        }
    }

    void write(std::string_view bytes) override {
        const std::int64_t after = size_ + static_cast<std::int64_t>(bytes.size());
        const bool pastAnnounced = expected_ >= 0 && after > expected_;
        const bool pastLimit = limit_ && after > limit_->most;
        if (pastAnnounced || pastLimit) {
            if (status_ != 200) throw BodyCut{};
            throw pastLimit ? tooLarge(after, limit_->published) : tooLarge(after, expected_);
        }
        if (room_) room_->take(static_cast<std::int64_t>(bytes.size()));
        int failed = writeFault_ ? writeFault_(size_).value_or(0) : 0;
        if (failed == 0) failed = writeAll(fd_, bytes);
        if (failed == ENOSPC || failed == EDQUOT) {
            throw diskFull(fmt::format("download stopped after {} bytes: {}", size_,
                                       std::generic_category().message(failed)));
        }
        if (failed != 0) throw fileError("write download", path_, failed);
        hash_->update(bytes);
        size_ += static_cast<std::int64_t>(bytes.size());
        if (progress_) progress_(size_, expected_);
    }

    int status() const { return status_; }
    const HttpResponseHead& head() const { return head_; }

private:
    std::int64_t& size_;
    std::optional<std::string>& validator_;
    std::optional<platform::Sha256>& hash_;
    int fd_;
    const fs::path& path_;
    std::int64_t resumeFrom_;
    const platform::ProgressHandler& progress_;
    const std::optional<SizeLimit>& limit_;
    const std::function<std::optional<int>(std::int64_t)>& writeFault_;
    std::optional<Room> room_;
    HttpResponseHead head_;
    bool continued_ = false;
    std::int64_t expected_ = -1;
    int status_ = 0;
};

bool retryable(const TransportError& e) {
    return e.kind() == TransportErrorKind::timedOut || e.kind() == TransportErrorKind::connectionLost;
}

} // namespace

Downloader::Downloader(std::string userAgent, DownloaderOptions options)
    : userAgent_(std::move(userAgent)), options_(std::move(options)),
      sleeper_(options_.sleeper ? *options_.sleeper : platform::systemSleeper()),
      transport_(options_.transport ? *options_.transport : platform::defaultTransport()),
      temporaryDirectory_(options_.temporaryDirectory.empty() ? fs::temp_directory_path()
                                                              : options_.temporaryDirectory) {}

Downloader::Result Downloader::download(const Url& url, const platform::ProgressHandler& progress,
                                        std::stop_token stop, const fs::path& directory,
                                        std::optional<SizeLimit> limit, std::optional<SpaceLimit> space) {
    Partial partial; // removed on every way out but success
    const fs::path& folder = directory.empty() ? temporaryDirectory_ : directory;
    for (int attempt = 1;; ++attempt) {
        try {
            Result result = runOnce(url, partial, folder, progress, limit, space, stop);
            if (result.status == 200) result.sha256 = partial.hash->finalHex();
            result.file = partial.release();
            return result;
        } catch (const TransportError& e) {
            if (!retryable(e)) throw;
            if (attempt >= maxRetries) {
                throw PelError(
                    ErrorCode::NET_TIMEOUT, std::nullopt, std::nullopt,
                    fmt::format("download failed after {} attempts: {}", maxRetries, e.description()), false);
            }
        }
        auto wait = attempt == 1 ? std::chrono::seconds(2) : std::chrono::seconds(8);
        if (!sleeper_.sleepFor(wait, stop)) throw platform::Cancelled();
    }
}

Downloader::Result Downloader::runOnce(const Url& url, Partial& partial, const fs::path& directory,
                                       const platform::ProgressHandler& progress,
                                       const std::optional<SizeLimit>& limit,
                                       const std::optional<SpaceLimit>& space, std::stop_token stop) {
    partial.create(directory);
    HttpRequest request;
    request.url = url;
    request.headers.set("User-Agent", userAgent_);
    request.stallTimeout = options_.requestTimeout;
    request.totalTimeout = options_.resourceTimeout;
    request.caFile = options_.caFile;
    std::int64_t resumeFrom = 0;
    if (partial.size > 0 && partial.validator) {
        // Continue where the last attempt stopped, unless the file changed meanwhile: then the
        // server sends it whole (200).
        resumeFrom = partial.size;
        request.headers.set("Range", fmt::format("bytes={}-", resumeFrom));
        request.headers.set("If-Range", *partial.validator);
    }
    AttemptSink sink(partial.size, partial.validator, partial.hash, partial.fd, partial.path, resumeFrom,
                     progress, limit, space, directory, options_);
    try {
        HttpResponseHead head = transport_.perform(request, sink, std::move(stop));
        return Result{{}, sink.status(), std::move(head.url), std::move(head.headers), {}};
    } catch (const BodyCut&) {
        // Not the file: what was kept of the body goes with its status.
        return Result{{}, sink.status(), sink.head().url, sink.head().headers, {}};
    }
}

// ---- moving the finished file ----

void moveFile(const fs::path& from, const fs::path& to) {
    if (::rename(from.c_str(), to.c_str()) == 0) return;
    if (errno != EXDEV) throw fileError("move file", from, errno);

    // Another file system: copy beside the destination, flush, rename into place, unlink.
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw fileError("open file", from, errno);
    platform::ScopeGuard closeIn([&] { ::close(in); });
    fs::path staging = to.parent_path() / (".pel-dl-" + platform::uuidV4() + ".partial");
    int out = ::open(staging.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) throw fileError("create file", staging, errno);
    platform::ScopeGuard dropStaging([&] {
        if (out >= 0) ::close(out);
        ::unlink(staging.c_str());
    });
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw fileError("read file", from, errno);
        }
        if (n == 0) break;
        if (int e = writeAll(out, std::string_view(buffer.data(), static_cast<size_t>(n))))
            throw fileError("write download", staging, e);
    }
    if (::fsync(out) != 0) throw fileError("flush file", staging, errno);
    int closed = ::close(out);
    out = -1;
    if (closed != 0) throw fileError("close file", staging, errno);
    if (::rename(staging.c_str(), to.c_str()) != 0) throw fileError("move file", to, errno);
    dropStaging.dismiss();
    ::unlink(from.c_str()); // the file is in place; a leftover source is only litter
}

} // namespace pelkit
