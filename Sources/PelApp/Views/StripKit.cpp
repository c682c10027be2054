#include "PelApp/Views/StripKit.hpp"

#include "PelApp/Model/L10n.hpp"
#include "PelApp/Views/UiKit.hpp"

#include <QFrame>
#include <QHBoxLayout>
#include <QPalette>
#include <QPushButton>

namespace pelapp::ui {

QString localizedInserting(std::string_view key, const QString& inserted) {
    return qs(L10n::inserting(key, inserted.toStdString()));
}

QFrame* divider(QWidget* parent, const char* objectName) {
    auto* line = new QFrame(parent);
    line->setObjectName(objectName);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setFixedHeight(1);
    QPalette palette = line->palette();
    palette.setColor(QPalette::WindowText, withOpacity(systemColor(SystemColor::gray), 0.35));
    line->setPalette(palette);
    return line;
}

QHBoxLayout* stripLayout(QWidget* strip, int spacing, int padX, int padY) {
    auto* layout = new QHBoxLayout(strip);
    layout->setSpacing(spacing);
    layout->setContentsMargins(padX, padY, padX, padY);
    return layout;
}

QPushButton* borderlessButton(std::string_view key, const char* objectName, QWidget* parent) {
    auto* button = pushButton(key, objectName, parent);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

QPushButton* pushButton(std::string_view key, const char* objectName, QWidget* parent) {
    auto* button = new QPushButton(actionText(key), parent);
    button->setObjectName(objectName);
    button->setAutoDefault(false);
    return button;
}

void setButtonTextColor(QPushButton* button, const QColor& color) {
    QPalette palette = button->palette();
    palette.setColor(QPalette::ButtonText, color);
    button->setPalette(palette);
}

} // namespace pelapp::ui
