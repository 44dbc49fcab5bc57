#pragma once

#include <QColor>
#include <QGraphicsEffect>
#include <QObject>
#include <QPointer>
#include <QPropertyAnimation>
#include <QString>

class QAbstractButton;

// Animates a text button's background, border and glow colours while the
// cursor is over it, and switches the button between active (enabled, full
// opacity) and inactive (disabled, half opacity). Its parent is the button,
// which it watches through an event filter.
//
// The two colours are properties so that an animation can drive them; each
// write restyles the button: its original style sheet followed by the
// background and border declarations of the colours that were given.
class AnimBgButton final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QColor color READ color WRITE setColor)
    Q_PROPERTY(QColor borderColor READ borderColor WRITE setBorderColor)

public:
    explicit AnimBgButton(QAbstractButton *button);

    void setBackgroundColors(const QColor &normal, const QColor &hover);
    void setBorderColors(const QColor &normal, const QColor &hover);
    void setGlowColors(const QColor &normal, const QColor &hover);
    // Installs a fresh opacity effect (replacing a glow) at 1.0 or 0.5 and
    // enables or disables the button.
    void setActive(bool active);

    QColor color() const { return bgColor; }
    void setColor(const QColor &value);
    QColor borderColor() const { return borderValue; }
    void setBorderColor(const QColor &value);

    bool eventFilter(QObject *obj, QEvent *event) override;

    static constexpr double ActiveOpacity = 1.0;
    static constexpr double InactiveOpacity = 0.5;
    static constexpr qreal GlowBlurRadius = 20.0;

private:
    void restyle();

    QPointer<QPropertyAnimation> bgAnim;
    QPointer<QPropertyAnimation> borderAnim;
    QPointer<QPropertyAnimation> glowAnim;
    QColor bgColor;
    QColor borderValue;
    QPointer<QGraphicsEffect> effect;
    bool hasBackground = false;
    QColor bgNormal;
    QColor bgHover;
    bool hasBorder = false;
    QColor borderNormal;
    QColor borderHover;
    bool hasGlow = false;
    QColor glowNormal;
    QColor glowHover;
    QString baseStyleSheet;
    QAbstractButton *button;
};
