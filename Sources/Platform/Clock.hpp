#pragma once

#include <chrono>
#include <mutex>

namespace platform {

using TimePoint = std::chrono::system_clock::time_point;

// Wall-clock time behind an interface so tests can step it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
    // Seconds since 1 January 1970 as a double: the form the database stores.
    double nowSeconds() const;
};

class SystemClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::system_clock::now(); }
};

// The process's system clock; lives for the whole process.
Clock& systemClock();

// A clock that moves only when told. Thread-safe.
class ManualClock final : public Clock {
public:
    explicit ManualClock(TimePoint start = TimePoint{std::chrono::seconds{1'700'000'000}}) : now_(start) {}
    TimePoint now() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }
    void set(TimePoint t) {
        std::lock_guard lock(mutex_);
        now_ = t;
    }
    void setSeconds(double secondsSinceEpoch);
    void advance(std::chrono::nanoseconds d) {
        std::lock_guard lock(mutex_);
        now_ += std::chrono::duration_cast<TimePoint::duration>(d);
    }

private:
    mutable std::mutex mutex_;
    TimePoint now_;
};

double toSeconds(TimePoint t);
TimePoint fromSeconds(double secondsSinceEpoch);

}  // namespace platform
