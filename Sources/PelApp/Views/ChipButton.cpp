#include "PelApp/Views/ChipButton.hpp"

#include "PelApp/Views/UiKit.hpp"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>

namespace pelapp::ui {

namespace {

constexpr int kPadX = 8;
constexpr int kPadY = 4;
constexpr int kDot = 8;
constexpr int kGap = 4;
constexpr qreal kRadius = 6;

} // namespace

ChipButton::ChipButton(const QString& text, const QColor& color, QWidget* parent)
    : QAbstractButton(parent), color_(color) {
    // Shown as it stands: no mnemonic, no markup.
    setText(text);
    setFont(ui::font(TextStyle::caption));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

void ChipButton::setActive(bool active) {
    if (active_ == active) return;
    active_ = active;
    update();
}

QSize ChipButton::sizeHint() const {
    const QFontMetrics metrics(font());
    const int textWidth = metrics.horizontalAdvance(text());
    return {kPadX + kDot + kGap + textWidth + kPadX, std::max(kDot, metrics.height()) + 2 * kPadY};
}

void ChipButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath shape;
    shape.addRoundedRect(frame, kRadius, kRadius);
    if (active_) painter.fillPath(shape, color_);
    if (isDown()) painter.fillPath(shape, withOpacity(systemColor(SystemColor::gray), 0.2));
    painter.setPen(QPen(withOpacity(color_, 0.6), 1));
    painter.drawPath(shape);

    const qreal centreY = frame.center().y();
    painter.setPen(Qt::NoPen);
    painter.setBrush(color_);
    painter.drawEllipse(QPointF(kPadX + kDot / 2.0, centreY), kDot / 2.0, kDot / 2.0);
    if (active_) {
        // Keep the dot visible on its own colour.
        painter.setPen(QPen(Qt::white, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QPointF(kPadX + kDot / 2.0, centreY), kDot / 2.0, kDot / 2.0);
    }

    painter.setPen(active_ ? systemColor(SystemColor::white) : systemColor(SystemColor::primary));
    const QRect textRect(kPadX + kDot + kGap, 0, width() - (kPadX + kDot + kGap) - kPadX + 1, height());
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, text());
}

} // namespace pelapp::ui
