#include "Support/TestServer.hpp"

#include "Support/TempDir.hpp"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace pelsupport {

// ---- Reply builders ----

Reply Reply::ok(std::string body, platform::HttpHeaders headers) {
    Reply r;
    r.body = std::move(body);
    r.headers = std::move(headers);
    return r;
}

Reply Reply::withStatus(int status, std::string body) {
    Reply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

Reply Reply::redirect(int status, std::string location) {
    Reply r;
    r.status = status;
    r.headers.set("Location", std::move(location));
    return r;
}

Reply Reply::withHeaders(int status, platform::HttpHeaders headers, std::string body) {
    Reply r;
    r.status = status;
    r.headers = std::move(headers);
    r.body = std::move(body);
    return r;
}

Reply Reply::fromFile(std::filesystem::path file, std::optional<std::string> etag) {
    Reply r;
    r.file = std::move(file);
    r.ranges = true;
    if (etag) r.headers.set("ETag", *etag);
    return r;
}

// ---- Certificate ----

namespace {

struct Identity {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    ~Identity() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

void addExtension(X509* cert, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) throw std::runtime_error("certificate extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

void makeIdentity(Identity& id) {
    id.key = EVP_EC_gen("P-256");
    if (!id.key) throw std::runtime_error("key generation failed");
    id.cert = X509_new();
    X509_set_version(id.cert, 2);
    unsigned char serial[8];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(id.cert));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(id.cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(id.cert), 7L * 24 * 3600);
    X509_set_pubkey(id.cert, id.key);
    X509_NAME* name = X509_get_subject_name(id.cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"),
                               -1, -1, 0);
    X509_set_issuer_name(id.cert, name);
    addExtension(id.cert, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(id.cert, NID_key_usage, "critical,digitalSignature,keyCertSign");
    addExtension(id.cert, NID_ext_key_usage, "serverAuth");
    addExtension(id.cert, NID_subject_key_identifier, "hash");
    addExtension(id.cert, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    if (X509_sign(id.cert, id.key, EVP_sha256()) == 0) throw std::runtime_error("certificate signing failed");
}

void writeCertificate(X509* cert, const std::filesystem::path& path) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("cannot write certificate");
    PEM_write_X509(f, cert);
    std::fclose(f);
}

// ---- Ranges ----

struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0; // inclusive
};

std::optional<std::uint64_t> parseNumber(std::string_view s) {
    std::uint64_t v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || s.empty()) return std::nullopt;
    return v;
}

// One "bytes=a-b" or "bytes=a-" range; nothing for other forms.
std::optional<std::pair<std::uint64_t, std::optional<std::uint64_t>>> parseRange(std::string_view h) {
    if (!h.starts_with("bytes=")) return std::nullopt;
    h.remove_prefix(6);
    auto dash = h.find('-');
    if (dash == std::string_view::npos || h.find(',') != std::string_view::npos) return std::nullopt;
    auto first = parseNumber(h.substr(0, dash));
    if (!first) return std::nullopt;
    auto rest = h.substr(dash + 1);
    if (rest.empty()) return std::make_pair(*first, std::optional<std::uint64_t>());
    auto last = parseNumber(rest);
    if (!last || *last < *first) return std::nullopt;
    return std::make_pair(*first, last);
}

} // namespace

// ---- Server ----

struct TestServer::Impl {
    TempDir dir{"pel-testserver"};
    std::filesystem::path caFile;
    Identity identity;
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    int port = 0;
    int listening = -1; // the listening socket, as the library created it

    mutable std::mutex mutex;
    struct Script {
        std::vector<Reply> replies;
        size_t next = 0;
        std::function<Reply(const RecordedRequest&)> handler;
    };
    std::map<std::string, Script> scripts;
    std::vector<RecordedRequest> log;

    std::mutex stopMutex;
    std::condition_variable stopSignal;
    bool stopping = false;

    // Waits `d` (forever when empty) or until the server stops; true when it stops.
    bool waitOrStop(std::optional<std::chrono::milliseconds> d) {
        std::unique_lock lock(stopMutex);
        if (!d) {
            stopSignal.wait(lock, [&] { return stopping; });
            return true;
        }
        return stopSignal.wait_for(lock, *d, [&] { return stopping; });
    }

    Reply choose(const RecordedRequest& request) {
        std::function<Reply(const RecordedRequest&)> handler;
        {
            std::lock_guard lock(mutex);
            auto it = scripts.find(request.path);
            if (it == scripts.end()) return Reply::withStatus(404, "not scripted");
            Script& s = it->second;
            if (!s.handler) {
                if (s.replies.empty()) return Reply::withStatus(404, "not scripted");
                Reply r = s.replies[std::min(s.next, s.replies.size() - 1)];
                ++s.next;
                return r;
            }
            handler = s.handler;
        }
        return handler(request); // outside the lock: handlers may look at the log
    }

    void handle(const httplib::Request& req, httplib::Response& res) {
        // The reply decides about ranges, not the library.
        const_cast<httplib::Request&>(req).ranges.clear();

        RecordedRequest rec;
        rec.time = std::chrono::steady_clock::now();
        rec.method = req.method;
        rec.path = req.path;
        if (auto q = req.target.find('?'); q != std::string::npos) rec.query = req.target.substr(q + 1);
        for (const auto& [name, value] : req.headers) {
            if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
                name == "LOCAL_PORT")
                continue;
            rec.headers.add(name, value);
        }
        rec.body = req.body;
        {
            std::lock_guard lock(mutex);
            log.push_back(rec);
        }
        Reply reply = choose(rec);
        if (reply.delay.count() > 0 && waitOrStop(reply.delay)) {
            res.status = 503;
            return;
        }
        serve(rec, std::move(reply), res);
    }

    void serve(const RecordedRequest& rec, Reply reply, httplib::Response& res) {
        std::uint64_t total = reply.body.size();
        if (reply.file) {
            std::error_code ec;
            total = std::filesystem::file_size(*reply.file, ec);
            if (ec) {
                res.status = 500;
                res.set_content("missing file", "text/plain");
                return;
            }
        }
        int status = reply.status;
        std::uint64_t offset = 0;
        std::uint64_t length = total;
        if (reply.ranges && status == 200) {
            auto range = rec.header("Range");
            auto ifRange = rec.header("If-Range");
            bool validatorMatches = !ifRange || ifRange == reply.headers.get("ETag") ||
                                    ifRange == reply.headers.get("Last-Modified");
            if (range && validatorMatches) {
                if (auto r = parseRange(*range)) {
                    if (r->first >= total) {
                        reply.headers.set("Content-Range", fmt::format("bytes */{}", total));
                        res.status = 416;
                        for (const auto& [n, v] : reply.headers.entries())
                            res.set_header(n, v);
                        return;
                    }
                    std::uint64_t last = std::min(r->second.value_or(total - 1), total - 1);
                    offset = r->first;
                    length = last - r->first + 1;
                    status = 206;
                    reply.headers.set("Content-Range", fmt::format("bytes {}-{}/{}", offset, last, total));
                }
            }
        }
        std::string contentType = reply.headers.get("Content-Type").value_or("application/octet-stream");
        reply.headers.remove("Content-Type");
        std::uint64_t announced = reply.announcedLength.value_or(length);
        reply.headers.remove("Content-Length");
        res.status = status;
        for (const auto& [n, v] : reply.headers.entries())
            res.set_header(n, v);

        // Bytes actually sent: the range, cut at a drop, a stall or the announced length.
        std::uint64_t sendable = std::min(length, announced);
        std::optional<std::uint64_t> cut;
        if (reply.dropAfter) cut = std::min(sendable, *reply.dropAfter);
        if (reply.stallAfter) cut = std::min(cut.value_or(sendable), *reply.stallAfter);
        bool endsEarly = cut.has_value() || sendable < announced;
        std::uint64_t toSend = cut.value_or(sendable);

        if (!endsEarly && !reply.chunked && !reply.file) {
            res.set_content(reply.body.substr(static_cast<size_t>(offset), static_cast<size_t>(length)),
                            contentType);
            return;
        }

        auto source = std::make_shared<Reply>(std::move(reply));
        int fd = -1;
        if (source->file) fd = ::open(source->file->c_str(), O_RDONLY | O_CLOEXEC);
        auto producer = [this, source, fd, offset, toSend, endsEarly](size_t sent,
                                                                      httplib::DataSink& sink) -> bool {
            if (sent >= toSend) {
                if (!endsEarly) {
                    if (source->chunked) sink.done();
                    return true;
                }
                if (source->stallAfter) waitOrStop(source->stallFor);
                return false; // closes the connection mid-body
            }
            size_t n = static_cast<size_t>(std::min<std::uint64_t>(toSend - sent, 256 * 1024));
            if (fd >= 0) {
                std::string buffer(n, '\0');
                ssize_t got = ::pread(fd, buffer.data(), n, static_cast<off_t>(offset + sent));
                if (got <= 0) return false;
                return sink.write(buffer.data(), static_cast<size_t>(got));
            }
            return sink.write(source->body.data() + offset + sent, n);
        };
        auto release = [fd](bool) {
            if (fd >= 0) ::close(fd);
        };
        if (source->chunked) {
            res.set_chunked_content_provider(
                contentType,
                [producer](size_t sent, httplib::DataSink& sink) { return producer(sent, sink); }, release);
        } else {
            res.set_content_provider(
                static_cast<size_t>(announced), contentType,
                [producer](size_t sent, size_t, httplib::DataSink& sink) { return producer(sent, sink); },
                release);
        }
    }
};

