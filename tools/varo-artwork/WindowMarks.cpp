// The window's close and minimize glyphs, and the V mark as logo and as the
// application icon.

#include "Artwork.h"
#include "ArtworkCanvas.h"

#include <QLinearGradient>
#include <QPolygonF>

QImage drawClose()
{
    QImage image = canvas(18, 18);
    QPainter painter(&image);
    prepare(painter);
    painter.setPen(linePen(kWhite, 2.0));
    painter.drawLine(QPointF(4.5, 4.5), QPointF(13.5, 13.5));
    painter.drawLine(QPointF(13.5, 4.5), QPointF(4.5, 13.5));
    return image;
}

QImage drawMinimize()
{
    QImage image = canvas(20, 18);
    QPainter painter(&image);
    prepare(painter);
    painter.setPen(linePen(kWhite, 2.0));
    painter.drawLine(QPointF(5, 9), QPointF(15, 9));
    return image;
}

namespace {

// The V mark, designed in a 20 x 26 box: a white left stroke laid over a
// yellow right stroke, the two parted by a thin transparent cut. Rendered to
// a layer of its own so the cut does not punch through what lies beneath.
QImage vMarkLayer(const QSize &size)
{
    QImage layer = canvas(size.width(), size.height());
    QPainter painter(&layer);
    prepare(painter);
    painter.scale(size.width() / 20.0, size.height() / 26.0);

    const QPolygonF left({QPointF(0.5, 1.5), QPointF(6.5, 1.5), QPointF(12.8, 24.5), QPointF(7.2, 24.5)});
    const QPolygonF right({QPointF(13.5, 1.5), QPointF(19.5, 1.5), QPointF(12.8, 24.5), QPointF(7.2, 24.5)});
    painter.setPen(Qt::NoPen);
    painter.setBrush(kYellow);
    painter.drawPolygon(right);

    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.setPen(QPen(Qt::black, 2.6, Qt::SolidLine, Qt::FlatCap));
    painter.drawLine(QPointF(6.5, 1.5), QPointF(12.8, 24.5));

    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kWhite);
    painter.drawPolygon(left);
    return layer;
}

} // namespace

QImage drawLogo()
{
    return vMarkLayer(QSize(20, 26));
}

// The application icon: the V mark on an orange rounded square.
QImage drawFavicon()
{
    QImage image = canvas(64, 64);
    QPainter painter(&image);
    prepare(painter);

    const QRectF tile(1, 1, 62, 62);
    QLinearGradient fill(tile.topLeft(), tile.bottomRight());
    fill.setColorAt(0.0, kOrange);
    fill.setColorAt(1.0, QColor(0xe0, 0x62, 0x08));
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(tile, 14, 14);

    QLinearGradient sheen(0, 1, 0, 40);
    sheen.setColorAt(0.0, withAlpha(kWhite, 60));
    sheen.setColorAt(1.0, withAlpha(kWhite, 0));
    painter.setBrush(sheen);
    painter.drawRoundedRect(tile, 14, 14);

    const QSize markSize(32, 42);
    const QPoint markPos((64 - markSize.width()) / 2, (64 - markSize.height()) / 2 + 1);
    QImage mark = vMarkLayer(markSize);
    QImage shadow = mark;
    {
        QPainter tintPainter(&shadow);
        tintPainter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tintPainter.fillRect(shadow.rect(), QColor(120, 40, 0, 90));
    }
    painter.drawImage(markPos + QPoint(0, 2), shadow);
    painter.drawImage(markPos, mark);
    return image;
}
