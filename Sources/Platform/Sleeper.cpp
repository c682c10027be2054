#include "Platform/Sleeper.hpp"

#include <condition_variable>
#include <mutex>

namespace platform {

bool SystemSleeper::sleepFor(std::chrono::nanoseconds duration, std::stop_token stop) {
    if (stop.stop_requested()) return false;
    if (duration <= std::chrono::nanoseconds::zero()) return true;
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    // Nothing notifies `wake`: only the time-out or a stop request ends the wait.
    wake.wait_for(lock, stop, duration, [] { return false; });
    return !stop.stop_requested();
}

Sleeper& systemSleeper() {
    static auto* sleeper = new SystemSleeper(); // never destroyed: workers may sleep at exit
    return *sleeper;
}

} // namespace platform
