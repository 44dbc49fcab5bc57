// The main window's background: soft shapes, light streaks and a warm tint
// that calm down over the areas that carry text.

#include "Artwork.h"
#include "ArtworkCanvas.h"

#include <QLinearGradient>
#include <QRadialGradient>

namespace {

// Rectangles of the main window that carry content (server list, news list,
// progress bar); the decoration fades out over them so text stays readable.
const QRectF kCalmAreas[] = {
    QRectF(70, 119, 470, 200),
    QRectF(554, 119, 293, 390),
    QRectF(70, 469, 470, 27),
};

// Large faint circles and thin rings in two corners.
void drawBodyShapes(QPainter &painter)
{
    painter.setPen(Qt::NoPen);
    QRadialGradient glow(QPointF(140, 70), 360);
    glow.setColorAt(0.0, withAlpha(kWhite, 34));
    glow.setColorAt(1.0, withAlpha(kWhite, 0));
    painter.setBrush(glow);
    painter.drawEllipse(QPointF(140, 70), 360, 360);

    painter.setBrush(withAlpha(kWhite, 16));
    painter.drawEllipse(QPointF(830, 520), 300, 300);
    painter.setBrush(withAlpha(kWhite, 14));
    painter.drawEllipse(QPointF(-60, 600), 220, 220);

    painter.setBrush(Qt::NoBrush);
    const qreal ringRadii[] = {360, 420, 490};
    int alpha = 56;
    for (const qreal radius : ringRadii) {
        painter.setPen(QPen(withAlpha(kWhite, alpha), 1.5));
        painter.drawEllipse(QPointF(830, 520), radius, radius);
        alpha -= 14;
    }
    painter.setPen(QPen(withAlpha(kWhite, 44), 1.5));
    painter.drawEllipse(QPointF(-60, 600), 270, 270);
}

// Soft diagonal light streaks, strongest near the top left corner.
void drawLightStreaks(QPainter &painter)
{
    QImage streaks = canvas(900, 550);
    {
        QPainter layer(&streaks);
        prepare(layer);
        layer.translate(450, 275);
        layer.rotate(32);
        struct Streak
        {
            qreal offset;
            qreal width;
            int alpha;
        };
        const Streak list[] = {
            {-420, 90, 60}, {-300, 36, 70}, {-230, 160, 40}, {-40, 60, 52}, {60, 22, 62}, {210, 120, 34}, {380, 44, 46},
        };
        for (const Streak &s : list) {
            QLinearGradient band(s.offset - s.width / 2, 0, s.offset + s.width / 2, 0);
            band.setColorAt(0.0, withAlpha(kWhite, 0));
            band.setColorAt(0.5, withAlpha(kWhite, s.alpha));
            band.setColorAt(1.0, withAlpha(kWhite, 0));
            layer.fillRect(QRectF(s.offset - s.width / 2, -800, s.width, 1600), band);
        }
        // Fade the streaks out towards the bottom right.
        layer.resetTransform();
        layer.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        QRadialGradient fade(QPointF(200, 0), 900);
        fade.setColorAt(0.0, QColor(0, 0, 0, 255));
        fade.setColorAt(0.6, QColor(0, 0, 0, 150));
        fade.setColorAt(1.0, QColor(0, 0, 0, 0));
        layer.fillRect(streaks.rect(), fade);
    }
    painter.drawImage(0, 0, streaks);
}

// Erases most of the decoration over the content areas, with a soft edge.
void calmContentAreas(QPainter &painter)
{
    const int steps = 20;
    const qreal stepSize = 2.5;
    painter.save();
    painter.setCompositionMode(QPainter::CompositionMode_DestinationOut);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 18));
    for (const QRectF &area : kCalmAreas) {
        for (int i = 0; i <= steps; ++i) {
            const qreal grow = (steps - i) * stepSize;
            painter.drawRoundedRect(area.adjusted(-grow, -grow, grow, grow), 4 + grow, 4 + grow);
        }
    }
    painter.restore();
}

// A light warm tint towards the right, where the window gradient turns
// yellow, so white text keeps its contrast there.
void drawWarmTint(QPainter &painter)
{
    QLinearGradient tint(0, 0, 900, 0);
    tint.setColorAt(0.0, withAlpha(kOrangeMid, 0));
    tint.setColorAt(0.45, withAlpha(kOrangeMid, 14));
    tint.setColorAt(1.0, withAlpha(kOrangeMid, 80));
    painter.fillRect(QRectF(0, 0, 900, 550), tint);
}

} // namespace

QImage drawBody()
{
    QImage decoration = canvas(900, 550);
    {
        QPainter painter(&decoration);
        prepare(painter);
        drawBodyShapes(painter);
        drawLightStreaks(painter);
        calmContentAreas(painter);
    }
    QImage body = canvas(900, 550);
    QPainter painter(&body);
    prepare(painter);
    drawWarmTint(painter);
    painter.drawImage(0, 0, decoration);
    return body;
}
