#pragma once

#include "PelApp/Model/AppModel.hpp"

class QWidget;

namespace uishots {

// Selects a sample row dressed for one outcome of the detail pane and returns the pane to grab.
enum class DetailScene { installable, upToDate, unsupported, unresolved, safetyError };

QWidget* stageDetail(QWidget& window, pelapp::AppModel& model, DetailScene scene);

} // namespace uishots
