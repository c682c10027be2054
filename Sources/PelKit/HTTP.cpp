#include "PelKit/HTTP.hpp"

#include "PelKit/Models.hpp"
#include "Platform/Errors.hpp"
#include "Platform/Files.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <limits>

namespace pelkit {

using platform::HttpHeaders;
using platform::HttpRequest;
using platform::TransportError;
using platform::TransportErrorKind;
using platform::Url;

namespace {

PelError unexpected(std::string message) {
    return PelError(ErrorCode::INT_UNEXPECTED, std::nullopt, std::nullopt, std::move(message), false);
}

PelError failure(ErrorCode code, std::string message) {
    return PelError(code, std::nullopt, std::nullopt, std::move(message), false);
}

std::chrono::nanoseconds seconds(double s) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(s));
}

// The longest wait a server's Retry-After can ask of us: it would otherwise hold the host, and
// every later request to it, for as long as the server likes.
constexpr double maxRetryAfter = 32.0;
constexpr double maxBackoff = 32.0;

// Keeps the status and headers and stops the transfer before the body: a server that ignores
// Range must not make a size probe read the whole file.
class HeadOnlySink final : public platform::BodySink {
public:
    struct Seen {};
    std::optional<platform::HttpResponseHead> head;
    void begin(const platform::HttpResponseHead& h) override {
        head = h;
        throw Seen{};
    }
    void write(std::string_view) override {}
};

// Collects a GET body in memory up to a limit; past it the transfer stops.
class CappedBodySink final : public platform::BodySink {
public:
    struct TooLarge {};
    CappedBodySink(std::string& body, std::int64_t limit) : body_(body), limit_(limit) {}
    void begin(const platform::HttpResponseHead& head) override {
        body_.clear();
        if (auto length = head.headers.get("Content-Length")) {
            if (auto n = parseDecimalInt64(*length); n && *n > limit_) throw TooLarge{};
        }
    }
    void write(std::string_view bytes) override {
        if (static_cast<std::int64_t>(body_.size() + bytes.size()) > limit_) throw TooLarge{};
        body_.append(bytes);
    }

private:
    std::string& body_;
    std::int64_t limit_;
};

} // namespace

// ---- HostThrottle ----

HostThrottle::HostThrottle(platform::Clock& clock, platform::Sleeper& sleeper)
    : clock_(clock), sleeper_(sleeper) {}

void HostThrottle::acquire(const std::string& host) {
    for (;;) {
        std::chrono::nanoseconds wait;
        {
            std::lock_guard lock(mutex_);
            auto now = clock_.now();
            auto it = lastFire_.find(host);
            double since = it == lastFire_.end() ? std::numeric_limits<double>::infinity()
                                                 : std::chrono::duration<double>(now - it->second).count();
            if (since < 0) {
                // The wall clock was set back: count the last grant as just given, or the host
                // would wait for as long as the clock jumped.
                it->second = now;
                since = 0;
            }
            if (!inFlight_.contains(host) && since >= minInterval) {
                inFlight_.insert(host);
                lastFire_[host] = now;
                return;
            }
            wait = seconds(std::max(minInterval - since, 0.05));
        }
        // No stop token: a cancelled caller still paces its polling.
        sleeper_.sleepFor(wait);
    }
}

void HostThrottle::release(const std::string& host) {
    std::lock_guard lock(mutex_);
    inFlight_.erase(host);
}

// ---- helpers ----

std::optional<std::int64_t> parseDecimalInt64(std::string_view text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    // Parse with the sign so that the most negative value fits.
    std::string signedText = negative ? "-" + std::string(digits) : std::string(digits);
    std::int64_t value = 0;
    auto [p, ec] = std::from_chars(signedText.data(), signedText.data() + signedText.size(), value);
    if (ec != std::errc() || p != signedText.data() + signedText.size()) return std::nullopt;
    return value;
}

std::optional<double> retryAfterSeconds(const std::optional<std::string>& header) {
    if (!header || header->empty()) return std::nullopt;
    std::string_view text = *header;
    if (text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    double value = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || p != text.data() + text.size()) return std::nullopt;
    // A negative or endless wait is no request we can honour: fall back to our own back-off.
    if (!std::isfinite(value) || value < 0) return std::nullopt;
    return std::min(value, maxRetryAfter);
}

// ---- HTTP ----

HTTP::HTTP(HTTPOptions options)
    : options_(std::move(options)), clock_(options_.clock ? *options_.clock : platform::systemClock()),
      sleeper_(options_.sleeper ? *options_.sleeper : platform::systemSleeper()),
      transport_(options_.transport ? *options_.transport : platform::defaultTransport()),
      throttle_(clock_, sleeper_) {
    DownloaderOptions d;
    d.caFile = options_.caFile;
    d.sleeper = &sleeper_;
    d.transport = &transport_;
    d.requestTimeout = options_.requestTimeout;
    d.resourceTimeout = options_.downloadResourceTimeout;
    d.writeFault = options_.downloadWriteFault;
    downloader_ = std::make_unique<Downloader>(options_.userAgent, std::move(d));
}

HTTP::~HTTP() = default;

namespace {
std::atomic<HTTP*> sharedOverride{nullptr};
}

HTTP& HTTP::shared() {
    if (HTTP* o = sharedOverride.load()) return *o;
    static auto* client = new HTTP(); // never destroyed: workers may still use it at exit
    return *client;
}

