#pragma once

#include "Platform/Url.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The one HTTPS transport of the system (libcurl underneath). It speaks https only, follows
// redirects itself one hop at a time, and reports failures as a few kinds that callers map to
// their own error codes. Transfers are blocking calls on the caller's thread.
namespace platform {

// Response or request headers. Names compare case-insensitively (ASCII); order is kept.
class HttpHeaders {
public:
    HttpHeaders() = default;
    HttpHeaders(std::initializer_list<std::pair<std::string, std::string>> entries);

    void add(std::string name, std::string value);
    // Replaces every earlier value of `name`.
    void set(std::string name, std::string value);
    void remove(std::string_view name);
    // The first value of `name`, or nothing.
    std::optional<std::string> get(std::string_view name) const;
    bool contains(std::string_view name) const { return get(name).has_value(); }
    const std::vector<std::pair<std::string, std::string>>& entries() const { return entries_; }
    bool empty() const { return entries_.empty(); }

private:
    std::vector<std::pair<std::string, std::string>> entries_;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b);

enum class TransportErrorKind { hostNotFound, timedOut, connectionLost, other };

// A transfer that failed below HTTP: no usable response arrived.
class TransportError : public std::runtime_error {
public:
    TransportError(TransportErrorKind kind, std::string description);
    TransportErrorKind kind() const { return kind_; }
    // A sentence for people, such as "The request timed out."
    const std::string& description() const { return description_; }

private:
    TransportErrorKind kind_;
    std::string description_;
};

// A redirect to anything but https. Nothing was sent to the target.
class RedirectRefused : public std::runtime_error {
public:
    RedirectRefused(std::string scheme, std::string location);
    // The target's scheme in lower case; empty when the target has none (or does not parse).
    const std::string& scheme() const { return scheme_; }
    const std::string& location() const { return location_; }

private:
    std::string scheme_;
    std::string location_;
};

// Status line and headers of the final response (after redirects).
struct HttpResponseHead {
    int status = 0;
    HttpHeaders headers;
    Url url; // the URL that gave this response
};

struct HttpResponse {
    int status = 0;
    HttpHeaders headers;
    Url url; // final URL after redirects
    std::string body;
};

// Receives the final response's body as it arrives. Exceptions thrown here end the transfer and
// reach the caller of `perform` unchanged.
class BodySink {
public:
    virtual ~BodySink() = default;
    // Once, before the first body byte (also for an empty body or a HEAD answer).
    virtual void begin(const HttpResponseHead& head) = 0;
    virtual void write(std::string_view bytes) = 0;
};

// Writes the body to a file, created or truncated at `begin`, mode 0600.
class FileSink final : public BodySink {
public:
    explicit FileSink(std::filesystem::path path) : path_(std::move(path)) {}
    ~FileSink() override;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;
    void begin(const HttpResponseHead& head) override;
    void write(std::string_view bytes) override;
    // Flushes and closes; write errors that surface only at close are thrown here.
    void close();

private:
    std::filesystem::path path_;
    int fd_ = -1;
};

using ProgressHandler = std::function<void(std::int64_t received, std::int64_t expected)>;

struct HttpRequest {
    Url url{};
    std::string method = "GET"; // "HEAD" sends no body and reads none
    HttpHeaders headers{};
    std::string body{}; // sent for methods other than GET and HEAD
    // The transfer fails as timed out when no byte moves for this long (connecting included)...
    std::chrono::milliseconds stallTimeout{60'000};
    // ...or when the whole exchange, redirects included, takes longer than this.
    std::chrono::milliseconds totalTimeout{300'000};
    // Trust only this CA file; when empty, the process default (tests) or the system store.
    std::optional<std::filesystem::path> caFile{};
    int maxRedirects = 10;
    // When off, a redirect is the final response: its status, headers and body reach the caller.
    bool followRedirects = true;
    // Body bytes of the final response so far, and its announced length or -1. Called on the
    // transfer's thread.
    ProgressHandler progress{};
};

class HttpTransport {
public:
    virtual ~HttpTransport() = default;

    // Runs the exchange, streaming the final response's body into `sink`. Throws TransportError,
    // RedirectRefused, platform::Cancelled when `stop` is requested, or whatever the sink throws.
    virtual HttpResponseHead perform(const HttpRequest& request, BodySink& sink, std::stop_token stop) = 0;

    // The same with the body collected in memory.
    HttpResponse perform(const HttpRequest& request, std::stop_token stop = {});
};

class CurlTransport final : public HttpTransport {
public:
    CurlTransport();
    using HttpTransport::perform;
    HttpResponseHead perform(const HttpRequest& request, BodySink& sink, std::stop_token stop) override;
};

// The process-wide curl transport; never destroyed.
HttpTransport& defaultTransport();

// The description of each failure kind, as TransportError carries it.
std::string_view describe(TransportErrorKind kind);

namespace detail {
// How a libcurl result code is reported.
TransportErrorKind kindForCurlCode(int curlCode);
} // namespace detail

namespace testing {
// The CA file used by requests that name none (tests point it at the test server's certificate).
void setDefaultCAFile(std::optional<std::filesystem::path> path);
} // namespace testing

} // namespace platform
