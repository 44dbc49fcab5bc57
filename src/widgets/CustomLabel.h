#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QLabel>
#include <QString>

// A text renderer placed over a host label. The text is drawn on an image
// `scale` times the host's size and shown scaled down smoothly, which gives
// crisp, antialiased captions; font sizes are therefore given at that scale
// (at scale 5.0 a font of 80 points shows like one of 16).
//
// Every setter renders at once while autoRender is on. An owner that sets
// several values switches autoRender off, sets them and calls render() once.
class CustomLabel final : public QLabel
{
    Q_OBJECT

public:
    // Becomes a child of host covering it; the box size is the host's size
    // now (later resizes of the host are not followed).
    CustomLabel(QWidget *host, double scale);

    void setFont(const QFont &font);
    void setColor(const QColor &color);
    void setFlags(int flags);
    void setText(const QString &text);
    void setAutoRender(bool on);
    // Replaces the drawing image with one for the new scale.
    void setScale(double scale);

    // Draws the text on the image and shows it scaled to the box.
    void render();

    // The image drawn by the last render(): floor(width × scale) by
    // floor(height × scale) pixels.
    const QImage &renderedImage() const { return image; }

private:
    void createImage();

    QImage image;
    QFont labelFont;
    QColor labelColor;
    QString labelText;
    int textFlags;
    int boxWidth;
    int boxHeight;
    bool autoRender = true;
    double renderScale;
};
