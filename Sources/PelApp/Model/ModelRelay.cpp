#include "PelApp/Model/ModelRelay.hpp"

#include <QMetaObject>

namespace pelapp {

ModelRelay::ModelRelay(AppModel& model, QObject* parent) : QObject(parent), model_(model) {
    token_ = model_.addObserver([this](ModelChange group) {
        pending_ |= static_cast<unsigned>(group);
        if (scheduled_) return;
        scheduled_ = true;
        QMetaObject::invokeMethod(this, &ModelRelay::flush, Qt::QueuedConnection);
    });
}

ModelRelay::~ModelRelay() {
    model_.removeObserver(token_);
}

void ModelRelay::flush() {
    scheduled_ = false;
    const unsigned groups = std::exchange(pending_, 0u);
    if (groups != 0) Q_EMIT refresh(groups);
}

} // namespace pelapp