TestServer::TestServer() : impl_(std::make_unique<Impl>()) {
    Impl& s = *impl_;
    makeIdentity(s.identity);
    s.caFile = s.dir / "ca.pem";
    writeCertificate(s.identity.cert, s.caFile);
    s.server = std::make_unique<httplib::SSLServer>(s.identity.cert, s.identity.key);
    if (!s.server->is_valid()) throw std::runtime_error("test server: TLS set-up failed");
    auto handler = [&s](const httplib::Request& req, httplib::Response& res) { s.handle(req, res); };
    s.server->Get(".*", handler);
    s.server->Post(".*", handler);
    s.server->Put(".*", handler);
    s.server->Delete(".*", handler);
    s.server->Patch(".*", handler);
    s.server->Options(".*", handler);
    s.server->set_keep_alive_max_count(1);
    s.server->set_socket_options([&s](int fd) {
        int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        s.listening = fd;
    });
    s.port = s.server->bind_to_any_port("127.0.0.1");
    if (s.port <= 0) throw std::runtime_error("test server: cannot bind");
    // The library listens with a backlog of five: tests that open more connections at once on a
    // busy machine would see the surplus handshakes dropped and retried for seconds.
    if (s.listening >= 0) ::listen(s.listening, SOMAXCONN);
    s.thread = std::thread([&s] { s.server->listen_after_bind(); });
    while (!s.server->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestServer::~TestServer() {
    {
        std::lock_guard lock(impl_->stopMutex);
        impl_->stopping = true;
    }
    impl_->stopSignal.notify_all();
    impl_->server->stop();
    if (impl_->thread.joinable()) impl_->thread.join();
}

int TestServer::port() const {
    return impl_->port;
}

std::string TestServer::baseUrl(std::string_view host) const {
    return fmt::format("https://{}:{}", host, impl_->port);
}

platform::Url TestServer::url(std::string_view pathAndQuery, std::string_view host) const {
    auto u = platform::Url::parse(baseUrl(host) + std::string(pathAndQuery));
    if (!u) throw std::invalid_argument("bad test URL");
    return *u;
}

const std::filesystem::path& TestServer::caFile() const {
    return impl_->caFile;
}

void TestServer::script(const std::string& path, std::vector<Reply> replies) {
    std::lock_guard lock(impl_->mutex);
    impl_->scripts[path] = Impl::Script{std::move(replies), 0, nullptr};
}

void TestServer::on(const std::string& path, std::function<Reply(const RecordedRequest&)> handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->scripts[path] = Impl::Script{{}, 0, std::move(handler)};
}

std::vector<RecordedRequest> TestServer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log;
}

std::vector<RecordedRequest> TestServer::requests(const std::string& path) const {
    std::lock_guard lock(impl_->mutex);
    std::vector<RecordedRequest> out;
    for (const auto& r : impl_->log) {
        if (r.path == path) out.push_back(r);
    }
    return out;
}

} // namespace pelsupport
