#pragma once

#include "PelApp/Model/AppRow.hpp"

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QString>

#include <string>
#include <string_view>

class QLabel;
class QWidget;

// Small helpers shared by every window: symbol icons, text styles, semantic colours and the rules for
// showing texts (fixed texts are localised; data is always shown as plain text).
namespace pelapp::ui {

// ---- Texts ----

// A UTF-8 text as a QString.
QString qs(std::string_view text);
// The localised text of a key.
QString localized(std::string_view key);
// The localised text of a key with one integer per "%lld".
QString localized(std::string_view key, std::initializer_list<long long> numbers);
// A text for an action, a menu item, a button or a check box: "&" would mark a mnemonic there, so
// every "&" is doubled.
QString mnemonicSafe(const QString& text);
// A fixed text of an action, button or menu: localised, then mnemonic-safe.
QString actionText(std::string_view key);
// A tool tip showing `text` exactly: tool tips are read as rich text when they look like markup.
QString plainToolTip(const QString& text);
// A label that never interprets its text (data may hold HTML).
QLabel* plainLabel(const QString& text, QWidget* parent = nullptr);

// ---- Icons ----

// The bundled icon of a symbol name in the primary text colour; a null icon for an unknown name.
QIcon symbolIcon(std::string_view name);
// The same icon drawn in one colour.
QIcon symbolIcon(std::string_view name, const QColor& color);

// ---- Colours ----

enum class SystemColor { primary, secondary, red, orange, yellow, green, blue, gray, white };

QColor systemColor(SystemColor color);
QColor systemColor(StatusColor color);
// `color` at the given opacity (0…1).
QColor withOpacity(QColor color, double opacity);
QColor windowBackground();
QColor textBackground();

// ---- Text styles ----

enum class TextStyle { body, monospacedBody, caption, callout, headline, title2 };

QFont font(TextStyle style);
// Sets the label's font and, for secondary texts, its colour.
void styleLabel(QLabel* label, TextStyle style, SystemColor color = SystemColor::primary);
// Paints the widget's background in `color` (strips and banners).
void fillBackground(QWidget* widget, const QColor& color);

} // namespace pelapp::ui
