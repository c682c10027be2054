#pragma once

#include "Platform/Executor.hpp"

#include <cstddef>
#include <memory>
#include <string>

namespace platform {

// A fixed set of worker threads sharing one queue, with delayed tasks by the system clock. Unlike the
// serial executors it runs up to `threads` tasks at once; among tasks that are due, the earliest starts
// first. The threads end when the pool is destroyed, after the tasks already due have run; delayed tasks
// not yet due are dropped then. Process-wide pools are leaked, never destroyed.
class WorkerPool final : public Executor {
public:
    WorkerPool(std::string name, std::size_t threads);
    ~WorkerPool() override;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void post(Task task) override;
    TaskHandle postAfter(std::chrono::nanoseconds delay, Task task) override;
    const Clock& clock() const override;

    // Returns once no task is due or running. Called from one of the pool's tasks it returns at once.
    void drain();
    const std::string& name() const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace platform