HttpRequest HTTP::makeRequest(const Url& url, std::string method) const {
    HttpRequest request;
    request.url = url;
    request.method = std::move(method);
    request.headers.set("User-Agent", options_.userAgent);
    request.stallTimeout = options_.requestTimeout;
    request.totalTimeout = options_.resourceTimeout;
    request.caFile = options_.caFile;
    return request;
}

HTTPResponse HTTP::get(const Url& url, const HttpHeaders& headers, std::stop_token stop) {
    if (url.scheme() != "https") throw unexpected("TLS required: " + url.text());
    const std::string host = url.host();
    int attempt = 0;
    double delay = 2.0;
    for (;;) {
        HostThrottle::Grant grant(throttle_, host);
        HttpRequest request = makeRequest(url, "GET");
        for (const auto& [name, value] : headers.entries())
            request.headers.set(name, value);

        double wait = delay;
        try {
            platform::HttpResponse response;
            CappedBodySink sink(response.body, options_.maxBodyBytes);
            platform::HttpResponseHead head = transport_.perform(request, sink, stop);
            response.status = head.status;
            response.headers = std::move(head.headers);
            if (response.status == 429) {
                if (attempt >= 2)
                    throw failure(ErrorCode::NET_RATE_LIMITED,
                                  fmt::format("429 after {} attempts {}", attempt + 1, url.text()));
                wait = retryAfterSeconds(response.headers.get("Retry-After")).value_or(delay);
            } else if (response.status >= 500 && response.status <= 599) {
                if (attempt >= 2)
                    throw failure(ErrorCode::NET_HTTP_5XX, fmt::format("{} {}", response.status, url.text()));
            } else {
                return HTTPResponse{std::move(response.body), response.status, response.headers.get("ETag"),
                                    response.headers.get("Last-Modified")};
            }
        } catch (const CappedBodySink::TooLarge&) {
            throw unexpected(
                fmt::format("response larger than {} bytes: {}", options_.maxBodyBytes, url.text()));
        } catch (const platform::RedirectRefused& r) {
            throw unexpected("redirect downgraded to " +
                             (r.scheme().empty() ? std::string("?") : r.scheme()));
        } catch (const TransportError& e) {
            if (attempt >= 2) {
                auto code = e.kind() == TransportErrorKind::hostNotFound ? ErrorCode::NET_DNS
                                                                         : ErrorCode::NET_TIMEOUT;
                throw failure(code, e.description() + " " + url.text());
            }
        }
        // The host stays held through the wait; it is released and acquired again after it.
        if (!sleeper_.sleepFor(seconds(wait), stop)) throw platform::Cancelled();
        ++attempt;
        delay = std::min(delay * 4, maxBackoff);
    }
}

std::optional<std::int64_t> HTTP::head(const Url& url, std::stop_token stop) {
    if (url.scheme() != "https") return std::nullopt;
    try {
        HostThrottle::Grant grant(throttle_, url.host());
        platform::HttpResponse probe = transport_.perform(makeRequest(url, "HEAD"), stop);
        if (probe.status >= 400) return std::nullopt;
        if (auto length = probe.headers.get("Content-Length")) {
            if (auto n = parseDecimalInt64(*length); n && *n > 0) return n;
        }
        // No usable length: ask for the first byte and read the total from Content-Range.
        HttpRequest ranged = makeRequest(url, "GET");
        ranged.headers.set("Range", "bytes=0-0");
        HeadOnlySink answer;
        try {
            transport_.perform(ranged, answer, stop);
        } catch (const HeadOnlySink::Seen&) {
        }
        if (!answer.head) return std::nullopt;
        auto range = answer.head->headers.get("Content-Range");
        if (!range) return std::nullopt;
        auto slash = range->find('/');
        if (slash == std::string::npos) return std::nullopt;
        return parseDecimalInt64(std::string_view(*range).substr(slash + 1));
    } catch (...) {
        return std::nullopt;
    }
}

HTTP::DownloadedFile HTTP::downloadFile(const Url& url, const std::filesystem::path& to,
                                        const platform::ProgressHandler& progress, std::stop_token stop,
                                        std::optional<SizeLimit> limit, std::optional<SpaceLimit> space) {
    if (url.scheme() != "https") throw unexpected("TLS required: " + url.text());
    HostThrottle::Grant grant(throttle_, url.host());
    Downloader::Result result;
    try {
        result =
            downloader_->download(url, progress, std::move(stop), to.parent_path(), limit, std::move(space));
    } catch (const platform::RedirectRefused&) {
        throw unexpected("download redirect downgraded");
    }
    platform::ScopeGuard dropFile([&] {
        std::error_code ignored;
        std::filesystem::remove(result.file, ignored);
    });
    if (result.status != 200)
        throw failure(ErrorCode::NET_HTTP_5XX, fmt::format("download {} {}", result.status, url.text()));
    // A rename replaces a file whole, but not a folder.
    if (std::filesystem::is_directory(to)) std::filesystem::remove_all(to);
    moveFile(result.file, to);
    dropFile.dismiss();
    auto size = static_cast<std::int64_t>(std::filesystem::file_size(to));
    if (progress) progress(size, size);
    return {size, std::move(result.sha256)};
}

namespace testing {

ScopedSharedHTTP::ScopedSharedHTTP(HTTP& client) : previous_(sharedOverride.exchange(&client)) {}

ScopedSharedHTTP::~ScopedSharedHTTP() {
    sharedOverride.store(previous_);
}

} // namespace testing

} // namespace pelkit
