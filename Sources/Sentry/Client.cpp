#include "Sentry/Client.hpp"

#include "Platform/HttpTransport.hpp"
#include "Sentry/Envelope.hpp"

#include <atomic>
#include <random>

namespace sentry {

namespace {

double defaultRandom() {
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::lock_guard lock(mutex);
    return unit(generator);
}

// The answer is not read; a hostile endpoint cannot make us hold a large body.
class DiscardSink final : public platform::BodySink {
public:
    void begin(const platform::HttpResponseHead&) override {}
    void write(std::string_view) override {}
};

} // namespace

Client::Client(Options options) : options_(std::move(options)), dsn_(Dsn::parse(options_.dsn)) {
    if (!options_.random) options_.random = defaultRandom;
}

Client::~Client() = default;

std::optional<std::string> Client::capture(Event event, const ScopeBlock& scope) {
    if (!dsn_) return std::nullopt;
    const double rate = options_.sampleRate;
    if (!(rate >= 1.0) && !(rate > 0.0 && options_.random() < rate)) return std::nullopt;

    Scope captureScope;
    if (scope) scope(captureScope);
    for (const auto& [key, value] : captureScope.tags())
        event.tags.emplace(key, value);
    if (event.eventId.empty()) event.eventId = newEventId();
    if (!event.timestamp) event.timestamp = clock().now();
    if (event.release.empty()) event.release = options_.releaseName;
    if (event.environment.empty()) event.environment = options_.environment;
    if (event.breadcrumbs.empty()) event.breadcrumbs = breadcrumbs();

    if (options_.beforeSend) {
        std::optional<Event> kept = options_.beforeSend(std::move(event));
        if (!kept) return std::nullopt;
        event = std::move(*kept);
    }

    std::string id = event.eventId;
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= options_.maxQueuedEvents) return std::nullopt;
        queue_.push_back(std::move(event));
        if (!worker_.joinable()) worker_ = std::jthread([this](std::stop_token stop) { run(stop); });
    }
    changed_.notify_all();
    return id;
}

void Client::addBreadcrumb(Breadcrumb crumb) {
    if (!crumb.timestamp) crumb.timestamp = clock().now();
    std::lock_guard lock(mutex_);
    if (options_.maxBreadcrumbs == 0) return;
    while (breadcrumbs_.size() >= options_.maxBreadcrumbs)
        breadcrumbs_.pop_front();
    breadcrumbs_.push_back(std::move(crumb));
}

std::vector<Breadcrumb> Client::breadcrumbs() const {
    std::lock_guard lock(mutex_);
    return {breadcrumbs_.begin(), breadcrumbs_.end()};
}

bool Client::flush(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return queue_.empty() && !sending_; });
}

platform::Clock& Client::clock() const {
    return options_.clock ? *options_.clock : platform::systemClock();
}

void Client::run(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!changed_.wait(lock, stop, [&] { return !queue_.empty(); })) return;
        Event event = std::move(queue_.front());
        queue_.pop_front();
        sending_ = true;
        lock.unlock();
        send(event, stop);
        lock.lock();
        sending_ = false;
        changed_.notify_all();
    }
}

void Client::send(const Event& event, std::stop_token stop) {
    try {
        platform::HttpRequest request;
        request.url = dsn_->envelopeUrl();
        request.method = "POST";
        request.headers.set("X-Sentry-Auth", authHeader(*dsn_));
        request.headers.set("Content-Type", "application/x-sentry-envelope");
        request.body = envelope(event, *dsn_, clock().now());
        request.caFile = options_.caFile;
        request.stallTimeout = options_.requestTimeout;
        request.totalTimeout = options_.requestTimeout;
        request.maxRedirects = 0; // the report goes to the project's endpoint or nowhere
        DiscardSink sink;
        platform::HttpTransport& transport =
            options_.transport ? *options_.transport : platform::defaultTransport();
        transport.perform(request, sink, stop);
    } catch (...) {
        // Best effort: a report that cannot be sent is dropped, and the host never hears of it.
    }
}

namespace {

std::atomic<Client*> current{nullptr};

} // namespace

void SDK::start(Options options) {
    // Every client ever started stays reachable and alive: a replaced one may still be sending.
    static std::mutex mutex;
    static auto* started = new std::vector<std::unique_ptr<Client>>();
    std::lock_guard lock(mutex);
    started->push_back(std::make_unique<Client>(std::move(options)));
    current.store(started->back().get(), std::memory_order_release);
}

bool SDK::isStarted() {
    return current.load(std::memory_order_acquire) != nullptr;
}

std::optional<std::string> SDK::capture(Event event, const ScopeBlock& scope) {
    Client* client = current.load(std::memory_order_acquire);
    return client ? client->capture(std::move(event), scope) : std::nullopt;
}

void SDK::addBreadcrumb(Breadcrumb crumb) {
    if (Client* client = current.load(std::memory_order_acquire)) client->addBreadcrumb(std::move(crumb));
}

bool SDK::flush(std::chrono::milliseconds timeout) {
    Client* client = current.load(std::memory_order_acquire);
    return client ? client->flush(timeout) : true;
}

} // namespace sentry
