#include "PelApp/Banners.hpp"

#include "PelApp/AppModel.hpp"
#include "PelApp/ModelRelay.hpp"
#include "PelApp/WindowState.hpp"

namespace pelapp {

Banners::Banners(AppModel& model, WindowState& state, QWidget* parent)
    : QWidget(parent), model_(model), state_(state) {
    setObjectName("banners");
    setVisible(false);
    auto* relay = new ModelRelay(model_, this);
    connect(relay, &ModelRelay::refresh, this, &Banners::refresh);
    connect(&state_, &WindowState::changed, this, [this] { refresh(0); });
}

void Banners::refresh(unsigned) {}

} // namespace pelapp
