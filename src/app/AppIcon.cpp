#include "app/AppIcon.h"

#include <QConicalGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace korv {

QPixmap DrawAppIcon(int side) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    // Drawn on a 32 x 32 grid, so the smallest size stays crisp.
    p.scale(side / 32.0, side / 32.0);

    // The cable: from the disc's rim down to the plug, in one sweep.
    QPainterPath cable;
    cable.moveTo(18.5, 19.0);
    cable.cubicTo(22.0, 26.0, 14.0, 29.0, 21.0, 28.0);
    p.setPen(QPen(QColor(30, 30, 30), 2.2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(cable);

    // The disc: silver with a rainbow sheen, a clear hub and the centre hole.
    const QPointF c(13.0, 12.0);
    QConicalGradient sheen(c, 30);
    sheen.setColorAt(0.00, QColor(214, 218, 226));
    sheen.setColorAt(0.12, QColor(170, 214, 246));
    sheen.setColorAt(0.25, QColor(246, 246, 250));
    sheen.setColorAt(0.38, QColor(236, 200, 236));
    sheen.setColorAt(0.50, QColor(200, 204, 214));
    sheen.setColorAt(0.62, QColor(190, 236, 206));
    sheen.setColorAt(0.75, QColor(250, 250, 252));
    sheen.setColorAt(0.88, QColor(248, 222, 170));
    sheen.setColorAt(1.00, QColor(214, 218, 226));
    p.setPen(QPen(QColor(90, 96, 110), 0.8));
    p.setBrush(sheen);
    p.drawEllipse(c, 11.5, 11.5);
    p.setPen(QPen(QColor(150, 156, 168), 0.6));
    p.setBrush(QColor(232, 236, 242));
    p.drawEllipse(c, 4.2, 4.2);
    p.setBrush(Qt::white);
    p.setPen(QPen(QColor(90, 96, 110), 0.6));
    p.drawEllipse(c, 1.7, 1.7);

    // The plug: a trapezoid shell with pins, and its grip where the cable enters.
    p.setPen(QPen(QColor(40, 44, 52), 0.7));
    p.setBrush(QColor(70, 76, 90));
    p.drawRoundedRect(QRectF(19.5, 25.0, 4.0, 6.0), 0.8, 0.8);
    QPolygonF shell;
    shell << QPointF(23.0, 23.5) << QPointF(31.0, 24.5) << QPointF(31.0, 31.0)
          << QPointF(23.0, 31.5);
    p.setBrush(QColor(160, 168, 182));
    p.drawPolygon(shell);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 160, 40));
    for (int i = 0; i < 3; ++i) {
        p.drawEllipse(QPointF(25.0 + 2.3 * i, 26.6), 0.65, 0.65);
        p.drawEllipse(QPointF(25.6 + 2.3 * i, 29.2), 0.65, 0.65);
    }
    return pixmap;
}

QIcon AppIcon() {
    QIcon icon;
    for (int side : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addPixmap(DrawAppIcon(side));
    }
    return icon;
}

}  // namespace korv
