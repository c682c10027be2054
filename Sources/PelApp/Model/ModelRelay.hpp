#pragma once

#include "PelApp/Model/AppModel.hpp"

#include <QObject>

namespace pelapp {

// Folds the model's change notifications of one event-loop turn into one refresh signal carrying
// every changed group (ModelChange bits).
class ModelRelay final : public QObject {
    Q_OBJECT
public:
    explicit ModelRelay(AppModel& model, QObject* parent = nullptr);
    ~ModelRelay() override;

Q_SIGNALS:
    void refresh(unsigned groups);

private:
    void flush();

    AppModel& model_;
    int token_;
    unsigned pending_ = 0;
    bool scheduled_ = false;
};

} // namespace pelapp
