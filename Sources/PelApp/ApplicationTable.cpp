#include "PelApp/ApplicationTable.hpp"

#include "PelApp/AppModel.hpp"
#include "PelApp/ModelRelay.hpp"
#include "PelApp/WindowState.hpp"

namespace pelapp {

ApplicationTable::ApplicationTable(AppModel& model, WindowState& state, QWidget* parent)
    : QWidget(parent), model_(model), state_(state) {
    setObjectName("applicationTable");
    auto* relay = new ModelRelay(model_, this);
    connect(relay, &ModelRelay::refresh, this, &ApplicationTable::refresh);
    connect(&state_, &WindowState::changed, this, [this] { refresh(0); });
}

void ApplicationTable::refresh(unsigned) {}

} // namespace pelapp
