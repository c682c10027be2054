#include "PelApp/Views/ApplicationTableCells.hpp"

#include "PelApp/Views/ApplicationTableModel.hpp"
#include "PelApp/Views/UiKit.hpp"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

#include <algorithm>
#include <cmath>

namespace pelapp {

namespace {

using Column = ApplicationTableModel::Column;

constexpr int kInset = 6;        // leading inset of a cell's content
constexpr int kSpacing = 6;      // between the items of a cell
constexpr int kLineSpacing = 2;  // between the name and the bundle identifier
constexpr int kDot = 6;
constexpr int kCheckBox = 14;
constexpr int kIconButton = 20;
constexpr int kIcon = 16;
constexpr int kSpinner = 14;
constexpr int kButtonPadding = 4; // each side of a text button's caption
constexpr double kIdleDotOpacity = 0.35;
constexpr double kDisabledOpacity = 0.35;

QRect centredIn(const QRect& cell, int width, int height, int left) {
    return QRect(left, cell.top() + (cell.height() - height) / 2, width, height);
}

// Fonts and the sizes that follow from them, made once: every visible cell is drawn on each repaint.
struct CellStyle {
    QFont body = ui::font(ui::TextStyle::body);
    QFont caption = ui::font(ui::TextStyle::caption);
    QFont mono = ui::font(ui::TextStyle::monospacedBody);
    QFont glyph = [] {
        QFont f = QApplication::font();
        f.setPixelSize(14);
        f.setBold(true);
        return f;
    }();
    QString update = ui::localized("Update");
    QString probe = ui::qs("?");
    int bodyHeight = QFontMetrics(body).height();
    int captionHeight = QFontMetrics(caption).height();
    int updateWidth = QFontMetrics(body).horizontalAdvance(update) + 2 * kButtonPadding;
    int probeWidth = QFontMetrics(caption).horizontalAdvance(probe) + 2 * kButtonPadding;
};

// Never destroyed: fonts must not outlive the application object's font caches at exit.
const CellStyle& cellStyle() {
    static const CellStyle* style = new CellStyle;
    return *style;
}

const QString& buttonCaption(CellControl control) {
    return control == CellControl::update ? cellStyle().update : cellStyle().probe;
}

const QFont& buttonFont(CellControl control) {
    return control == CellControl::probe ? cellStyle().caption : cellStyle().body;
}

int buttonWidth(CellControl control) {
    if (control == CellControl::update) return cellStyle().updateWidth;
    if (control == CellControl::probe) return cellStyle().probeWidth;
    return kIconButton;
}

int buttonHeight(CellControl control) {
    return control == CellControl::probe ? cellStyle().captionHeight + 2 : kIconButton;
}

QColor textColor(const QStyleOptionViewItem& option, const QColor& color) {
    if (option.state & QStyle::State_Selected) return option.palette.color(QPalette::HighlightedText);
    return color;
}

void drawText(QPainter* painter, const QRect& rect, const QString& text, const QFont& font, const QColor& color,
              Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter) {
    painter->setFont(font);
    painter->setPen(color);
    const QString shown = QFontMetrics(font).elidedText(text, Qt::ElideRight, rect.width());
    painter->drawText(rect, static_cast<int>(align), shown);
}

} // namespace

std::vector<CellTarget> cellTargets(const TableRow& row, int column, const QRect& cell) {
    std::vector<CellTarget> targets;
    switch (column) {
    case Column::checkColumn:
        targets.push_back({CellControl::checkBox,
                           centredIn(cell, kCheckBox, kCheckBox, cell.left() + (cell.width() - kCheckBox) / 2),
                           row.row.outcome == pelkit::Outcome::outdated});
        break;
    case Column::nameColumn:
        targets.push_back({CellControl::runningDot, centredIn(cell, kDot, kDot, cell.left() + kInset)});
        break;
    case Column::sizeColumn:
        if (sizeCell(row.row) == SizeCell::probe) {
            targets.push_back({CellControl::probe,
                               centredIn(cell, buttonWidth(CellControl::probe), buttonHeight(CellControl::probe),
                                         cell.left() + kInset)});
        }
        break;
    case Column::actionColumn: {
        int left = cell.left() + kInset;
        for (const CellButton& button : actionButtons(row)) {
            const int width = buttonWidth(button.control);
            targets.push_back({button.control, centredIn(cell, width, buttonHeight(button.control), left),
                               button.enabled});
            left += width + kSpacing;
        }
        break;
    }
    default: break;
    }
    return targets;
}

ApplicationTableCells::ApplicationTableCells(const ApplicationTableModel& rows, QObject* parent)
    : QStyledItemDelegate(parent), rows_(rows) {}

int ApplicationTableCells::rowHeight() {
    return cellStyle().bodyHeight + kLineSpacing + cellStyle().captionHeight + 10;
}

int ApplicationTableCells::nameWidth(const AppRow& row) {
    const CellStyle& style = cellStyle();
    const int text = std::max(QFontMetrics(style.body).horizontalAdvance(ui::qs(row.app.name)),
                              QFontMetrics(style.caption).horizontalAdvance(ui::qs(row.app.bundleID)));
    // As paintCell lays it out: inset, running dot, spacing, the text, inset, and the point its
    // text rectangle loses by ending at the content's right() (one short of its edge).
    return kInset + kDot + kSpacing + text + kInset + 1;
}

QSize ApplicationTableCells::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    return QSize(QStyledItemDelegate::sizeHint(option, index).width(), rowHeight());
}

