#include "console/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace icons {

namespace {

QPixmap Canvas(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void Page(QPainter& p, const QRectF& r, const QColor& fill) {
    QPainterPath path;
    const qreal fold = r.width() * 0.3;
    path.moveTo(r.left(), r.top());
    path.lineTo(r.right() - fold, r.top());
    path.lineTo(r.right(), r.top() + fold);
    path.lineTo(r.right(), r.bottom());
    path.lineTo(r.left(), r.bottom());
    path.closeSubpath();
    p.setBrush(fill);
    p.drawPath(path);
    p.drawLine(QPointF(r.right() - fold, r.top()), QPointF(r.right() - fold, r.top() + fold));
    p.drawLine(QPointF(r.right() - fold, r.top() + fold), QPointF(r.right(), r.top() + fold));
}

}  // namespace

QIcon Application() {
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QPixmap pixmap = Canvas(size);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        const qreal s = size;
        // A mast with radio waves over a rail.
        p.setPen(QPen(QColor(40, 40, 40), s / 16.0));
        p.drawLine(QPointF(s * 0.5, s * 0.25), QPointF(s * 0.5, s * 0.8));
        p.drawLine(QPointF(s * 0.1, s * 0.88), QPointF(s * 0.9, s * 0.88));
        p.setPen(QPen(QColor(128, 0, 128), s / 14.0));
        p.setBrush(Qt::NoBrush);
        for (int k = 1; k <= 2; ++k) {
            const qreal r = s * 0.14 * k;
            const QRectF arc(s * 0.5 - r, s * 0.25 - r, 2 * r, 2 * r);
            p.drawArc(arc, 30 * 16, 120 * 16);
        }
        p.setBrush(QColor(0, 0, 139));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(s * 0.5, s * 0.25), s / 12.0, s / 12.0);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QIcon Toolbar(Tool tool) {
    const int size = 16;
    QPixmap pixmap = Canvas(size);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(60, 60, 60), 1));
    switch (tool) {
        case Tool::New:
            Page(p, QRectF(3.5, 1.5, 9, 13), Qt::white);
            break;
        case Tool::Open:
            p.setBrush(QColor(240, 200, 80));
            p.drawRect(QRectF(1.5, 4.5, 13, 9));
            p.setBrush(QColor(250, 225, 120));
            p.drawPolygon(QPolygonF({QPointF(3.5, 7.5), QPointF(15.5, 7.5), QPointF(13.5, 13.5),
                                     QPointF(1.5, 13.5)}));
            break;
        case Tool::Save:
            p.setBrush(QColor(70, 90, 160));
            p.drawRect(QRectF(1.5, 1.5, 13, 13));
            p.setBrush(Qt::white);
            p.drawRect(QRectF(4.5, 1.5, 7, 5));
            p.drawRect(QRectF(3.5, 9.5, 9, 5));
            break;
        case Tool::Cut:
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(QRectF(2, 10, 4.5, 4.5));
            p.drawEllipse(QRectF(9.5, 10, 4.5, 4.5));
            p.drawLine(QPointF(5.5, 10.5), QPointF(11, 1.5));
            p.drawLine(QPointF(10.5, 10.5), QPointF(5, 1.5));
            break;
        case Tool::Copy:
            Page(p, QRectF(1.5, 1.5, 8, 10), Qt::white);
            Page(p, QRectF(6.5, 4.5, 8, 10), Qt::white);
            break;
        case Tool::Paste:
            p.setBrush(QColor(190, 140, 80));
            p.drawRect(QRectF(2.5, 2.5, 9, 12));
            p.setBrush(QColor(200, 200, 200));
            p.drawRect(QRectF(5.5, 1.5, 3, 2));
            Page(p, QRectF(7.5, 6.5, 7, 8), Qt::white);
            break;
        case Tool::Print:
            Page(p, QRectF(4.5, 1.5, 7, 6), Qt::white);
            p.setBrush(QColor(170, 170, 170));
            p.drawRect(QRectF(1.5, 7.5, 13, 5));
            p.setBrush(Qt::white);
            p.drawRect(QRectF(4.5, 11.5, 7, 3));
            break;
        case Tool::About: {
            p.setBrush(QColor(40, 90, 190));
            p.setPen(Qt::NoPen);
            p.drawEllipse(QRectF(1, 1, 14, 14));
            QFont font;
            font.setPixelSize(12);
            font.setBold(true);
            p.setFont(font);
            p.setPen(Qt::white);
            p.drawText(QRectF(1, 1, 14, 14), Qt::AlignCenter, QStringLiteral("?"));
            break;
        }
        case Tool::Alarms: {
            // A bell.
            p.setBrush(QColor(220, 160, 20));
            QPainterPath bell;
            bell.moveTo(3, 12.5);
            bell.cubicTo(4.5, 10.5, 4, 4, 8, 3);
            bell.cubicTo(12, 4, 11.5, 10.5, 13, 12.5);
            bell.closeSubpath();
            p.drawPath(bell);
            p.drawEllipse(QRectF(6.5, 12, 3, 3));
            p.drawLine(QPointF(8, 1.5), QPointF(8, 3));
            break;
        }
    }
    p.end();
    return QIcon(pixmap);
}

QIcon AlarmMark() {
    QPixmap pixmap = Canvas(16);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(120, 0, 0), 1));
    p.setBrush(QColor(210, 20, 20));
    p.drawPolygon(QPolygonF({QPointF(8, 1), QPointF(15, 14.5), QPointF(1, 14.5)}));
    QFont font;
    font.setPixelSize(10);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRectF(1, 4, 14, 11), Qt::AlignCenter, QStringLiteral("!"));
    p.end();
    return QIcon(pixmap);
}

QColor AlarmRowColour() { return QColor(255, 196, 110); }

QColor TabColour(int index) {
    static const QColor colours[] = {
        QColor(136, 168, 214), QColor(160, 200, 120), QColor(240, 176, 96),
        QColor(200, 140, 200), QColor(120, 196, 196), QColor(230, 130, 130),
        QColor(200, 200, 110),
    };
    const int count = static_cast<int>(sizeof colours / sizeof colours[0]);
    return colours[((index % count) + count) % count];
}

QIcon TabMark(int index) {
    QPixmap pixmap = Canvas(12);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(TabColour(index).darker(140));
    p.setBrush(TabColour(index));
    p.drawRoundedRect(QRectF(0.5, 0.5, 11, 11), 2, 2);
    p.end();
    return QIcon(pixmap);
}

}  // namespace icons
