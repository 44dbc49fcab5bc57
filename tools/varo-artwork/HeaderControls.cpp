// The header's controls: the help button, settings, refresh and the hover
// plate behind them.

#include "Artwork.h"
#include "ArtworkCanvas.h"

#include <QPainterPath>
#include <QRadialGradient>
#include <QTransform>
#include <QtMath>

#include <cmath>

// Background of the "help" header link: a faint yellow glow across the
// button and a chat bubble with a question mark at its left.
QImage drawHelpButton()
{
    QImage image = canvas(110, 50);
    QPainter painter(&image);
    prepare(painter);

    painter.save();
    painter.translate(55, 25);
    painter.scale(1.0, 0.45);
    QRadialGradient glow(QPointF(0, 0), 55);
    glow.setColorAt(0.0, withAlpha(kAmber, 64));
    glow.setColorAt(1.0, withAlpha(kAmber, 0));
    painter.fillRect(QRectF(-55, -56, 110, 112), glow);
    painter.restore();

    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(9.5, 16.5, 15, 13), 4, 4);
    QPainterPath tail;
    tail.addPolygon(QPolygonF({QPointF(12.5, 28), QPointF(11.5, 33), QPointF(17, 28.5)}));
    tail.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(kYellow);
    painter.drawPath(bubble.united(tail));

    // The question mark is cut out of the bubble.
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    QPainterPath hook;
    const QRectF hookCircle(15.0, 18.8, 4.0, 4.0);
    hook.arcMoveTo(hookCircle, 160);
    hook.arcTo(hookCircle, 160, -220);
    hook.lineTo(17.0, 24.3);
    painter.setPen(linePen(Qt::black, 1.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(hook);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    painter.drawEllipse(QPointF(17.0, 26.5), 0.95, 0.95);
    return image;
}

namespace {

// A cog: a disc with rounded teeth and a hole in the middle.
QPainterPath gearPath(const QPointF &centre, qreal outer, qreal body, qreal hole, int teeth, qreal toothWidth)
{
    QPainterPath gear;
    gear.addEllipse(centre, body, body);
    for (int i = 0; i < teeth; ++i) {
        QPainterPath tooth;
        tooth.addRoundedRect(QRectF(-toothWidth / 2, -outer, toothWidth, outer - body + 1), 0.8, 0.8);
        QTransform place;
        place.translate(centre.x(), centre.y());
        place.rotate(360.0 * i / teeth);
        gear = gear.united(place.map(tooth));
    }
    QPainterPath holePath;
    holePath.addEllipse(centre, hole, hole);
    return gear.subtracted(holePath);
}

} // namespace

QImage drawSettings()
{
    QImage image = canvas(16, 16);
    QPainter painter(&image);
    prepare(painter);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kWhite);
    painter.drawPath(gearPath(QPointF(8, 8), 7.6, 5.3, 2.3, 8, 2.8));
    return image;
}

// A clockwise circular arrow.
QImage drawRefresh()
{
    QImage image = canvas(18, 18);
    QPainter painter(&image);
    prepare(painter);

    const QPointF centre(9, 9);
    const qreal radius = 6.2;
    const QRectF circle(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    const qreal start = 115;
    const qreal sweep = -285;
    QPainterPath arc;
    arc.arcMoveTo(circle, start);
    arc.arcTo(circle, start, sweep);
    painter.setPen(linePen(kWhite, 2.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(arc);

    // Arrow head at the end of the arc, pointing along the clockwise tangent.
    const qreal end = qDegreesToRadians(start + sweep);
    const QPointF tip = centre + QPointF(radius * std::cos(end), -radius * std::sin(end));
    const QPointF along(std::sin(end), std::cos(end));
    const QPointF outward(std::cos(end), -std::sin(end));
    const QPolygonF head({tip + along * 3.4, tip + outward * 3.2 - along * 0.8, tip - outward * 3.2 - along * 0.8});
    painter.setPen(linePen(kWhite, 0.8));
    painter.setBrush(kWhite);
    painter.drawPolygon(head);
    return image;
}

// Shown at the bottom centre of a hovered header link.
QImage drawHeaderHover()
{
    QImage image = canvas(40, 3);
    QPainter painter(&image);
    prepare(painter);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kYellow);
    painter.drawRoundedRect(QRectF(0, 0, 40, 3), 1.5, 1.5);
    return image;
}
