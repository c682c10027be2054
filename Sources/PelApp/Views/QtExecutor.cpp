#include "PelApp/Views/QtExecutor.hpp"

#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <climits>

namespace pelapp {

QtExecutor::QtExecutor(const platform::Clock& clock) : clock_(clock), context_(new QObject()) {}

QtExecutor::~QtExecutor() {
    delete context_;
}

void QtExecutor::post(Task task) {
    QMetaObject::invokeMethod(context_, std::move(task), Qt::QueuedConnection);
}

platform::TaskHandle QtExecutor::postAfter(std::chrono::nanoseconds delay, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    auto run = [cancelled, task = std::move(task)] {
        if (!cancelled->load()) task();
    };
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay).count();
    if (ms <= 0) {
        post(std::move(run));
    } else {
        // The timer must be made on the GUI thread.
        const int interval = static_cast<int>(std::min<long long>(ms, INT_MAX));
        post([context = context_, interval, run = std::move(run)] {
            QTimer::singleShot(interval, Qt::PreciseTimer, context, run);
        });
    }
    return platform::TaskHandle(std::move(cancelled));
}

} // namespace pelapp
