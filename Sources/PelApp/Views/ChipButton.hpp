#pragma once

#include <QAbstractButton>
#include <QColor>

namespace pelapp::ui {

// A small rounded button with a coloured dot and a caption: filled with its colour (white text) while
// active, outlined only otherwise.
class ChipButton final : public QAbstractButton {
    Q_OBJECT
public:
    ChipButton(const QString& text, const QColor& color, QWidget* parent = nullptr);

    void setActive(bool active);
    bool isActive() const { return active_; }
    QColor color() const { return color_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
    bool active_ = false;
};

} // namespace pelapp::ui
