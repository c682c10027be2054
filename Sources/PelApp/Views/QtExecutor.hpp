#pragma once

#include "Platform/Executor.hpp"

class QObject;

namespace pelapp {

// The GUI thread as an Executor: tasks are queued invocations on the thread that created the executor
// (create it on the GUI thread, after the application object); delayed tasks are precise single-shot
// timers. Safe to post from any thread.
class QtExecutor final : public platform::Executor {
public:
    explicit QtExecutor(const platform::Clock& clock = platform::systemClock());
    ~QtExecutor() override;
    QtExecutor(const QtExecutor&) = delete;
    QtExecutor& operator=(const QtExecutor&) = delete;

    void post(Task task) override;
    platform::TaskHandle postAfter(std::chrono::nanoseconds delay, Task task) override;
    const platform::Clock& clock() const override { return clock_; }

private:
    const platform::Clock& clock_;
    QObject* context_;
};

} // namespace pelapp
