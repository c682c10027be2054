#pragma once

#include "Platform/ManualExecutor.hpp"

#include <chrono>
#include <functional>
#include <thread>

namespace pelapptest {

// Runs the executor's due tasks until `done` holds, giving worker threads (offMain) time to post
// their results. The bound is generous and is no assertion about speed: it only keeps a broken
// test from hanging. Answers whether `done` held.
inline bool runUntil(platform::ManualExecutor& executor, const std::function<bool()>& done,
                     std::chrono::milliseconds bound = std::chrono::seconds(60)) {
    const auto rounds = bound.count();
    for (long long i = 0; i <= rounds; ++i) {
        executor.runPending();
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

} // namespace pelapptest