void ApplicationTableCells::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const {
    // The style draws the background, selection and focus; the content is ours.
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    background.features &= ~QStyleOptionViewItem::HasCheckIndicator;
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

    if (index.row() < 0 || index.row() >= rows_.rowCount()) return;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    paintCell(painter, option, rows_.rowAt(index.row()), index.column());
    paintTargets(painter, option, rows_.rowAt(index.row()), index.column());
    painter->restore();
}

void ApplicationTableCells::paintCell(QPainter* painter, const QStyleOptionViewItem& option, const TableRow& r,
                                      int column) const {
    const AppRow& row = r.row;
    const QRect cell = option.rect;
    const QRect content = cell.adjusted(kInset, 0, -kInset, 0);
    const QColor primary = textColor(option, option.palette.color(QPalette::Text));
    const QColor secondary = textColor(option, ui::systemColor(ui::SystemColor::secondary));
    const CellStyle& style = cellStyle();
    const QFont& mono = style.mono;
    switch (column) {
    case Column::glyphColumn:
        drawText(painter, cell, ui::qs(row.statusGlyph()), style.glyph,
                 textColor(option, ui::systemColor(row.statusColor())), Qt::AlignCenter);
        break;
    case Column::nameColumn: {
        const QFont& body = style.body;
        const QFont& caption = style.caption;
        const int nameHeight = style.bodyHeight;
        const int idHeight = style.captionHeight;
        const int left = content.left() + kDot + kSpacing;
        const int top = cell.top() + (cell.height() - nameHeight - kLineSpacing - idHeight) / 2;
        const QRect nameRect(left, top, content.right() - left, nameHeight);
        drawText(painter, nameRect, ui::qs(row.app.name), body, primary);
        drawText(painter, nameRect.translated(0, nameHeight + kLineSpacing).adjusted(0, 0, 0, idHeight - nameHeight),
                 ui::qs(row.app.bundleID), caption, secondary);
        break;
    }
    case Column::installedColumn: drawText(painter, content, ui::qs(installedText(row)), mono, primary); break;
    case Column::latestColumn:
        if (row.checking) paintSpinner(painter, cell);
        else drawText(painter, content, ui::qs(latestText(row)), mono, primary);
        break;
    case Column::sourceColumn:
        drawText(painter, content, ui::qs(sourceLabel(row)), style.body, secondary);
        break;
    case Column::sizeColumn:
        if (sizeCell(row) == SizeCell::size) drawText(painter, content, ui::qs(sizeCellText(row)), mono, secondary);
        else if (sizeCell(row) == SizeCell::none)
            drawText(painter, content, ui::qs(kNoValue), style.body, secondary);
        break;
    case Column::statusColumn: {
        const QFont& body = style.body;
        const QString label = ui::qs(row.statusLabel());
        const int labelWidth = std::min(QFontMetrics(body).horizontalAdvance(label), content.width());
        drawText(painter, content, label, body, textColor(option, ui::systemColor(row.statusColor())));
        if (row.progressText) {
            const QRect rest = content.adjusted(labelWidth + kSpacing, 0, 0, 0);
            if (rest.width() > 0)
                drawText(painter, rest, ui::qs(*row.progressText), style.caption, secondary);
        }
        break;
    }
    default: break;
    }
}

void ApplicationTableCells::paintTargets(QPainter* painter, const QStyleOptionViewItem& option, const TableRow& r,
                                         int column) const {
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    for (const CellTarget& t : cellTargets(r, column, option.rect)) {
        painter->setOpacity(t.enabled ? 1.0 : kDisabledOpacity);
        switch (t.control) {
        case CellControl::checkBox: {
            QStyleOptionButton box;
            box.rect = t.rect;
            box.palette = option.palette;
            box.state = (r.checked ? QStyle::State_On : QStyle::State_Off) |
                        (t.enabled ? QStyle::State_Enabled : QStyle::State_None);
            painter->setOpacity(1.0);
            style->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, painter, widget);
            break;
        }
        case CellControl::runningDot: {
            const QColor dot = r.running ? ui::systemColor(ui::SystemColor::green)
                                         : ui::withOpacity(ui::systemColor(ui::SystemColor::gray), kIdleDotOpacity);
            painter->setPen(Qt::NoPen);
            painter->setBrush(dot);
            painter->drawEllipse(t.rect);
            break;
        }
        case CellControl::probe:
        case CellControl::update: {
            const QColor blue = textColor(option, ui::systemColor(ui::SystemColor::blue));
            drawText(painter, t.rect, buttonCaption(t.control), buttonFont(t.control), blue, Qt::AlignCenter);
            break;
        }
        case CellControl::cancel:
        case CellControl::rescan:
        case CellControl::ignore: {
            const char* symbol = t.control == CellControl::cancel   ? "xmark.circle.fill"
                                 : t.control == CellControl::rescan ? "arrow.clockwise"
                                                                    : "eye.slash";
            const QColor tint = t.control == CellControl::cancel ? ui::systemColor(ui::SystemColor::red)
                                                                 : option.palette.color(QPalette::Text);
            const QRect icon = t.rect.adjusted((kIconButton - kIcon) / 2, (kIconButton - kIcon) / 2,
                                               -(kIconButton - kIcon) / 2, -(kIconButton - kIcon) / 2);
            painter->drawPixmap(icon, tintedIcon(symbol, textColor(option, tint), painter->device()->devicePixelRatioF()));
            break;
        }
        }
    }
    painter->setOpacity(1.0);
}

