#include "Platform/HttpTransport.hpp"

#include "Platform/Errors.hpp"

#include <curl/curl.h>
#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <system_error>
#include <unistd.h>

namespace platform {

// ---- Headers ----

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]);
        auto y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

HttpHeaders::HttpHeaders(std::initializer_list<std::pair<std::string, std::string>> entries) {
    for (const auto& [name, value] : entries)
        set(name, value);
}

void HttpHeaders::add(std::string name, std::string value) {
    entries_.emplace_back(std::move(name), std::move(value));
}

void HttpHeaders::set(std::string name, std::string value) {
    remove(name);
    add(std::move(name), std::move(value));
}

void HttpHeaders::remove(std::string_view name) {
    std::erase_if(entries_, [&](const auto& e) { return equalsIgnoringCase(e.first, name); });
}

std::optional<std::string> HttpHeaders::get(std::string_view name) const {
    for (const auto& [n, v] : entries_) {
        if (equalsIgnoringCase(n, name)) return v;
    }
    return std::nullopt;
}

// ---- Errors ----

std::string_view describe(TransportErrorKind kind) {
    switch (kind) {
    case TransportErrorKind::hostNotFound:
        return "A server with the specified hostname could not be found.";
    case TransportErrorKind::timedOut:
        return "The request timed out.";
    case TransportErrorKind::connectionLost:
        return "The network connection was lost.";
    case TransportErrorKind::other:
        break;
    }
    return "The request failed.";
}

TransportError::TransportError(TransportErrorKind kind, std::string description)
    : std::runtime_error(description), kind_(kind), description_(std::move(description)) {}

RedirectRefused::RedirectRefused(std::string scheme, std::string location)
    : std::runtime_error("redirect refused: " + location), scheme_(std::move(scheme)),
      location_(std::move(location)) {}

// ---- File sink ----

FileSink::~FileSink() {
    if (fd_ >= 0) ::close(fd_);
}

void FileSink::begin(const HttpResponseHead&) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        throw std::filesystem::filesystem_error("cannot create file", path_,
                                                std::error_code(errno, std::generic_category()));
    }
}

void FileSink::write(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::filesystem::filesystem_error("cannot write file", path_,
                                                    std::error_code(errno, std::generic_category()));
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

void FileSink::close() {
    if (fd_ < 0) return;
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        throw std::filesystem::filesystem_error("cannot close file", path_,
                                                std::error_code(errno, std::generic_category()));
    }
}

// ---- Memory perform ----

namespace {

class MemorySink final : public BodySink {
public:
    explicit MemorySink(std::string& out) : out_(out) {}
    void begin(const HttpResponseHead&) override { out_.clear(); }
    void write(std::string_view bytes) override { out_.append(bytes); }

private:
    std::string& out_;
};

} // namespace

HttpResponse HttpTransport::perform(const HttpRequest& request, std::stop_token stop) {
    HttpResponse response;
    MemorySink sink(response.body);
    HttpResponseHead head = perform(request, sink, std::move(stop));
    response.status = head.status;
    response.headers = std::move(head.headers);
    response.url = std::move(head.url);
    return response;
}

// ---- curl ----

namespace {

std::mutex& caMutex() {
    static auto* m = new std::mutex();
    return *m;
}

std::optional<std::filesystem::path>& defaultCAFile() {
    static auto* p = new std::optional<std::filesystem::path>();
    return *p;
}

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            throw TransportError(TransportErrorKind::other, "The network library could not be initialised.");
        }
    });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

std::optional<std::int64_t> parseLength(std::string_view s) {
    std::int64_t v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || v < 0) return std::nullopt;
    return v;
}

bool isRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

using Clock = std::chrono::steady_clock;

// One hop: one request and its answer.
struct Hop {
    const HttpRequest* request = nullptr;
    const Url* url = nullptr;
    bool isHead = false;
    BodySink* sink = nullptr;
    int maxRedirectsLeft = 0;

    int status = 0;
    HttpHeaders headers;
    bool headComplete = false;
    bool redirect = false; // the answer is a redirect we follow: its body is not wanted
    std::exception_ptr sinkError;
    std::int64_t received = 0;
    std::int64_t expected = -1;
    Clock::time_point lastActivity = Clock::now();
    curl_off_t lastDown = 0;
    curl_off_t lastUp = 0;

