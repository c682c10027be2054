#pragma once

#include <chrono>
#include <stop_token>

namespace platform {

// Waiting behind an interface, so that back-offs and polling run in virtual time under test.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    // Waits for `duration`. Returns false when `stop` was requested before or during the wait
    // (the wait then ends at once), true when the whole duration passed.
    virtual bool sleepFor(std::chrono::nanoseconds duration, std::stop_token stop = {}) = 0;
};

class SystemSleeper final : public Sleeper {
public:
    bool sleepFor(std::chrono::nanoseconds duration, std::stop_token stop = {}) override;
};

// The process's real sleeper; lives for the whole process.
Sleeper& systemSleeper();

} // namespace platform
