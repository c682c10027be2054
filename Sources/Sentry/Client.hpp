#pragma once

// The crash-report client: options, capture, breadcrumbs and sending.
//
//     sentry::Options options;
//     options.dsn = "https://<key>@<host>/<project>";
//     options.releaseName = "pelloran@1.2+build.34";
//     options.environment = "release";
//     options.beforeSend = [](sentry::Event e) -> std::optional<sentry::Event> { return e; };
//     sentry::SDK::start(options);                     // once, at launch
//     sentry::Event event;
//     event.level = sentry::Level::warning;
//     event.message = "download failed";
//     sentry::SDK::capture(event, [&](sentry::Scope& scope) { scope.setTag("code", "NET_TIMEOUT"); });
//     sentry::SDK::addBreadcrumb({.category = "scan", .message = "started"});
//     sentry::SDK::flush(std::chrono::seconds(2));     // before quitting
//
// Capture runs sampling and the before-send hook on the caller's thread, then queues the event;
// one worker thread per client posts it as an envelope to the DSN's project endpoint. Sending is
// best effort: failures are swallowed, and nothing here waits for the network except `flush`.
// Every member may be called from any thread.

#include "Sentry/Dsn.hpp"
#include "Sentry/Event.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform {
class HttpTransport;
}

namespace sentry {

// Sees (and may rewrite) every event about to be queued; nothing drops it.
using BeforeSend = std::function<std::optional<Event>(Event)>;

struct Options {
    // Empty or invalid (see Dsn::parse): events are dropped and nothing leaves the machine.
    std::string dsn;
    std::string releaseName;
    std::string environment;
    // Chance that a captured event is sent, from 0 (none) to 1 (all).
    double sampleRate = 1.0;
    BeforeSend beforeSend;
    std::size_t maxBreadcrumbs = 100; // the oldest goes first when full
    std::size_t maxQueuedEvents = 30; // events captured beyond this while sending are dropped

    // Stored for the host; this client acts on none of them.
    bool debug = false;
    bool sendDefaultPii = false;
    bool attachStacktrace = false;
    bool enableAutoBreadcrumbTracking = false;
    double tracesSampleRate = 0.0;
    bool enableCaptureFailedRequests = false;

    // Seams; the defaults are the production ones.
    platform::HttpTransport* transport = nullptr; // default: the process's transport
    std::optional<std::filesystem::path> caFile;  // trust only this CA
    platform::Clock* clock = nullptr;             // default: the system clock
    std::function<double()> random;               // uniform in [0, 1); default: a seeded generator
    std::chrono::milliseconds requestTimeout{30'000};
};

// What a capture call may add for that one event.
class Scope {
public:
    void setTag(std::string key, std::string value) { tags_[std::move(key)] = std::move(value); }
    const Tags& tags() const { return tags_; }

private:
    Tags tags_;
};

using ScopeBlock = std::function<void(Scope&)>;

class Client {
public:
    explicit Client(Options options);
    // Cancels a send in progress and drops queued events. The process-wide client is never
    // destroyed; local clients (tests) call `flush` first when they want their events out.
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    const Options& options() const { return options_; }
    // A valid DSN was given: captured events are sent.
    bool isEnabled() const { return dsn_.has_value(); }

    // Completes the event (identifier, time, release, environment, breadcrumbs), applies the
    // scope's tags (the event's own tags win), samples it, passes it through the before-send hook
    // and queues it. Returns the identifier of a queued event; nothing when it was dropped.
    // Never throws for a send failure; a throwing hook or scope block reaches the caller.
    std::optional<std::string> capture(Event event, const ScopeBlock& scope = {});

    void addBreadcrumb(Breadcrumb crumb);
    std::vector<Breadcrumb> breadcrumbs() const; // oldest first

    // Waits until every queued event has been sent or given up, at most `timeout`.
    // True when nothing is left.
    bool flush(std::chrono::milliseconds timeout);

private:
    platform::Clock& clock() const;
    void run(std::stop_token stop);
    void send(const Event& event, std::stop_token stop);

    Options options_;
    std::optional<Dsn> dsn_;
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<Breadcrumb> breadcrumbs_;
    std::deque<Event> queue_;
    bool sending_ = false;
    std::jthread worker_; // last: joined before anything above goes away
};

// The process-wide client, as the application reaches it. Before `start`, every call is a no-op.
struct SDK {
    SDK() = delete;

    // Makes the process-wide client; it lives until the process ends. A second call replaces it
    // for later calls (the first keeps running what it has queued).
    static void start(Options options);
    static bool isStarted();
    static std::optional<std::string> capture(Event event, const ScopeBlock& scope = {});
    static void addBreadcrumb(Breadcrumb crumb);
    static bool flush(std::chrono::milliseconds timeout);
};

} // namespace sentry
