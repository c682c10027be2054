#include "PelApp/Views/UiKit.hpp"

#include "PelApp/Model/L10n.hpp"
#include "PelApp/Views/SymbolNames.hpp"

#include <QApplication>
#include <QFontDatabase>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPixmap>

#include <algorithm>
#include <vector>

// The icon resource lives in a static library: register it explicitly so the linker keeps it.
static void registerSymbolResource() {
    Q_INIT_RESOURCE(symbols);
}

namespace pelapp::ui {

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString localized(std::string_view key) {
    return qs(L10n::text(key));
}

QString localized(std::string_view key, std::initializer_list<long long> numbers) {
    return qs(L10n::text(key, numbers));
}

QString mnemonicSafe(const QString& text) {
    QString out = text;
    out.replace(QLatin1Char('&'), QLatin1String("&&"));
    return out;
}

QString actionText(std::string_view key) {
    return mnemonicSafe(localized(key));
}

QString plainToolTip(const QString& text) {
    if (text.isEmpty()) return text;
    QString escaped = text.toHtmlEscaped();
    escaped.replace(QLatin1Char('\n'), QLatin1String("<br>"));
    return QLatin1String("<qt>") + escaped + QLatin1String("</qt>");
}

QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

namespace {

QIcon bundledSymbol(std::string_view name) {
    static const bool registered = (registerSymbolResource(), true);
    (void)registered;
    if (std::find(kSymbolNames.begin(), kSymbolNames.end(), name) == kSymbolNames.end()) return {};
    QIcon icon(QLatin1String(":/symbols/") + qs(name) + QLatin1String(".png"));
    return icon.availableSizes().isEmpty() ? QIcon() : icon;
}

} // namespace

QIcon symbolIcon(std::string_view name) {
    return symbolIcon(name, systemColor(SystemColor::primary));
}

QIcon symbolIcon(std::string_view name, const QColor& color) {
    const QIcon base = bundledSymbol(name);
    if (base.isNull()) return base;
    QPixmap pixmap = base.pixmap(64, 64);
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), color);
    painter.end();
    return QIcon(pixmap);
}

QColor systemColor(SystemColor color) {
    switch (color) {
    case SystemColor::primary: return QApplication::palette().color(QPalette::WindowText);
    case SystemColor::secondary: {
        QColor text = QApplication::palette().color(QPalette::WindowText);
        text.setAlphaF(0.55f);
        return text;
    }
    case SystemColor::red: return QColor(0xFF, 0x3B, 0x30);
    case SystemColor::orange: return QColor(0xFF, 0x95, 0x00);
    case SystemColor::yellow: return QColor(0xFF, 0xCC, 0x00);
    case SystemColor::green: return QColor(0x28, 0xCD, 0x41);
    case SystemColor::blue: return QColor(0x00, 0x7A, 0xFF);
    case SystemColor::gray: return QColor(0x8E, 0x8E, 0x93);
    case SystemColor::white: return QColor(Qt::white);
    }
    return {};
}

QColor systemColor(StatusColor color) {
    switch (color) {
    case StatusColor::red: return systemColor(SystemColor::red);
    case StatusColor::blue: return systemColor(SystemColor::blue);
    case StatusColor::orange: return systemColor(SystemColor::orange);
    case StatusColor::secondary: return systemColor(SystemColor::secondary);
    }
    return {};
}

QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(static_cast<float>(color.alphaF() * opacity));
    return color;
}

QColor windowBackground() {
    return QApplication::palette().color(QPalette::Window);
}

QColor textBackground() {
    return QApplication::palette().color(QPalette::Base);
}

QFont font(TextStyle style) {
    QFont f = QApplication::font();
    const qreal base = f.pointSizeF() > 0 ? f.pointSizeF() : 10.0;
    switch (style) {
    case TextStyle::body: break;
    case TextStyle::monospacedBody: {
        f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        f.setPointSizeF(base);
        break;
    }
    case TextStyle::caption: f.setPointSizeF(base * 0.85); break;
    case TextStyle::callout: f.setPointSizeF(base * 0.92); break;
    case TextStyle::headline: f.setBold(true); break;
    case TextStyle::title2: f.setPointSizeF(base * 1.4); break;
    }
    return f;
}

void styleLabel(QLabel* label, TextStyle style, SystemColor color) {
    label->setFont(font(style));
    if (color != SystemColor::primary) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, systemColor(color));
        label->setPalette(palette);
    }
}

void fillBackground(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, color);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

} // namespace pelapp::ui
