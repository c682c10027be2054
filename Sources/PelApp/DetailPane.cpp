#include "PelApp/DetailPane.hpp"

#include "PelApp/AppModel.hpp"
#include "PelApp/ModelRelay.hpp"
#include "PelApp/WindowState.hpp"

namespace pelapp {

DetailPane::DetailPane(AppModel& model, WindowState& state, QWidget* parent)
    : QWidget(parent), model_(model), state_(state) {
    setObjectName("detailPane");
    auto* relay = new ModelRelay(model_, this);
    connect(relay, &ModelRelay::refresh, this, &DetailPane::refresh);
    connect(&state_, &WindowState::changed, this, [this] { refresh(0); });
}

void DetailPane::refresh(unsigned) {}

} // namespace pelapp
