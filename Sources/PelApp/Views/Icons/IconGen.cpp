// Draws the application's symbol icons as 64×64 PNGs and writes the resource list that bundles them.
// Run at build time: icon-gen <output folder>. Shapes only (no text), so no font or display is needed.
#include "PelApp/Views/SymbolNames.hpp"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QString>

#include <fmt/core.h>

#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace {

constexpr int kSize = 64;
const QColor kInk(0, 0, 0);

using Draw = std::function<void(QPainter&)>;

QPen strokePen(qreal width = 5) {
    return QPen(kInk, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void outline(QPainter& p, qreal width = 5) {
    p.setPen(strokePen(width));
    p.setBrush(Qt::NoBrush);
}

void filled(QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
}

// Punches a shape out of what is already drawn (the "fill" symbols carry their glyph as a hole).
void punch(QPainter& p, const std::function<void(QPainter&)>& draw) {
    p.save();
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    draw(p);
    p.restore();
}

void arrowHead(QPainter& p, QPointF tip, qreal angleDeg, qreal len = 14) {
    const qreal a = angleDeg * M_PI / 180.0;
    const qreal spread = 0.6;
    QPointF left(tip.x() - len * std::cos(a - spread), tip.y() - len * std::sin(a - spread));
    QPointF right(tip.x() - len * std::cos(a + spread), tip.y() - len * std::sin(a + spread));
    p.drawLine(tip, left);
    p.drawLine(tip, right);
}

void downArrow(QPainter& p, qreal cx, qreal top, qreal bottom) {
    p.drawLine(QPointF(cx, top), QPointF(cx, bottom));
    arrowHead(p, QPointF(cx, bottom), 90, 13);
}

void checkmark(QPainter& p, qreal scale = 1.0) {
    QPainterPath path;
    path.moveTo(20 * scale + 32 * (1 - scale), 33 * scale + 32 * (1 - scale));
    path.lineTo(28 * scale + 32 * (1 - scale), 41 * scale + 32 * (1 - scale));
    path.lineTo(44 * scale + 32 * (1 - scale), 24 * scale + 32 * (1 - scale));
    p.drawPath(path);
}

void questionMark(QPainter& p) {
    QPainterPath path;
    path.moveTo(24, 25);
    path.cubicTo(24, 14, 40, 14, 40, 24);
    path.cubicTo(40, 31, 32, 31, 32, 38);
    p.drawPath(path);
    p.drawPoint(QPointF(32, 47));
}

void infoGlyph(QPainter& p) {
    p.drawLine(QPointF(32, 29), QPointF(32, 46));
    p.drawPoint(QPointF(32, 19));
}

void exclamation(QPainter& p, qreal top, qreal bottom, qreal dot) {
    p.drawLine(QPointF(32, top), QPointF(32, bottom));
    p.drawPoint(QPointF(32, dot));
}

void cross(QPainter& p, qreal r) {
    p.drawLine(QPointF(32 - r, 32 - r), QPointF(32 + r, 32 + r));
    p.drawLine(QPointF(32 + r, 32 - r), QPointF(32 - r, 32 + r));
}

void fullCircle(QPainter& p) {
    filled(p);
    p.drawEllipse(QPointF(32, 32), 28, 28);
}

void shieldPath(QPainterPath& path) {
    path.moveTo(32, 6);
    path.lineTo(54, 14);
    path.cubicTo(54, 38, 46, 50, 32, 58);
    path.cubicTo(18, 50, 10, 38, 10, 14);
    path.closeSubpath();
}

void padlock(QPainter& p, qreal cx, qreal cy, qreal w) {
    // Shackle, then body.
    outline(p, w / 6);
    p.drawArc(QRectF(cx - w / 3, cy - w * 0.75, w * 2 / 3, w * 0.8), 0, 180 * 16);
    p.drawLine(QPointF(cx - w / 3, cy - w * 0.35), QPointF(cx - w / 3, cy));
    p.drawLine(QPointF(cx + w / 3, cy - w * 0.35), QPointF(cx + w / 3, cy));
    filled(p);
    p.drawRoundedRect(QRectF(cx - w / 2, cy - w * 0.05, w, w * 0.7), 3, 3);
}

const std::map<std::string, Draw, std::less<>>& drawings() {
    static const auto* table = new std::map<std::string, Draw, std::less<>>{
        {"arrow.clockwise",
         [](QPainter& p) {
             outline(p);
             p.drawArc(QRectF(10, 10, 44, 44), 100 * 16, 290 * 16);
             arrowHead(p, QPointF(40, 11), 10, 12);
         }},
        {"arrow.down.circle",
         [](QPainter& p) {
             outline(p, 4);
             p.drawEllipse(QPointF(32, 32), 27, 27);
             downArrow(p, 32, 16, 46);
         }},
        {"arrow.down.circle.fill",
         [](QPainter& p) {
             fullCircle(p);
             punch(p, [](QPainter& q) {
                 q.setPen(strokePen(5));
                 downArrow(q, 32, 15, 46);
             });
         }},
        {"arrow.right",
         [](QPainter& p) {
             outline(p);
             p.drawLine(QPointF(10, 32), QPointF(54, 32));
             arrowHead(p, QPointF(54, 32), 0, 18);
         }},
        {"arrow.triangle.branch",
         [](QPainter& p) {
             outline(p);
             p.drawLine(QPointF(32, 58), QPointF(32, 34));
             p.drawLine(QPointF(32, 34), QPointF(14, 12));
             p.drawLine(QPointF(32, 34), QPointF(50, 12));
             arrowHead(p, QPointF(14, 12), -130, 12);
             arrowHead(p, QPointF(50, 12), -50, 12);
         }},
        {"arrow.up.forward.app",
         [](QPainter& p) {
             outline(p, 4);
             p.drawRoundedRect(QRectF(8, 8, 48, 48), 12, 12);
             p.drawLine(QPointF(22, 42), QPointF(42, 22));
             p.drawLine(QPointF(42, 22), QPointF(28, 22));
             p.drawLine(QPointF(42, 22), QPointF(42, 36));
         }},
        {"checkmark.circle.fill",
         [](QPainter& p) {
             fullCircle(p);
             punch(p, [](QPainter& q) {
                 q.setPen(strokePen(6));
                 checkmark(q);
             });
         }},
        {"checkmark.seal.fill",
         [](QPainter& p) {
             filled(p);
             QPainterPath seal;
             for (int i = 0; i < 24; ++i) {
                 const qreal a = i * M_PI / 12;
                 const qreal r = (i % 2 == 0) ? 29 : 24;
                 QPointF pt(32 + r * std::cos(a), 32 + r * std::sin(a));
                 if (i == 0) seal.moveTo(pt);
                 else seal.lineTo(pt);
             }
             seal.closeSubpath();
             p.drawPath(seal);
             punch(p, [](QPainter& q) {
                 q.setPen(strokePen(5));
                 checkmark(q, 0.9);
             });
         }},
        {"exclamationmark.octagon.fill",
         [](QPainter& p) {
             filled(p);
             QPolygonF octagon;
             for (int i = 0; i < 8; ++i) {
                 const qreal a = M_PI / 8 + i * M_PI / 4;
                 octagon << QPointF(32 + 29 * std::cos(a), 32 + 29 * std::sin(a));
             }
             p.drawPolygon(octagon);
             punch(p, [](QPainter& q) {
                 q.setPen(strokePen(6));
                 exclamation(q, 16, 36, 47);
             });
         }},
        {"eye.slash",
         [](QPainter& p) {
             outline(p, 4);
             QPainterPath eye;
             eye.moveTo(6, 32);
             eye.cubicTo(20, 12, 44, 12, 58, 32);
             eye.cubicTo(44, 52, 20, 52, 6, 32);
             p.drawPath(eye);
             p.drawEllipse(QPointF(32, 32), 8, 8);
             p.setPen(strokePen(5));
             p.drawLine(QPointF(12, 10), QPointF(52, 54));
         }},
        {"gear",
         [](QPainter& p) {
             filled(p);
             for (int i = 0; i < 8; ++i) {
                 p.save();
                 p.translate(32, 32);
                 p.rotate(i * 45);
                 p.drawRoundedRect(QRectF(-5, -29, 10, 14), 2, 2);
                 p.restore();
             }
             p.drawEllipse(QPointF(32, 32), 19, 19);
             punch(p, [](QPainter& q) {
                 q.setPen(Qt::NoPen);
                 q.setBrush(Qt::black);
                 q.drawEllipse(QPointF(32, 32), 8, 8);
             });
         }},
        {"info.circle",
         [](QPainter& p) {
             outline(p, 4);
             p.drawEllipse(QPointF(32, 32), 27, 27);
             p.setPen(strokePen(6));
             infoGlyph(p);
         }},
        {"info.circle.fill",
         [](QPainter& p) {
             fullCircle(p);
             punch(p, [](QPainter& q) {
                 q.setPen(strokePen(6));
                 infoGlyph(q);
             });
         }},
        {"lock.shield",
         [](QPainter& p) {
             outline(p, 4);
             QPainterPath shield;
             shieldPath(shield);
             p.drawPath(shield);
             padlock(p, 32, 34, 18);
         }},
        {"lock.trianglebadge.exclamationmark.fill",
         [](QPainter& p) {
             padlock(p, 24, 30, 30);
             filled(p);
             QPolygonF triangle;
             triangle << QPointF(46, 28) << QPointF(62, 60) << QPointF(30, 60);
             p.drawPolygon(triangle);
             punch(p, [](QPainter& q) {
                 q.setPen(strokePen(4));
                 q.drawLine(QPointF(46, 38), QPointF(46, 49));
                 q.drawPoint(QPointF(46, 55));
             });
         }},
        {"moon.zzz",
         [](QPainter& p) {
             filled(p);
             QPainterPath moon;
             moon.addEllipse(QPointF(26, 38), 22, 22);
             QPainterPath bite;
             bite.addEllipse(QPointF(40, 28), 18, 18);
             p.drawPath(moon.subtracted(bite));
             outline(p, 3.5);
             auto zed = [&](qreal x, qreal y, qreal s) {
                 QPainterPath z;
                 z.moveTo(x, y);
                 z.lineTo(x + s, y);
                 z.lineTo(x, y + s);
                 z.lineTo(x + s, y + s);
                 p.drawPath(z);
             };
             zed(38, 6, 10);
             zed(50, 20, 8);
         }},
        {"questionmark.circle.fill",
         [](QPainter& p) {
             fullCircle(p);
             punch(p, [](QPainter& q) {
                 q.setPen(strokePen(6));
                 questionMark(q);
             });
         }},
        {"sidebar.right",
         [](QPainter& p) {
             outline(p, 4);
             p.drawRoundedRect(QRectF(6, 12, 52, 40), 7, 7);
             p.drawLine(QPointF(40, 12), QPointF(40, 52));
             p.setPen(strokePen(3));
             p.drawLine(QPointF(45, 21), QPointF(52, 21));
             p.drawLine(QPointF(45, 28), QPointF(52, 28));
         }},
        {"square.arrow.down",
         [](QPainter& p) {
             outline(p, 4);
             QPainterPath box;
             box.moveTo(22, 22);
             box.lineTo(10, 22);
             box.lineTo(10, 58);
             box.lineTo(54, 58);
             box.lineTo(54, 22);
             box.lineTo(42, 22);
             p.drawPath(box);
             p.setPen(strokePen(5));
             downArrow(p, 32, 4, 42);
         }},
        {"square.grid.2x2",
         [](QPainter& p) {
             outline(p, 4);
             for (qreal x : {8.0, 36.0}) {
                 for (qreal y : {8.0, 36.0}) p.drawRoundedRect(QRectF(x, y, 20, 20), 4, 4);
             }
         }},
        {"terminal",
         [](QPainter& p) {
             outline(p, 4);
             p.drawRoundedRect(QRectF(6, 10, 52, 44), 7, 7);
             p.drawLine(QPointF(16, 24), QPointF(26, 32));
             p.drawLine(QPointF(26, 32), QPointF(16, 40));
             p.drawLine(QPointF(30, 42), QPointF(44, 42));
         }},
        {"wrench",
         [](QPainter& p) {
             outline(p, 8);
             p.drawLine(QPointF(14, 50), QPointF(38, 26));
             outline(p, 5);
             p.drawArc(QRectF(32, 8, 24, 24), -60 * 16, 300 * 16);
         }},
        {"xmark.circle.fill",
         [](QPainter& p) {
             fullCircle(p);
             punch(p, [](QPainter& q) {
                 q.setPen(strokePen(6));
                 cross(q, 11);
             });
         }},
    };
    return *table;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fmt::print(stderr, "usage: icon-gen <output folder>\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QString qrc = "<RCC>\n  <qresource prefix=\"/symbols\">\n";
    for (std::string_view name : pelapp::kSymbolNames) {
        auto it = drawings().find(name);
        if (it == drawings().end()) {
            fmt::print(stderr, "icon-gen: no drawing for {}\n", name);
            return 1;
        }
        QImage image(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            it->second(painter);
        }
        const QString file = QString::fromUtf8(name.data(), qsizetype(name.size())) + ".png";
        if (!image.save(out + "/" + file, "PNG")) {
            fmt::print(stderr, "icon-gen: cannot write {}\n", file.toStdString());
            return 1;
        }
        qrc += "    <file>" + file + "</file>\n";
    }
    qrc += "  </qresource>\n</RCC>\n";
    QFile list(out + "/symbols.qrc");
    if (!list.open(QIODevice::WriteOnly | QIODevice::Truncate) || list.write(qrc.toUtf8()) < 0) {
        fmt::print(stderr, "icon-gen: cannot write symbols.qrc\n");
        return 1;
    }
    return 0;
}
