#pragma once

#include "PelKit/Downloader.hpp"
#include "Platform/Clock.hpp"
#include "Platform/HttpTransport.hpp"
#include "Platform/Sleeper.hpp"
#include "Platform/Url.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>

namespace pelkit {

// Lets one request per host run at a time, and starts two requests to one host at least
// `minInterval` seconds apart. Hosts are independent.
class HostThrottle {
public:
    static constexpr double minInterval = 1.0;

    explicit HostThrottle(platform::Clock& clock = platform::systemClock(),
                          platform::Sleeper& sleeper = platform::systemSleeper());

    // Returns once the caller holds `host`. Never throws; a stop request does not end the wait
    // (the holder must still be spaced from the previous grant).
    void acquire(const std::string& host);
    // A host that is not held stays unheld.
    void release(const std::string& host);

    // Holds a host from construction to destruction.
    class Grant {
    public:
        Grant(HostThrottle& throttle, std::string host) : throttle_(throttle), host_(std::move(host)) {
            throttle_.acquire(host_);
        }
        ~Grant() { throttle_.release(host_); }
        Grant(const Grant&) = delete;
        Grant& operator=(const Grant&) = delete;

    private:
        HostThrottle& throttle_;
        std::string host_;
    };

private:
    platform::Clock& clock_;
    platform::Sleeper& sleeper_;
    std::mutex mutex_;
    std::map<std::string, platform::TimePoint> lastFire_;
    std::set<std::string> inFlight_;
};

// The result of a GET.
struct HTTPResponse {
    std::string data;
    int status = 0;
    std::optional<std::string> etag;
    std::optional<std::string> lastModified;
};

// "pel-poc/0.1 (+<project link>; personal use)"
inline constexpr std::string_view defaultUserAgent = "pel-poc/0.1 (+https://pelloran.app; personal use)";

// Everything a test may replace; the defaults are the production ones.
struct HTTPOptions {
    std::string userAgent{defaultUserAgent};
    // Trust only this CA file (the test server's); empty: the transport's default.
    std::optional<std::filesystem::path> caFile{};
    platform::Clock* clock = nullptr;             // default: the system clock
    platform::Sleeper* sleeper = nullptr;         // default: the system sleeper
    platform::HttpTransport* transport = nullptr; // default: the process's curl transport
    // GET and HEAD: a request fails when nothing moves for `requestTimeout` or it takes longer
    // than `resourceTimeout`.
    std::chrono::milliseconds requestTimeout{60'000};
    std::chrono::milliseconds resourceTimeout{300'000};
    // Downloads: the same stall time-out, and this limit for one attempt.
    std::chrono::milliseconds downloadResourceTimeout{900'000};
    // The largest GET body held in memory (the cask catalogue is some tens of megabytes); a
    // server sending more must not exhaust the process's memory.
    std::int64_t maxBodyBytes = 256 * 1024 * 1024;
    // Downloads: a write fault of the file being received (DownloaderOptions::writeFault).
    std::function<std::optional<int>(std::int64_t size)> downloadWriteFault{};
};

// The HTTPS client every request of the core library goes through (the kill switch aside).
// Immutable after construction; safe to share between threads.
class HTTP {
public:
    explicit HTTP(HTTPOptions options = {});
    ~HTTP();
    HTTP(const HTTP&) = delete;
    HTTP& operator=(const HTTP&) = delete;

    // The process-wide client, made on first use and never destroyed.
    static HTTP& shared();

    const std::string& userAgent() const { return options_.userAgent; }

    // Retries 429, 5xx and transport failures (three attempts, waits 2 s then 8 s, a readable
    // Retry-After instead for 429). Any other status is returned. Throws PelError (a body over
    // `maxBodyBytes` is INT_UNEXPECTED, not retried), or platform::Cancelled when `stop` is
    // requested.
    HTTPResponse get(const platform::Url& url, const platform::HttpHeaders& headers = {},
                     std::stop_token stop = {});

    // The size of the remote file, from HEAD or else a one-byte ranged GET; nothing when it
    // cannot be learned. Never throws.
    std::optional<std::int64_t> head(const platform::Url& url, std::stop_token stop = {});

    struct DownloadedFile {
        std::int64_t bytes = 0;
        std::string sha256; // of the whole file, lower-case hexadecimal
    };

    // Fetches a file to `to` (replacing what is there) and returns its size and digest. The file
    // is received beside `to` ("pel-dl-<UUID>") and renamed into place, so `to` holds the former
    // file or the whole new one. The host is held for the whole transfer, retries included.
    // Progress (bytes so far, expected or -1) comes from the transfer's thread, and once more as
    // (size, size) when the file is in place. Throws PelError (INT_UNEXPECTED for a URL or
    // redirect that is not https, NET_TIMEOUT, NET_HTTP_5XX for a final status other than 200),
    // platform::Cancelled, a transfer error that is not retried, or a file system error. No
    // temporary file outlives a failure. A file growing past `limit` or past its announced length
    // is stopped there with SRC_FEED_MALFORMED; with `space`, one that would leave the volume of
    // `to`'s folder short of the reserve is stopped with ENV_DISK_FULL. A write that finds the
    // volume full is ENV_DISK_FULL too (Downloader::download).
    DownloadedFile downloadFile(const platform::Url& url, const std::filesystem::path& to,
                                const platform::ProgressHandler& progress = {}, std::stop_token stop = {},
                                std::optional<SizeLimit> limit = std::nullopt,
                                std::optional<SpaceLimit> space = std::nullopt);

    // `downloadFile`'s size alone.
    std::int64_t download(const platform::Url& url, const std::filesystem::path& to,
                          const platform::ProgressHandler& progress = {}, std::stop_token stop = {}) {
        return downloadFile(url, to, progress, std::move(stop)).bytes;
    }

private:
    platform::HttpRequest makeRequest(const platform::Url& url, std::string method) const;

    HTTPOptions options_;
    platform::Clock& clock_;
    platform::Sleeper& sleeper_;
    platform::HttpTransport& transport_;
    mutable HostThrottle throttle_;
    std::unique_ptr<Downloader> downloader_;
};

// The wait a 429 answer asks for: the Retry-After header when its whole value is a number of
// seconds, held to at most 32 seconds; nothing when it is missing or unreadable.
std::optional<double> retryAfterSeconds(const std::optional<std::string>& header);

// An optional sign followed by digits only, fitting 64 bits.
std::optional<std::int64_t> parseDecimalInt64(std::string_view text);

namespace testing {
// While alive, HTTP::shared() answers `client` instead of the process's own client.
class ScopedSharedHTTP {
public:
    explicit ScopedSharedHTTP(HTTP& client);
    ~ScopedSharedHTTP();
    ScopedSharedHTTP(const ScopedSharedHTTP&) = delete;
    ScopedSharedHTTP& operator=(const ScopedSharedHTTP&) = delete;

private:
    HTTP* previous_;
};
} // namespace testing

} // namespace pelkit
