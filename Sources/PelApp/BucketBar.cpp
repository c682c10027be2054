#include "PelApp/BucketBar.hpp"

#include "PelApp/AppModel.hpp"
#include "PelApp/ModelRelay.hpp"
#include "PelApp/WindowState.hpp"

namespace pelapp {

BucketBar::BucketBar(AppModel& model, WindowState& state, QWidget* parent)
    : QWidget(parent), model_(model), state_(state) {
    setObjectName("bucketBar");
    setVisible(false);
    auto* relay = new ModelRelay(model_, this);
    connect(relay, &ModelRelay::refresh, this, &BucketBar::refresh);
    connect(&state_, &WindowState::changed, this, [this] { refresh(0); });
}

void BucketBar::refresh(unsigned) {}

} // namespace pelapp
