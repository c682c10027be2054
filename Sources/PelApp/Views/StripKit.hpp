#pragma once

#include <QColor>
#include <QString>

#include <string_view>

class QFrame;
class QHBoxLayout;
class QPushButton;
class QWidget;

// Pieces shared by the strips above the table and the ignored sheet.
namespace pelapp::ui {

// The localised text of a key with "%@" in place of one inserted text (a name or a label, shown
// verbatim).
QString localizedInserting(std::string_view key, const QString& inserted);

// A thin horizontal line under a strip or between the parts of a sheet.
QFrame* divider(QWidget* parent, const char* objectName);

// A row layout on `strip` with the spacing and the padding on the horizontal and vertical edges.
QHBoxLayout* stripLayout(QWidget* strip, int spacing, int padX, int padY);

// A button drawn without a border, with a localised, mnemonic-safe title.
QPushButton* borderlessButton(std::string_view key, const char* objectName, QWidget* parent);

// A button with the default bordered look.
QPushButton* pushButton(std::string_view key, const char* objectName, QWidget* parent);

// Draws a button's title in `color`.
void setButtonTextColor(QPushButton* button, const QColor& color);

} // namespace pelapp::ui