    void finishHead() {
        headComplete = true;
        redirect = request->followRedirects && isRedirectStatus(status) && headers.contains("Location");
        if (redirect) return;
        if (auto len = headers.get("Content-Length")) expected = parseLength(*len).value_or(-1);
        try {
            sink->begin(HttpResponseHead{status, headers, *url});
        } catch (...) {
            sinkError = std::current_exception();
        }
    }
};

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* hop = static_cast<Hop*>(user);
    size_t n = size * count;
    hop->lastActivity = Clock::now();
    std::string_view line(data, n);
    if (line.starts_with("HTTP/")) {
        // A new status line: an interim answer (100 Continue) or the real one.
        hop->headers = HttpHeaders();
        hop->status = 0;
        auto sp = line.find(' ');
        if (sp != std::string_view::npos) {
            auto rest = line.substr(sp + 1);
            int code = 0;
            auto [p, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), code);
            if (ec == std::errc()) hop->status = code;
        }
        return n;
    }
    std::string_view t = trim(line);
    if (t.empty()) {
        if (hop->status >= 200 || hop->status == 0) {
            hop->finishHead();
            // Stop reading at once: the body of a followed redirect or a failed sink is not wanted.
            if (hop->redirect || hop->sinkError) return 0;
        }
        return n;
    }
    auto colon = t.find(':');
    if (colon != std::string_view::npos && colon > 0) {
        hop->headers.add(std::string(t.substr(0, colon)), std::string(trim(t.substr(colon + 1))));
    }
    return n;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* hop = static_cast<Hop*>(user);
    size_t n = size * count;
    hop->lastActivity = Clock::now();
    if (!hop->headComplete) hop->finishHead();
    if (hop->redirect || hop->sinkError) return 0;
    try {
        hop->sink->write(std::string_view(data, n));
        hop->received += static_cast<std::int64_t>(n);
        if (hop->request->progress) hop->request->progress(hop->received, hop->expected);
    } catch (...) {
        hop->sinkError = std::current_exception();
        return 0;
    }
    return n;
}

int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    auto* hop = static_cast<Hop*>(user);
    if (dlnow != hop->lastDown || ulnow != hop->lastUp) {
        hop->lastDown = dlnow;
        hop->lastUp = ulnow;
        hop->lastActivity = Clock::now();
    }
    return 0;
}

} // namespace

namespace detail {

TransportErrorKind kindForCurlCode(int code) {
    switch (static_cast<CURLcode>(code)) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return TransportErrorKind::hostNotFound;
    case CURLE_OPERATION_TIMEDOUT:
        return TransportErrorKind::timedOut;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return TransportErrorKind::connectionLost;
    default:
        return TransportErrorKind::other;
    }
}

} // namespace detail

