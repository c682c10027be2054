#pragma once

#include "Platform/HttpTransport.hpp"
#include "Platform/Sleeper.hpp"
#include "Platform/Url.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

namespace pelkit {

struct DownloaderOptions {
    std::optional<std::filesystem::path> caFile{};  // empty: the transport's default
    platform::Sleeper* sleeper = nullptr;         // default: the system sleeper
    platform::HttpTransport* transport = nullptr; // default: the process's curl transport
    // Where "pel-dl-<UUID>" files are made; empty: the system's temporary directory.
    std::filesystem::path temporaryDirectory{};
    // An attempt fails as timed out when nothing moves for `requestTimeout` or it takes longer
    // than `resourceTimeout`.
    std::chrono::milliseconds requestTimeout{60'000};
    std::chrono::milliseconds resourceTimeout{900'000};
    // Asked before each write into a download file, with the file's size so far; an errno it
    // returns fails that write with that error. Tests: a volume that fills up meanwhile.
    std::function<std::optional<int>(std::int64_t size)> writeFault{};
};

// The bound of a download whose size the source published: a file growing past `most` bytes is
// stopped there (`most` is the largest size the verifier still takes for `published`).
struct SizeLimit {
    std::int64_t published = 0;
    std::int64_t most = 0;
};

// Free bytes of the volume holding a folder; nothing when they cannot be read.
using FreeSpaceQuery = std::function<std::optional<std::int64_t>(const platform::Url& folder)>;

// The bound of a download whose size nobody published: the file may not leave the volume of its
// folder with less than `reserve` bytes free. No bound while the free space cannot be read.
struct SpaceLimit {
    static constexpr std::int64_t reserve = std::int64_t{100} << 20;
    FreeSpaceQuery freeBytes{};
};

// Fetches one file to a temporary file, streaming it to disk. Time-outs and lost connections are
// retried (three attempts in all, waits of 2 s and 8 s), continuing from the bytes already on
// disk when the first answer carried a validator (a strong ETag or Last-Modified).
class Downloader {
public:
    static constexpr int maxRetries = 3;

    struct Result {
        std::filesystem::path file; // the caller owns it from now on
        // 200 for a whole file, also one put together from resumed parts; else the final status,
        // with that answer's body in `file`.
        int status = 0;
        platform::Url url; // final URL after redirects
        platform::HttpHeaders headers;
        // SHA-256 of the whole file, computed as its bytes were written (resumed parts included);
        // lower-case hexadecimal. Empty unless `status` is 200.
        std::string sha256;
    };

    explicit Downloader(std::string userAgent, DownloaderOptions options = {});

    // Progress: (bytes of the file so far, its expected size or -1), on the calling thread.
    // Throws PelError NET_TIMEOUT when every attempt timed out or lost its connection;
    // platform::Cancelled; any other transfer failure (TransportError, RedirectRefused) or file
    // system error unchanged after its first occurrence. The temporary file is gone whenever it
    // throws. The file is made in `directory`, or the temporary directory when that is empty: a
    // file made beside its final place reaches it by a rename.
    // A file that grows past `limit`, or past the length its answer announced, is stopped before
    // the excess is written: PelError SRC_FEED_MALFORMED "size mismatch <bytes> vs <bound>", not
    // retried. The body of an answer other than 200 is cut at those bounds instead.
    // With `space`, any answer (error bodies too) that would leave less than SpaceLimit::reserve
    // free, announced or as it arrives, is stopped before the excess is written: PelError
    // ENV_DISK_FULL "need ~<bytes> bytes free, have <free>", not retried. A write that fails for
    // want of space (ENOSPC, EDQUOT) is ENV_DISK_FULL too, with or without `space`.
    Result download(const platform::Url& url, const platform::ProgressHandler& progress = {},
                    std::stop_token stop = {}, const std::filesystem::path& directory = {},
                    std::optional<SizeLimit> limit = std::nullopt,
                    std::optional<SpaceLimit> space = std::nullopt);

    const std::string& userAgent() const { return userAgent_; }
    const std::filesystem::path& temporaryDirectory() const { return temporaryDirectory_; }

private:
    struct Partial;
    Result runOnce(const platform::Url& url, Partial& partial, const std::filesystem::path& directory,
                   const platform::ProgressHandler& progress, const std::optional<SizeLimit>& limit,
                   const std::optional<SpaceLimit>& space, std::stop_token stop);

    std::string userAgent_;
    DownloaderOptions options_;
    platform::Sleeper& sleeper_;
    platform::HttpTransport& transport_;
    std::filesystem::path temporaryDirectory_;
};

// Moves a finished file to `to`: a rename, or across file systems a copy to a temporary name
// beside `to`, flushed to disk and renamed into place, then the source unlinked. Throws
// filesystem_error; on failure nothing is left at the temporary name.
void moveFile(const std::filesystem::path& from, const std::filesystem::path& to);

} // namespace pelkit
