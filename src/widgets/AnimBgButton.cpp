#include "widgets/AnimBgButton.h"

#include "widgets/PropertyFade.h"

#include <QAbstractButton>
#include <QEvent>
#include <QGraphicsDropShadowEffect>
#include <QGraphicsOpacityEffect>

namespace {

QString rgba(const QColor &c)
{
    return QStringLiteral("rgba(%1, %2, %3, %4);").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alpha());
}

} // namespace

AnimBgButton::AnimBgButton(QAbstractButton *watched)
    : QObject(watched)
    , baseStyleSheet(watched->styleSheet())
    , button(watched)
{
    button->setMouseTracking(true);
    button->installEventFilter(this);
    // The declarations below are appended to the original sheet; one that
    // does not end its last declaration would swallow the first of them.
    if (!baseStyleSheet.trimmed().isEmpty() && !baseStyleSheet.trimmed().endsWith(QLatin1Char(';'))
        && !baseStyleSheet.trimmed().endsWith(QLatin1Char('}')))
        baseStyleSheet += QLatin1Char(';');
}

void AnimBgButton::setBackgroundColors(const QColor &normal, const QColor &hover)
{
    bgNormal = normal;
    bgHover = hover;
    hasBackground = true;
    setColor(normal);
}

void AnimBgButton::setBorderColors(const QColor &normal, const QColor &hover)
{
    borderNormal = normal;
    borderHover = hover;
    hasBorder = true;
    setBorderColor(normal);
}

void AnimBgButton::setGlowColors(const QColor &normal, const QColor &hover)
{
    glowNormal = normal;
    glowHover = hover;
    hasGlow = true;
    if (auto *glow = qobject_cast<QGraphicsDropShadowEffect *>(effect.data()))
        glow->setColor(normal);
}

void AnimBgButton::setActive(bool active)
{
    PropertyFade::stop(glowAnim);
    auto *opacity = new QGraphicsOpacityEffect(button);
    opacity->setOpacity(active ? ActiveOpacity : InactiveOpacity);
    button->setGraphicsEffect(opacity); // deletes the previous effect
    effect = opacity;
    button->setEnabled(active);
}

void AnimBgButton::setColor(const QColor &value)
{
    bgColor = value;
    restyle();
}

void AnimBgButton::setBorderColor(const QColor &value)
{
    borderValue = value;
    restyle();
}

void AnimBgButton::restyle()
{
    QString sheet = baseStyleSheet;
    if (hasBackground)
        sheet += QStringLiteral("background-color: ") + rgba(bgColor);
    if (hasBorder)
        sheet += QStringLiteral("border: 1px solid ") + rgba(borderValue);
    button->setStyleSheet(sheet);
}

bool AnimBgButton::eventFilter(QObject *obj, QEvent *event)
{
    if (obj != button || (event->type() != QEvent::Enter && event->type() != QEvent::Leave))
        return QObject::eventFilter(obj, event);

    if (!button->isEnabled())
        return true;

    PropertyFade::stop(bgAnim);
    PropertyFade::stop(borderAnim);
    PropertyFade::stop(glowAnim);

    const bool enter = event->type() == QEvent::Enter;
    if (hasBackground)
        PropertyFade::restart(bgAnim, this, "color", enter ? bgHover : bgNormal, this);
    if (hasBorder)
        PropertyFade::restart(borderAnim, this, "borderColor", enter ? borderHover : borderNormal, this);
    if (hasGlow) {
        if (!qobject_cast<QGraphicsDropShadowEffect *>(effect.data())) {
            auto *glow = new QGraphicsDropShadowEffect(button);
            glow->setColor(glowNormal);
            glow->setBlurRadius(GlowBlurRadius);
            glow->setOffset(0, 0);
            button->setGraphicsEffect(glow);
            effect = glow;
        }
        PropertyFade::restart(glowAnim, effect, "color", enter ? glowHover : glowNormal, this);
    }
    return true;
}
