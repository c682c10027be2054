#pragma once

#include "Platform/Executor.hpp"

#include <memory>
#include <string>

namespace platform {

// One named worker thread running tasks first-in first-out, with delayed tasks by the given clock.
// The thread ends when the last owner releases the queue, after the tasks already due have run; a task
// that releases the queue's last owner does not join its own thread (the thread is detached then).
// Process-wide queues are made with leaked() and never destroyed.
class SerialQueue final : public Executor {
public:
    explicit SerialQueue(std::string name, const Clock& clock = systemClock());
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(Task task) override;
    TaskHandle postAfter(std::chrono::nanoseconds delay, Task task) override;
    const Clock& clock() const override;

    // Returns once every task posted before the call (not the delayed ones that are not yet due) has run.
    // Called from a task of this queue it returns at once.
    void drain();
    const std::string& name() const;
    // True on this queue's own thread.
    bool isCurrent() const;

    // A queue that lives for the whole process; one per name (made with the clock of the first call).
    static SerialQueue& leaked(std::string name, const Clock& clock = systemClock());

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace platform