namespace {

struct EasyDeleter {
    void operator()(CURL* e) const { curl_easy_cleanup(e); }
};
struct MultiDeleter {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

std::string otherDescription(CURLcode code, const char* errorBuffer) {
    if (code == CURLE_COULDNT_CONNECT) return "Could not connect to the server.";
    if (code == CURLE_PEER_FAILED_VERIFICATION) return "The certificate for this server is invalid.";
    if (code == CURLE_SSL_CONNECT_ERROR)
        return "A TLS error occurred and a secure connection to the server cannot be made.";
    std::string detail = errorBuffer[0] ? errorBuffer : curl_easy_strerror(code);
    return fmt::format("The request failed: {}.", trim(detail));
}

} // namespace

CurlTransport::CurlTransport() {
    initCurlOnce();
}

HttpResponseHead CurlTransport::perform(const HttpRequest& request, BodySink& sink, std::stop_token stop) {
    if (request.url.scheme() != "https") {
        throw TransportError(TransportErrorKind::other, "Only https URLs are supported.");
    }
    std::optional<std::filesystem::path> caFile = request.caFile;
    if (!caFile) {
        std::lock_guard lock(caMutex());
        caFile = defaultCAFile();
    }

    const auto started = Clock::now();
    Url url = request.url;
    std::string method = request.method;
    bool sendBody = method != "GET" && method != "HEAD";
    int redirectsLeft = request.maxRedirects;

    for (;;) {
        if (stop.stop_requested()) throw Cancelled();

        std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
        std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
        if (!easy || !multi)
            throw TransportError(TransportErrorKind::other, "The network library is out of memory.");
        CURL* e = easy.get();

        Hop hop;
        hop.request = &request;
        hop.url = &url;
        hop.isHead = method == "HEAD";
        hop.sink = &sink;

        char errorBuffer[CURL_ERROR_SIZE] = {0};
        std::unique_ptr<curl_slist, SlistDeleter> headerList;
        auto appendHeader = [&](const std::string& line) {
            curl_slist* next = curl_slist_append(headerList.get(), line.c_str());
            if (!next)
                throw TransportError(TransportErrorKind::other, "The network library is out of memory.");
            (void)headerList.release();
            headerList.reset(next);
        };
        for (const auto& [name, value] : request.headers.entries()) {
            appendHeader(value.empty() ? name + ";" : name + ": " + value);
        }
        appendHeader("Expect:"); // no 100-continue round trip for uploads

        curl_easy_setopt(e, CURLOPT_URL, url.text().c_str());
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "https");
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, headerList.get());
        // Through a proxy, its "200 Connection established" is not the server's answer.
        curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &onHeader);
        curl_easy_setopt(e, CURLOPT_HEADERDATA, &hop);
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &onBody);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, &hop);
        curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &onProgress);
        curl_easy_setopt(e, CURLOPT_XFERINFODATA, &hop);
        curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 256L * 1024L);
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.stallTimeout.count()));
        if (caFile) curl_easy_setopt(e, CURLOPT_CAINFO, caFile->c_str());
        if (method == "HEAD") {
            curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
        } else if (method == "POST" && sendBody) {
            curl_easy_setopt(e, CURLOPT_POST, 1L);
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.data());
        } else if (method != "GET") {
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
            if (sendBody) {
                curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                                 static_cast<curl_off_t>(request.body.size()));
                curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.data());
            }
        }

        if (curl_multi_add_handle(multi.get(), e) != CURLM_OK) {
            throw TransportError(TransportErrorKind::other, "The network library refused the request.");
        }
        std::optional<CURLcode> result;
        bool stalled = false;
        bool overTime = false;
        {
            std::stop_callback wakeOnStop(stop, [m = multi.get()] { curl_multi_wakeup(m); });
            hop.lastActivity = Clock::now();
            for (;;) {
                int running = 0;
                if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
                    curl_multi_remove_handle(multi.get(), e);
                    throw TransportError(TransportErrorKind::other, "The network library failed.");
                }
                if (running == 0) break;
                if (stop.stop_requested()) {
                    curl_multi_remove_handle(multi.get(), e);
                    throw Cancelled();
                }
                auto now = Clock::now();
                auto idleLeft = request.stallTimeout - (now - hop.lastActivity);
                auto totalLeft = request.totalTimeout - (now - started);
                if (idleLeft <= Clock::duration::zero()) {
                    stalled = true;
                    break;
                }
                if (totalLeft <= Clock::duration::zero()) {
                    overTime = true;
                    break;
                }
                auto wait = std::min({std::chrono::duration_cast<std::chrono::milliseconds>(idleLeft),
                                      std::chrono::duration_cast<std::chrono::milliseconds>(totalLeft),
                                      std::chrono::milliseconds(100)});
                curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(std::max<long>(wait.count(), 1)),
                                nullptr);
            }
            if (!stalled && !overTime) {
                int left = 0;
                while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left)) {
                    if (msg->msg == CURLMSG_DONE) result = msg->data.result;
                }
            }
        }
        curl_multi_remove_handle(multi.get(), e);

        if (hop.sinkError) std::rethrow_exception(hop.sinkError);
        if (stalled || overTime) {
            throw TransportError(TransportErrorKind::timedOut,
                                 std::string(describe(TransportErrorKind::timedOut)));
        }
        if (!result)
            throw TransportError(TransportErrorKind::other, "The network library lost the transfer.");
        bool abortedByUs = *result == CURLE_WRITE_ERROR && hop.redirect;
        if (*result != CURLE_OK && !abortedByUs) {
            auto kind = detail::kindForCurlCode(*result);
            throw TransportError(kind, kind == TransportErrorKind::other
                                           ? otherDescription(*result, errorBuffer)
                                           : std::string(describe(kind)));
        }
        if (!hop.headComplete) hop.finishHead();
        if (hop.sinkError) std::rethrow_exception(hop.sinkError);
        if (!hop.redirect) return HttpResponseHead{hop.status, std::move(hop.headers), url};

        // Follow the redirect ourselves, so a downgrade is refused before anything goes there.
        std::string location = *hop.headers.get("Location");
        auto target = url.resolve(location);
        if (!target) throw RedirectRefused("", location);
        if (target->scheme() != "https") throw RedirectRefused(target->scheme(), location);
        if (redirectsLeft <= 0)
            throw TransportError(TransportErrorKind::other, "There were too many redirects.");
        --redirectsLeft;
        if (hop.status == 303 && method != "HEAD") {
            method = "GET";
            sendBody = false;
        } else if ((hop.status == 301 || hop.status == 302) && method == "POST") {
            method = "GET";
            sendBody = false;
        }
        url = *target;
        if (Clock::now() - started >= request.totalTimeout) {
            throw TransportError(TransportErrorKind::timedOut,
                                 std::string(describe(TransportErrorKind::timedOut)));
        }
    }
}

HttpTransport& defaultTransport() {
    static auto* transport = new CurlTransport(); // never destroyed: workers may still use it at exit
    return *transport;
}

namespace testing {

void setDefaultCAFile(std::optional<std::filesystem::path> path) {
    std::lock_guard lock(caMutex());
    defaultCAFile() = std::move(path);
}

} // namespace testing

} // namespace platform
