#include "PelApp/UpdateSheet.hpp"

#include "PelApp/AppModel.hpp"
#include "PelApp/ModelRelay.hpp"
#include "PelApp/UiKit.hpp"
#include "PelApp/WindowState.hpp"

#include <QPushButton>
#include <QVBoxLayout>

namespace pelapp {

UpdateSheet::UpdateSheet(AppModel& model, WindowState& state, QWidget* parent)
    : QWidget(parent), model_(model), state_(state) {
    setObjectName("updateSheetContent");
    setMinimumSize(560, 460);
    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    auto* close = new QPushButton(ui::actionText("Close"), this);
    close->setObjectName("closeButton");
    connect(close, &QPushButton::clicked, this, [this] {
        if (onClose) onClose();
    });
    layout->addWidget(close, 0, Qt::AlignRight);
    auto* relay = new ModelRelay(model_, this);
    connect(relay, &ModelRelay::refresh, this, &UpdateSheet::refresh);
    connect(&state_, &WindowState::changed, this, [this] { refresh(0); });
}

void UpdateSheet::refresh(unsigned) {}

} // namespace pelapp
