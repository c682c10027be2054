#pragma once

#include "Platform/ManualExecutor.hpp"
#include "Tally/Helpers/LogHandler.hpp"
#include "Tally/Runtime.hpp"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tallytest {

// A log handler that keeps every message that passes its level, as "LEVEL message".
class CapturedLog {
public:
    tally::LogHandler handler(tally::LogLevel level = tally::LogLevel::debug) {
        return tally::LogHandler{level, [state = state_](tally::LogLevel l, const std::string& message) {
                                     std::lock_guard lock(state->mutex);
                                     state->lines.push_back(std::string(tally::description(l)) + " " + message);
                                 }};
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(state_->mutex);
        return state_->lines;
    }
    bool contains(const std::string& line) const {
        for (const auto& l : lines()) {
            if (l == line) return true;
        }
        return false;
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Sets TZ for the scope (and back).
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (old_) {
            ::setenv("TZ", old_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> old_;
};

// A runtime in virtual time: main, utility and every serial queue are one ManualExecutor, so
// advance() runs the client's work in due order on the test's thread. Installed by testing::reset.
struct VirtualRuntime {
    std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
    std::shared_ptr<platform::ManualExecutor> executor = std::make_shared<platform::ManualExecutor>(clock.get());
    std::shared_ptr<tally::AppEvents> appEvents = std::make_shared<tally::AppEvents>();
    tally::DefaultsStore defaults = tally::DefaultsStore::inMemory();
    // Left empty: the runtime's defaults (a discarding pipeline; a handler that drops every line).
    tally::Runtime::PipelineFactory makePipeline;
    std::optional<tally::LogHandler> logHandler;
    // Left empty: no transport, and the host information of the (empty) environment.
    std::shared_ptr<platform::HttpTransport> transport;
    tally::Runtime::HostInfoProvider hostInfo;

    // Installs this runtime; `cachesDirectory` absent unless given.
    void install(std::optional<std::filesystem::path> cachesDirectory = std::nullopt,
                 tally::Runtime::EnvironmentLookup environment = {}) {
        tally::Runtime r;
        r.clock = clock;
        r.main = executor;
        r.utility = executor;
        r.makeSerialQueue = [executor = executor](const std::string&) { return executor; };
        r.defaults = defaults;
        r.cachesDirectory = std::move(cachesDirectory);
        r.environment = environment ? std::move(environment)
                                    : [](const std::string&) { return std::optional<std::string>{}; };
        r.appEvents = appEvents;
        r.logHandler = logHandler ? *logHandler : tally::LogHandler{tally::LogLevel::error, {}};
        r.makePipeline = makePipeline;
        r.transport = transport;
        r.hostInfo = hostInfo;
        tally::testing::reset(std::move(r));
    }
};

} // namespace tallytest