const QPixmap& ApplicationTableCells::tintedIcon(const char* symbol, const QColor& color, qreal ratio) const {
    const QString key = QString::fromLatin1(symbol) + QLatin1Char('/') + QString::number(color.rgba(), 16) +
                        QLatin1Char('@') + QString::number(ratio);
    auto it = icons_.find(key);
    if (it == icons_.end()) {
        const int side = static_cast<int>(std::ceil(kIcon * ratio));
        QPixmap pixmap = ui::symbolIcon(symbol, color).pixmap(side, side);
        pixmap.setDevicePixelRatio(ratio);
        it = icons_.insert(key, pixmap);
    }
    return *it;
}

void ApplicationTableCells::paintSpinner(QPainter* painter, const QRect& cell) const {
    const QRect box = centredIn(cell, kSpinner, kSpinner, cell.left() + kInset);
    const QPointF centre = QRectF(box).center();
    const QColor base = ui::systemColor(ui::SystemColor::gray);
    constexpr int kSpokes = 12;
    constexpr double kPi = 3.14159265358979323846;
    for (int i = 0; i < kSpokes; ++i) {
        // The spoke at the current phase is darkest; the others fade behind it.
        const int age = (spinnerPhase_ - i + kSpokes) % kSpokes;
        QPen pen(ui::withOpacity(base, 1.0 - 0.07 * age), 1.5, Qt::SolidLine, Qt::RoundCap);
        painter->setPen(pen);
        const double angle = 2 * kPi * i / kSpokes;
        const QPointF dir(std::sin(angle), -std::cos(angle));
        painter->drawLine(centre + dir * (kSpinner * 0.22), centre + dir * (kSpinner * 0.48));
    }
}

std::optional<CellTarget> ApplicationTableCells::targetAt(const QModelIndex& index, const QRect& cell,
                                                          const QPoint& pos) const {
    if (!index.isValid() || index.row() >= rows_.rowCount()) return std::nullopt;
    for (const CellTarget& t : cellTargets(rows_.rowAt(index.row()), index.column(), cell)) {
        // The dot is tiny; its help answers a little around it.
        const QRect area = t.control == CellControl::runningDot ? t.rect.adjusted(-2, -2, 2, 2) : t.rect;
        if (area.contains(pos)) return t;
    }
    return std::nullopt;
}

bool ApplicationTableCells::editorEvent(QEvent* event, QAbstractItemModel*, const QStyleOptionViewItem& option,
                                        const QModelIndex& index) {
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease && type != QEvent::MouseButtonDblClick)
        return false;
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() != Qt::LeftButton) return false;
    const auto target = targetAt(index, option.rect, mouse->position().toPoint());
    const bool clickable = target && target->enabled && target->control != CellControl::runningDot;
    const std::string id = index.data(ApplicationTableModel::idRole).toString().toStdString();

    if (type == QEvent::MouseButtonRelease) {
        if (!pressed_) return false;
        const auto press = *std::exchange(pressed_, std::nullopt);
        if (clickable && press.first == id && press.second == target->control)
            Q_EMIT activated(QString::fromStdString(id), target->control);
        return true;
    }
    // A press, or the second press of a double click: each click counts.
    if (!clickable) {
        pressed_.reset();
        return false;
    }
    pressed_ = std::make_pair(id, target->control);
    return true;
}

bool ApplicationTableCells::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                      const QModelIndex& index) {
    if (event->type() != QEvent::ToolTip) return QStyledItemDelegate::helpEvent(event, view, option, index);
    const auto target = targetAt(index, option.rect, event->pos());
    const std::string text =
        target ? helpText(target->control, rows_.rowAt(index.row()).running) : std::string();
    if (text.empty()) {
        QToolTip::hideText();
        return true;
    }
    QToolTip::showText(event->globalPos(), ui::plainToolTip(ui::qs(text)), view, target->rect);
    return true;
}

} // namespace pelapp
