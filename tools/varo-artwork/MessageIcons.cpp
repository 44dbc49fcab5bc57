// The message dialogs' icons, the repair button's spanner and the two
// layers of the player-count pie.

#include "Artwork.h"
#include "ArtworkCanvas.h"

#include <QPainterPath>

namespace {

void drawGlyphDot(QPainter &painter, const QPointF &centre, qreal radius)
{
    painter.save();
    painter.setPen(Qt::NoPen);
    painter.setBrush(kWhite);
    painter.drawEllipse(centre, radius, radius);
    painter.restore();
}

} // namespace

QImage drawInfo()
{
    QImage image = canvas(24, 24);
    QPainter painter(&image);
    prepare(painter);
    painter.setPen(linePen(kWhite, 2.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QPointF(12, 12), 10, 10);
    painter.setPen(linePen(kWhite, 2.2));
    painter.drawLine(QPointF(12, 11), QPointF(12, 17));
    drawGlyphDot(painter, QPointF(12, 7.4), 1.35);
    return image;
}

QImage drawAlert()
{
    QImage image = canvas(24, 24);
    QPainter painter(&image);
    prepare(painter);
    painter.setPen(linePen(kWhite, 2.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawPolygon(QPolygonF({QPointF(12, 2.8), QPointF(22.2, 20.6), QPointF(1.8, 20.6)}));
    painter.setPen(linePen(kWhite, 2.2));
    painter.drawLine(QPointF(12, 9), QPointF(12, 14));
    drawGlyphDot(painter, QPointF(12, 17.3), 1.3);
    return image;
}

QImage drawError()
{
    QImage image = canvas(24, 24);
    QPainter painter(&image);
    prepare(painter);
    painter.setPen(linePen(kWhite, 2.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QPointF(12, 12), 10, 10);
    painter.setPen(linePen(kWhite, 2.2));
    painter.drawLine(QPointF(8.5, 8.5), QPointF(15.5, 15.5));
    painter.drawLine(QPointF(15.5, 8.5), QPointF(8.5, 15.5));
    return image;
}

namespace {

// A spanner with an open jaw, drawn lying along the x axis around the origin.
QPainterPath wrenchPath()
{
    QPainterPath handle;
    handle.addRoundedRect(QRectF(-9.5, -1.9, 14, 3.8), 1.9, 1.9);
    QPainterPath head;
    head.addEllipse(QPointF(6, 0), 4.7, 4.7);
    QPainterPath wrench = handle.united(head);

    QPainterPath jaw;
    jaw.addRect(QRectF(6, -1.8, 6, 3.6));
    jaw.addEllipse(QPointF(6, 0), 1.8, 1.8);
    QPainterPath hangHole;
    hangHole.addEllipse(QPointF(-7.4, 0), 0.9, 0.9);
    return wrench.subtracted(jaw.simplified()).subtracted(hangHole);
}

} // namespace

// The wrench sits right of a 12 px margin so that it clears the button's
// rounded corner.
QImage drawRepair()
{
    QImage image = canvas(32, 20);
    QPainter painter(&image);
    prepare(painter);
    painter.translate(22, 10);
    painter.rotate(-45);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kWhite);
    painter.drawPath(wrenchPath());
    return image;
}

// ----------------------------------------------------------- player-count pie

// The empty pie: a translucent ring with a faint inside.
QImage drawPieBackground()
{
    QImage image = canvas(20, 20);
    QPainter painter(&image);
    prepare(painter);
    painter.setPen(Qt::NoPen);
    painter.setBrush(withAlpha(kWhite, 28));
    painter.drawEllipse(QPointF(10, 10), 8, 8);
    painter.setPen(QPen(withAlpha(kWhite, 110), 2.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QPointF(10, 10), 8.25, 8.25);
    return image;
}

// The full pie; the server widget masks it down to a slice.
QImage drawPieFill()
{
    QImage image = canvas(20, 20);
    QPainter painter(&image);
    prepare(painter);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kYellow);
    painter.drawEllipse(QPointF(10, 10), 9.5, 9.5);
    return image;
}
