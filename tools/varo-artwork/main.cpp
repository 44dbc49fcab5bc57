// varo-artwork: draws the launcher's artwork and saves it as PNG files.
//
//   varo-artwork OUTPUT_DIR
//
// Every image is painted with QPainter on a transparent premultiplied ARGB
// image with antialiasing, so the output is reproducible from this file alone.
// Works headless with QT_QPA_PLATFORM=offscreen.

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>
#include <QTransform>
#include <QtMath>

#include <cmath>
#include <functional>
#include <vector>

namespace {

// The launcher's palette.
const QColor kWhite(255, 255, 255);
const QColor kYellow(0xf8, 0xc9, 0x0c);    // accent: bars, pie, help link
const QColor kAmber(0xff, 0xbe, 0x00);     // warm highlight
const QColor kOrange(0xff, 0x9f, 0x00);    // dialog body
const QColor kOrangeMid(0xff, 0x90, 0x00); // message body

QColor withAlpha(QColor color, int alpha)
{
    color.setAlpha(alpha);
    return color;
}

QImage canvas(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

void prepare(QPainter &painter)
{
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
}

// A pen for line icons: round ends and joins read softer at small sizes.
QPen linePen(const QColor &color, qreal width)
{
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// ---------------------------------------------------------------- window body

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

// ------------------------------------------------------------- window buttons

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

// ----------------------------------------------------------------- the V mark

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

// ------------------------------------------------------------ header controls

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

// ------------------------------------------------------------- message icons

void drawGlyphDot(QPainter &painter, const QPointF &centre, qreal radius)
{
    painter.save();
    painter.setPen(Qt::NoPen);
    painter.setBrush(kWhite);
    painter.drawEllipse(centre, radius, radius);
    painter.restore();
}

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

// --------------------------------------------------------------- repair icon

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

struct Artwork
{
    const char *fileName;
    std::function<QImage()> draw;
};

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    QTextStream out(stdout);

    const QStringList args = QGuiApplication::arguments();
    if (args.size() != 2) {
        err << "usage: varo-artwork OUTPUT_DIR\n";
        return 2;
    }
    const QDir outputDir(args.at(1));
    if (!QDir().mkpath(outputDir.absolutePath())) {
        err << "cannot create " << outputDir.absolutePath() << "\n";
        return 1;
    }

    const std::vector<Artwork> artwork = {
        {"body.png", drawBody},
        {"close_h.png", drawClose},
        {"minimize_h.png", drawMinimize},
        {"logo.png", drawLogo},
        {"favicon.png", drawFavicon},
        {"helpBtn.png", drawHelpButton},
        {"settings_h.png", drawSettings},
        {"refresh.png", drawRefresh},
        {"headerBtnHover.png", drawHeaderHover},
        {"info.png", drawInfo},
        {"alert.png", drawAlert},
        {"error.png", drawError},
        {"repair.png", drawRepair},
        {"pcount_0.png", drawPieBackground},
        {"pcount_2.png", drawPieFill},
    };

    int failures = 0;
    for (const Artwork &item : artwork) {
        const QString path = outputDir.filePath(QString::fromLatin1(item.fileName));
        const QImage image = item.draw();
        if (image.isNull() || !image.save(path, "PNG")) {
            err << "cannot write " << path << "\n";
            ++failures;
            continue;
        }
        out << path << " (" << image.width() << "x" << image.height() << ")\n";
    }
    return failures == 0 ? 0 : 1;
}
