// The palette and the small painting helpers that every image of the
// launcher's artwork shares.

#pragma once

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPen>

// The launcher's palette.
inline const QColor kWhite(255, 255, 255);
inline const QColor kYellow(0xf8, 0xc9, 0x0c);    // accent: bars, pie, help link
inline const QColor kAmber(0xff, 0xbe, 0x00);     // warm highlight
inline const QColor kOrange(0xff, 0x9f, 0x00);    // dialog body
inline const QColor kOrangeMid(0xff, 0x90, 0x00); // message body

QColor withAlpha(QColor color, int alpha);

// A transparent premultiplied ARGB image of the given size.
QImage canvas(int width, int height);

// Antialiasing and smooth scaling, for every painter.
void prepare(QPainter &painter);

// A pen for line icons: round ends and joins read softer at small sizes.
QPen linePen(const QColor &color, qreal width);
