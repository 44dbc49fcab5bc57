#include "widgets/CustomLabel.h"

#include <QPainter>
#include <QPixmap>

#include <cmath>

CustomLabel::CustomLabel(QWidget *host, double scale)
    : QLabel(host)
    , labelFont(QStringLiteral("Arial"), 12)
    , labelColor(255, 0, 0, 255)
    , labelText(QStringLiteral("Text"))
    , textFlags(Qt::AlignHCenter | Qt::AlignVCenter)
    , boxWidth(host ? host->width() : 0)
    , boxHeight(host ? host->height() : 0)
    , renderScale(scale)
{
    setGeometry(0, 0, boxWidth, boxHeight);
    createImage();
    render();
}

void CustomLabel::setFont(const QFont &font)
{
    labelFont = font;
    if (autoRender)
        render();
}

void CustomLabel::setColor(const QColor &color)
{
    labelColor = color;
    if (autoRender)
        render();
}

void CustomLabel::setFlags(int flags)
{
    textFlags = flags;
    if (autoRender)
        render();
}

void CustomLabel::setText(const QString &text)
{
    labelText = text;
    if (autoRender)
        render();
}

void CustomLabel::setAutoRender(bool on)
{
    autoRender = on;
}

void CustomLabel::setScale(double scale)
{
    renderScale = scale;
    createImage();
    if (autoRender)
        render();
}

void CustomLabel::createImage()
{
    const double w = std::floor(boxWidth * renderScale);
    const double h = std::floor(boxHeight * renderScale);
    // A box or scale that gives no pixels (or an absurd count) leaves a null
    // image; render() then shows nothing.
    const bool usable = w >= 1 && h >= 1 && w <= 32767 && h <= 32767;
    image = usable ? QImage(int(w), int(h), QImage::Format_ARGB32_Premultiplied) : QImage();
}

void CustomLabel::render()
{
    if (image.isNull()) {
        setPixmap(QPixmap());
        return;
    }
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
        painter.setPen(labelColor);
        painter.setFont(labelFont);
        painter.drawText(QRect(0, 0, image.width(), image.height()), textFlags, labelText);
    }
    setPixmap(QPixmap::fromImage(image.scaled(boxWidth, boxHeight, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}
